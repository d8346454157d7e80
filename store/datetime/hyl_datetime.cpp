// Date, time and date-time values: construction, text forms, parsing, the clock,
// comparison and calendar arithmetic.
#include "store/datetime/hyl_datetime.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "runtime/log.h"

namespace {

bool FitsIn(int value, int low, int high) { return value >= low && value <= high; }

// Reads decimal fields the way scanf's "%d" does (blanks, optional sign, digits) against
// a pattern of "%d", blanks (any run of blanks, also none) and literal characters.
// Returns the number of fields read; a field too large for int ends the scan.
int ScanFields(const char* text, const char* pattern, int* fields, int capacity) {
    int count = 0;
    const char* p = text;
    for (const char* f = pattern; *f; ++f) {
        if (f[0] == '%' && f[1] == 'd') {
            ++f;
            while (std::isspace(static_cast<unsigned char>(*p))) ++p;
            bool negative = false;
            if (*p == '+' || *p == '-') negative = (*p++ == '-');
            if (!std::isdigit(static_cast<unsigned char>(*p))) return count;
            long long value = 0;
            while (std::isdigit(static_cast<unsigned char>(*p))) {
                value = value * 10 + (*p++ - '0');
                if (value > static_cast<long long>(INT_MAX) + 1) return count;
            }
            if (negative) value = -value;
            if (value > INT_MAX || value < INT_MIN || count >= capacity) return count;
            fields[count++] = static_cast<int>(value);
        } else if (std::isspace(static_cast<unsigned char>(*f))) {
            while (std::isspace(static_cast<unsigned char>(*p))) ++p;
        } else {
            if (*p != *f) return count;
            ++p;
        }
    }
    return count;
}

enum class TextShape { DateTime, DateOnly, TimeOnly, Neither };

TextShape ShapeOf(const char* text) {
    const bool hasDash = std::strchr(text, '-') != nullptr;
    const bool hasColon = std::strchr(text, ':') != nullptr;
    if (hasDash && hasColon) return TextShape::DateTime;
    if (hasDash) return TextShape::DateOnly;
    if (hasColon) return TextShape::TimeOnly;
    return TextShape::Neither;
}

// Fields of the text in the order year, month, day, hour, minute, second, read with the
// pattern of its shape; those the pattern does not reach stay 0 ("-" reads as all zeros).
void ReadFields(const char* text, TextShape shape, int (&fields)[6]) {
    for (int& field : fields) field = 0;
    switch (shape) {
        case TextShape::DateTime:
            ScanFields(text, "%d-%d-%d %d:%d:%d", fields, 6);
            break;
        case TextShape::DateOnly:
            ScanFields(text, "%d-%d-%d", fields, 3);
            break;
        case TextShape::TimeOnly:
            ScanFields(text, "%d:%d:%d", fields + 3, 3);
            break;
        case TextShape::Neither:
            break;
    }
}

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12, any day offset).
std::int64_t DaysFromCivil(std::int64_t year, std::int64_t month, std::int64_t day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(std::int64_t days, std::int64_t* year, int* month, int* day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shifted = (5 * dayOfYear + 2) / 153;
    *day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
    *month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
    *year = yearOfEra + era * 400 + (*month <= 2);
}

std::int64_t FloorDiv(std::int64_t value, std::int64_t divisor) {
    std::int64_t quotient = value / divisor;
    if ((value % divisor != 0) && ((value < 0) != (divisor < 0))) --quotient;
    return quotient;
}

// The whole-second offset of amount units, or false when it cannot be represented. A
// product beyond 64 bits lies far outside the dates a value can hold (years 0 to 65535), so
// an overflow is answered as out of range: no 128-bit type needed, which 32-bit x86 lacks.
bool SecondsOf(std::int64_t amount, int unit, std::int64_t* seconds) {
    switch (unit) {
        case HYL_NANOSECONDS: *seconds = amount / 1000000000; return true;
        case HYL_MICROSECONDS: *seconds = amount / 1000000; return true;
        case HYL_MILLISECONDS: *seconds = amount / 1000; return true;
        case HYL_SECONDS: *seconds = amount; return true;
        case HYL_MINUTES:
            return !__builtin_mul_overflow(amount, 60, seconds);
        case HYL_HOURS:
            return !__builtin_mul_overflow(amount, 3600, seconds);
        case HYL_DAYS:
            return !__builtin_mul_overflow(amount, 86400, seconds);
        case HYL_WEEKS:
            return !__builtin_mul_overflow(amount, 7 * 86400, seconds);
        default: return false;
    }
}

// Shared by add and subtract; sign is +1 or -1. Works on calendar fields without any
// time zone, so daylight-saving changes cannot shift the result.
bool ShiftDateTime(HylDateTime* value, std::int64_t amount, int unit, int sign) {
    if (!value || !value->date || unit < HYL_NANOSECONDS || unit > HYL_MONTHS) return false;
    const HylDate& date = *value->date;
    const HylTime time = value->time.value_or(HylTime{});
    // The same range the "%Y-%m-%d %H:%M:%S" reading accepts.
    if (!FitsIn(date.month, 1, 12) || !FitsIn(date.day, 1, 31) || !FitsIn(time.hour, 0, 23) ||
        !FitsIn(time.minute, 0, 59) || !FitsIn(time.second, 0, 60)) {
        return false;
    }
    std::int64_t year = date.year;
    std::int64_t month = date.month;
    std::int64_t total = 0;
    if (unit == HYL_MONTHS) {
        std::int64_t months = 0;
        if (__builtin_mul_overflow(amount, sign, &months) ||
            __builtin_add_overflow(months, year * 12 + (month - 1), &months) || months < 0 ||
            months >= 65536 * 12)
            return false;
        year = FloorDiv(months, 12);
        month = months - year * 12 + 1;
    } else if (!SecondsOf(amount, unit, &total) || __builtin_mul_overflow(total, sign, &total)) {
        return false;
    }
    // Day overflow of the month (31 February) rolls into the next month, as the C
    // library's normalisation does.
    const std::int64_t start = (DaysFromCivil(year, month, 1) + date.day - 1) * 86400 +
                               time.hour * 3600 + time.minute * 60 + time.second;
    const std::int64_t limit = DaysFromCivil(65536, 1, 1) * 86400;
    const std::int64_t origin = DaysFromCivil(0, 1, 1) * 86400;
    if (__builtin_add_overflow(total, start, &total) || total < origin || total >= limit)
        return false;

    const std::int64_t seconds = total;
    const std::int64_t days = FloorDiv(seconds, 86400);
    const std::int64_t ofDay = seconds - days * 86400;
    std::int64_t newYear = 0;
    int newMonth = 0;
    int newDay = 0;
    CivilFromDays(days, &newYear, &newMonth, &newDay);
    const HylTime newTime{static_cast<BYTE>(ofDay / 3600), static_cast<BYTE>(ofDay / 60 % 60),
                          static_cast<BYTE>(ofDay % 60)};
    value->date = HylDate{static_cast<WORD>(newYear), static_cast<BYTE>(newMonth),
                          static_cast<BYTE>(newDay)};
    // A date-only value stays date-only while the result falls on midnight.
    if (value->time || ofDay != 0) value->time = newTime;
    return true;
}

std::string Format(const char* pattern, int a, int b, int c) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, pattern, a, b, c);
    return buffer;
}

}  // namespace

