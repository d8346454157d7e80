// The agent log: process-wide settings, opening and closing, and the four leveled entry
// points. Entries and the rotation's truncation exclude each other through one mutex.
#include "runtime/log.h"

#include <fmt/compile.h>
#include <fmt/format.h>

#include <atomic>
#include <cstdio>
#include <mutex>

std::FILE* gv_logFilePtr = nullptr;
std::optional<std::string> gv_quennetRoot;

namespace {

struct LogSettings {
    std::optional<std::string> fileName;
    std::optional<std::string> directory;
    std::optional<std::string> fullPath;
};

// The mutex lives as long as the process, never destroyed: entries may still come from
// other threads while static objects are destroyed at exit. Recursive, so a holder of
// LogLockGuard may log.
std::recursive_mutex& LogMutex() {
    static auto* mutex = new std::recursive_mutex;
    return *mutex;
}

LogSettings gv_logSettings;  // guarded by LogMutex()
// Mirrors for the cheap unlocked check in LogEnabled; the writer re-checks under the lock.
std::atomic<bool> gv_logOpen{false};
std::atomic<bool> gv_logLockExists{false};
std::atomic<BYTE> gv_logLevel{0};

const char* TagOf(LogLevel level) {
    switch (level) {
        case LogLevel::Info: return "[INFO]";
        case LogLevel::Error: return "[ERROR]";
        case LogLevel::Debug: return "[DEBUG]";
        case LogLevel::Trace: return "[TRACE]";
    }
    return "[INFO]";
}

bool Allows(BYTE level, LogLevel entry) {
    return level != 0 && level >= static_cast<BYTE>(entry);
}

void SetOpenFile(std::FILE* file) {
    gv_logFilePtr = file;
    gv_logOpen = file != nullptr;
}

// Creates the folder, and its parents when it cannot be created directly. The path is
// mapped first, so drive letters and backslashes separate folders as on Windows.
void CreateFolderWithParents(const std::string& path) {
    if (path.empty()) return;
    if (host::MappedMkdir(path.c_str()) == 0) return;
    std::string parent = path;
    // Both separators: on Windows the path is not mapped and keeps its backslashes.
    while (parent.size() > 1 && (parent.back() == '/' || parent.back() == '\\')) parent.pop_back();
    const std::size_t cut = parent.find_last_of("/\\");
    if (cut == std::string::npos || cut == 0) return;
    parent.resize(cut);
    CreateFolderWithParents(parent);
    host::MappedMkdir(path.c_str());
}

void WriteMarker(const char* format) {
    const std::string stamp = GetLogTimestamp();
    const LogArg arg(stamp);
    const std::string line = FormatLogText(format, std::span(&arg, 1));
    std::fwrite(line.data(), 1, line.size(), gv_logFilePtr);
    std::fflush(gv_logFilePtr);
}

bool Open(const char* mode) {
    std::lock_guard lock(LogMutex());
    if (gv_logFilePtr) {
        LogTrace("gv_logFilePtr already Set\n");
        return true;
    }
    if (!gv_logSettings.fileName) return false;
    const std::string& name = *gv_logSettings.fileName;
    std::string path;
    if (gv_logSettings.directory) {
        CreateFolderWithParents(host::MapPath(*gv_logSettings.directory));
        path = *gv_logSettings.directory + "/" + name;
    } else if (gv_quennetRoot) {
        CreateFolderWithParents(host::MapPath(*gv_quennetRoot + "/logs"));
        path = *gv_quennetRoot + "/logs/" + name;
    } else {
        host::MappedMkdir("../logs");
        path = "../logs/" + name;
    }
    gv_logSettings.fullPath = path;
    std::FILE* file = OpenPrivateTextFile(path.c_str(), mode);
    if (!file) return false;
    SetOpenFile(file);
    WriteMarker("Log open time: %s\n");
    return true;
}

ULONGLONG SystemTicks() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// The local calendar fields of one UTC second, per thread. Every entry reads the cheap
// system clock; the local time, which costs a time-zone lookup, is taken once a second.
// Zone and daylight changes fall on whole seconds, so the fields stay exact.
struct LocalSecond {
    ULONGLONG second = ~0ULL;
    SYSTEMTIME fields{};
};
thread_local LocalSecond t_localSecond;

constexpr ULONGLONG kTicksPerSecond = 10000000;  // FILETIME counts 100 ns

SYSTEMTIME LocalNow() {
    const ULONGLONG ticks = SystemTicks();
    const ULONGLONG second = ticks / kTicksPerSecond;
    const WORD milliseconds = static_cast<WORD>(ticks / 10000 % 1000);
    LocalSecond& cache = t_localSecond;
    if (second != cache.second) {
        SYSTEMTIME local{};
        GetLocalTime(&local);
        // Keep the reading only when it provably lies in the second of the clock read
        // after it (same second and not later in it).
        const ULONGLONG after = SystemTicks();
        if (local.wMilliseconds <= after / 10000 % 1000) {
            cache.second = after / kTicksPerSecond;
            cache.fields = local;
        }
        if (second != cache.second) return local;
    }
    SYSTEMTIME now = cache.fields;
    now.wMilliseconds = milliseconds;
    return now;
}

// "%d-%02d-%02d %02d:%02d:%02d:%03d"
void AppendTimestamp(std::string& out) {
    const SYSTEMTIME now = LocalNow();
    char buffer[48];  // five-digit years at most: WORD fields
    char* end = fmt::format_to(buffer, FMT_COMPILE("{}-{:02}-{:02} {:02}:{:02}:{:02}:{:03}"), now.wYear, now.wMonth,
                               now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    out.append(buffer, static_cast<std::size_t>(end - buffer));
}

// Thread identifiers do not change for the life of a thread: asked once per thread.
int CurrentThreadNumber() {
    thread_local const int number = static_cast<int>(GetCurrentThreadId());
    return number;
}

}  // namespace

std::FILE* OpenPrivateTextFile(const char* path, const char* mode, bool* created) {
    std::string refusal;
    std::FILE* file = host::OpenOwnFile(path, mode, created, &refusal);
    if (!file && !refusal.empty()) {
        // Someone else put this file there: it is left alone, and said so where an
        // administrator sees it (the log itself may be the file refused).
        std::fprintf(stderr, "vantorra: not writing %s: it %s\n", path, refusal.c_str());
        std::fflush(stderr);
        SetLastError(ERROR_ACCESS_DENIED);
    }
    return file;
}

std::string GetLogTimestamp() {
    std::string stamp;
    AppendTimestamp(stamp);
    return stamp;
}

bool LogEnabled(LogLevel level) {
    return gv_logOpen && gv_logLockExists && Allows(gv_logLevel, level);
}

void WriteLogEntry(LogLevel level, const char* format, std::span<const LogArg> args) noexcept {
    try {
        if (!LogEnabled(level)) return;
        // Format outside the lock: it is the expensive part and touches no shared state.
        const std::string message = FormatLogText(format, args);
        // The whole line goes out in one write. (A plain local, not a reused thread_local:
        // entries may still come while the main thread's thread_locals are being destroyed.)
        std::string entry;
        entry.reserve(message.size() + 64);
        std::lock_guard lock(LogMutex());
        if (!gv_logFilePtr || !gv_logLockExists || !Allows(gv_logLevel, level)) return;
        entry += "[ ";
        AppendTimestamp(entry);  // under the lock, so the stamps in the file never go backwards
        entry += " ] [ ";
        char thread[16];
        const char* threadEnd = fmt::format_to(thread, FMT_COMPILE("{}"), CurrentThreadNumber());
        entry.append(thread, static_cast<std::size_t>(threadEnd - thread));
        entry += " ] ";
        entry += TagOf(level);
        entry += ' ';
        entry += message;
        std::fwrite(entry.data(), 1, entry.size(), gv_logFilePtr);
        std::fflush(gv_logFilePtr);
    } catch (...) {
        // No memory for the entry, or a lock the system refused: the entry is lost, the
        // caller's work goes on.
    }
}

void AppendTextToFileArgs(const char* path, const char* format, std::span<const LogArg> args) {
    if (!path || !format) return;
    const std::string text = FormatLogText(format, args);
    std::FILE* file = OpenPrivateTextFile(path, "a");
    if (!file) return;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

bool SetLogDefaults() {
    std::lock_guard lock(LogMutex());
    if (gv_logFilePtr) {
        gv_logLevel = 3;
        return true;
    }
    if (gv_logSettings.fileName) return true;
    gv_logSettings.fileName = "quennet.log";
    gv_logSettings.directory.reset();
    gv_logSettings.fullPath.reset();
    gv_logLevel = 3;
    gv_logLockExists = true;
    return true;
}

bool ConfigureLog(const char* fileName, const char* directory, BYTE level) {
    if (!fileName) return false;
    std::lock_guard lock(LogMutex());
    gv_logSettings.fileName = fileName;
    if (directory) gv_logSettings.directory = directory;
    else gv_logSettings.directory.reset();
    gv_logLevel = level;
    return true;
}

bool SetLogFileName(const char* fileName) {
    if (!fileName) return false;
    std::lock_guard lock(LogMutex());
    gv_logSettings.fileName = fileName;
    return true;
}

bool SetLogDirectory(const char* directory) {
    if (!directory) return false;
    std::lock_guard lock(LogMutex());
    gv_logSettings.directory = directory;
    return true;
}

void SetLogLevel(BYTE level) { gv_logLevel = level; }

bool SetLogFile(std::FILE* file) {
    if (!file) return false;
    std::lock_guard lock(LogMutex());
    // The log owns the file it writes; one replaced by another would never be closed.
    if (gv_logFilePtr && gv_logFilePtr != file) std::fclose(gv_logFilePtr);
    SetOpenFile(file);
    return true;
}

BYTE GetLogLevel() { return gv_logLevel; }

std::optional<std::string> GetLogFullPath() {
    std::lock_guard lock(LogMutex());
    return gv_logSettings.fullPath;
}

bool OpenLog() { return Open("w"); }
bool OpenLogAppend() { return Open("a+"); }

void CloseLog() {
    std::lock_guard lock(LogMutex());
    if (!gv_logFilePtr) return;
    WriteMarker("Log close time: %s\n");
    std::fclose(gv_logFilePtr);
    SetOpenFile(nullptr);
}

void ReleaseLogSettings() {
    std::lock_guard lock(LogMutex());
    gv_logSettings = LogSettings{};
    gv_logLockExists = false;
}

LogLockGuard::LogLockGuard() : held_(true) { LogMutex().lock(); }

LogLockGuard::~LogLockGuard() {
    if (held_) LogMutex().unlock();
}
