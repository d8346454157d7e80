// Version, edition, processor and WOW64 answers, and the time-zone conversions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "tests/support/test_support.h"

using testsupport::MachineRoot;
using testsupport::WriteFile;

TEST(VersionTest, StructureSizesAndProfileFailures) {
    MachineRoot root;
    WriteFile(root.path() / "machine.ini",
              "[os]\nmajor = 5\nminor = 2\nservice_pack_major = 2\ncsd_version = Service Pack 2\n"
              "suite_mask = 0x0080\nproduct_type = 3\n");
    OSVERSIONINFOEXA ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&ex)));
    EXPECT_EQ(ex.dwMajorVersion, 5u);
    EXPECT_EQ(ex.dwMinorVersion, 2u);
    EXPECT_EQ(ex.wServicePackMajor, 2);
    EXPECT_EQ(ex.wSuiteMask, VER_SUITE_DATACENTER);
    EXPECT_EQ(ex.wProductType, VER_NT_SERVER);
    EXPECT_STREQ(ex.szCSDVersion, "Service Pack 2");

    OSVERSIONINFOA plain{};
    plain.dwOSVersionInfoSize = sizeof plain;
    EXPECT_TRUE(GetVersionExA(&plain));

    OSVERSIONINFOEXA wrong{};
    wrong.dwOSVersionInfoSize = 150;
    EXPECT_FALSE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&wrong)));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    WriteFile(root.path() / "machine.ini", "[os]\nversion_info = 1\n");  // only the plain form
    EXPECT_FALSE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&ex)));
    EXPECT_TRUE(GetVersionExA(&plain));
    WriteFile(root.path() / "machine.ini", "[os]\nversion_info = 0\n");
    EXPECT_FALSE(GetVersionExA(&plain));
}

TEST(VersionTest, CsdVersionLongerThanTheFieldIsCut) {
    MachineRoot root;
    WriteFile(root.path() / "machine.ini", "[os]\ncsd_version = " + std::string(300, 'x') + "\n");
    OSVERSIONINFOA plain{};
    plain.dwOSVersionInfoSize = sizeof plain;
    ASSERT_TRUE(GetVersionExA(&plain));
    EXPECT_EQ(std::string(plain.szCSDVersion).size(), 127u);
}

TEST(ProductInfoTest, EditionZeroFails) {
    MachineRoot root;
    DWORD type = 1;
    EXPECT_TRUE(GetProductInfo(10, 0, 0, 0, &type));
    EXPECT_EQ(type, 48u);
    WriteFile(root.path() / "machine.ini", "[os]\nedition = 0\n");
    EXPECT_FALSE(GetProductInfo(10, 0, 0, 0, &type));
}

TEST(SystemInfoTest, NativeAndWow64Views) {
    struct Case {
        const char* profile;
        WORD native;
        WORD emulated;
        BOOL wow64;
    };
    const Case cases[] = {
        {"", 9, 0, TRUE},
        {"[os]\narchitecture = 9\nwow64 = 0\n", 9, 9, FALSE},
        {"[os]\narchitecture = 0\nwow64 = 0\n", 0, 0, FALSE},
    };
    for (const auto& c : cases) {
        MachineRoot root;
        WriteFile(root.path() / "machine.ini", c.profile);
        SYSTEM_INFO native{}, emulated{};
        GetNativeSystemInfo(&native);
        GetSystemInfo(&emulated);
        EXPECT_EQ(native.wProcessorArchitecture, c.native) << c.profile;
        EXPECT_EQ(emulated.wProcessorArchitecture, c.emulated) << c.profile;
        EXPECT_GE(native.dwNumberOfProcessors, 1u);
        BOOL wow64 = -1;
        ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
        EXPECT_EQ(wow64, c.wow64);
    }
    BOOL ignored = FALSE;
    // Never issued: handle values are multiples of four.
    EXPECT_FALSE(IsWow64Process(reinterpret_cast<HANDLE>(0x1233), &ignored));
}

