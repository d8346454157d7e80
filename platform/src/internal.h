// Helpers shared by the host layer's own units: errno translation, UTF-8/UTF-16
// conversion on std::string, and the lock that guards the process environment.
#pragma once

#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/win/types.h"

namespace host {

// The Windows error code for an errno value. For ENOENT the path decides between
// ERROR_FILE_NOT_FOUND (the folder exists) and ERROR_PATH_NOT_FOUND (it does not).
DWORD ErrorFromErrno(int error, const std::string& path = {});
// Sets the last error from errno as above and returns FALSE, for one-line failures.
BOOL FailErrno(const std::string& path = {});
BOOL Fail(DWORD error);

// Lossy conversions (invalid sequences become U+FFFD).
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// Null text reads as empty.
std::string NarrowArg(LPCWSTR text);

// getenv/setenv are not safe against each other; every environment access of the layer
// goes through this lock.
std::mutex& EnvironmentLock();
std::optional<std::string> GetEnv(const std::string& name);

// Copies text plus terminator when it fits (returns its length), else returns the size
// needed including the terminator (the Windows convention for path queries).
DWORD CopyOut(const std::string& text, LPSTR buffer, DWORD size);
DWORD CopyOut(const std::u16string& text, LPWSTR buffer, DWORD size);

// A broken-down C time as Windows reports it (no leap second; milliseconds from the
// nanoseconds given).
SYSTEMTIME ToSystemTime(const struct tm& parts, long nanoseconds);

// Host path of the folder of a mapped path ("." for a bare name).
std::string ParentFolder(const std::string& path);

}  // namespace host
