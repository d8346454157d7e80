// The hive file of the machine root: cached reads, and atomic writes serialised
// across processes by an exclusive lock on registry/HKLM.lock.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "platform/src/internal.h"
#include "platform/src/registry_hive.h"
#include "platform/win/errors.h"
#include "platform/win/host.h"

namespace host::reg {
namespace {

// The hive holds the agent's settings, secrets among them: the owner's alone, as its lock.
constexpr mode_t kHiveFileMode = 0600;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

DWORD WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            return ErrorFromErrno(errno);
        }
        done += static_cast<size_t>(put);
    }
    return ERROR_SUCCESS;
}

// What identifies one version of the hive file. A rewrite by rename brings a new inode
// and a new change time; an in-place write a new size or time stamps.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    explicit FileStamp(const struct stat& info = {})
        : device(info.st_dev), inode(info.st_ino), size(info.st_size), modified(info.st_mtim),
          changed(info.st_ctim) {}
    bool operator==(const FileStamp& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

long long Nanoseconds(const timespec& t) { return t.tv_sec * 1'000'000'000LL + t.tv_nsec; }

// File time stamps advance in clock ticks (a few milliseconds), or in whole seconds on
// file systems that keep no fractions. Two writes within one tick can leave the same
// stamp, so a stamp is only proof of the content once the file's last change is older
// than this.
long long StampResolutionNs(const FileStamp& stamp) {
    const bool wholeSeconds = stamp.modified.tv_nsec == 0 && stamp.changed.tv_nsec == 0;
    return wholeSeconds ? 2'000'000'000LL : 50'000'000LL;
}

long long NowNs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return Nanoseconds(now);
}

struct Cache {
    std::mutex mutex;
    std::string path;
    std::string content;
    std::shared_ptr<const Key> hive;
    bool missing = false;  // the hive above is the empty hive of a missing file
    FileStamp stamp;
    // The stamp alone tells this version apart from any later one; until then every
    // read compares the content.
    bool trusted = false;
};

Cache& TheCache() {
    static auto* cache = new Cache;  // used from static destructors of other units
    return *cache;
}

// Remembers the hive as parsed from content with the file's stamp.
void Remember(Cache& cache, const std::string& path, std::string content, std::shared_ptr<const Key> hive,
              bool missing, const FileStamp& stamp, bool trusted) {
    cache.path = path;
    cache.content = std::move(content);
    cache.hive = std::move(hive);
    cache.missing = missing;
    cache.stamp = stamp;
    cache.trusted = trusted;
}

// Reads the file through one descriptor, with the stamp of what was read. stable is
// false when the file changed while it was read (a writer not using rename).
DWORD ReadVersion(const std::string& path, std::string& content, bool& missing, FileStamp& stamp, bool& stable) {
    content.clear();
    missing = false;
    stable = true;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT) {
            missing = true;
            return ERROR_SUCCESS;
        }
        return ErrorFromErrno(errno, path);
    }
    struct stat before {};
    if (::fstat(fd.get(), &before) != 0) return ErrorFromErrno(errno, path);
    content.reserve(static_cast<size_t>(before.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return ErrorFromErrno(errno, path);
        }
        if (got == 0) break;
        content.append(buffer, static_cast<size_t>(got));
    }
    struct stat after {};
    if (::fstat(fd.get(), &after) != 0) return ErrorFromErrno(errno, path);
    stamp = FileStamp(before);
    stable = stamp == FileStamp(after) && content.size() == static_cast<size_t>(before.st_size);
    return ERROR_SUCCESS;
}

std::mutex& WriteMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

}  // namespace

std::string HiveFolder() { return MachineRoot() + "/registry"; }

std::string HivePath() { return HiveFolder() + "/HKLM.reg"; }

