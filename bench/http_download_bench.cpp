// Plain download of 1 GiB from a local nginx against `curl -s -o` of the same URL (the
// whole call against curl plus the same flush, and the transfer phase against curl
// alone), and the peak memory of http-fetch for 16 MiB against 1 GiB (plain, throttled
// and upload).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "bench/http_bench_support.h"

namespace {

constexpr long long kGiB = 1LL << 30;
constexpr long long kSmall = 16LL << 20;

struct Site {
    testsupport::NginxServer nginx;
    testsupport::TempDir downloads;
    Site() {
        httpbench::MakeSparseFile(nginx.root() / "big.bin", kGiB);
        httpbench::MakeSparseFile(nginx.root() / "small.bin", kSmall);
        httpbench::MakeSparseFile(downloads.path() / "upload-big.bin", kGiB);
        httpbench::MakeSparseFile(downloads.path() / "upload-small.bin", kSmall);
        // nginx sends from the page cache; filling it here keeps the first measured
        // download, whichever side it is, from paying for it alone.
        httpbench::ReadThrough(nginx.root() / "big.bin");
    }
};

Site& TheSite() {
    static auto site = std::make_unique<Site>();
    return *site;
}

// Every round of either side writes a new file where none is. Left in place, curl's
// truncation would free the old file's pages just before its own write takes them again,
// while the download writes beside the old file (it replaces the destination only once
// complete) and needs fresh pages; in a virtual machine that hands free memory back to
// its host, fresh pages cost a fault each on first touch.
void StartWithoutDestination(benchmark::State& state, const std::string& dest) {
    state.PauseTiming();
    std::filesystem::remove(dest);
    state.ResumeTiming();
}

// The whole call: the transfer, then flushing the file to the disk and renaming it over
// the destination. The download flushes so that a file it reports as complete survives a
// power cut; the baseline does the same flush after curl, so both figures count it.
void BM_PlainDownload1GiB(benchmark::State& state) {
    Site& site = TheSite();
    const std::string dest = (site.downloads.path() / "agent.bin").string();
    const double cpu = httpbench::CpuSeconds();
    for (auto _ : state) {
        StartWithoutDestination(state, dest);
        if (httpbench::Download(site.nginx.port(), "/big.bin", dest) != 0) state.SkipWithError("download failed");
    }
    state.SetBytesProcessed(state.iterations() * kGiB);
    state.counters["cpu_s_per_GiB"] = (httpbench::CpuSeconds() - cpu) / static_cast<double>(state.iterations());
    std::filesystem::remove(dest);
}
BENCHMARK(BM_PlainDownload1GiB)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void CurlDownload(benchmark::State& state, const std::string& dest, bool flush) {
    Site& site = TheSite();
    StartWithoutDestination(state, dest);
    const std::string command = "curl -s -o '" + dest + "' '" + site.nginx.url("/big.bin") + "'";
    if (std::system(command.c_str()) != 0) state.SkipWithError("curl failed");
    if (!flush) return;
    const int fd = ::open(dest.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) state.SkipWithError("flush failed");
    if (fd >= 0) ::close(fd);
}

void BM_PlainDownload1GiB_Baseline(benchmark::State& state) {
    const std::string dest = (TheSite().downloads.path() / "curl.bin").string();
    const double cpu = httpbench::ChildCpuSeconds();
    for (auto _ : state) CurlDownload(state, dest, true);
    state.SetBytesProcessed(state.iterations() * kGiB);
    state.counters["cpu_s_per_GiB"] = (httpbench::ChildCpuSeconds() - cpu) / static_cast<double>(state.iterations());
    std::filesystem::remove(dest);
}
BENCHMARK(BM_PlainDownload1GiB_Baseline)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The transfer phase alone: from the call to the last byte written to the file, against
// curl without a flush.
void BM_PlainTransfer1GiB(benchmark::State& state) {
    Site& site = TheSite();
    const std::string dest = (site.downloads.path() / "agent.bin").string();
    std::chrono::steady_clock::time_point lastByte;
    SetTransferProgressObserver([&lastByte](ULONGLONG done, ULONGLONG total) {
        if (done == total) lastByte = std::chrono::steady_clock::now();
    });
    for (auto _ : state) {
        StartWithoutDestination(state, dest);
        const auto started = std::chrono::steady_clock::now();
        if (httpbench::Download(site.nginx.port(), "/big.bin", dest) != 0) state.SkipWithError("download failed");
        state.SetIterationTime(std::chrono::duration<double>(lastByte - started).count());
    }
    SetTransferProgressObserver(nullptr);
    state.SetBytesProcessed(state.iterations() * kGiB);
    std::filesystem::remove(dest);
}
BENCHMARK(BM_PlainTransfer1GiB)->Iterations(2)->Unit(benchmark::kMillisecond)->UseManualTime();

void BM_PlainTransfer1GiB_Baseline(benchmark::State& state) {
    const std::string dest = (TheSite().downloads.path() / "curl.bin").string();
    const double cpu = httpbench::ChildCpuSeconds();
    for (auto _ : state) CurlDownload(state, dest, false);
    state.SetBytesProcessed(state.iterations() * kGiB);
    state.counters["cpu_s_per_GiB"] = (httpbench::ChildCpuSeconds() - cpu) / static_cast<double>(state.iterations());
    std::filesystem::remove(dest);
}
BENCHMARK(BM_PlainTransfer1GiB_Baseline)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// Peak resident set of http-fetch for a 16 MiB and a 1 GiB transfer: the difference
// shows whether memory grows with the body.
void BM_PeakMemory(benchmark::State& state) {
    Site& site = TheSite();
    const std::string port = std::to_string(site.nginx.port());
    const std::string dest = (site.downloads.path() / "fetched.bin").string();
    struct Kind {
        const char* name;
        std::vector<std::string> small, big;
    } const kinds[] = {
        {"plain", {"get-ex", "/small.bin", "--dest", dest}, {"get-ex", "/big.bin", "--dest", dest}},
        // 65536 KBps: blocks of 32 MB, so the 1 GiB file takes a few dozen blocks.
        {"throttled",
         {"get-bitrate", "/small.bin", "--dest", dest, "--rate", "65536"},
         {"get-bitrate", "/big.bin", "--dest", dest, "--rate", "65536"}},
        {"upload",
         {"send-file", "/upload", (site.downloads.path() / "upload-small.bin").string(), "--chunk", "1048576"},
         {"send-file", "/upload", (site.downloads.path() / "upload-big.bin").string(), "--chunk", "1048576"}},
    };
    for (auto _ : state) {
        for (const Kind& kind : kinds) {
            std::vector<std::string> small = {httpbench::HttpFetch()};
            small.insert(small.end(), kind.small.begin(), kind.small.end());
            small.insert(small.end(), {"--server", "127.0.0.1", "--port", port});
            std::vector<std::string> big = {httpbench::HttpFetch()};
            big.insert(big.end(), kind.big.begin(), kind.big.end());
            big.insert(big.end(), {"--server", "127.0.0.1", "--port", port});
            const auto smallRun = httpbench::RunChild(small);
            const auto bigRun = httpbench::RunChild(big);
            if (smallRun.exitStatus != 0 || bigRun.exitStatus != 0) state.SkipWithError("http-fetch failed");
            const std::string name = kind.name;
            state.counters[name + "_rss_16MiB_KiB"] = static_cast<double>(smallRun.peakRssKiB);
            state.counters[name + "_rss_1GiB_KiB"] = static_cast<double>(bigRun.peakRssKiB);
            state.counters[name + "_rss_growth_KiB"] = static_cast<double>(bigRun.peakRssKiB - smallRun.peakRssKiB);
        }
    }
    std::filesystem::remove(dest);
}
BENCHMARK(BM_PeakMemory)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
