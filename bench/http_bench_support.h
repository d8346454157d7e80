// Shared pieces of the HTTP benchmarks: running a program and measuring its peak memory,
// large sparse files, and the short calls of the HTTP client.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "http/http.h"
#include "tests/support/http_fixtures.h"

extern char** environ;

namespace httpbench {

struct ChildResult {
    int exitStatus = -1;
    long peakRssKiB = 0;
    double seconds = 0;
};

// Runs argv to its end with stdout and stderr discarded; its exit status, peak resident
// set (ru_maxrss of that child alone) and wall time.
inline ChildResult RunChild(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const auto started = std::chrono::steady_clock::now();
    pid_t pid = -1;
    ChildResult result;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) == pid) {
            result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            result.peakRssKiB = usage.ru_maxrss;
        }
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    posix_spawn_file_actions_destroy(&actions);
    return result;
}

// A file of `size` bytes that takes no disk space (reads as zeros), readable by nginx.
inline void MakeSparseFile(const std::filesystem::path& path, long long size) {
    std::filesystem::create_directories(path.parent_path());
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd >= 0) {
        if (::ftruncate(fd, size) != 0) { /* the benchmark reports the failed transfer */ }
        ::close(fd);
    }
}

// Reads the file to its end, so that its pages are in the page cache.
inline void ReadThrough(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    std::vector<char> buffer(1 << 20);
    while (::read(fd, buffer.data(), buffer.size()) > 0) {
    }
    ::close(fd);
}

inline std::string HttpFetch() { return (std::filesystem::path(VANTORRA_BIN_DIR) / "http-fetch").string(); }

inline WideString Wide(const std::string& text) { return WideString(text.begin(), text.end()); }

inline DWORD Download(int port, const std::string& path, const std::string& destination) {
    const WideString object = Wide(path);
    const WideString dest = Wide(destination);
    return InternetGetRequestEx(false, "http", WTEXT("127.0.0.1"), static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                nullptr, nullptr, object.c_str(), dest.c_str(), nullptr, DOWNLOAD_FILE, true, false);
}

inline double CpuSeconds(int who = RUSAGE_SELF) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU time of the children waited for so far (programs run with std::system).
inline double ChildCpuSeconds() { return CpuSeconds(RUSAGE_CHILDREN); }

}  // namespace httpbench
