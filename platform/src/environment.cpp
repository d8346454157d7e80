// Current, system, Windows and temporary folders, the module file name and the
// process environment.
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/src/internal.h"
#include "platform/win/errors.h"
#include "platform/win/files.h"
#include "platform/win/host.h"

extern char** environ;

namespace {

// Windows names are case-insensitive; an exact match wins, then any spelling.
std::optional<std::string> LookupVariable(const std::string& name) {
    std::lock_guard guard(host::EnvironmentLock());
    if (const char* value = std::getenv(name.c_str())) return std::string(value);
    for (char** entry = environ; entry && *entry; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (equals && static_cast<size_t>(equals - *entry) == name.size() &&
            ::strncasecmp(*entry, name.c_str(), name.size()) == 0)
            return std::string(equals + 1);
    }
    return std::nullopt;
}

bool ValidName(LPCSTR name) { return name && *name && !std::strchr(name, '='); }

}  // namespace

DWORD GetCurrentDirectoryA(DWORD bufferLength, LPSTR buffer) {
    std::vector<char> path(PATH_MAX);
    while (!::getcwd(path.data(), path.size())) {
        if (errno != ERANGE) return host::FailErrno(), 0;
        path.resize(path.size() * 2);
    }
    return host::CopyOut(std::string(path.data()), buffer, bufferLength);
}

BOOL SetCurrentDirectoryA(LPCSTR pathName) {
    if (!pathName || !*pathName) return host::Fail(ERROR_INVALID_PARAMETER);
    const std::string path = host::MapPath(pathName);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return host::FailErrno(path);
    if (!S_ISDIR(info.st_mode)) return host::Fail(ERROR_DIRECTORY);
    if (::chdir(path.c_str()) != 0) return host::FailErrno(path);
    return TRUE;
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
    return host::CopyOut(std::string("C:\\Windows\\system32"), buffer, size);
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    return host::CopyOut(std::string("C:\\Windows"), buffer, size);
}

namespace {

std::string TempPath() {
    std::string path;
    for (const char* name : {"TMP", "TEMP", "TMPDIR"}) {
        if (auto value = host::GetEnv(name); value && !value->empty()) {
            path = *value;
            break;
        }
    }
    if (path.empty()) path = "/tmp";
    if (path.back() != '/' && path.back() != '\\') {
        const bool windowsForm = path.find('\\') != std::string::npos || (path.size() >= 2 && path[1] == ':');
        path += windowsForm ? '\\' : '/';
    }
    return path;
}

}  // namespace

DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer) {
    SetLastError(ERROR_SUCCESS);
    return host::CopyOut(TempPath(), buffer, bufferLength);
}

DWORD GetTempPathW(DWORD bufferLength, LPWSTR buffer) {
    SetLastError(ERROR_SUCCESS);
    return host::CopyOut(host::Utf8ToUtf16(TempPath()), buffer, bufferLength);
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    if (module != nullptr) return host::Fail(ERROR_MOD_NOT_FOUND), 0;
    if (!fileName || size == 0) return host::Fail(ERROR_INSUFFICIENT_BUFFER), 0;
    std::vector<char> path(PATH_MAX + 1);
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n < 0) return host::FailErrno(), 0;
    const std::string text(path.data(), static_cast<size_t>(n));
    if (text.size() + 1 > size) {
        // Windows truncates, terminates and reports the buffer size.
        std::memcpy(fileName, text.data(), size - 1);
        fileName[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    SetLastError(ERROR_SUCCESS);
    return host::CopyOut(text, fileName, size);
}

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    if (!ValidName(name)) return host::Fail(ERROR_ENVVAR_NOT_FOUND), 0;
    const auto value = LookupVariable(name);
    if (!value) return host::Fail(ERROR_ENVVAR_NOT_FOUND), 0;
    SetLastError(ERROR_SUCCESS);
    return host::CopyOut(*value, buffer, size);
}

DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
    if (!name) return host::Fail(ERROR_ENVVAR_NOT_FOUND), 0;
    const std::string narrow = host::NarrowArg(name);
    if (!ValidName(narrow.c_str())) return host::Fail(ERROR_ENVVAR_NOT_FOUND), 0;
    const auto value = LookupVariable(narrow);
    if (!value) return host::Fail(ERROR_ENVVAR_NOT_FOUND), 0;
    SetLastError(ERROR_SUCCESS);
    return host::CopyOut(host::Utf8ToUtf16(*value), buffer, size);
}

BOOL SetEnvironmentVariableA(LPCSTR name, LPCSTR value) {
    if (!ValidName(name)) return host::Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard guard(host::EnvironmentLock());
    const int result = value ? ::setenv(name, value, 1) : ::unsetenv(name);
    return result == 0 ? TRUE : host::FailErrno();
}

DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR dest, DWORD size) {
    if (!source) return host::Fail(ERROR_INVALID_PARAMETER), 0;
    std::string out;
    const std::string text = source;
    for (size_t i = 0; i < text.size();) {
        const size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
        if (close != std::string::npos && close > i + 1) {
            if (auto value = LookupVariable(text.substr(i + 1, close - i - 1))) {
                out += *value;
                i = close + 1;
                continue;
            }
        }
        out += text[i++];  // unknown names stay as they are
    }
    // The result counts the terminator, whether it fits or not.
    const DWORD needed = static_cast<DWORD>(out.size() + 1);
    if (dest && size >= needed) {
        std::memcpy(dest, out.c_str(), needed);
    }
    SetLastError(ERROR_SUCCESS);
    return needed;
}
