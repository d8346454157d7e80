// The agent log: one process-wide, leveled, line-oriented log file, written through
// LogInfo, LogError, LogDebug and LogTrace with printf-style format strings.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/platform.h"

// One argument of a printf-style log format. The formatter takes the conversion from
// the format and the value from here, so a mismatch never reads the wrong type:
// "%s" with a null text prints "(null)", "%S"/"%ws" take UTF-16 text, "%d" and "%u"
// print 32 bits unless "ll"/"I64" asks for 64 (long is 32-bit, as on Windows).
class LogArg {
public:
    // What the argument holds; the matching accessor below gives it.
    enum class Kind { Signed, Unsigned, Double, Text, WideText, Pointer };

    template <typename T>
        requires(std::is_integral_v<T> || std::is_enum_v<T>)
    LogArg(T value) {  // NOLINT(google-explicit-constructor)
        if constexpr (std::is_enum_v<T>) {
            kind_ = Kind::Signed;
            signed_ = static_cast<std::int64_t>(value);
        } else if constexpr (std::is_signed_v<T>) {
            kind_ = Kind::Signed;
            signed_ = value;
        } else {
            kind_ = Kind::Unsigned;
            unsigned_ = value;
        }
    }
    LogArg(double value) : kind_(Kind::Double), double_(value) {}
    LogArg(const char* text)
        : kind_(Kind::Text), text_(text ? std::string_view(text) : std::string_view()), isNull_(text == nullptr) {}
    LogArg(const std::string& text) : kind_(Kind::Text), text_(text) {}
    LogArg(std::string_view text) : kind_(Kind::Text), text_(text) {}
    LogArg(const std::optional<std::string>& text)
        : kind_(Kind::Text), isNull_(!text.has_value()) {
        if (text) text_ = *text;
    }
    LogArg(const WCHAR* text) : kind_(Kind::WideText), isNull_(text == nullptr) {
        if (text) wide_ = text;
    }
    LogArg(const WideString& text) : kind_(Kind::WideText), wide_(text) {}
    LogArg(WideStringView text) : kind_(Kind::WideText), wide_(text) {}
    LogArg(const std::optional<WideString>& text)
        : kind_(Kind::WideText), isNull_(!text.has_value()) {
        if (text) wide_ = *text;
    }
    LogArg(const void* pointer) : kind_(Kind::Pointer), pointer_(pointer) {}
    LogArg(std::nullptr_t) : kind_(Kind::Text), isNull_(true) {}

    // kind, asSigned, asUnsigned, asDouble, isNull, text, wideText, pointer: the value held,
    // converted where the format asks another kind (texts and views borrowed from the caller,
    // valid while the call that packed them runs).
    Kind kind() const { return kind_; }
    std::int64_t asSigned() const;
    std::uint64_t asUnsigned() const;
    double asDouble() const;
    bool isNull() const { return isNull_; }
    std::string_view text() const { return text_; }
    WideStringView wideText() const { return wide_; }
    const void* pointer() const { return pointer_; }

private:
    Kind kind_;
    std::int64_t signed_ = 0;
    std::uint64_t unsigned_ = 0;
    double double_ = 0;
    std::string_view text_;
    WideStringView wide_;
    const void* pointer_ = nullptr;
    bool isNull_ = false;
};

// Formats printf-style with the rules of LogArg; never fails, never reads past args.
std::string FormatLogText(const char* format, std::span<const LogArg> args);

// Severity of an entry; an entry is written when its level is at most the log's level.
enum class LogLevel : std::uint8_t { Info = 1, Error = 2, Debug = 3, Trace = 4 };

// Writes one entry: prefix and formatted message, flushed, under the log lock. An entry
// that finds no memory to be built in is dropped: logging never throws.
void WriteLogEntry(LogLevel level, const char* format, std::span<const LogArg> args) noexcept;
// True when an entry of this level would be written (a file is open, the level allows
// it and the lock exists); lets callers skip formatting work.
bool LogEnabled(LogLevel level);

