#pragma once

#include <QByteArray>
#include <QMetaType>
#include <cstdint>

namespace orvalla
{

// The current decoded reading. One instance lives in the main window, all
// zero at start, overwritten by each decoded frame.
struct Reading {
    float temperature = 0; // degrees C
    float humidity = 0; // % relative humidity
    std::int32_t hour = 0; // clock at decoding
    std::int32_t minute = 0;
    std::int32_t second = 0;
    std::int32_t day = 0;
    std::int32_t month = 0; // 1..12
    std::int32_t year = 0; // four digits
    float battery_voltage = 0; // V
    float charge_current = 0; // mA
    float pressure = 0; // mbar
    float solar_radiation = 0; // W/m2
    float rain = 0; // mm
    float wind_speed = 0; // km/h
    float wind_direction = 0; // degrees
};

} // namespace orvalla

// Carried by signals and QVariant.
Q_DECLARE_METATYPE(orvalla::Reading)
