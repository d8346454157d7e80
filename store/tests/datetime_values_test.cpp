// Date and time values: text forms, parsing (good and malformed), comparison and the
// calendar arithmetic in every unit across month ends, leap years and year ends.
#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <random>
#include <string>
#include <tuple>

#include "runtime/tests/log_capture.h"
#include "store/store.h"
#include "store/tests/utc_calendar.h"

namespace {

std::string Text(const std::optional<HylDateTime>& value) {
    if (!value) return "<null>";
    return HylDateTimeToString(&*value).value_or("<no text>");
}

HylDateTime Make(int y, int mo, int d, int h, int mi, int s) {
    std::optional<HylDateTime> value = CreateHylDateTime(y, mo, d, h, mi, s);
    EXPECT_TRUE(value);
    return value.value_or(HylDateTime{});
}

std::tm LocalTime(std::time_t when) {
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &when);
#else
    localtime_r(&when, &local);
#endif
    return local;
}

}  // namespace

// The calendar the arithmetic tests check against: known instants, fields out of range
// in both directions, and (where the system has it) timegm over a wide span of years.
TEST(DatetimeValues, UtcCalendarNormalizesAsTimegm) {
    struct Case {
        int year, month, day, hour, minute, second;  // month 0 to 11, as in std::tm
        std::int64_t seconds;
        const char* normalized;
    } cases[] = {
        {1970, 0, 1, 0, 0, 0, 0, "1970-01-01 00:00:00"},
        {2000, 1, 29, 0, 0, 0, 951782400, "2000-02-29 00:00:00"},
        {1900, 1, 29, 0, 0, 0, -2203891200, "1900-03-01 00:00:00"},  // 1900 has no 29 February
        {2100, 2, 1, 0, 0, 0, 4107542400, "2100-03-01 00:00:00"},
        {0, 2, 1, 0, 0, 0, -62162035200, "0000-03-01 00:00:00"},
        {3001, 0, 1, 0, 0, 0, 32535216000, "3001-01-01 00:00:00"},
        {65535, 11, 31, 23, 59, 59, 2005949145599, "65535-12-31 23:59:59"},
        {1970, 0, 1, 0, 0, -1, -1, "1969-12-31 23:59:59"},
        {2024, 13, 1, 0, 0, 0, 1738368000, "2025-02-01 00:00:00"},
        {2024, -1, 1, 0, 0, 0, 1701388800, "2023-12-01 00:00:00"},
        {2024, 0, 0, 24, 60, 60, 1704070860, "2024-01-01 01:01:00"},
        {2023, 1, 29, 0, 0, 0, 1677628800, "2023-03-01 00:00:00"},
    };
    for (const Case& c : cases) {
        std::tm when{};
        when.tm_year = c.year - 1900;
        when.tm_mon = c.month;
        when.tm_mday = c.day;
        when.tm_hour = c.hour;
        when.tm_min = c.minute;
        when.tm_sec = c.second;
        EXPECT_EQ(storetest::NormalizeUtc(&when), c.seconds) << c.normalized;
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", when.tm_year + 1900, when.tm_mon + 1,
                      when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
        EXPECT_STREQ(text, c.normalized);
    }
    // Beyond what tm_year holds: refused, the time left alone.
    std::tm beyond{};
    beyond.tm_year = INT_MAX;
    beyond.tm_mon = 12;
    beyond.tm_mday = 1;
    EXPECT_FALSE(storetest::NormalizeUtc(&beyond));
    EXPECT_EQ(beyond.tm_year, INT_MAX);
    EXPECT_EQ(beyond.tm_mon, 12);
#ifndef _WIN32
    std::mt19937 random(7);
    for (int i = 0; i < 20000; ++i) {
        std::tm mine{};
        mine.tm_year = static_cast<int>(random() % 100000) - 21900;  // years -20000 to 78099
        mine.tm_mon = static_cast<int>(random() % 61) - 30;
        mine.tm_mday = static_cast<int>(random() % 101) - 50;
        mine.tm_hour = static_cast<int>(random() % 97) - 48;
        mine.tm_min = static_cast<int>(random() % 241) - 120;
        mine.tm_sec = static_cast<int>(random() % 241) - 120;
        std::tm system = mine;
        const std::optional<std::int64_t> seconds = storetest::NormalizeUtc(&mine);
        ASSERT_EQ(seconds, std::int64_t{timegm(&system)});
        ASSERT_EQ(std::make_tuple(mine.tm_year, mine.tm_mon, mine.tm_mday, mine.tm_hour, mine.tm_min, mine.tm_sec,
                                  mine.tm_wday, mine.tm_yday),
                  std::make_tuple(system.tm_year, system.tm_mon, system.tm_mday, system.tm_hour, system.tm_min,
                                  system.tm_sec, system.tm_wday, system.tm_yday))
            << *seconds;
    }
#endif
}

