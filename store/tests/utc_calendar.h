// Broken-down UTC times normalized as timegm does, for every year a std::tm holds: Windows
// has no timegm, and its _mkgmtime stops at year 3000 while the store's dates run to 65535
// (and the arithmetic tests step far beyond both ends).
#pragma once

#include <cstdint>
#include <ctime>
#include <limits>
#include <optional>

namespace storetest {

constexpr std::int64_t FloorDiv(std::int64_t a, std::int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }
constexpr std::int64_t FloorMod(std::int64_t a, std::int64_t b) { return a - FloorDiv(a, b) * b; }

// Days from 1970-01-01 to year-month-day (month 1 to 12) of the proleptic Gregorian
// calendar, counted in 400-year eras that start on 1 March.
constexpr std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
    year -= month <= 2;
    const std::int64_t era = FloorDiv(year, 400);
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

struct CivilDate {
    std::int64_t year;
    int month;  // 1 to 12
    int day;
};

constexpr CivilDate CivilFromDays(std::int64_t days) {
    days += 719468;
    const std::int64_t era = FloorDiv(days, 146097);
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shifted = (5 * dayOfYear + 2) / 153;  // months since March
    const int day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
    const int month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
    return {yearOfEra + era * 400 + (month <= 2), month, day};
}

// Brings every field of a UTC time into its range, carrying into the next larger one, and
// sets the weekday and day of the year; the seconds since 1970. None, and the time left
// as it was, when the year no longer fits tm_year.
inline std::optional<std::int64_t> NormalizeUtc(std::tm* when) {
    const std::int64_t year = std::int64_t{1900} + when->tm_year + FloorDiv(when->tm_mon, 12);
    const int month = static_cast<int>(FloorMod(when->tm_mon, 12)) + 1;
    const std::int64_t seconds = (DaysFromCivil(year, month, 1) + when->tm_mday - 1) * 86400 +
                                 std::int64_t{when->tm_hour} * 3600 + std::int64_t{when->tm_min} * 60 + when->tm_sec;
    const std::int64_t days = FloorDiv(seconds, 86400);
    const std::int64_t ofDay = seconds - days * 86400;
    const CivilDate date = CivilFromDays(days);
    if (date.year - 1900 < std::numeric_limits<int>::min() || date.year - 1900 > std::numeric_limits<int>::max())
        return std::nullopt;
    when->tm_year = static_cast<int>(date.year - 1900);
    when->tm_mon = date.month - 1;
    when->tm_mday = date.day;
    when->tm_hour = static_cast<int>(ofDay / 3600);
    when->tm_min = static_cast<int>(ofDay / 60 % 60);
    when->tm_sec = static_cast<int>(ofDay % 60);
    when->tm_wday = static_cast<int>(FloorMod(days + 4, 7));  // 1970-01-01 was a Thursday
    when->tm_yday = static_cast<int>(days - DaysFromCivil(date.year, 1, 1));
    when->tm_isdst = 0;
    return seconds;
}

}  // namespace storetest
