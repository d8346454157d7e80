// Registry access on hives of 100, 1,000 and 10,000 values: reads served from the cache,
// writes (lock, re-read, rewrite, rename), and the plain atomic rewrite of a file of the
// same size as the write's baseline. BM_RegistryRead's baseline is a registry write, so
// its ratio says how many reads one write costs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>

#include "runtime/runtime.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kKey = "Software\\Halcyra\\Vantorra\\ZQAgent\\Bench";

std::string ValueName(int n) { return "BenchValue" + std::to_string(n); }

// A machine root whose hive holds `count` string values under kKey.
struct Hive {
    testsupport::MachineRoot root;
    fs::path file;
    std::string text;

    explicit Hive(int count) {
        text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Halcyra\\Vantorra\\ZQAgent\\Bench]\r\n";
        for (int n = 0; n < count; ++n)
            text += "\"" + ValueName(n) + "\"=\"C:\\\\Program Files\\\\Vantorra\\\\Agent\\\\value " + std::to_string(n) + "\"\r\n";
        file = root.path() / "registry" / "HKLM.reg";
        testsupport::WriteFile(file, text);
    }
};

// Waits until the file's last change (its change time) is older than age.
void WaitUntilOlderThan(const fs::path& file, std::chrono::milliseconds age) {
    for (;;) {
        struct stat info {};
        timespec now{};
        if (::stat(file.c_str(), &info) != 0 || ::clock_gettime(CLOCK_REALTIME, &now) != 0) return;
        const auto changed = std::chrono::seconds(info.st_ctim.tv_sec) + std::chrono::nanoseconds(info.st_ctim.tv_nsec);
        const auto current = std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
        if (current - changed > age) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void BM_RegistryRead(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Hive hive(count);
    std::optional<std::string> out;
    // The first read parses the hive; the figure is for the reads the cache serves. A
    // hive changed within the file time stamps' resolution is read and compared on every
    // call, because its stamp cannot yet tell a later rewrite apart; the agent's hive
    // stays unchanged for long stretches, so the figure is taken once the write is older
    // than that window (the reads of the first moments are BM_RegistryReadJustWritten).
    if (ReadRegSZ(HKEY_LOCAL_MACHINE, kKey, ValueName(0).c_str(), &out) != ERROR_SUCCESS)
        state.SkipWithError("read failed");
    WaitUntilOlderThan(hive.file, std::chrono::milliseconds(200));
    int n = 0;
    for (auto _ : state) {
        const std::string name = ValueName(n++ % count);
        if (ReadRegSZ(HKEY_LOCAL_MACHINE, kKey, name.c_str(), &out) != ERROR_SUCCESS) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
}

// Reads of a hive another process has only just written: each read compares the whole
// file with the cached copy (no parse), until the write is old enough.
void BM_RegistryReadJustWritten(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Hive hive(count);
    std::optional<std::string> out;
    if (ReadRegSZ(HKEY_LOCAL_MACHINE, kKey, ValueName(0).c_str(), &out) != ERROR_SUCCESS)
        state.SkipWithError("read failed");
    int n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        // Touching the file keeps it young, as a rewrite of the same bytes would.
        ::utimensat(AT_FDCWD, hive.file.c_str(), nullptr, 0);
        state.ResumeTiming();
        const std::string name = ValueName(n++ % count);
        if (ReadRegSZ(HKEY_LOCAL_MACHINE, kKey, name.c_str(), &out) != ERROR_SUCCESS) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
}

void Write(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Hive hive(count);
    int n = 0;
    for (auto _ : state) {
        const std::string name = ValueName(n % count);
        const std::string data = "rewritten " + std::to_string(n++);
        if (writeValue(HKEY_LOCAL_MACHINE, kKey, name.c_str(), data.c_str(), REG_SZ) != ERROR_SUCCESS)
            state.SkipWithError("write failed");
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_RegistryRead_Baseline(benchmark::State& state) { Write(state); }
void BM_RegistryReadJustWritten_Baseline(benchmark::State& state) { Write(state); }
void BM_RegistryWrite(benchmark::State& state) { Write(state); }

// One atomic rewrite of a file of the hive's size: write a new file, flush it to disk,
// rename it over the old one and flush the folder, as the registry's own write does.
void BM_RegistryWrite_Baseline(benchmark::State& state) {
    Hive hive(static_cast<int>(state.range(0)));
    const fs::path folder = hive.file.parent_path();
    const std::string temp = (folder / "HKLM.reg.new").string();
    for (auto _ : state) {
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, hive.text.data(), hive.text.size()) != static_cast<ssize_t>(hive.text.size()) ||
            ::fsync(fd) != 0)
            state.SkipWithError("write failed");
        ::close(fd);
        if (::rename(temp.c_str(), hive.file.c_str()) != 0) state.SkipWithError("rename failed");
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::fsync(dir);
        ::close(dir);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_RegistryRead)->Arg(100)->Arg(1000)->Arg(10000)->UseRealTime();
BENCHMARK(BM_RegistryReadJustWritten)->Arg(100)->Arg(1000)->Arg(10000)->UseRealTime();
BENCHMARK(BM_RegistryReadJustWritten_Baseline)->Arg(100)->Arg(1000)->Arg(10000)->UseRealTime();
BENCHMARK(BM_RegistryRead_Baseline)->Arg(100)->Arg(1000)->Arg(10000)->UseRealTime();
BENCHMARK(BM_RegistryWrite)->Arg(100)->Arg(1000)->Arg(10000)->UseRealTime();
BENCHMARK(BM_RegistryWrite_Baseline)->Arg(100)->Arg(1000)->Arg(10000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
