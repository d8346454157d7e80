// Files and folders on mapped paths: CreateFile with share modes honoured between this
// process's handles, reads and writes, copies, moves, deletes and attributes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/src/files_internal.h"
#include "platform/src/handles.h"
#include "platform/src/internal.h"
#include "platform/win/errors.h"
#include "platform/win/files.h"
#include "platform/win/host.h"

namespace host {
namespace {

constexpr DWORD ERROR_NEGATIVE_SEEK = 131;

enum AccessClass : unsigned { kRead = 1, kWrite = 2, kDelete = 4 };

unsigned ClassesOf(DWORD access) {
    unsigned classes = 0;
    if (access & (GENERIC_READ | GENERIC_ALL | GENERIC_EXECUTE | FILE_READ_DATA)) classes |= kRead;
    if (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) classes |= kWrite;
    if (access & (GENERIC_ALL | DELETE)) classes |= kDelete;
    return classes;
}

unsigned SharedClasses(DWORD share) {
    unsigned classes = 0;
    if (share & FILE_SHARE_READ) classes |= kRead;
    if (share & FILE_SHARE_WRITE) classes |= kWrite;
    if (share & FILE_SHARE_DELETE) classes |= kDelete;
    return classes;
}

struct FileKey {
    dev_t device;
    ino_t inode;
    auto operator<=>(const FileKey&) const = default;
};

struct OpenEntry {
    unsigned access;  // AccessClass bits the handle uses
    unsigned shared;  // AccessClass bits it lets others use
};

// Every open file handle of the process, by file identity.
struct ShareTable {
    std::mutex mutex;
    std::multimap<FileKey, OpenEntry> entries;
};

ShareTable& Shares() {
    static auto* table = new ShareTable;  // handles may be closed during static destruction
    return *table;
}

class FileObject : public KernelObject {
public:
    FileObject(int fd, FileKey key, std::multimap<FileKey, OpenEntry>::iterator entry, unsigned access)
        : fd_(fd), key_(key), entry_(entry), access_(access) {}
    ~FileObject() override {
        {
            auto& table = Shares();
            std::lock_guard lock(table.mutex);
            table.entries.erase(entry_);
        }
        ::close(fd_);
    }
    int fd() const { return fd_; }
    bool CanRead() const { return access_ & kRead; }
    bool CanWrite() const { return access_ & kWrite; }

private:
    int fd_;
    FileKey key_;
    std::multimap<FileKey, OpenEntry>::iterator entry_;
    unsigned access_;
};

bool Conflicts(const OpenEntry& held, unsigned access, unsigned shared) {
    return (access & ~held.shared) != 0 || (held.access & ~shared) != 0;
}

std::optional<FileKey> KeyOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileKey{info.st_dev, info.st_ino};
}

// True when some open handle does not let the file be deleted or renamed.
bool DeleteBlocked(const std::string& path) {
    const auto key = KeyOf(path);
    if (!key) return false;
    auto& table = Shares();
    std::lock_guard lock(table.mutex);
    auto [first, last] = table.entries.equal_range(*key);
    for (auto it = first; it != last; ++it)
        if (!(it->second.shared & kDelete)) return true;
    return false;
}

std::shared_ptr<FileObject> FileFromHandle(HANDLE handle) {
    auto file = LookupHandleAs<FileObject>(handle);
    if (!file) SetLastError(ERROR_INVALID_HANDLE);
    return file;
}

FILETIME ToFileTime(const struct timespec& time) {
    const ULONGLONG ticks = static_cast<ULONGLONG>(time.tv_sec) * 10000000ULL +
                            static_cast<ULONGLONG>(time.tv_nsec) / 100 + 116444736000000000ULL;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace

// Opens a host path with Windows semantics. On success the last error is 0, or
// ERROR_ALREADY_EXISTS when OPEN_ALWAYS/CREATE_ALWAYS found the file.
HANDLE OpenFileHandle(const std::string& path, DWORD desiredAccess, DWORD shareMode,
                      DWORD disposition, DWORD flags, mode_t createMode) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING || path.empty()) {
        SetLastError(path.empty() ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const unsigned access = ClassesOf(desiredAccess);
    if (disposition == TRUNCATE_EXISTING && !(access & kWrite)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const bool noFollow = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
    struct stat info {};
    if ((noFollow ? ::lstat(path.c_str(), &info) : ::stat(path.c_str(), &info)) == 0 && S_ISDIR(info.st_mode)) {
        // Folders open only for queries, and only with backup semantics, as on Windows.
        if (!(flags & FILE_FLAG_BACKUP_SEMANTICS) || disposition == CREATE_NEW) {
            SetLastError(disposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (access & kWrite) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
    }
    int mode = O_RDONLY;
    if ((access & kWrite) && (access & kRead)) mode = O_RDWR;
    else if (access & kWrite) mode = O_WRONLY;
    if ((desiredAccess & FILE_APPEND_DATA) &&
        !(desiredAccess & (FILE_WRITE_DATA | GENERIC_WRITE | GENERIC_ALL)))
        mode |= O_APPEND;
    mode |= O_CLOEXEC;
    if (noFollow) mode |= O_NOFOLLOW;
    const mode_t permissions = (flags & FILE_ATTRIBUTE_READONLY) ? 0444 : createMode;

    int fd = -1;
    bool existed = true;
    for (int attempt = 0; attempt < 4 && fd < 0; ++attempt) {
        if (disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) {
            fd = ::open(path.c_str(), mode | O_CREAT | O_EXCL, permissions);
            if (fd >= 0) {
                existed = false;
                break;
            }
            if (errno != EEXIST) return SetLastError(ErrorFromErrno(errno, path)), INVALID_HANDLE_VALUE;
            if (disposition == CREATE_NEW) return SetLastError(ERROR_FILE_EXISTS), INVALID_HANDLE_VALUE;
        }
        fd = ::open(path.c_str(), mode);
        if (fd < 0 && noFollow && errno == ELOOP) return SetLastError(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
        if (fd < 0 && !(errno == ENOENT && disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING))
            return SetLastError(ErrorFromErrno(errno, path)), INVALID_HANDLE_VALUE;
        // ENOENT after EEXIST: the file went away in between; try to create it again.
    }
    if (fd < 0) return SetLastError(ERROR_SHARING_VIOLATION), INVALID_HANDLE_VALUE;

    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        return SetLastError(ErrorFromErrno(error, path)), INVALID_HANDLE_VALUE;
    }
    const FileKey key{info.st_dev, info.st_ino};
    // A handle without data access takes no part in sharing, as on Windows.
    const OpenEntry entry{access, access ? SharedClasses(shareMode) : (kRead | kWrite | kDelete)};
    std::multimap<FileKey, OpenEntry>::iterator slot;
    {
        auto& table = Shares();
        std::lock_guard lock(table.mutex);
        auto [first, last] = table.entries.equal_range(key);
        for (auto it = first; it != last; ++it) {
            if (Conflicts(it->second, entry.access, entry.shared)) {
                ::close(fd);
                return SetLastError(ERROR_SHARING_VIOLATION), INVALID_HANDLE_VALUE;
            }
        }
        slot = table.entries.emplace(key, entry);
    }
    auto object = std::make_shared<FileObject>(fd, key, slot, access);
    if (existed && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) &&
        ::ftruncate(fd, 0) != 0) {
        return SetLastError(ErrorFromErrno(errno, path)), INVALID_HANDLE_VALUE;
    }
    HANDLE handle = RegisterHandle(std::move(object));
    SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return handle;
}

bool IsPathOpenForDeleteCheck(const std::string& path) { return DeleteBlocked(path); }

DWORD AttributesOf(const struct stat& info) {
    if (S_ISDIR(info.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
    if (!(info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

FILETIME FileTimeOf(const struct timespec& time) { return ToFileTime(time); }

}  // namespace host

using host::MapPath;

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
    if (!fileName) return SetLastError(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
    return host::OpenFileHandle(MapPath(fileName), desiredAccess, shareMode, creationDisposition,
                                flagsAndAttributes);
}

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES attributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile) {
    if (!fileName) return SetLastError(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
    const std::string narrow = host::NarrowArg(fileName);
    return CreateFileA(narrow.c_str(), desiredAccess, shareMode, attributes, creationDisposition,
                       flagsAndAttributes, templateFile);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, void*) {
    if (bytesRead) *bytesRead = 0;
    auto object = host::FileFromHandle(file);
    if (!object) return FALSE;
    if (!object->CanRead()) return host::Fail(ERROR_ACCESS_DENIED);
    if (!buffer && bytesToRead) return host::Fail(ERROR_INVALID_PARAMETER);
    auto* out = static_cast<char*>(buffer);
    DWORD done = 0;
    while (done < bytesToRead) {
        const ssize_t n = ::read(object->fd(), out + done, bytesToRead - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (bytesRead) *bytesRead = done;
            return host::Fail(errno == EISDIR ? ERROR_INVALID_FUNCTION : host::ErrorFromErrno(errno));
        }
        if (n == 0) break;  // end of file: success with what was read
        done += static_cast<DWORD>(n);
    }
    if (bytesRead) *bytesRead = done;
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, void*) {
    if (bytesWritten) *bytesWritten = 0;
    auto object = host::FileFromHandle(file);
    if (!object) return FALSE;
    if (!object->CanWrite()) return host::Fail(ERROR_ACCESS_DENIED);
    if (!buffer && bytesToWrite) return host::Fail(ERROR_INVALID_PARAMETER);
    const auto* in = static_cast<const char*>(buffer);
    DWORD done = 0;
    while (done < bytesToWrite) {
        const ssize_t n = ::write(object->fd(), in + done, bytesToWrite - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (bytesWritten) *bytesWritten = done;
            return host::FailErrno();
        }
        done += static_cast<DWORD>(n);
    }
    if (bytesWritten) *bytesWritten = done;
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
    auto object = host::FileFromHandle(file);
    if (!object) return FALSE;
    if (!object->CanWrite()) return host::Fail(ERROR_ACCESS_DENIED);
    return ::fsync(object->fd()) == 0 ? TRUE : host::FailErrno();
}

BOOL host::StartFileWriteBack(HANDLE file, ULONGLONG offset, ULONGLONG length) {
    auto object = host::FileFromHandle(file);
    if (!object) return FALSE;
    if (!object->CanWrite()) return host::Fail(ERROR_ACCESS_DENIED);
    if (::sync_file_range(object->fd(), static_cast<off64_t>(offset), static_cast<off64_t>(length),
                          SYNC_FILE_RANGE_WRITE) != 0)
        return host::FailErrno();
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
    auto object = host::FileFromHandle(file);
    if (!object) return FALSE;
    if (!size) return host::Fail(ERROR_INVALID_PARAMETER);
    struct stat info {};
    if (::fstat(object->fd(), &info) != 0) return host::FailErrno();
    size->QuadPart = S_ISDIR(info.st_mode) ? 0 : info.st_size;
    return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) return INVALID_FILE_SIZE;
    if (sizeHigh) *sizeHigh = static_cast<DWORD>(size.QuadPart >> 32);
    // A size whose low part is all ones is a valid answer only with a last error of 0.
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size.QuadPart);
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER newPosition,
                      DWORD moveMethod) {
    auto object = host::FileFromHandle(file);
    if (!object) return FALSE;
    int whence;
    switch (moveMethod) {
    case FILE_BEGIN: whence = SEEK_SET; break;
    case FILE_CURRENT: whence = SEEK_CUR; break;
    case FILE_END: whence = SEEK_END; break;
    default: return host::Fail(ERROR_INVALID_PARAMETER);
    }
    const off_t position = ::lseek(object->fd(), distance.QuadPart, whence);
    if (position < 0) return host::Fail(errno == EINVAL ? host::ERROR_NEGATIVE_SEEK : host::ErrorFromErrno(errno));
    if (newPosition) newPosition->QuadPart = position;
    return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD moveMethod) {
    LARGE_INTEGER move{};
    move.QuadPart = distanceHigh
                        ? static_cast<LONGLONG>((static_cast<ULONGLONG>(static_cast<DWORD>(*distanceHigh)) << 32) |
                                                static_cast<DWORD>(distance))
                        : static_cast<LONGLONG>(distance);
    LARGE_INTEGER position{};
    if (!SetFilePointerEx(file, move, &position, moveMethod)) return INVALID_SET_FILE_POINTER;
    if (distanceHigh) *distanceHigh = static_cast<LONG>(position.QuadPart >> 32);
    else if (position.QuadPart > 0xFFFFFFFFLL) return host::Fail(ERROR_INVALID_PARAMETER), INVALID_SET_FILE_POINTER;
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(position.QuadPart);
}

BOOL SetEndOfFile(HANDLE file) {
    auto object = host::FileFromHandle(file);
    if (!object) return FALSE;
    if (!object->CanWrite()) return host::Fail(ERROR_ACCESS_DENIED);
    const off_t position = ::lseek(object->fd(), 0, SEEK_CUR);
    if (position < 0 || ::ftruncate(object->fd(), position) != 0) return host::FailErrno();
    return TRUE;
}

BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME lastAccess, LPFILETIME lastWrite) {
    auto object = host::FileFromHandle(file);
    if (!object) return FALSE;
    struct statx info {};
    if (::statx(object->fd(), "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &info) != 0)
        return host::FailErrno();
    const auto convert = [](const struct statx_timestamp& t) {
        return host::FileTimeOf(timespec{static_cast<time_t>(t.tv_sec), static_cast<long>(t.tv_nsec)});
    };
    if (creation) *creation = convert((info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_mtime);
    if (lastAccess) *lastAccess = convert(info.stx_atime);
    if (lastWrite) *lastWrite = convert(info.stx_mtime);
    return TRUE;
}

BOOL CopyFileA(LPCSTR existingFile, LPCSTR newFile, BOOL failIfExists) {
    if (!existingFile || !newFile) return host::Fail(ERROR_INVALID_PARAMETER);
    const std::string from = MapPath(existingFile), to = MapPath(newFile);
    struct stat info {};
    if (::stat(from.c_str(), &info) != 0) return host::FailErrno(from);
    if (S_ISDIR(info.st_mode)) return host::Fail(ERROR_ACCESS_DENIED);
    struct stat target {};
    if (::stat(to.c_str(), &target) == 0) {
        if (failIfExists) return host::Fail(ERROR_FILE_EXISTS);
        if (S_ISDIR(target.st_mode)) return host::Fail(ERROR_ACCESS_DENIED);
        if (target.st_dev == info.st_dev && target.st_ino == info.st_ino)
            return host::Fail(ERROR_SHARING_VIOLATION);  // copying a file onto itself
    }
    // Both ends go through the share table so open handles are respected.
    HANDLE source = host::OpenFileHandle(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         OPEN_EXISTING, 0);
    if (source == INVALID_HANDLE_VALUE) return FALSE;
    // A new copy is as private as its source from its first byte on.
    HANDLE dest = host::OpenFileHandle(to, GENERIC_WRITE, 0, failIfExists ? CREATE_NEW : CREATE_ALWAYS, 0,
                                       info.st_mode & 0777);
    if (dest == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        host::UnregisterHandle(source);
        return host::Fail(error);
    }
    std::vector<char> buffer(1 << 16);
    BOOL ok = TRUE;
    for (;;) {
        DWORD got = 0, put = 0;
        if (!ReadFile(source, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            ok = FALSE;
            break;
        }
        if (got == 0) break;
        if (!WriteFile(dest, buffer.data(), got, &put, nullptr)) {
            ok = FALSE;
            break;
        }
    }
    const DWORD error = GetLastError();
    if (ok) {
        // Windows keeps the last-write time and the attributes of the source.
        auto object = host::LookupHandleAs<host::FileObject>(dest);
        const struct timespec times[2] = {info.st_atim, info.st_mtim};
        ::futimens(object->fd(), times);
        ::fchmod(object->fd(), info.st_mode & 07777);
    }
    host::UnregisterHandle(source);
    host::UnregisterHandle(dest);
    if (!ok) {
        ::unlink(to.c_str());  // no half-copied file stays behind
        return host::Fail(error);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CopyFileW(LPCWSTR existingFile, LPCWSTR newFile, BOOL failIfExists) {
    if (!existingFile || !newFile) return host::Fail(ERROR_INVALID_PARAMETER);
    return CopyFileA(host::NarrowArg(existingFile).c_str(), host::NarrowArg(newFile).c_str(), failIfExists);
}

BOOL DeleteFileA(LPCSTR fileName) {
    if (!fileName) return host::Fail(ERROR_INVALID_PARAMETER);
    const std::string path = MapPath(fileName);
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return host::FailErrno(path);
    if (S_ISDIR(info.st_mode)) return host::Fail(ERROR_ACCESS_DENIED);
    if (host::IsPathOpenForDeleteCheck(path)) return host::Fail(ERROR_SHARING_VIOLATION);
    if (::unlink(path.c_str()) != 0) return host::FailErrno(path);
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR fileName) {
    if (!fileName) return host::Fail(ERROR_INVALID_PARAMETER);
    return DeleteFileA(host::NarrowArg(fileName).c_str());
}

namespace {

// Flushes a file or folder; 0 or the errno.
int SyncPath(const std::string& path, bool folder) {
    const int fd = ::open(path.c_str(), (folder ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return errno;
    const int result = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return result;
}

std::string ParentFolder(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// MOVEFILE_WRITE_THROUGH: the new name (and the old one's removal) on the disk.
BOOL SyncMove(const std::string& from, const std::string& to, bool copied) {
    if (copied) {
        if (const int error = SyncPath(to, false)) return host::Fail(host::ErrorFromErrno(error));
    }
    if (const int error = SyncPath(ParentFolder(to), true)) return host::Fail(host::ErrorFromErrno(error));
    if (ParentFolder(from) != ParentFolder(to)) {
        if (const int error = SyncPath(ParentFolder(from), true)) return host::Fail(host::ErrorFromErrno(error));
    }
    return TRUE;
}

}  // namespace

BOOL MoveFileExA(LPCSTR existingFile, LPCSTR newFile, DWORD flags) {
    if (!existingFile || !newFile) return host::Fail(ERROR_INVALID_PARAMETER);
    const std::string from = MapPath(existingFile), to = MapPath(newFile);
    struct stat info {};
    if (::lstat(from.c_str(), &info) != 0) return host::FailErrno(from);
    if (host::IsPathOpenForDeleteCheck(from)) return host::Fail(ERROR_SHARING_VIOLATION);
    const bool replace = flags & MOVEFILE_REPLACE_EXISTING;
    struct stat target {};
    if (::lstat(to.c_str(), &target) == 0) {
        if (!replace) return host::Fail(ERROR_ALREADY_EXISTS);
        if (S_ISDIR(target.st_mode) || S_ISDIR(info.st_mode)) return host::Fail(ERROR_ACCESS_DENIED);
        if (host::IsPathOpenForDeleteCheck(to)) return host::Fail(ERROR_ACCESS_DENIED);
    }
    const int result = replace ? ::rename(from.c_str(), to.c_str())
                               : ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    const bool writeThrough = flags & MOVEFILE_WRITE_THROUGH;
    if (result == 0) return writeThrough ? SyncMove(from, to, false) : TRUE;
    if (errno == EEXIST) return host::Fail(ERROR_ALREADY_EXISTS);
    if (errno == EXDEV && (flags & MOVEFILE_COPY_ALLOWED) && !S_ISDIR(info.st_mode)) {
        if (!CopyFileA(existingFile, newFile, !replace)) return FALSE;
        // The copy is on the disk before the original goes.
        if (writeThrough && !SyncMove(to, to, true)) return FALSE;
        if (::unlink(from.c_str()) != 0) return host::FailErrno(from);
        return TRUE;
    }
    return host::FailErrno(to);
}

DWORD GetFileAttributesA(LPCSTR fileName) {
    if (!fileName) return SetLastError(ERROR_INVALID_PARAMETER), INVALID_FILE_ATTRIBUTES;
    const std::string path = MapPath(fileName);
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        host::FailErrno(path);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (!S_ISLNK(info.st_mode)) return host::AttributesOf(info);
    // As on Windows, a link reports itself: a reparse point, a folder when it names one.
    struct stat target {};
    const bool folder = ::stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
    return (folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE) | FILE_ATTRIBUTE_REPARSE_POINT;
}

DWORD GetFileAttributesW(LPCWSTR fileName) {
    if (!fileName) return SetLastError(ERROR_INVALID_PARAMETER), INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesA(host::NarrowArg(fileName).c_str());
}

namespace {

// What a descriptor from ConvertStringSecurityDescriptorToSecurityDescriptorA holds here.
struct OwnerOnlyDescriptor {
    static constexpr std::uint32_t kMagic = 0x5344444c;  // "SDDL"
    std::uint32_t magic = kMagic;
    mode_t folderMode = 0700;
};

// One ACE of an owner-only DACL: "A;flags;FA;;;OW" (flags: any of OI, CI).
bool IsOwnerOnlyAce(const std::string& ace) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t semicolon; (semicolon = ace.find(';', start)) != std::string::npos; start = semicolon + 1)
        fields.push_back(ace.substr(start, semicolon - start));
    fields.push_back(ace.substr(start));
    if (fields.size() != 6 || fields[0] != "A" || !fields[3].empty() || !fields[4].empty()) return false;
    for (std::size_t i = 0; i < fields[1].size(); i += 2) {
        const std::string flag = fields[1].substr(i, 2);
        if (flag != "OI" && flag != "CI") return false;
    }
    const std::set<std::string> owners = {"OW", "CO", "SY", "BA"};
    return (fields[2] == "FA" || fields[2] == "GA") && owners.count(fields[5]) == 1;
}

}  // namespace

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor, PULONG size) {
    if (!text || !descriptor || revision != SDDL_REVISION_1) return host::Fail(ERROR_INVALID_PARAMETER);
    std::string rest = text;
    if (rest.rfind("D:P(", 0) != 0 || rest.back() != ')') return host::Fail(ERROR_INVALID_PARAMETER);
    rest = rest.substr(3);
    while (!rest.empty()) {
        const std::size_t close = rest.find(')');
        if (rest[0] != '(' || close == std::string::npos || !IsOwnerOnlyAce(rest.substr(1, close - 1)))
            return host::Fail(ERROR_INVALID_PARAMETER);
        rest = rest.substr(close + 1);
    }
    *descriptor = new OwnerOnlyDescriptor;
    if (size) *size = sizeof(OwnerOnlyDescriptor);
    return TRUE;
}

HLOCAL LocalFree(HLOCAL memory) {
    delete static_cast<OwnerOnlyDescriptor*>(memory);
    return nullptr;
}

BOOL CreateDirectoryA(LPCSTR pathName, LPSECURITY_ATTRIBUTES attributes) {
    if (!pathName) return host::Fail(ERROR_INVALID_PARAMETER);
    const std::string path = MapPath(pathName);
    if (path.empty()) return host::Fail(ERROR_PATH_NOT_FOUND);
    mode_t mode = 0777;
    if (attributes && attributes->lpSecurityDescriptor) {
        const auto* descriptor = static_cast<const OwnerOnlyDescriptor*>(attributes->lpSecurityDescriptor);
        if (descriptor->magic != OwnerOnlyDescriptor::kMagic) return host::Fail(ERROR_INVALID_PARAMETER);
        mode = descriptor->folderMode;  // the umask can only take bits away
    }
    // mkdir never follows a link: a name already taken fails.
    if (::mkdir(path.c_str(), mode) != 0) return host::FailErrno(path);
    return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES attributes) {
    if (!pathName) return host::Fail(ERROR_INVALID_PARAMETER);
    return CreateDirectoryA(host::NarrowArg(pathName).c_str(), attributes);
}

BOOL RemoveDirectoryA(LPCSTR pathName) {
    if (!pathName) return host::Fail(ERROR_INVALID_PARAMETER);
    const std::string path = MapPath(pathName);
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return host::FailErrno(path);
    if (!S_ISDIR(info.st_mode)) return host::Fail(ERROR_DIRECTORY);
    if (::rmdir(path.c_str()) != 0) {
        if (errno == EEXIST) return host::Fail(ERROR_DIR_NOT_EMPTY);
        return host::FailErrno(path);
    }
    return TRUE;
}

int SHCreateDirectoryExA(HWND, LPCSTR pathName, const SECURITY_ATTRIBUTES*) {
    if (!pathName || !*pathName) return SetLastError(ERROR_BAD_PATHNAME), static_cast<int>(ERROR_BAD_PATHNAME);
    std::string path = MapPath(pathName);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const auto result = [](DWORD code) {
        SetLastError(code);
        return static_cast<int>(code);
    };
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0)
        return result(S_ISDIR(info.st_mode) ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS);
    // Create each missing level in turn; a level made by someone else meanwhile is fine.
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        if (path[pos - 1] == '/') continue;  // doubled separator
        const std::string level = path.substr(0, pos);
        if (::mkdir(level.c_str(), 0777) == 0) continue;
        if (errno == EEXIST) {
            if (::stat(level.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
                if (pos == path.size()) return result(ERROR_ALREADY_EXISTS);
                continue;
            }
            return result(pos == path.size() ? ERROR_FILE_EXISTS : ERROR_PATH_NOT_FOUND);
        }
        return result(host::ErrorFromErrno(errno == ENOENT ? ENOTDIR : errno));
    }
    return result(ERROR_SUCCESS);
}

int SHCreateDirectoryExW(HWND window, LPCWSTR pathName, const SECURITY_ATTRIBUTES* attributes) {
    if (!pathName) return SetLastError(ERROR_BAD_PATHNAME), static_cast<int>(ERROR_BAD_PATHNAME);
    return SHCreateDirectoryExA(window, host::NarrowArg(pathName).c_str(), attributes);
}
