// Throttled download at DataTransferRate_KBps 16, 128 and 1024: the measured rate against
// the model (one block of R x 500 bytes per max(600 ms, transfer + 100 ms)), the number of
// requests nginx saw, and the CPU the download used.
#include <benchmark/benchmark.h>

#include <memory>

#include "agent/agent.h"
#include "bench/http_bench_support.h"

namespace {

constexpr int kBlocks = 20;

void BM_ThrottledDownload(benchmark::State& state) {
    const auto rate = static_cast<DWORD>(state.range(0));
    const long long blockSize = static_cast<long long>(rate) * 500;
    testsupport::NginxServer nginx;
    nginx.AddFile("throttled.bin", testsupport::PatternBytes(static_cast<std::size_t>(blockSize * kBlocks), 1));
    testsupport::TempDir folder;
    const WideString dest = httpbench::Wide((folder.path() / "throttled.bin").string());
    gv_dataTransferRateKBps = rate;
    double seconds = 0, cpu = 0;
    for (auto _ : state) {
        const double cpuBefore = httpbench::CpuSeconds();
        const auto started = std::chrono::steady_clock::now();
        const DWORD result =
            InternetGetRequestByBitrate(false, "http", WTEXT("127.0.0.1"), static_cast<INTERNET_PORT>(nginx.port()), nullptr,
                                        nullptr, nullptr, nullptr, WTEXT("/throttled.bin"), dest.c_str(), nullptr,
                                        DOWNLOAD_FILE, true);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        cpu += httpbench::CpuSeconds() - cpuBefore;
        if (result != 0) state.SkipWithError("throttled download failed");
    }
    const double bytes = static_cast<double>(blockSize * kBlocks) * static_cast<double>(state.iterations());
    // On loopback every block transfers far below 450 ms, so each block takes 600 ms.
    const double model = static_cast<double>(blockSize) / 0.6;
    nginx.WaitForAccessLog(static_cast<std::size_t>(state.iterations()) * (kBlocks + 1));
    state.counters["rate_Bps"] = bytes / seconds;
    state.counters["model_Bps"] = model;
    state.counters["rate_vs_model"] = bytes / seconds / model;
    state.counters["requests"] = static_cast<double>(nginx.AccessLog().size()) / static_cast<double>(state.iterations());
    state.counters["model_requests"] = kBlocks + 1;
    state.counters["cpu_pct"] = 100.0 * cpu / seconds;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_ThrottledDownload)->Arg(16)->Arg(128)->Arg(1024)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
