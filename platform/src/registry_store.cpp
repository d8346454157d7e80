// The hive file of the machine root: cached reads, and atomic writes serialised
// across processes by an exclusive lock on registry/HKLM.lock.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
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

// Writes the pieces one after the other, as few system calls as the kernel allows.
DWORD WriteAll(int fd, std::vector<std::string_view> pieces) {
    constexpr size_t kMaxVectors = 1024;  // IOV_MAX on Linux
    size_t first = 0;
    for (;;) {
        while (first < pieces.size() && pieces[first].empty()) ++first;
        if (first == pieces.size()) return ERROR_SUCCESS;
        iovec vectors[kMaxVectors];
        size_t count = 0;
        for (size_t i = first; i < pieces.size() && count < kMaxVectors; ++i) {
            if (pieces[i].empty()) continue;
            vectors[count].iov_base = const_cast<char*>(pieces[i].data());
            vectors[count].iov_len = pieces[i].size();
            ++count;
        }
        const ssize_t put = ::writev(fd, vectors, static_cast<int>(count));
        if (put < 0) {
            if (errno == EINTR) continue;
            return ErrorFromErrno(errno);
        }
        if (put == 0) return ERROR_WRITE_FAULT;
        // Past what went out, partly into a piece when the write was cut short.
        for (auto left = static_cast<size_t>(put); left > 0;) {
            const size_t taken = std::min(left, pieces[first].size());
            pieces[first].remove_prefix(taken);
            left -= taken;
            if (pieces[first].empty()) ++first;
        }
    }
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

// Watches the inode of the version this process wrote last, from before it was renamed
// into place. While no event has come for it and the path still names it with the stamp
// it had, the file holds what was written, however young its stamp: a change in place
// is reported, and the watch keeps the inode's number from being handed to another
// file before its end is reported. Used under the cache's lock.
class OwnVersionWatch {
public:
    // Starts watching the file at path in place of the one before; false when that failed.
    bool Watch(const std::string& path) {
        if (fd_ >= 0 && owner_ != ::getpid()) {
            // Inherited across fork: the parent's, not to be drained or changed here.
            ::close(fd_);
            fd_ = -1;
        }
        if (fd_ < 0) {
            fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            owner_ = ::getpid();
            watch_ = -1;
        }
        if (fd_ < 0) return false;
        if (watch_ >= 0) ::inotify_rm_watch(fd_, watch_);
        Drain();
        watch_ = ::inotify_add_watch(fd_, path.c_str(), IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF);
        touched_ = watch_ < 0;
        return !touched_;
    }

    // Whether no change of the watched file has been reported.
    bool Untouched() {
        if (fd_ < 0 || owner_ != ::getpid() || touched_) return false;
        Drain();
        return !touched_;
    }

private:
    // Reads every pending event; one for the watched file (or a lost event) touches it.
    void Drain() {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(fd_, buffer, sizeof buffer);
            if (got <= 0) {
                if (got < 0 && errno == EINTR) continue;
                return;
            }
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->wd == watch_ || (event->mask & IN_Q_OVERFLOW)) touched_ = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

    int fd_ = -1;
    pid_t owner_ = 0;
    int watch_ = -1;
    bool touched_ = true;
};

struct Cache {
    std::mutex mutex;
    std::string path;
    // The text of the cached version, unless textInTree: then the version is one this
    // process wrote, whose text is the section texts its tree keeps (see HivePieces),
    // and content is empty until Text() joins them, only when a comparison needs it.
    std::string content;
    bool textInTree = false;
    // Handed to readers as const. A writer takes it out to change it for its write
    // when no reader holds it any more, and puts the written tree back.
    std::shared_ptr<Key> hive;
    bool missing = false;  // the hive above is the empty hive of a missing file
    FileStamp stamp;
    // The stamp alone tells this version apart from any later one; until then every
    // read compares the content.
    bool trusted = false;
    // This process wrote this version, and own watches it.
    bool written = false;
    OwnVersionWatch own;

    // Whether the file with this stamp holds the cached version without reading it.
    bool Vouches(const struct stat& info) {
        return hive && !missing && stamp == FileStamp(info) && (trusted || (written && own.Untouched()));
    }

    // The text of the cached version. Under the lock, with a hive cached: no writer can
    // be changing that tree, writers take it out of the cache first.
    const std::string& Text() {
        if (textInTree) {
            content = FormatHive(*hive, std::move(content));
            textInTree = false;
        }
        return content;
    }
};

Cache& TheCache() {
    static auto* cache = new Cache;  // used from static destructors of other units
    return *cache;
}

// Remembers the hive as parsed from content with the file's stamp.
void Remember(Cache& cache, const std::string& path, std::string content, std::shared_ptr<Key> hive,
              bool missing, const FileStamp& stamp, bool trusted) {
    cache.path = path;
    cache.content = std::move(content);
    cache.textInTree = false;
    cache.hive = std::move(hive);
    cache.missing = missing;
    cache.stamp = stamp;
    cache.trusted = trusted;
    cache.written = false;
}

// Reads fd to its end in chunks, handing each to take until it returns false.
template <typename Take>
DWORD ReadChunks(int fd, const std::string& path, Take take) {
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return ErrorFromErrno(errno, path);
        }
        if (got == 0 || !take(buffer, static_cast<size_t>(got))) return ERROR_SUCCESS;
    }
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
    DWORD rc = ReadChunks(fd.get(), path, [&](const char* chunk, size_t size) {
        content.append(chunk, size);
        return true;
    });
    if (rc != ERROR_SUCCESS) return rc;
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
            if (exists && cache.Vouches(info)) return cache.hive;
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
        if (cache.hive && cache.path == path && cache.missing == missing && cache.Text() == content) {
            if (!(cache.stamp == stamp)) cache.written = false;
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

namespace {

// Whether the file holds exactly expected (missing: that there is no file), compared
// as it is read, without a copy of it.
DWORD FileHolds(const std::string& path, bool missing, const std::string& expected, bool& same) {
    same = false;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno != ENOENT) return ErrorFromErrno(errno, path);
        same = missing;
        return ERROR_SUCCESS;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return ErrorFromErrno(errno, path);
    if (missing || static_cast<size_t>(info.st_size) != expected.size()) return ERROR_SUCCESS;
    size_t done = 0;
    bool differs = false;
    DWORD rc = ReadChunks(fd.get(), path, [&](const char* chunk, size_t size) {
        differs = size > expected.size() - done || std::memcmp(chunk, expected.data() + done, size) != 0;
        done += size;
        return !differs;
    });
    same = rc == ERROR_SUCCESS && !differs && done == expected.size();
    return rc;
}

// The tree of the hive version the writer holds the lock on. The cached tree is taken
// out of the cache when the file still holds the text it was parsed from or written
// as: the file's stamp vouches for that once it is old enough, and until then (after
// every write) the file is compared with that text. Otherwise the file is parsed.
// text gets the cached text (empty when textInTree: the tree's sections hold it, as for
// the cache); missing tells that there is no file.
DWORD CurrentTree(const std::string& path, std::shared_ptr<Key>& root, std::string& text, bool& textInTree,
                  bool& missing) {
    Cache& cache = TheCache();
    struct stat info {};
    const bool exists = ::stat(path.c_str(), &info) == 0;
    missing = false;
    textInTree = false;
    bool vouched = false;
    {
        std::lock_guard lock(cache.mutex);
        if (cache.hive && cache.path == path) {
            vouched = exists && cache.Vouches(info);
            // Compared with the file below.
            if (!vouched) cache.Text();
            // Out of the cache no reader can pick the tree up any more.
            root = std::move(cache.hive);
            text = std::move(cache.content);
            textInTree = cache.textInTree;
            missing = cache.missing;
        }
    }
    if (root && !vouched) {
        bool same = false;
        if (DWORD rc = FileHolds(path, missing, text, same); rc != ERROR_SUCCESS) return rc;
        if (!same) root.reset();
    }
    if (!root) {
        bool stable = true;
        FileStamp stamp;
        textInTree = false;
        if (DWORD rc = ReadVersion(path, text, missing, stamp, stable); rc != ERROR_SUCCESS) return rc;
        {
            // What a put-back tree would be known by.
            std::lock_guard lock(cache.mutex);
            if (!cache.hive) {
                cache.stamp = stamp;
                cache.trusted = false;
                cache.written = false;
            }
        }
        root = std::make_shared<Key>(std::u16string(kRootName));
        ParseRegText(text, *root);
        return ERROR_SUCCESS;
    }
    // A reader that already has the tree keeps its version; the writer changes a copy.
    if (root.use_count() > 1) root = std::make_shared<Key>(*root);
    std::atomic_thread_fence(std::memory_order_acquire);
    return ERROR_SUCCESS;
}

// Puts back a tree CurrentTree gave and the text it holds, left as they were, unless
// a reader has cached another version since. The stamp is not taken as proof: the
// next read compares the text once.
void PutBack(const std::string& path, std::shared_ptr<Key> root, std::string text, bool textInTree, bool missing) {
    Cache& cache = TheCache();
    std::lock_guard lock(cache.mutex);
    if (cache.hive) return;
    cache.path = path;
    cache.content = std::move(text);
    cache.textInTree = textInTree;
    cache.hive = std::move(root);
    cache.missing = missing;
    cache.trusted = false;
}

}  // namespace

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

    std::shared_ptr<Key> root;
    std::string text;
    bool textInTree = false;
    bool missing = false;
    DWORD rc = CurrentTree(path, root, text, textInTree, missing);
    if (rc != ERROR_SUCCESS) return rc;

    bool changed = false;
    const uint64_t changesBefore = KeyChangeCount();
    rc = apply(*root, changed);
    if (rc != ERROR_SUCCESS || !changed) {
        // A tree apply may have changed is dropped; the next read parses the file again.
        if (rc == ERROR_SUCCESS && KeyChangeCount() == changesBefore)
            PutBack(path, std::move(root), std::move(text), textInTree, missing);
        return rc;
    }

    // Written from the sections the tree keeps: only changed lines were formatted, and
    // the document is not copied into one text first.
    const std::vector<std::string_view> pieces = HivePieces(*root);
    // A fresh name of our own, created exclusively: a name known in advance could be a
    // link planted there to have the hive written over another file.
    std::string temp = folder + "/HKLM.reg.XXXXXX";
    Fd out(::mkostemp(temp.data(), O_CLOEXEC));
    if (out.get() < 0) return ErrorFromErrno(errno, folder);
    // mkostemp creates it 0600 already; say so in case that ever changes.
    ::fchmod(out.get(), kHiveFileMode);
    rc = WriteAll(out.get(), pieces);
    if (rc == ERROR_SUCCESS && ::fsync(out.get()) != 0) rc = ErrorFromErrno(errno);
    Cache& cache = TheCache();
    bool watched = false;
    if (rc == ERROR_SUCCESS) {
        // Watched before anyone else can know the file, so no change of it goes unseen.
        std::lock_guard lock(cache.mutex);
        watched = cache.own.Watch(temp);
    }
    if (rc == ERROR_SUCCESS && ::rename(temp.c_str(), path.c_str()) != 0)
        rc = ErrorFromErrno(errno, path);
    if (rc != ERROR_SUCCESS) {
        ::unlink(temp.c_str());
        return rc;
    }
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());

    // This process reads what it wrote without parsing it again. The stamp is that of
    // the written inode after its rename; the path is checked against it on every use.
    // The file is brand new, so its stamp is not yet proof by its age, only with the
    // watch. Its text stays in the tree's sections.
    struct stat info {};
    if (::fstat(out.get(), &info) == 0) {
        std::lock_guard lock(cache.mutex);
        Remember(cache, path, std::string(), std::move(root), false, FileStamp(info), false);
        cache.textInTree = true;
        cache.written = watched;
    }
    return ERROR_SUCCESS;
}

}  // namespace host::reg