TEST(DatetimeValues, TextForms) {
    const HylDate date = *CreateHylDate(2024, 3, 5);
    const HylTime time = *CreateHylTime(7, 5, 9);
    EXPECT_EQ(HylDateToString(&date), "2024-03-05");
    EXPECT_EQ(HylTimeToString(&time), "07:05:09");
    HylDateTime value{date, time};
    EXPECT_EQ(HylDateTimeToString(&value), "2024-03-05 07:05:09");
    value.date.reset();
    EXPECT_EQ(HylDateTimeToString(&value), "07:05:09");
    value = HylDateTime{date, std::nullopt};
    EXPECT_EQ(HylDateTimeToString(&value), "2024-03-05");
    value.date.reset();
    EXPECT_EQ(HylDateTimeToString(&value), std::nullopt);
    EXPECT_EQ(HylDateToString(nullptr), std::nullopt);
    EXPECT_EQ(HylTimeToString(nullptr), std::nullopt);
    EXPECT_EQ(HylDateTimeToString(nullptr), std::nullopt);
    // Out-of-calendar values are kept as given.
    const HylDate odd = *CreateHylDate(7, 13, 0);
    EXPECT_EQ(HylDateToString(&odd), "0007-13-00");
}

TEST(DatetimeValues, ConstructorsRejectWhatTheFieldsCannotHold) {
    EXPECT_FALSE(CreateHylDate(65536, 1, 1));
    EXPECT_FALSE(CreateHylDate(-1, 1, 1));
    EXPECT_FALSE(CreateHylDate(2024, 256, 1));
    EXPECT_FALSE(CreateHylTime(0, -1, 0));
    EXPECT_FALSE(CreateHylDateTime(2024, 1, 1, 300, 0, 0));
    EXPECT_TRUE(CreateHylDate(65535, 255, 255));
}

TEST(DatetimeValues, ParsingOfEachForm) {
    struct Case {
        const char* text;
        std::string full;     // ConvertStringToHylDateTime
        std::string general;  // ConvertStringToHylGenDateTime
        int kind;             // index of the second form's variant, -1 for failure
    } cases[] = {
        {"2024-03-05 10:20:30", "2024-03-05 10:20:30", "2024-03-05 10:20:30", 0},
        {"2024-03-05", "2024-03-05 00:00:00", "2024-03-05", 1},
        {"10:20:30", "0000-00-00 10:20:30", "10:20:30", 2},
        {"2024-3-5 1:2:3", "2024-03-05 01:02:03", "2024-03-05 01:02:03", 0},
        {"  2024-03-05   10:20:30", "2024-03-05 10:20:30", "2024-03-05 10:20:30", 0},
        {"2024-03-05 10:20", "2024-03-05 10:20:00", "2024-03-05 10:20:00", 0},  // unread fields stay 0
        {"2024-03", "2024-03-00 00:00:00", "2024-03-00", 1},
        {"20240305", "<null>", "<null>", -1},
        {"", "<null>", "<null>", -1},
        // A separator decides the pattern; fields it cannot read stay 0.
        {"abc-def", "0000-00-00 00:00:00", "0000-00-00", 1},
        {"-", "0000-00-00 00:00:00", "0000-00-00", 1},
        {"x:y", "0000-00-00 00:00:00", "00:00:00", 2},
        {"-:", "0000-00-00 00:00:00", "0000-00-00 00:00:00", 0},
        {"2024-x", "2024-00-00 00:00:00", "2024-00-00", 1},
        {"99999-01-01", "<null>", "<null>", -1},              // year too large for the field
        {"2024-01-01 99999999999:00:00", "2024-01-01 00:00:00", "2024-01-01 00:00:00", 0},
        {"2024--3-05", "<null>", "<null>", -1},               // negative month
        {"1:2:300", "<null>", "<null>", -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Text(ConvertStringToHylDateTime(c.text)), c.full) << c.text;
        EXPECT_EQ(Text(ConvertStringToHylGenDateTime(c.text)), c.general) << c.text;
        HylValue value;
        const bool ok = ConvertStringToHylDateTime(c.text, &value);
        EXPECT_EQ(ok ? static_cast<int>(value.index()) : -1, c.kind) << c.text;
    }
    EXPECT_FALSE(ConvertStringToHylDateTime(nullptr));
    EXPECT_FALSE(ConvertStringToHylGenDateTime(nullptr));
    HylValue value;
    EXPECT_FALSE(ConvertStringToHylDateTime(nullptr, &value));
    ASSERT_TRUE(ConvertStringToHylDateTime("2024-03-05", &value));
    EXPECT_EQ(HylDateToString(&std::get<HylDate>(value)), "2024-03-05");
}

