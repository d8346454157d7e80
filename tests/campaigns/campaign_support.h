// What the fault campaigns share: their size (small in CI, full with
// VANTORRA_CAMPAIGN_FULL=1), child processes started, killed at random moments and
// reaped, and the figures each campaign prints for its report.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace campaign {

// The full size when VANTORRA_CAMPAIGN_FULL is set to anything but 0, the CI size otherwise.
inline bool FullSize() {
    const char* full = std::getenv("VANTORRA_CAMPAIGN_FULL");
    return full && *full && std::string(full) != "0";
}
inline int Size(int ci, int full) { return FullSize() ? full : ci; }

// One random source per campaign; its seed is printed so a failing run can be repeated
// (VANTORRA_CAMPAIGN_SEED).
inline std::mt19937& Random() {
    static std::mt19937 generator = [] {
        unsigned seed = static_cast<unsigned>(std::random_device{}());
        if (const char* fixed = std::getenv("VANTORRA_CAMPAIGN_SEED")) seed = static_cast<unsigned>(std::strtoul(fixed, nullptr, 10));
        std::printf("[campaign] seed %u\n", seed);
        return std::mt19937(seed);
    }();
    return generator;
}
inline int RandomBetween(int low, int high) { return std::uniform_int_distribution<int>(low, high)(Random()); }

// A child process with its output in files of a folder of the test.
class Child {
public:
    // Starts the program (a path, or a program of the project's bin folder) in workDir;
    // stdout and stderr go to NAME.out and NAME.err there, stdin is empty.
    Child(const std::string& program, const std::vector<std::string>& args, const std::filesystem::path& workDir,
          const std::string& name)
        : outPath_(workDir / (name + ".out")), errPath_(workDir / (name + ".err")) {
        pid_ = testsupport::StartProgram(program, args, workDir, "/dev/null", outPath_.string(), errPath_.string());
        started_ = std::chrono::steady_clock::now();
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            Wait();
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool running() {
        if (reaped_ || pid_ <= 0) return false;
        if (waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
        return !reaped_;
    }
    // Kills it unless it has ended; true when the signal ended it.
    bool Kill() {
        if (running()) kill(pid_, SIGKILL);
        Wait();
        return killed();
    }
    void Wait() {
        if (!reaped_ && pid_ > 0 && waitpid(pid_, &status_, 0) == pid_) reaped_ = true;
    }
    bool killed() const { return reaped_ && WIFSIGNALED(status_) && WTERMSIG(status_) == SIGKILL; }
    // The exit status, -1 when it did not exit by itself.
    int code() const { return reaped_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
    std::chrono::milliseconds age() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_);
    }
    std::string out() const { return testsupport::ReadFile(outPath_); }
    std::string err() const { return testsupport::ReadFile(errPath_); }

private:
    std::filesystem::path outPath_, errPath_;
    pid_t pid_ = -1;
    int status_ = 0;
    bool reaped_ = false;
    std::chrono::steady_clock::time_point started_;
};

// Kills each child once its own moment (milliseconds after its start) has come, unless
// it ended before; waits for every child. The number of children the kill ended.
inline int KillAtMoments(std::vector<Child*> children, const std::vector<int>& momentsMs) {
    int kills = 0;
    std::vector<bool> done(children.size(), false);
    for (;;) {
        bool any = false;
        for (std::size_t i = 0; i < children.size(); ++i) {
            if (done[i]) continue;
            if (!children[i]->running()) {
                done[i] = true;
                continue;
            }
            if (children[i]->age().count() >= momentsMs[i]) {
                kills += children[i]->Kill() ? 1 : 0;
                done[i] = true;
                continue;
            }
            any = true;
        }
        if (!any) return kills;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The lines of a text (the last one without its line break too).
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Resident memory (kB) and open descriptors of this process.
inline long ResidentKb() {
    const std::string status = testsupport::ReadFile("/proc/self/status");
    const std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}
inline long OpenDescriptors() {
    long count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

}  // namespace campaign