template <typename... Args>
// LogInfo, LogError, LogDebug, LogTrace: one entry of that level, formatted printf-style
// with the rules of LogArg; nothing when the level or a closed log excludes it.
void LogInfo(const char* format, const Args&... args) {
    if (!LogEnabled(LogLevel::Info)) return;
    const LogArg packed[] = {LogArg(args)..., LogArg(0)};
    WriteLogEntry(LogLevel::Info, format, std::span(packed, sizeof...(Args)));
}
template <typename... Args>
void LogError(const char* format, const Args&... args) {
    if (!LogEnabled(LogLevel::Error)) return;
    const LogArg packed[] = {LogArg(args)..., LogArg(0)};
    WriteLogEntry(LogLevel::Error, format, std::span(packed, sizeof...(Args)));
}
template <typename... Args>
void LogDebug(const char* format, const Args&... args) {
    if (!LogEnabled(LogLevel::Debug)) return;
    const LogArg packed[] = {LogArg(args)..., LogArg(0)};
    WriteLogEntry(LogLevel::Debug, format, std::span(packed, sizeof...(Args)));
}
template <typename... Args>
void LogTrace(const char* format, const Args&... args) {
    if (!LogEnabled(LogLevel::Trace)) return;
    const LogArg packed[] = {LogArg(args)..., LogArg(0)};
    WriteLogEntry(LogLevel::Trace, format, std::span(packed, sizeof...(Args)));
}

// Opens a log-like file the process writes (host::OpenOwnFile: created owner read-write,
// group read, never through a link, never another user's file). A file refused for what
// it is gets one line on stderr; other failures are silent. Null on failure; the caller
// closes the file with fclose.
std::FILE* OpenPrivateTextFile(const char* path, const char* mode, bool* created = nullptr);

// Appends the formatted text to the named file (created when absent, as
// OpenPrivateTextFile); silent on failure but for a refused file.
void AppendTextToFileArgs(const char* path, const char* format, std::span<const LogArg> args);
template <typename... Args>
// AppendTextToFileArgs with the arguments packed.
void AppendTextToFile(const char* path, const char* format, const Args&... args) {
    const LogArg packed[] = {LogArg(args)..., LogArg(0)};
    AppendTextToFileArgs(path, format, std::span(packed, sizeof...(Args)));
}

// The open log file; every entry point writes nothing while it is null.
extern std::FILE* gv_logFilePtr;
// The store's root directory; the log opens "<root>/logs/<file>" when no directory is set.
extern std::optional<std::string> gv_quennetRoot;

// The store's defaults: "quennet.log" (in the store root's logs/) at level 3, unless a file
// is named already; with a log open only the level is set. Always true.
bool SetLogDefaults();
// ConfigureLog, SetLogFileName, SetLogDirectory: the file name, folder and level the next
// OpenLog uses (a null directory: logs/ of the store root, else ../logs); false for a null
// name or folder.
bool ConfigureLog(const char* fileName, const char* directory, BYTE level);
bool SetLogFileName(const char* fileName);
bool SetLogDirectory(const char* directory);
// SetLogLevel, GetLogLevel: the level entries are written up to (1 INFO ... 4 TRACE).
void SetLogLevel(BYTE level);
// Writes the log to an open file from now on; the log takes it over (and closes the one
// it had). False for null.
bool SetLogFile(std::FILE* file);
// The level entries are written up to.
BYTE GetLogLevel();
// The path of the open log file; none before OpenLog.
std::optional<std::string> GetLogFullPath();

// OpenLog, OpenLogAppend: open the configured file (its folder created) for writing anew
// or for appending, and write the open-time line; true at once when a log is open, false
// when none is configured or the file cannot be opened.
bool OpenLog();        // truncates
bool OpenLogAppend();  // appends
// Writes the close-time line and closes the log file; nothing when none is open.
void CloseLog();
// Forgets the configured file, folder and lock, so the next set-up starts afresh.
void ReleaseLogSettings();
// The current local time as the log's entries show it ("YYYY-MM-DD HH:MM:SS:mmm").
std::string GetLogTimestamp();

// Agent-side set-up: level from "ZQAgentLogLevel" (2 when absent); openMode 2
// truncates, anything else appends. 0 on success, 13 on failure.
DWORD InitializeAgentLog(const char* fileName, const char* directory, int openMode);
// The installer's set-up: reads the install directory, starts the rotation and opens
// "<install dir>logs/<fileName>". 0, or the registry error for the install directory.
DWORD InitializeProcessLog(const char* fileName);

// Serialises log writes against the truncation of the log rotation.
class LogLockGuard {
public:
    LogLockGuard();
    ~LogLockGuard();
    LogLockGuard(const LogLockGuard&) = delete;
    LogLockGuard& operator=(const LogLockGuard&) = delete;

private:
    bool held_;
};