// Unreadable fields are not an error: no message, unlike texts without any separator.
TEST(DatetimeValues, SeparatorWithoutFieldsLogsNothing) {
    for (const char* text : {"-", "abc-def", "x:y"}) {
        LogCapture log;
        ASSERT_TRUE(log.opened());
        EXPECT_EQ(Text(ConvertStringToHylDateTime(text)), "0000-00-00 00:00:00") << text;
        HylValue value;
        EXPECT_TRUE(ConvertStringToHylDateTime(text, &value)) << text;
        EXPECT_FALSE(log.has("[ERROR]")) << text << "\n" << log.text();
    }
    LogCapture log;
    EXPECT_FALSE(ConvertStringToHylGenDateTime("20240305"));
    EXPECT_TRUE(log.has("[ERROR] The String is not a datetimeStr \n")) << log.text();
}

TEST(DatetimeValues, ValuesTravelAsColumnBytes) {
    const HylDateTime value = Make(2024, 2, 29, 23, 59, 58);
    const ColumnValue cell = ColumnValue::FromObject(value, HYL_DATETIME_LENGTH);
    EXPECT_EQ(cell.length, 11u);
    const auto back = cell.As<HylDateTime>();
    ASSERT_TRUE(back);
    EXPECT_EQ(HylDateTimeToString(&*back), "2024-02-29 23:59:58");
    EXPECT_FALSE(ColumnValue::FromText("ab").As<HylDateTime>());
}

TEST(DatetimeValues, CompareIsStrictlyLater) {
    const HylDateTime base = Make(2024, 3, 5, 10, 20, 30);
    EXPECT_FALSE(CompareHylDateTime(&base, &base));
    const HylDateTime same = base;
    EXPECT_FALSE(CompareHylDateTime(&base, &same));
    EXPECT_FALSE(CompareHylDateTime(&same, &base));
    const HylDateTime later[] = {Make(2025, 1, 1, 0, 0, 0), Make(2024, 4, 1, 0, 0, 0), Make(2024, 3, 6, 0, 0, 0),
                                 Make(2024, 3, 5, 11, 0, 0), Make(2024, 3, 5, 10, 21, 0),
                                 Make(2024, 3, 5, 10, 20, 31)};
    for (const HylDateTime& value : later) {
        EXPECT_TRUE(CompareHylDateTime(&value, &base)) << Text(value);
        EXPECT_FALSE(CompareHylDateTime(&base, &value)) << Text(value);
    }
    EXPECT_FALSE(CompareHylDateTime(nullptr, &base));
    EXPECT_FALSE(CompareHylDateTime(&base, nullptr));
}

