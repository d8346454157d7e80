// Date, time and date-time values of store columns of types 16, 17 and 18: their text
// forms, parsing, the clock, comparison and calendar arithmetic.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>

#include "platform/win/types.h"

// A calendar date of a store column.
struct HylDate {
    WORD year = 0;
    BYTE month = 0;  // 1-12
    BYTE day = 0;    // 1-31
};

// A time of day of a store column.
struct HylTime {
    BYTE hour = 0;
    BYTE minute = 0;
    BYTE second = 0;
};

// Values built from text always have both parts; general values may lack one.
struct HylDateTime {
    std::optional<HylDate> date;
    std::optional<HylTime> time;
};

// Plain records, so a column value can carry them as bytes.
static_assert(std::is_trivially_copyable_v<HylDate>);
static_assert(std::is_trivially_copyable_v<HylTime>);
static_assert(std::is_trivially_copyable_v<HylDateTime>);

// Nominal lengths stored as the column value's length.
inline constexpr std::uint32_t HYL_DATE_LENGTH = 4;
inline constexpr std::uint32_t HYL_TIME_LENGTH = 3;
inline constexpr std::uint32_t HYL_DATETIME_LENGTH = 11;

// CreateHylDate, CreateHylTime, CreateHylDateTime: values outside the calendar are kept as
// given; values that do not fit their fields
// (a year above 65535, a negative month...) give none with "HylDate creation failed",
// "HylTime creation failed" or "HylDateTime creation failed" at ERROR.
std::optional<HylDate> CreateHylDate(int year, int month, int day);
std::optional<HylTime> CreateHylTime(int hour, int minute, int second);
std::optional<HylDateTime> CreateHylDateTime(int year, int month, int day, int hour,
                                             int minute, int second);

// HylDateToString, HylTimeToString, HylDateTimeToString: "%04d-%02d-%02d",
// "%02d:%02d:%02d", both joined by a blank; none for a null value
// and for a date-time with neither part.
std::optional<std::string> HylDateToString(const HylDate* date);
std::optional<std::string> HylTimeToString(const HylTime* time);
std::optional<std::string> HylDateTimeToString(const HylDateTime* dateTime);

// "Y-M-D h:m:s", "Y-M-D" (time 00:00:00) or "h:m:s" (date 0-00-00); always both parts.
std::optional<HylDateTime> ConvertStringToHylDateTime(const char* text);
// HylValue: a date-time, a date or a time. ConvertStringToHylDateTime into one: the same
// tests, giving a HylDateTime, a HylDate or a HylTime; false when none fits.
using HylValue = std::variant<HylDateTime, HylDate, HylTime>;
bool ConvertStringToHylDateTime(const char* text, HylValue* value);
// As above, but a date-only text gives only the date part, a time-only text only the time.
std::optional<HylDateTime> ConvertStringToHylGenDateTime(const char* text);

// The local date and time of the clock.
std::optional<HylDateTime> GetCurrentHylDateTime();

// True if a is strictly later than b (year, month, day, hour, minute, second; an absent
// part counts as zeros); false if either is null.
bool CompareHylDateTime(const HylDateTime* first, const HylDateTime* second);

// The units AddHylDateTime and SubtractHylDateTime count in.
enum HylTimeUnit : int {
    HYL_NANOSECONDS = 1,
    HYL_MICROSECONDS = 2,
    HYL_MILLISECONDS = 3,
    HYL_SECONDS = 4,
    HYL_MINUTES = 5,
    HYL_HOURS = 6,
    HYL_DAYS = 7,
    HYL_WEEKS = 8,
    HYL_MONTHS = 9,
};

// AddHylDateTime, SubtractHylDateTime: change the value in place by amount units and normalises it through the calendar
// (31 January plus one month is 3 March, 2 March in a leap year). False, value
// unchanged, for a null value, an unknown unit, a value without date part or with
// fields outside the calendar, or a result outside the years a HylDate holds (0-65535).
bool AddHylDateTime(HylDateTime* value, std::int64_t amount, int unit);
bool SubtractHylDateTime(HylDateTime* value, std::int64_t amount, int unit);

// Date values in store columns. Every date, time and date-time value has one byte layout,
// independent of the structs above, so that every reader decodes it the same way:
//   date       4 bytes: year (little-endian 16 bits), month, day
//   time       3 bytes: hour, minute, second
//   date-time 11 bytes: the date's 4 bytes, the time's 3 bytes, then a byte whose bit 0
//                       says the date part is present and bit 1 the time part, and 3 zeros
// The buffer holds exactly the nominal length, and the length tells the form apart: a
// column of any of the three types may hold any of the three forms.
struct ColumnValue;
// MakeHylDateValue, MakeHylTimeValue, MakeHylDateTimeValue: the column value of that form.
ColumnValue MakeHylDateValue(const HylDate& date);
ColumnValue MakeHylTimeValue(const HylTime& time);
ColumnValue MakeHylDateTimeValue(const HylDateTime& dateTime);
// The value read back as a date-time (a date form gives only the date part, a time form
// only the time part); none for NULL or a buffer of no known form.
std::optional<HylDateTime> ReadHylValue(const ColumnValue& value);
// The value's text for a column type: 16 the date part, 17 the time part, 18 both parts
// ("YYYY-MM-DD", "HH:MM:SS", "YYYY-MM-DD HH:MM:SS"). A date-time column holding only a
// date prints the date; none when the value has no such part or no known form.
std::optional<std::string> HylValueToText(const ColumnValue& value, BYTE type);
