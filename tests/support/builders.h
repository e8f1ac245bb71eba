#pragma once

// Readings and times as the tests build them.

#include "common/clock.h"
#include "station/reading.h"

#include <cstdint>

namespace orvalla::testsupport
{

// Broken-down local time with the given fields only (day of year and week left 0).
inline LocalTime localTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    LocalTime t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    return t;
}

// The local time the C library makes of the fields, day of year and week included.
inline LocalTime clockAt(int year, int month, int day, int hour = 12, int minute = 0, int second = 0)
{
    return toLocalTime(fromLocalTime(year, month, day, hour, minute, second));
}

// Seconds since the epoch of a local time, as the stored instants hold them.
inline std::int32_t instant(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    return std::int32_t(fromLocalTime(year, month, day, hour, minute, second));
}

// A reading stamped with the given local time, every value zero.
inline Reading readingAt(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    Reading r;
    r.year = year;
    r.month = month;
    r.day = day;
    r.hour = hour;
    r.minute = minute;
    r.second = second;
    return r;
}

// The same, stamped with a broken-down time.
inline Reading readingAt(const LocalTime &t)
{
    return readingAt(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

// A mild December morning: 12.3 C, 65.3 %, 1013.2 mbar, 250 W/m2, 5 km/h
// from 180, no rain, 3.75 V, 12.5 mA, read on 7 December 2026 at 10:15:00.
inline Reading typicalReading()
{
    Reading r = readingAt(2026, 12, 7, 10, 15, 0);
    r.temperature = 12.3f;
    r.humidity = 65.3f;
    r.pressure = 1013.2f;
    r.solar_radiation = 250.0f;
    r.wind_speed = 5;
    r.wind_direction = 180;
    r.rain = 0;
    r.battery_voltage = 3.75f;
    r.charge_current = 12.5f;
    return r;
}

} // namespace orvalla::testsupport
