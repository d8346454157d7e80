// The host.h helpers on Windows: paths are real Windows paths, so the mapped C runtime
// functions are the plain ones, and exit codes need no side channel.
#include "platform/win/host.h"

#include <direct.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace host {

std::string MapPath(std::string_view windowsPath) { return std::string(windowsPath); }

std::FILE* MappedFopen(const char* path, const char* mode) {
    if (!path || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    return std::fopen(path, mode);
}

std::FILE* OpenOwnFile(const char* path, const char* mode, bool* created, std::string* refusal) {
    if (created) *created = false;
    if (refusal) refusal->clear();
    if (!path || !mode || (mode[0] != 'a' && mode[0] != 'w')) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const bool existed = GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
    std::FILE* file = std::fopen(path, mode);
    if (!file) {
        SetLastError(_doserrno != 0 ? static_cast<DWORD>(_doserrno) : ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (created) *created = !existed;
    return file;
}

int MappedMkdir(const char* path) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    return _mkdir(path);
}

int MappedRemove(const char* path) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    return std::remove(path);
}

int MappedRename(const char* from, const char* to) {
    if (!from || !to) {
        errno = EINVAL;
        return -1;
    }
    return std::rename(from, to);
}

BOOL StartFileWriteBack(HANDLE, ULONGLONG, ULONGLONG) { return TRUE; }

// The second the machine started: the clock less the time since boot. A clock set
// meanwhile, or a start close to a second's edge, at worst tells a boot apart from
// itself, which only costs the caller work again; two boots look alike only when their
// starts fall in one second by the clock.
std::string BootIdentity() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG nowMs = ((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000;
    const ULONGLONG bootSecond = (nowMs - GetTickCount64()) / 1000;
    return "boot-" + std::to_string(bootSecond);
}

int ExitStatus(DWORD exitCode) { return static_cast<int>(exitCode); }

}  // namespace host