TEST(DatetimeValues, ArithmeticInEveryUnit) {
    struct Case {
        const char* start;
        std::int64_t amount;
        int unit;
        bool add;
        const char* expected;
    } cases[] = {
        {"2024-02-26 00:00:00", 1, HYL_WEEKS, true, "2024-03-04 00:00:00"},
        {"2023-12-31 23:59:59", 1, HYL_SECONDS, true, "2024-01-01 00:00:00"},
        {"2024-01-01 00:00:00", 1, HYL_SECONDS, false, "2023-12-31 23:59:59"},
        {"2024-02-28 12:00:00", 1, HYL_DAYS, true, "2024-02-29 12:00:00"},
        {"2023-02-28 12:00:00", 1, HYL_DAYS, true, "2023-03-01 12:00:00"},
        {"2100-02-28 00:00:00", 1, HYL_DAYS, true, "2100-03-01 00:00:00"},  // not a leap year
        {"2000-02-28 00:00:00", 1, HYL_DAYS, true, "2000-02-29 00:00:00"},  // but this one is
        {"2024-01-31 08:00:00", 1, HYL_MONTHS, true, "2024-03-02 08:00:00"},
        {"2023-01-31 08:00:00", 1, HYL_MONTHS, true, "2023-03-03 08:00:00"},
        {"2024-03-31 00:00:00", 1, HYL_MONTHS, false, "2024-03-02 00:00:00"},
        {"2024-11-15 00:00:00", 3, HYL_MONTHS, true, "2025-02-15 00:00:00"},
        {"2024-01-15 00:00:00", 13, HYL_MONTHS, false, "2022-12-15 00:00:00"},
        {"2024-12-31 23:00:00", 1, HYL_HOURS, true, "2025-01-01 00:00:00"},
        {"2024-03-01 00:30:00", 45, HYL_MINUTES, false, "2024-02-29 23:45:00"},
        {"2024-12-31 23:59:59", 1999, HYL_MILLISECONDS, true, "2025-01-01 00:00:00"},
        {"2024-12-31 23:59:59", 999, HYL_MILLISECONDS, true, "2024-12-31 23:59:59"},
        {"2024-12-31 23:59:59", 2500000, HYL_MICROSECONDS, true, "2025-01-01 00:00:01"},
        {"2024-12-31 23:59:59", 1000000000, HYL_NANOSECONDS, true, "2025-01-01 00:00:00"},
        {"2024-01-01 00:00:00", 999999999, HYL_NANOSECONDS, false, "2024-01-01 00:00:00"},
        {"2024-03-10 02:30:00", 1, HYL_DAYS, true, "2024-03-11 02:30:00"},  // no daylight-saving shift
        {"2024-06-15 12:00:00", -2, HYL_DAYS, true, "2024-06-13 12:00:00"},
        {"2024-06-15 12:00:00", -2, HYL_WEEKS, false, "2024-06-29 12:00:00"},
        {"2024-02-29 00:00:00", 4, HYL_MONTHS, true, "2024-06-29 00:00:00"},
        {"2024-02-29 00:00:00", 12, HYL_MONTHS, true, "2025-03-01 00:00:00"},
    };
    for (const Case& c : cases) {
        std::optional<HylDateTime> value = ConvertStringToHylDateTime(c.start);
        ASSERT_TRUE(value) << c.start;
        const bool ok = c.add ? AddHylDateTime(&*value, c.amount, c.unit) : SubtractHylDateTime(&*value, c.amount, c.unit);
        EXPECT_TRUE(ok) << c.start << " unit " << c.unit;
        EXPECT_EQ(Text(value), c.expected) << c.start << (c.add ? " + " : " - ") << c.amount << " unit " << c.unit;
    }
}

TEST(DatetimeValues, ArithmeticAgreesWithTheCalendarOnRandomValues) {
    std::mt19937 random(99);
    for (int i = 0; i < 3000; ++i) {
        std::tm start{};
        start.tm_year = static_cast<int>(random() % 200) + 1;  // 1901 to 2100
        start.tm_mon = static_cast<int>(random() % 12);
        start.tm_mday = static_cast<int>(random() % 28) + 1;
        start.tm_hour = static_cast<int>(random() % 24);
        start.tm_min = static_cast<int>(random() % 60);
        start.tm_sec = static_cast<int>(random() % 60);
        const int unit = static_cast<int>(random() % 9) + 1;
        const std::int64_t amount = static_cast<std::int64_t>(random() % 2000001) - 1000000;

        HylDateTime value = Make(start.tm_year + 1900, start.tm_mon + 1, start.tm_mday, start.tm_hour,
                                 start.tm_min, start.tm_sec);
        std::tm expected = start;
        static const std::int64_t kPerUnit[] = {0, 0, 0, 0, 1, 60, 3600, 86400, 604800};
        switch (unit) {
            case HYL_NANOSECONDS: expected.tm_sec += static_cast<int>(amount / 1000000000); break;
            case HYL_MICROSECONDS: expected.tm_sec += static_cast<int>(amount / 1000000); break;
            case HYL_MILLISECONDS: expected.tm_sec += static_cast<int>(amount / 1000); break;
            case HYL_MONTHS: expected.tm_mon += static_cast<int>(amount); break;
            default: expected.tm_sec += static_cast<int>(amount * kPerUnit[unit] % 60);
                     expected.tm_min += static_cast<int>(amount * kPerUnit[unit] / 60 % 60);
                     expected.tm_hour += static_cast<int>(amount * kPerUnit[unit] / 3600);
        }
        ASSERT_TRUE(storetest::NormalizeUtc(&expected));
        const std::string before = Text(value);
        if (expected.tm_year + 1900 < 0 || expected.tm_year + 1900 > 65535) {
            // Before year 0 a HylDate cannot hold the result: refused, value unchanged.
            ASSERT_FALSE(AddHylDateTime(&value, amount, unit)) << "unit " << unit << " amount " << amount;
            ASSERT_EQ(Text(value), before);
            continue;
        }
        ASSERT_TRUE(AddHylDateTime(&value, amount, unit)) << "unit " << unit << " amount " << amount;
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", expected.tm_year + 1900,
                      expected.tm_mon + 1, expected.tm_mday, expected.tm_hour, expected.tm_min, expected.tm_sec);
        ASSERT_EQ(Text(value), text) << "unit " << unit << " amount " << amount;
    }
}

