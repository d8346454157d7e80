// The hive file of the machine root: cached reads, and atomic writes serialised
// across processes by an exclusive lock on registry/HKLM.lock.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <mutex>

#include "platform/src/internal.h"
#include "platform/src/registry_hive.h"
#include "platform/win/errors.h"
#include "platform/win/host.h"

namespace host::reg {
namespace {

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

// Reads the whole file; a missing file reads as empty with missing set.
DWORD ReadWholeFile(const std::string& path, std::string& content, bool& missing) {
    content.clear();
    missing = false;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT) {
            missing = true;
            return ERROR_SUCCESS;
        }
        return ErrorFromErrno(errno, path);
    }
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
    return ERROR_SUCCESS;
}

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

struct Cache {
    std::mutex mutex;
    std::string path;
    std::string content;
    std::shared_ptr<const Key> hive;
};

Cache& TheCache() {
    static auto* cache = new Cache;  // used from static destructors of other units
    return *cache;
}

std::mutex& WriteMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

}  // namespace

std::string HiveFolder() { return MachineRoot() + "/registry"; }

std::string HivePath() { return HiveFolder() + "/HKLM.reg"; }

std::shared_ptr<const Key> ReadHive(DWORD* error) {
    const std::string path = HivePath();
    std::string content;
    bool missing = false;
    // The file is replaced by rename, so one read sees one whole version of it.
    // Comparing the content rather than inode, size and time stamps also catches a
    // rewrite that reuses the inode within the time stamp's resolution.
    DWORD rc = ReadWholeFile(path, content, missing);
    if (error) *error = rc;
    if (rc != ERROR_SUCCESS) return nullptr;

    Cache& cache = TheCache();
    {
        std::lock_guard lock(cache.mutex);
        if (cache.hive && cache.path == path && cache.content == content) return cache.hive;
    }
    auto hive = std::make_shared<Key>(std::u16string(kRootName));
    ParseRegText(content, *hive);
    std::lock_guard lock(cache.mutex);
    cache.path = path;
    cache.content = std::move(content);
    cache.hive = hive;
    return hive;
}

DWORD UpdateHive(const HiveUpdate& apply) {
    std::lock_guard threads(WriteMutex());
    const std::string folder = HiveFolder();
    const std::string path = HivePath();
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);

    const std::string lockPath = folder + "/HKLM.lock";
    Fd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (lock.get() < 0) return ErrorFromErrno(errno, lockPath);
    // flock, not fcntl: its locks belong to the open file, so they also exclude other
    // threads of this process, and the kernel drops them when a writer dies.
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) return ErrorFromErrno(errno, lockPath);
    }

    std::string content;
    bool missing = false;
    DWORD rc = ReadWholeFile(path, content, missing);
    if (rc != ERROR_SUCCESS) return rc;
    Key root{std::u16string(kRootName)};
    ParseRegText(content, root);

    bool changed = false;
    rc = apply(root, changed);
    if (rc != ERROR_SUCCESS || !changed) return rc;

    const std::string text = FormatRegText(root, kRootName);
    // One temporary name is enough: only the holder of the lock writes it.
    const std::string temp = folder + "/HKLM.reg.new";
    {
        Fd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (out.get() < 0) return ErrorFromErrno(errno, temp);
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
    return ERROR_SUCCESS;
}

}  // namespace host::reg
