// Registry access on hives of 100, 1,000 and 10,000 values: reads served from the cache,
// writes (lock, re-read, rewrite, rename), and the plain atomic rewrite of a file of the
// same size as the write's baseline. BM_RegistryRead's baseline is a registry write, so
// its ratio says how many reads one write costs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

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

void BM_RegistryRead(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Hive hive(count);
    std::optional<std::string> out;
    // The first read parses the hive; the figure is for the reads the cache serves.
    if (ReadRegSZ(HKEY_LOCAL_MACHINE, kKey, ValueName(0).c_str(), &out) != ERROR_SUCCESS)
        state.SkipWithError("read failed");
    int n = 0;
    for (auto _ : state) {
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
BENCHMARK(BM_RegistryRead_Baseline)->Arg(100)->Arg(1000)->Arg(10000)->UseRealTime();
BENCHMARK(BM_RegistryWrite)->Arg(100)->Arg(1000)->Arg(10000)->UseRealTime();
BENCHMARK(BM_RegistryWrite_Baseline)->Arg(100)->Arg(1000)->Arg(10000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