std::shared_ptr<const Key> ReadHive(DWORD* error) {
    if (error) *error = ERROR_SUCCESS;
    const std::string path = HivePath();
    Cache& cache = TheCache();
    // Taken before the file is looked at: a change after this moment gets a later stamp.
    const long long started = NowNs();
    struct stat info {};
    const bool exists = ::stat(path.c_str(), &info) == 0;
    if (!exists && errno != ENOENT) {
        if (error) *error = ErrorFromErrno(errno, path);
        return nullptr;
    }
    {
        std::lock_guard lock(cache.mutex);
        if (cache.hive && cache.path == path) {
            // A missing file is seen directly; an existing one by its stamp once that is
            // proof of its content.
            if (!exists && cache.missing) return cache.hive;
            if (exists && !cache.missing && cache.trusted && cache.stamp == FileStamp(info)) return cache.hive;
        }
    }

    // The file is replaced by rename, so one descriptor sees one whole version of it.
    std::string content;
    bool missing = false;
    bool stable = true;
    FileStamp stamp;
    DWORD rc = ReadVersion(path, content, missing, stamp, stable);
    if (rc != ERROR_SUCCESS) {
        if (error) *error = rc;
        return nullptr;
    }
    const bool trusted =
        !missing && stable && Nanoseconds(stamp.changed) + StampResolutionNs(stamp) < started &&
        Nanoseconds(stamp.modified) + StampResolutionNs(stamp) < started;

    {
        std::lock_guard lock(cache.mutex);
        if (cache.hive && cache.path == path && cache.missing == missing && cache.content == content) {
            cache.stamp = stamp;
            cache.trusted = trusted;
            return cache.hive;
        }
    }
    auto hive = std::make_shared<Key>(std::u16string(kRootName));
    ParseRegText(content, *hive);
    std::lock_guard lock(cache.mutex);
    Remember(cache, path, std::move(content), hive, missing, stamp, trusted);
    return hive;
}

DWORD UpdateHive(const HiveUpdate& apply) {
    std::lock_guard threads(WriteMutex());
    const std::string folder = HiveFolder();
    const std::string path = HivePath();
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);

    const std::string lockPath = folder + "/HKLM.lock";
    // Never through a link: whoever planted one would have us create or lock their file.
    Fd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kHiveFileMode));
    if (lock.get() < 0) return errno == ELOOP ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno, lockPath);
    struct stat lockInfo {};
    if (::fstat(lock.get(), &lockInfo) != 0) return ErrorFromErrno(errno, lockPath);
    if (!S_ISREG(lockInfo.st_mode)) return ERROR_ACCESS_DENIED;
    // flock, not fcntl: its locks belong to the open file, so they also exclude other
    // threads of this process, and the kernel drops them when a writer dies.
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) return ErrorFromErrno(errno, lockPath);
    }

    std::string content;
    bool missing = false;
    bool stable = true;
    FileStamp stamp;
    DWORD rc = ReadVersion(path, content, missing, stamp, stable);
    if (rc != ERROR_SUCCESS) return rc;
    auto root = std::make_shared<Key>(std::u16string(kRootName));
    ParseRegText(content, *root);

    bool changed = false;
    rc = apply(*root, changed);
    if (rc != ERROR_SUCCESS || !changed) return rc;

    std::string text = FormatRegText(*root, kRootName);
    // A fresh name of our own, created exclusively: a name known in advance could be a
    // link planted there to have the hive written over another file.
    std::string temp = folder + "/HKLM.reg.XXXXXX";
    {
        Fd out(::mkostemp(temp.data(), O_CLOEXEC));
        if (out.get() < 0) return ErrorFromErrno(errno, folder);
        // mkostemp creates it 0600 already; say so in case that ever changes.
        ::fchmod(out.get(), kHiveFileMode);
        rc = WriteAll(out.get(), text);
        if (rc == ERROR_SUCCESS && ::fsync(out.get()) != 0) rc = ErrorFromErrno(errno);
    }
    if (rc == ERROR_SUCCESS && ::rename(temp.c_str(), path.c_str()) != 0)
        rc = ErrorFromErrno(errno, path);
    if (rc != ERROR_SUCCESS) {
        ::unlink(temp.c_str());
        return rc;
    }
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());

    // This process reads what it wrote without parsing it again. The file is brand
    // new, so its stamp is not yet proof: the next read compares the content once.
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        Cache& cache = TheCache();
        std::lock_guard lock(cache.mutex);
        Remember(cache, path, std::move(text), std::move(root), false, FileStamp(info), false);
    }
    return ERROR_SUCCESS;
}

}  // namespace host::reg
