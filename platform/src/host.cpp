// The machine root, Windows path mapping, the mapped C runtime file functions,
// Windows command-line splitting and the exit-code file contract.
#include "platform/win/host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/src/internal.h"
#include "platform/win/errors.h"

namespace host {

std::mutex& EnvironmentLock() {
    static std::mutex lock;
    return lock;
}

std::optional<std::string> GetEnv(const std::string& name) {
    std::lock_guard guard(EnvironmentLock());
    const char* value = std::getenv(name.c_str());
    if (!value) return std::nullopt;
    return std::string(value);
}

std::string MachineRoot() {
    std::string root = GetEnv("VANTORRA_MACHINE_ROOT").value_or("");
    if (root.empty()) root = "/var/lib/vantorra/machine";
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

std::string MapPath(std::string_view windowsPath) {
    std::string mapped;
    if (windowsPath.size() >= 2 && windowsPath[1] == ':' &&
        std::isalpha(static_cast<unsigned char>(windowsPath[0]))) {
        mapped = MachineRoot() + "/drive_";
        mapped += static_cast<char>(std::tolower(static_cast<unsigned char>(windowsPath[0])));
        std::string_view rest = windowsPath.substr(2);
        // "C:file" has no per-drive current directory here: it is relative to the drive root.
        if (!rest.empty() && rest.front() != '\\' && rest.front() != '/') mapped += '/';
        mapped += rest;
    } else {
        mapped = windowsPath;
    }
    for (char& c : mapped)
        if (c == '\\') c = '/';
    return mapped;
}

std::FILE* MappedFopen(const char* path, const char* mode) {
    if (!path || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    return std::fopen(MapPath(path).c_str(), mode);
}

namespace {

constexpr mode_t kOwnFileMode = 0640;

}  // namespace

std::FILE* OpenOwnFile(const char* path, const char* mode, bool* created, std::string* refusal) {
    if (created) *created = false;
    if (refusal) refusal->clear();
    if (!path || !mode || (mode[0] != 'a' && mode[0] != 'w')) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string mapped = MapPath(path);
    int fd = -1;
    const auto fail = [&](DWORD error, const char* why = nullptr) -> std::FILE* {
        if (fd >= 0) ::close(fd);
        if (why && refusal) *refusal = why;
        SetLastError(error);
        return nullptr;
    };
    const bool update = std::strchr(mode, '+') != nullptr;
    // O_NONBLOCK: a FIFO planted there must not hold the open up; it is refused below.
    const int flags = (update ? O_RDWR : O_WRONLY) | (mode[0] == 'a' ? O_APPEND : 0) | O_NOFOLLOW |
                      O_NONBLOCK | O_CLOEXEC;
    fd = ::open(mapped.c_str(), flags | O_CREAT | O_EXCL, kOwnFileMode);
    const bool made = fd >= 0;
    if (fd < 0 && errno == EEXIST) fd = ::open(mapped.c_str(), flags);
    if (fd < 0) {
        if (errno == ELOOP) return fail(ERROR_ACCESS_DENIED, "is a symbolic link");
        // ENXIO: a FIFO nobody reads (or a device); EISDIR: a folder.
        if (errno == ENXIO || errno == EISDIR) return fail(ERROR_ACCESS_DENIED, "is not a regular file");
        return fail(ErrorFromErrno(errno, mapped));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) return fail(ErrorFromErrno(errno, mapped));
    if (!S_ISREG(info.st_mode)) return fail(ERROR_ACCESS_DENIED, "is not a regular file");
    if (info.st_uid != ::geteuid()) return fail(ERROR_ACCESS_DENIED, "belongs to another user");
    if (info.st_nlink != 1) return fail(ERROR_ACCESS_DENIED, "has other names (hard links)");
    // A file left by an older version may be readable by everyone.
    if (!made && (info.st_mode & 07777 & ~kOwnFileMode) != 0) ::fchmod(fd, info.st_mode & kOwnFileMode);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (mode[0] == 'w' && ::ftruncate(fd, 0) != 0) return fail(ErrorFromErrno(errno, mapped));
    std::FILE* file = ::fdopen(fd, mode);
    if (!file) return fail(ErrorFromErrno(errno, mapped));
    if (created) *created = made;
    SetLastError(ERROR_SUCCESS);
    return file;
}

int MappedMkdir(const char* path) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    return ::mkdir(MapPath(path).c_str(), 0777);
}

int MappedRemove(const char* path) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    return std::remove(MapPath(path).c_str());
}

int MappedRename(const char* from, const char* to) {
    if (!from || !to) {
        errno = EINVAL;
        return -1;
    }
    return std::rename(MapPath(from).c_str(), MapPath(to).c_str());
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
    std::vector<std::string> args;
    size_t i = 0;
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (i < line.size() && blank(line[i])) ++i;
    if (i >= line.size()) return args;

    // The program name: quotes group, backslashes are plain path characters.
    std::string program;
    bool quoted = false;
    for (; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') quoted = !quoted;
        else if (blank(c) && !quoted) break;
        else program += c;
    }
    args.push_back(std::move(program));

    for (;;) {
        while (i < line.size() && blank(line[i])) ++i;
        if (i >= line.size()) break;
        std::string arg;
        quoted = false;
        while (i < line.size()) {
            const char c = line[i];
            if (c == '\\') {
                size_t slashes = 0;
                while (i < line.size() && line[i] == '\\') ++slashes, ++i;
                if (i < line.size() && line[i] == '"') {
                    // 2n backslashes + quote: n backslashes and a grouping quote;
                    // 2n+1: n backslashes and a literal quote.
                    arg.append(slashes / 2, '\\');
                    if (slashes % 2) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(slashes, '\\');
                }
            } else if (c == '"') {
                if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                    arg += '"';  // "" inside quotes is a literal quote
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else if (blank(c) && !quoted) {
                break;
            } else {
                arg += c;
                ++i;
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

std::string BootIdentity() {
    std::FILE* file = std::fopen("/proc/sys/kernel/random/boot_id", "r");
    if (!file) return {};
    char text[64] = {};
    const bool read = std::fgets(text, sizeof text, file) != nullptr;
    std::fclose(file);
    std::string identity = read ? text : "";
    while (!identity.empty() && std::isspace(static_cast<unsigned char>(identity.back()))) identity.pop_back();
    return identity;
}

int ExitStatus(DWORD exitCode) {
    if (auto file = GetEnv("VANTORRA_EXIT_CODE_FILE"); file && !file->empty()) {
        if (std::FILE* out = std::fopen(file->c_str(), "w")) {
            std::fprintf(out, "%u", static_cast<unsigned>(exitCode));
            std::fclose(out);
        }
    }
    return static_cast<int>(exitCode & 0xFF);
}

}  // namespace host
