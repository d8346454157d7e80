// Agent log throughput: LogInfo with a typical message against fprintf + fflush of the
// same line with a timestamp, on the same file system; and four writers racing the
// rotation with a check every 10 ms, every line counted afterwards.
#include <benchmark/benchmark.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/runtime.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kMessage = "execute : Exit code for the application : %d \n";

// A private machine root and log folder on the same file system as the baseline's file.
struct LogFolder {
    testsupport::MachineRoot root;
    testsupport::TempDir dir;
};

void OpenBenchLog(const LogFolder& folder, const char* name, BYTE level) {
    CloseLog();
    ReleaseLogSettings();
    SetLogDefaults();
    ConfigureLog(name, folder.dir.str().c_str(), level);
    OpenLog();
}

void BM_LogInfo(benchmark::State& state) {
    LogFolder folder;
    OpenBenchLog(folder, "bench.log", 1);
    int i = 0;
    for (auto _ : state) LogInfo(kMessage, ++i);
    state.SetItemsProcessed(state.iterations());
    CloseLog();
    ReleaseLogSettings();
}
BENCHMARK(BM_LogInfo)->UseRealTime();

// What any program does to log a line durably: a timestamp, one fprintf, one fflush.
void BM_LogInfo_Baseline(benchmark::State& state) {
    LogFolder folder;
    std::FILE* file = std::fopen((folder.dir.path() / "baseline.log").c_str(), "w");
    const long thread = syscall(SYS_gettid);
    int i = 0;
    for (auto _ : state) {
        struct timespec now {};
        clock_gettime(CLOCK_REALTIME, &now);
        struct tm parts {};
        localtime_r(&now.tv_sec, &parts);
        std::fprintf(file, "[ %d-%02d-%02d %02d:%02d:%02d:%03ld ] [ %ld ] [INFO] execute : Exit code for the application : %d \n",
                     parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                     now.tv_nsec / 1000000, thread, ++i);
        std::fflush(file);
    }
    state.SetItemsProcessed(state.iterations());
    std::fclose(file);
}
BENCHMARK(BM_LogInfo_Baseline)->UseRealTime();

std::size_t CountLines(const fs::path& dir, const std::string& needle, std::size_t* files) {
    std::size_t lines = 0;
    *files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        ++*files;
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) lines += line.find(needle) != std::string::npos;
    }
    return lines;
}

// Four threads log while the rotation checks every 10 ms and rotates at its usual
// threshold; backups are never deleted here, so every line must be found again.
void BM_LogFourThreadsWithRotation(benchmark::State& state) {
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 50000;
    std::size_t lost = 0;
    std::size_t files = 0;
    std::size_t written = 0;
    for (auto _ : state) {
        LogFolder folder;
        CloseLog();
        ReleaseLogSettings();
        auto settings = std::make_unique<LoggerSettings>();
        settings->fileName = "racing.log";
        settings->directory = folder.dir.str();
        settings->period = 10;
        settings->maxFiles = 1000000;
        StartLogRotation(settings.get());
        SetLogLevel(1);
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t)
            writers.emplace_back([t] {
                for (int i = 0; i < kLinesPerThread; ++i) LogInfo("writer %d line %d of the racing log\n", t, i);
            });
        for (auto& writer : writers) writer.join();
        StopLogRotation();
        state.PauseTiming();
        written += kThreads * kLinesPerThread;
        const std::size_t found = CountLines(folder.dir.path(), "of the racing log", &files);
        lost += kThreads * kLinesPerThread - found;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(written));
    state.counters["lines_lost"] = static_cast<double>(lost);
    state.counters["files_last_run"] = static_cast<double>(files);
}
BENCHMARK(BM_LogFourThreadsWithRotation)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
