// Time helpers of the download bookkeeping: calendar times to seconds since 1970 and
// the current time in seconds and milliseconds.
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <climits>
#include <cstdio>

#include "agent/agent.h"
#include "runtime/runtime.h"

namespace {
constexpr LONGLONG kTicksPerSecond = 10'000'000;

LONGLONG FileTimeSeconds(const SYSTEMTIME& time) {
    FILETIME fileTime{};
    if (!SystemTimeToFileTime(&time, &fileTime)) return 0;
    const ULONGLONG ticks = (static_cast<ULONGLONG>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
    return static_cast<LONGLONG>(ticks / kTicksPerSecond);
}
}  // namespace

void SystemTimeToUnixSeconds(const SYSTEMTIME& time, LONGLONG* seconds) {
    const SYSTEMTIME epoch{1970, 1, 4, 1, 0, 0, 0, 0};
    *seconds = FileTimeSeconds(time) - FileTimeSeconds(epoch);
}

WideString GetCurrentTimeMillisText() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    LONGLONG seconds = 0;
    SystemTimeToUnixSeconds(now, &seconds);
    timeval precise{};
    gettimeofday(&precise, nullptr);
    const LONGLONG millis = seconds * 1000 + precise.tv_usec / 1000;
    const std::string digits = std::to_string(millis);
    WideString text(digits.begin(), digits.end());
    std::printf("\nTime = %s", digits.c_str());
    std::fflush(stdout);
    return text;
}

int GetTimeInSeconds(SYSTEMTIME localTime) {
    LONGLONG seconds = 0;
    SystemTimeToUnixSeconds(localTime, &seconds);
    tzset();
    seconds += ::timezone;  // seconds west of UTC in standard time
    const std::string text = std::to_string(seconds);
    LogDebug("GetTimeInSeconds : retDate :: %s\n", text);
    // The text's value as atoi takes it: past 2038 that is INT_MAX, not a wrapped date.
    const int value = static_cast<int>(std::clamp<LONGLONG>(seconds, INT_MIN, INT_MAX));
    LogInfo("GetTimeInSeconds : Time in Second : %d\n", value);
    return value;
}

int GetCurrentUnixSeconds() {
    TIME_ZONE_INFORMATION zone{};
    if (GetTimeZoneInformation(&zone) == TIME_ZONE_ID_DAYLIGHT) zone.Bias -= zone.DaylightBias;
    SYSTEMTIME utc{}, local{};
    GetSystemTime(&utc);
    SystemTimeToTzSpecificLocalTime(&zone, &utc, &local);
    return GetTimeInSeconds(local);
}