TEST(DatetimeValues, ArithmeticRefusesWhatItCannotDo) {
    HylDateTime value = Make(2024, 3, 5, 10, 20, 30);
    const std::string before = Text(value);
    struct Case {
        std::int64_t amount;
        int unit;
    } cases[] = {{1, 0}, {1, 10}, {1, -1}, {INT64_MAX, HYL_WEEKS}, {INT64_MIN, HYL_DAYS},
                 {INT64_MAX, HYL_MONTHS}, {-2025 * 12, HYL_MONTHS}, {70000LL * 366 * 86400, HYL_SECONDS}};
    for (const Case& c : cases) {
        EXPECT_FALSE(AddHylDateTime(&value, c.amount, c.unit)) << c.amount << " unit " << c.unit;
        EXPECT_FALSE(SubtractHylDateTime(&value, -c.amount == c.amount ? 0 : c.amount, c.unit == HYL_MONTHS ? 0 : c.unit))
            << c.amount;
        EXPECT_EQ(Text(value), before);
    }
    EXPECT_FALSE(AddHylDateTime(nullptr, 1, HYL_DAYS));
    // Values outside the calendar, or without a date, are left alone.
    for (const char* text : {"10:20:30", "2024-13-01 00:00:00", "2024-00-10 00:00:00", "2024-01-01 24:00:00"}) {
        std::optional<HylDateTime> odd = ConvertStringToHylDateTime(text);
        ASSERT_TRUE(odd) << text;
        const std::string oddBefore = Text(odd);
        EXPECT_FALSE(AddHylDateTime(&*odd, 1, HYL_DAYS)) << text;
        EXPECT_EQ(Text(odd), oddBefore);
    }
    // A date-only value stays date-only on whole days and gains a time otherwise.
    std::optional<HylDateTime> dateOnly = ConvertStringToHylGenDateTime("2024-12-31");
    ASSERT_TRUE(AddHylDateTime(&*dateOnly, 1, HYL_DAYS));
    EXPECT_EQ(Text(dateOnly), "2025-01-01");
    ASSERT_TRUE(AddHylDateTime(&*dateOnly, 90, HYL_MINUTES));
    EXPECT_EQ(Text(dateOnly), "2025-01-01 01:30:00");
}

TEST(DatetimeValues, CurrentDateTimeIsTheLocalClock) {
    const std::time_t before = std::time(nullptr);
    const std::optional<HylDateTime> now = GetCurrentHylDateTime();
    const std::time_t after = std::time(nullptr);
    ASSERT_TRUE(now && now->date && now->time);
    const std::tm low = LocalTime(before);
    const std::tm high = LocalTime(after);
    char lowText[32], highText[32];
    std::strftime(lowText, sizeof lowText, "%Y-%m-%d %H:%M:%S", &low);
    std::strftime(highText, sizeof highText, "%Y-%m-%d %H:%M:%S", &high);
    const std::string text = Text(now);
    EXPECT_GE(text, lowText);
    EXPECT_LE(text, highText);
}
