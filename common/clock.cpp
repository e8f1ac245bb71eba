#include "common/clock.h"

namespace orvalla
{

LocalTime toLocalTime(std::time_t t)
{
    std::tm tm {};
    localtime_r(&t, &tm);
    LocalTime lt;
    lt.year = tm.tm_year + 1900;
    lt.month = tm.tm_mon + 1;
    lt.day = tm.tm_mday;
    lt.hour = tm.tm_hour;
    lt.minute = tm.tm_min;
    lt.second = tm.tm_sec;
    lt.dayOfYear = tm.tm_yday;
    lt.dayOfWeek = tm.tm_wday;
    return lt;
}

std::time_t fromLocalTime(int year, int month, int day, int hour, int minute, int second)
{
    std::tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

std::time_t SystemClock::now() const
{
    return std::time(nullptr);
}

} // namespace orvalla