namespace {
class ScopedTz {
public:
    explicit ScopedTz(const char* zone) {
        if (const char* old = std::getenv("TZ")) previous_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTz() {
        if (previous_) setenv("TZ", previous_->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> previous_;
};

SYSTEMTIME Make(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s = 0, WORD ms = 0) {
    SYSTEMTIME t{};
    t.wYear = y, t.wMonth = mo, t.wDay = d, t.wHour = h, t.wMinute = mi, t.wSecond = s, t.wMilliseconds = ms;
    return t;
}

ULONGLONG Ticks(const FILETIME& f) { return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime; }
}  // namespace

TEST(FileTimeTest, KnownValuesRoundTripAndInvalidDates) {
    FILETIME f{};
    SYSTEMTIME epoch = Make(1970, 1, 1, 0, 0);
    ASSERT_TRUE(SystemTimeToFileTime(&epoch, &f));
    EXPECT_EQ(Ticks(f), 116444736000000000ULL);
    SYSTEMTIME leap = Make(2024, 2, 29, 23, 59, 59, 999);
    ASSERT_TRUE(SystemTimeToFileTime(&leap, &f));
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&f, &back));
    EXPECT_EQ(back.wYear, 2024);
    EXPECT_EQ(back.wMonth, 2);
    EXPECT_EQ(back.wDay, 29);
    EXPECT_EQ(back.wDayOfWeek, 4);  // a Thursday
    EXPECT_EQ(back.wMilliseconds, 999);

    const SYSTEMTIME invalid[] = {Make(2023, 2, 29, 0, 0), Make(2024, 13, 1, 0, 0), Make(2024, 4, 31, 0, 0),
                                  Make(1600, 12, 31, 0, 0), Make(2024, 1, 1, 24, 0), Make(2024, 1, 0, 0, 0)};
    for (const auto& t : invalid) {
        EXPECT_FALSE(SystemTimeToFileTime(&t, &f)) << t.wYear << "-" << t.wMonth << "-" << t.wDay;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST(TimeZoneTest, BerlinRecordAndConversions) {
    ScopedTz tz("Europe/Berlin");
    TIME_ZONE_INFORMATION zone{};
    const DWORD id = GetTimeZoneInformation(&zone);
    ASSERT_TRUE(id == TIME_ZONE_ID_STANDARD || id == TIME_ZONE_ID_DAYLIGHT);
    EXPECT_EQ(zone.Bias, -60);
    EXPECT_EQ(zone.DaylightBias, -60);
    EXPECT_EQ(zone.DaylightDate.wMonth, 3);
    EXPECT_EQ(zone.DaylightDate.wHour, 2);  // 02:00 standard time
    EXPECT_EQ(zone.DaylightDate.wDay, 5);   // the last Sunday
    EXPECT_EQ(zone.DaylightDate.wDayOfWeek, 0);
    EXPECT_EQ(zone.StandardDate.wMonth, 10);
    EXPECT_EQ(zone.StandardDate.wHour, 3);  // 03:00 daylight time

    struct Case {
        SYSTEMTIME utc;
        WORD localHour;
    };
    const Case cases[] = {
        {Make(2024, 1, 15, 12, 0), 13},
        {Make(2024, 7, 15, 12, 0), 14},
        {Make(2024, 3, 31, 0, 59), 1},   // just before the switch at 01:00 UTC
        {Make(2024, 3, 31, 1, 0), 3},    // just after
        {Make(2024, 10, 27, 0, 59), 2},  // still daylight time
        {Make(2024, 10, 27, 1, 0), 2},   // standard again
    };
    for (const auto& c : cases) {
        SYSTEMTIME viaTz{}, viaRecord{};
        ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &c.utc, &viaTz));
        ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(&zone, &c.utc, &viaRecord));
        EXPECT_EQ(viaTz.wHour, c.localHour) << c.utc.wMonth << "/" << c.utc.wDay << " " << c.utc.wHour;
        EXPECT_EQ(viaRecord.wHour, c.localHour) << c.utc.wMonth << "/" << c.utc.wDay << " " << c.utc.wHour;
    }
}

TEST(TimeZoneTest, SouthernHemisphereAndZonesWithoutDaylightTime) {
    {
        ScopedTz tz("Australia/Sydney");
        TIME_ZONE_INFORMATION zone{};
        GetTimeZoneInformation(&zone);
        EXPECT_EQ(zone.Bias, -600);
        SYSTEMTIME january = Make(2024, 1, 15, 0, 0), july = Make(2024, 7, 15, 0, 0), local{};
        ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(&zone, &january, &local));
        EXPECT_EQ(local.wHour, 11);
        ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(&zone, &july, &local));
        EXPECT_EQ(local.wHour, 10);
    }
    {
        ScopedTz tz("UTC");
        TIME_ZONE_INFORMATION zone{};
        EXPECT_EQ(GetTimeZoneInformation(&zone), TIME_ZONE_ID_UNKNOWN);
        EXPECT_EQ(zone.Bias, 0);
        EXPECT_EQ(zone.DaylightDate.wMonth, 0);
    }
    SYSTEMTIME bad = Make(2024, 2, 30, 0, 0), out{};
    EXPECT_FALSE(SystemTimeToTzSpecificLocalTime(nullptr, &bad, &out));
}
