// Clocks, sleeping and the process and thread identities.
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/src/internal.h"
#include "platform/win/process.h"

namespace {

ULONGLONG MonotonicMilliseconds() {
    struct timespec now {};
    ::clock_gettime(CLOCK_BOOTTIME, &now);  // counts suspended time, like the Windows tick count
    return static_cast<ULONGLONG>(now.tv_sec) * 1000ULL + static_cast<ULONGLONG>(now.tv_nsec) / 1000000ULL;
}

}  // namespace

namespace host {

SYSTEMTIME ToSystemTime(const struct tm& parts, long nanoseconds) {
    SYSTEMTIME out{};
    out.wYear = static_cast<WORD>(parts.tm_year + 1900);
    out.wMonth = static_cast<WORD>(parts.tm_mon + 1);
    out.wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    out.wDay = static_cast<WORD>(parts.tm_mday);
    out.wHour = static_cast<WORD>(parts.tm_hour);
    out.wMinute = static_cast<WORD>(parts.tm_min);
    out.wSecond = static_cast<WORD>(parts.tm_sec > 59 ? 59 : parts.tm_sec);  // no leap second on Windows
    out.wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
    return out;
}

}  // namespace host

void Sleep(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void GetLocalTime(LPSYSTEMTIME systemTime) {
    if (!systemTime) return;
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    ::tzset();  // follow TZ changes made while the process runs
    struct tm parts {};
    ::localtime_r(&now.tv_sec, &parts);
    *systemTime = host::ToSystemTime(parts, now.tv_nsec);
}

void GetSystemTime(LPSYSTEMTIME systemTime) {
    if (!systemTime) return;
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm parts {};
    ::gmtime_r(&now.tv_sec, &parts);
    *systemTime = host::ToSystemTime(parts, now.tv_nsec);
}

void GetSystemTimeAsFileTime(LPFILETIME fileTime) {
    if (!fileTime) return;
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    // 100-nanosecond intervals since 1601-01-01.
    const ULONGLONG ticks = static_cast<ULONGLONG>(now.tv_sec) * 10000000ULL +
                            static_cast<ULONGLONG>(now.tv_nsec) / 100 + 116444736000000000ULL;
    fileTime->dwLowDateTime = static_cast<DWORD>(ticks);
    fileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

DWORD GetTickCount() { return static_cast<DWORD>(MonotonicMilliseconds()); }
ULONGLONG GetTickCount64() { return MonotonicMilliseconds(); }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }
DWORD GetCurrentThreadId() { return static_cast<DWORD>(::gettid()); }
