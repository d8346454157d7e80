// What the machine reports about itself: version, product edition, processor, WOW64,
// and the time-zone conversions. Answers come from the machine profile (machine.ini).
#pragma once

#include "platform/win/types.h"

#ifndef _WIN32  // on Windows the SDK declares all of this (platform/win/types.h)

// The system's version as GetVersionExA reports it.
struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
};
// Pointer to an OSVERSIONINFOA.
using LPOSVERSIONINFOA = OSVERSIONINFOA*;

// OSVERSIONINFOA with the service pack, suite and product type.
struct OSVERSIONINFOEXA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};
// Pointer to an OSVERSIONINFOEXA.
using LPOSVERSIONINFOEXA = OSVERSIONINFOEXA*;
static_assert(sizeof(OSVERSIONINFOA) == 148 && sizeof(OSVERSIONINFOEXA) == 156);

inline constexpr DWORD VER_PLATFORM_WIN32s = 0;
inline constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
inline constexpr DWORD VER_PLATFORM_WIN32_NT = 2;
inline constexpr BYTE VER_NT_WORKSTATION = 1;
inline constexpr BYTE VER_NT_DOMAIN_CONTROLLER = 2;
inline constexpr BYTE VER_NT_SERVER = 3;
inline constexpr WORD VER_SUITE_SMALLBUSINESS = 0x0001;
inline constexpr WORD VER_SUITE_ENTERPRISE = 0x0002;
inline constexpr WORD VER_SUITE_TERMINAL = 0x0010;
inline constexpr WORD VER_SUITE_SMALLBUSINESS_RESTRICTED = 0x0020;
inline constexpr WORD VER_SUITE_DATACENTER = 0x0080;
inline constexpr WORD VER_SUITE_SINGLEUSERTS = 0x0100;
inline constexpr WORD VER_SUITE_PERSONAL = 0x0200;
inline constexpr WORD VER_SUITE_BLADE = 0x0400;

// dwOSVersionInfoSize must be 148 (plain) or 156 (extended); otherwise, or when the
// profile makes the call fail, FALSE with ERROR_INSUFFICIENT_BUFFER.
BOOL GetVersionExA(LPOSVERSIONINFOA versionInfo);
// Reports the profile's edition; FALSE (and PRODUCT_UNDEFINED) when it is 0.
BOOL GetProductInfo(DWORD osMajor, DWORD osMinor, DWORD spMajor, DWORD spMinor,
                    PDWORD productType);

inline constexpr WORD PROCESSOR_ARCHITECTURE_INTEL = 0;
inline constexpr WORD PROCESSOR_ARCHITECTURE_ARM = 5;
inline constexpr WORD PROCESSOR_ARCHITECTURE_IA64 = 6;
inline constexpr WORD PROCESSOR_ARCHITECTURE_AMD64 = 9;
inline constexpr WORD PROCESSOR_ARCHITECTURE_ARM64 = 12;

// Processor architecture and count, page size, as GetSystemInfo reports them.
struct SYSTEM_INFO {
    WORD wProcessorArchitecture;
    WORD wReserved;
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    DWORD_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
};
// Pointer to a SYSTEM_INFO.
using LPSYSTEM_INFO = SYSTEM_INFO*;

// The native architecture; GetSystemInfo reports x86 to a process running under WOW64.
void GetNativeSystemInfo(LPSYSTEM_INFO systemInfo);
// The system as this process sees it: x86 for a 32-bit process under WOW64.
void GetSystemInfo(LPSYSTEM_INFO systemInfo);
// The profile's wow64 answer; FALSE with ERROR_INVALID_HANDLE for a handle other than
// the current process.
BOOL IsWow64Process(HANDLE process, BOOL* wow64Process);
// Wow64DisableWow64FsRedirection, Wow64RevertWow64FsRedirection: the host has no
// file-system redirection, so both succeed and change nothing (FALSE only for a null
// oldValue).
BOOL Wow64DisableWow64FsRedirection(PVOID* oldValue);
BOOL Wow64RevertWow64FsRedirection(PVOID oldValue);

// ---- Time zones ----
// A time zone: bias from UTC in minutes, its names and its daylight-time rules.
struct TIME_ZONE_INFORMATION {
    LONG Bias;  // minutes, UTC = local + Bias
    WCHAR StandardName[32];
    SYSTEMTIME StandardDate;
    LONG StandardBias;
    WCHAR DaylightName[32];
    SYSTEMTIME DaylightDate;
    LONG DaylightBias;
};
// Pointer to a TIME_ZONE_INFORMATION.
using LPTIME_ZONE_INFORMATION = TIME_ZONE_INFORMATION*;

inline constexpr DWORD TIME_ZONE_ID_UNKNOWN = 0;
inline constexpr DWORD TIME_ZONE_ID_STANDARD = 1;
inline constexpr DWORD TIME_ZONE_ID_DAYLIGHT = 2;
inline constexpr DWORD TIME_ZONE_ID_INVALID = 0xFFFFFFFF;

// The zone of the process's TZ, with this year's daylight-time transitions as Windows
// rules (n-th weekday of a month); a zone without daylight time leaves them zero and
// answers TIME_ZONE_ID_UNKNOWN.
DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION timeZone);
// FALSE with ERROR_INVALID_PARAMETER for an invalid calendar time.
BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime);
// The calendar fields of a FILETIME; FALSE with ERROR_INVALID_PARAMETER for 2^63 ticks
// and more (past the year 30827).
BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime);
// Null zone: the process's current zone, by the rules of TZ for that instant. A given
// record: local = UTC - Bias - (StandardBias or, with daylight dates set, DaylightBias).
BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* timeZone,
                                     const SYSTEMTIME* universalTime, LPSYSTEMTIME localTime);

#endif  // _WIN32