std::optional<HylDate> CreateHylDate(int year, int month, int day) {
    if (!FitsIn(year, 0, 65535) || !FitsIn(month, 0, 255) || !FitsIn(day, 0, 255)) {
        LogError("HylDate creation failed");
        return std::nullopt;
    }
    return HylDate{static_cast<WORD>(year), static_cast<BYTE>(month), static_cast<BYTE>(day)};
}

std::optional<HylTime> CreateHylTime(int hour, int minute, int second) {
    if (!FitsIn(hour, 0, 255) || !FitsIn(minute, 0, 255) || !FitsIn(second, 0, 255)) {
        LogError("HylTime creation failed");
        return std::nullopt;
    }
    return HylTime{static_cast<BYTE>(hour), static_cast<BYTE>(minute), static_cast<BYTE>(second)};
}

std::optional<HylDateTime> CreateHylDateTime(int year, int month, int day, int hour, int minute,
                                             int second) {
    std::optional<HylDate> date = CreateHylDate(year, month, day);
    std::optional<HylTime> time = date ? CreateHylTime(hour, minute, second) : std::nullopt;
    if (!date || !time) {
        LogError("HylDateTime creation failed");
        return std::nullopt;
    }
    return HylDateTime{date, time};
}

std::optional<std::string> HylDateToString(const HylDate* date) {
    if (!date) return std::nullopt;
    return Format("%04d-%02d-%02d", date->year, date->month, date->day);
}

