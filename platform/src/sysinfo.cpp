// Version, product edition, processor and WOW64 answers from the machine profile, and
// the time-zone conversions that follow the process's TZ.
#include "platform/win/sysinfo.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/src/internal.h"
#include "platform/src/machine_profile.h"
#include "platform/win/errors.h"
#include "platform/win/process.h"

BOOL GetVersionExA(LPOSVERSIONINFOA versionInfo) {
    if (!versionInfo) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD size = versionInfo->dwOSVersionInfoSize;
    const bool extended = size == sizeof(OSVERSIONINFOEXA);
    if (!extended && size != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const host::MachineProfile p = host::LoadMachineProfile();
    if (p.versionInfo <= 0 || (extended && p.versionInfo < 2)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    versionInfo->dwMajorVersion = p.major;
    versionInfo->dwMinorVersion = p.minor;
    versionInfo->dwBuildNumber = p.build;
    versionInfo->dwPlatformId = p.platformId;
    std::memset(versionInfo->szCSDVersion, 0, sizeof versionInfo->szCSDVersion);
    std::memcpy(versionInfo->szCSDVersion, p.csdVersion.data(),
                std::min(p.csdVersion.size(), sizeof versionInfo->szCSDVersion - 1));
    if (extended) {
        auto* ex = reinterpret_cast<LPOSVERSIONINFOEXA>(versionInfo);
        ex->wServicePackMajor = p.servicePackMajor;
        ex->wServicePackMinor = p.servicePackMinor;
        ex->wSuiteMask = p.suiteMask;
        ex->wProductType = p.productType;
        ex->wReserved = 0;
    }
    return TRUE;
}

BOOL GetProductInfo(DWORD, DWORD, DWORD, DWORD, PDWORD productType) {
    const host::MachineProfile p = host::LoadMachineProfile();
    if (productType) *productType = p.edition;
    return p.edition != 0 ? TRUE : FALSE;
}

namespace {
void FillSystemInfo(LPSYSTEM_INFO info, WORD architecture) {
    if (!info) return;
    std::memset(info, 0, sizeof *info);
    info->wProcessorArchitecture = architecture;
    info->dwPageSize = static_cast<DWORD>(sysconf(_SC_PAGESIZE));
    info->dwAllocationGranularity = 65536;
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    info->dwNumberOfProcessors = cpus > 0 ? static_cast<DWORD>(cpus) : 1;
    info->dwActiveProcessorMask =
        info->dwNumberOfProcessors >= 64 ? ~DWORD_PTR{0} : (DWORD_PTR{1} << info->dwNumberOfProcessors) - 1;
}
}  // namespace

void GetNativeSystemInfo(LPSYSTEM_INFO systemInfo) {
    FillSystemInfo(systemInfo, host::LoadMachineProfile().architecture);
}

void GetSystemInfo(LPSYSTEM_INFO systemInfo) {
    // A 32-bit process under WOW64 sees an x86 machine.
    const host::MachineProfile p = host::LoadMachineProfile();
    FillSystemInfo(systemInfo, p.wow64 ? PROCESSOR_ARCHITECTURE_INTEL : p.architecture);
}

BOOL IsWow64Process(HANDLE process, BOOL* wow64Process) {
    if (process != GetCurrentProcess() || !wow64Process) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *wow64Process = host::LoadMachineProfile().wow64 ? TRUE : FALSE;
    return TRUE;
}

// There is one file-system view on the host; redirection is accepted and has no effect.
BOOL Wow64DisableWow64FsRedirection(PVOID* oldValue) {
    if (!oldValue) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *oldValue = nullptr;
    return TRUE;
}

BOOL Wow64RevertWow64FsRedirection(PVOID) { return TRUE; }

// ---- Time ----
namespace {

constexpr LONGLONG kTicksPerSecond = 10'000'000;
constexpr LONGLONG kEpochDifferenceSeconds = 11'644'473'600;  // 1601-01-01 to 1970-01-01

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : days[month - 1];
}

bool ValidSystemTime(const SYSTEMTIME& t) {
    return t.wYear >= 1601 && t.wYear <= 30827 && t.wMonth >= 1 && t.wMonth <= 12 && t.wDay >= 1 &&
           t.wDay <= DaysInMonth(t.wYear, t.wMonth) && t.wHour < 24 && t.wMinute < 60 &&
           t.wSecond < 60 && t.wMilliseconds < 1000;
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
LONGLONG DaysFromCivil(LONGLONG y, unsigned m, unsigned d) {
    y -= m <= 2;
    const LONGLONG era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<LONGLONG>(doe) - 719468;
}

LONGLONG UnixSecondsOf(const SYSTEMTIME& t) {
    return DaysFromCivil(t.wYear, t.wMonth, t.wDay) * 86400 + t.wHour * 3600 + t.wMinute * 60 + t.wSecond;
}

SYSTEMTIME SystemTimeFromUnix(LONGLONG seconds, WORD milliseconds) {
    time_t value = static_cast<time_t>(seconds);
    tm parts{};
    gmtime_r(&value, &parts);
    return host::ToSystemTime(parts, static_cast<long>(milliseconds) * 1000000L);
}

long OffsetAt(time_t when, int* isDst) {
    tm parts{};
    localtime_r(&when, &parts);
    if (isDst) *isDst = parts.tm_isdst > 0;
    return parts.tm_gmtoff;
}

// First instant after `from` (within the range) at which daylight time changes to
// `toDst`; -1 when none. Hourly scan, then a search down to the second.
time_t FindTransition(time_t from, time_t to, bool toDst) {
    int previous = 0;
    OffsetAt(from, &previous);
    for (time_t t = from + 3600; t <= to; t += 3600) {
        int dst = 0;
        OffsetAt(t, &dst);
        if (dst != previous && (dst != 0) == toDst) {
            time_t low = t - 3600, high = t;  // low has the old state, high the new
            while (high - low > 1) {
                const time_t mid = low + (high - low) / 2;
                int midDst = 0;
                OffsetAt(mid, &midDst);
                (midDst == dst ? high : low) = mid;
            }
            return high;
        }
        previous = dst;
    }
    return -1;
}

void CopyZoneName(WCHAR (&target)[32], const char* name) {
    std::memset(target, 0, sizeof target);
    for (int i = 0; name && name[i] && i < 31; ++i) target[i] = static_cast<WCHAR>(static_cast<unsigned char>(name[i]));
}

// A transition as Windows stores it: the n-th (5 = last) weekday of a month.
SYSTEMTIME AsRule(const SYSTEMTIME& t) {
    SYSTEMTIME rule = t;
    rule.wYear = 0;
    rule.wDay = static_cast<WORD>(t.wDay + 7 > DaysInMonth(t.wYear, t.wMonth) ? 5 : (t.wDay - 1) / 7 + 1);
    return rule;
}

// Seconds since 1970 of a transition rule (or absolute date) in the given year.
LONGLONG TransitionIn(int year, const SYSTEMTIME& rule) {
    int day = rule.wDay;
    if (rule.wYear == 0) {
        const int firstWeekday = static_cast<int>((DaysFromCivil(year, rule.wMonth, 1) % 7 + 11) % 7);  // 1970-01-01 was a Thursday
        const int first = 1 + (rule.wDayOfWeek - firstWeekday + 7) % 7;
        day = first + 7 * (std::max<int>(rule.wDay, 1) - 1);
        while (day > DaysInMonth(year, rule.wMonth)) day -= 7;
    }
    return DaysFromCivil(year, rule.wMonth, static_cast<unsigned>(day)) * 86400 + rule.wHour * 3600 + rule.wMinute * 60 +
           rule.wSecond;
}

}  // namespace

DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION timeZone) {
    if (!timeZone) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return TIME_ZONE_ID_INVALID;
    }
    tzset();
    std::memset(timeZone, 0, sizeof *timeZone);
    const time_t now = time(nullptr);
    int nowDst = 0;
    OffsetAt(now, &nowDst);

    tm parts{};
    localtime_r(&now, &parts);
    tm january{};
    january.tm_year = parts.tm_year;
    january.tm_mday = 1;
    january.tm_isdst = -1;
    const time_t yearStart = timegm(&january) - 86400;
    const time_t yearEnd = yearStart + 367 * 86400;

    const time_t dstStart = FindTransition(yearStart, yearEnd, true);
    const time_t dstEnd = FindTransition(yearStart, yearEnd, false);
    // Standard offset: an instant outside daylight time.
    time_t standardInstant = now;
    if (nowDst) standardInstant = dstEnd >= 0 ? dstEnd : (dstStart >= 0 ? dstStart - 1 : now);
    const long standardOffset = OffsetAt(standardInstant, nullptr);
    timeZone->Bias = static_cast<LONG>(-standardOffset / 60);
    CopyZoneName(timeZone->StandardName, tzname[0]);
    CopyZoneName(timeZone->DaylightName, tzname[1]);
    if (dstStart < 0 || dstEnd < 0) return TIME_ZONE_ID_UNKNOWN;

    const long daylightOffset = OffsetAt(dstStart, nullptr);
    timeZone->DaylightBias = static_cast<LONG>(-(daylightOffset - standardOffset) / 60);
    // As on Windows: the start in standard local time, the end in daylight local time.
    timeZone->DaylightDate = AsRule(SystemTimeFromUnix(dstStart + standardOffset, 0));
    timeZone->StandardDate = AsRule(SystemTimeFromUnix(dstEnd + daylightOffset, 0));
    return nowDst ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime) {
    if (!systemTime || !fileTime || !ValidSystemTime(*systemTime)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const LONGLONG ticks = (UnixSecondsOf(*systemTime) + kEpochDifferenceSeconds) * kTicksPerSecond +
                           static_cast<LONGLONG>(systemTime->wMilliseconds) * 10000;
    fileTime->dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFF);
    fileTime->dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(ticks) >> 32);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime) {
    if (!fileTime || !systemTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const ULONGLONG ticks = (static_cast<ULONGLONG>(fileTime->dwHighDateTime) << 32) | fileTime->dwLowDateTime;
    if (ticks >= 0x8000000000000000ULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const LONGLONG seconds = static_cast<LONGLONG>(ticks / kTicksPerSecond) - kEpochDifferenceSeconds;
    *systemTime = SystemTimeFromUnix(seconds, static_cast<WORD>((ticks % kTicksPerSecond) / 10000));
    return TRUE;
}

BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* timeZone,
                                     const SYSTEMTIME* universalTime, LPSYSTEMTIME localTime) {
    if (!universalTime || !localTime || !ValidSystemTime(*universalTime)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const LONGLONG utc = UnixSecondsOf(*universalTime);
    LONGLONG local = 0;
    if (!timeZone) {
        tzset();
        local = utc + OffsetAt(static_cast<time_t>(utc), nullptr);
    } else if (timeZone->DaylightDate.wMonth == 0 || timeZone->StandardDate.wMonth == 0) {
        local = utc - static_cast<LONGLONG>(timeZone->Bias) * 60;
    } else {
        // Daylight time runs from DaylightDate (standard local time) to StandardDate
        // (daylight local time); compare both in standard local time.
        const LONGLONG standardLocal = utc - static_cast<LONGLONG>(timeZone->Bias + timeZone->StandardBias) * 60;
        const int year = SystemTimeFromUnix(standardLocal, 0).wYear;
        const LONGLONG start = TransitionIn(year, timeZone->DaylightDate);
        const LONGLONG end = TransitionIn(year, timeZone->StandardDate) +
                             static_cast<LONGLONG>(timeZone->DaylightBias - timeZone->StandardBias) * 60;
        const bool daylight = start < end ? (standardLocal >= start && standardLocal < end)
                                          : (standardLocal >= start || standardLocal < end);
        local = utc - static_cast<LONGLONG>(timeZone->Bias + (daylight ? timeZone->DaylightBias : timeZone->StandardBias)) * 60;
    }
    *localTime = SystemTimeFromUnix(local, universalTime->wMilliseconds);
    return TRUE;
}
