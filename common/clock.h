#pragma once

#include <ctime>

namespace orvalla
{

// Broken-down local time as the console uses it: month 1..12, four-digit year.
struct LocalTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int dayOfYear = 0; // 0..365, as tm_yday
    int dayOfWeek = 0; // 0 = Sunday, as tm_wday
};

// Local-time conversion through the C library (TZ decides the zone).
LocalTime toLocalTime(std::time_t t);
// mktime() of the given local fields; day, hour... may be out of range.
std::time_t fromLocalTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// The one source of "now". The window owns one; tests substitute ManualClock.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual std::time_t now() const = 0;
    LocalTime localNow() const { return toLocalTime(now()); }
};

class SystemClock final : public Clock
{
public:
    std::time_t now() const override;
};

class ManualClock final : public Clock
{
public:
    explicit ManualClock(std::time_t start = 0)
        : m_now(start)
    {
    }
    std::time_t now() const override { return m_now; }
    void set(std::time_t t) { m_now = t; }
    void setLocal(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
    {
        m_now = fromLocalTime(year, month, day, hour, minute, second);
    }
    void advance(std::time_t seconds) { m_now += seconds; }
    void advanceMinute() { m_now += 60; }
    void advanceDay() { m_now += 86400; }

private:
    std::time_t m_now;
};

} // namespace orvalla