std::optional<std::string> HylTimeToString(const HylTime* time) {
    if (!time) return std::nullopt;
    return Format("%02d:%02d:%02d", time->hour, time->minute, time->second);
}

std::optional<std::string> HylDateTimeToString(const HylDateTime* dateTime) {
    if (!dateTime) return std::nullopt;
    const HylDate* date = dateTime->date ? &*dateTime->date : nullptr;
    const HylTime* time = dateTime->time ? &*dateTime->time : nullptr;
    if (date && time) return *HylDateToString(date) + " " + *HylTimeToString(time);
    if (time) return HylTimeToString(time);
    if (date) return HylDateToString(date);
    return std::nullopt;
}

std::optional<HylDateTime> ConvertStringToHylDateTime(const char* text) {
    LogTrace("Inside ConvertStringToHylDateTime \n");
    if (!text) {
        LogError("datetimeStr NULL \n");
        return std::nullopt;
    }
    const TextShape shape = ShapeOf(text);
    if (shape == TextShape::Neither) return std::nullopt;
    int fields[6];
    ReadFields(text, shape, fields);
    return CreateHylDateTime(fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]);
}

bool ConvertStringToHylDateTime(const char* text, HylValue* value) {
    LogTrace("Inside ConvertStringToHylDateTime \n");
    if (!text) {
        LogError("datetimeStr NULL \n");
        return false;
    }
    if (!value) return false;
    const TextShape shape = ShapeOf(text);
    if (shape == TextShape::Neither) return false;
    int fields[6];
    ReadFields(text, shape, fields);
    if (shape == TextShape::DateOnly) {
        std::optional<HylDate> date = CreateHylDate(fields[0], fields[1], fields[2]);
        if (!date) return false;
        *value = *date;
    } else if (shape == TextShape::TimeOnly) {
        std::optional<HylTime> time = CreateHylTime(fields[3], fields[4], fields[5]);
        if (!time) return false;
        *value = *time;
    } else {
        std::optional<HylDateTime> both =
            CreateHylDateTime(fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]);
        if (!both) return false;
        *value = *both;
    }
    return true;
}

std::optional<HylDateTime> ConvertStringToHylGenDateTime(const char* text) {
    LogTrace("Inside ConvertStringToHylGenDateTime \n");
    if (!text) {
        LogError("datetimeStr NULL \n");
        return std::nullopt;
    }
    const TextShape shape = ShapeOf(text);
    if (shape == TextShape::Neither) {
        LogError("The String is not a datetimeStr \n");
        return std::nullopt;
    }
    int fields[6];
    ReadFields(text, shape, fields);
    HylDateTime result;
    if (shape != TextShape::TimeOnly) {
        result.date = CreateHylDate(fields[0], fields[1], fields[2]);
        if (!result.date) return std::nullopt;
    }
    if (shape != TextShape::DateOnly) {
        result.time = CreateHylTime(fields[3], fields[4], fields[5]);
        if (!result.time) return std::nullopt;
    }
    return result;
}

std::optional<HylDateTime> GetCurrentHylDateTime() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    std::optional<HylDate> date = CreateHylDate(now.wYear, now.wMonth, now.wDay);
    if (!date) {
        LogError("CreateHylDate Failed");
        return std::nullopt;
    }
    std::optional<HylTime> time = CreateHylTime(now.wHour, now.wMinute, now.wSecond);
    if (!time) {
        LogError("CreateHylTime Failed");
        return std::nullopt;
    }
    return HylDateTime{date, time};
}

bool CompareHylDateTime(const HylDateTime* first, const HylDateTime* second) {
    if (!first || !second) return false;
    const HylDate a = first->date.value_or(HylDate{});
    const HylDate b = second->date.value_or(HylDate{});
    const HylTime at = first->time.value_or(HylTime{});
    const HylTime bt = second->time.value_or(HylTime{});
    const int left[] = {a.year, a.month, a.day, at.hour, at.minute, at.second};
    const int right[] = {b.year, b.month, b.day, bt.hour, bt.minute, bt.second};
    for (int i = 0; i < 6; ++i) {
        if (left[i] != right[i]) return left[i] > right[i];
    }
    return false;
}

bool AddHylDateTime(HylDateTime* value, std::int64_t amount, int unit) {
    return ShiftDateTime(value, amount, unit, 1);
}

bool SubtractHylDateTime(HylDateTime* value, std::int64_t amount, int unit) {
    return ShiftDateTime(value, amount, unit, -1);
}
