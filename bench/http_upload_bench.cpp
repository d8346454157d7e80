// File upload of 256 MiB to nginx against `curl --data-binary @file` to the same sink.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

#include "bench/http_bench_support.h"

namespace {

constexpr long long kSize = 256LL << 20;

struct Site {
    testsupport::NginxServer nginx;
    testsupport::TempDir folder;
    std::filesystem::path file = folder.path() / "upload.bin";
    Site() {
        // Real bytes, so neither side reads holes; written once and then in the page cache.
        std::string block = testsupport::PatternBytes(1 << 20, 4);
        std::FILE* out = std::fopen(file.c_str(), "wb");
        for (long long done = 0; out && done < kSize; done += static_cast<long long>(block.size()))
            std::fwrite(block.data(), 1, block.size(), out);
        if (out) std::fclose(out);
    }
};

Site& TheSite() {
    static auto site = std::make_unique<Site>();
    return *site;
}

void BM_FileUpload256MiB(benchmark::State& state) {
    Site& site = TheSite();
    for (auto _ : state) {
        const DWORD result = InternetSendRequestByBitRate(
            false, "http", WTEXT("127.0.0.1"), static_cast<INTERNET_PORT>(site.nginx.port()), nullptr, nullptr, nullptr,
            nullptr, WTEXT("/upload"), site.file.c_str(), nullptr, POST_BY_BITRATE, true, 1 << 20);
        if (result != 0) state.SkipWithError("upload failed");
    }
    state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(BM_FileUpload256MiB)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FileUpload256MiB_Baseline(benchmark::State& state) {
    Site& site = TheSite();
    const std::string command = "curl -s -o /dev/null --data-binary @'" + site.file.string() + "' '" +
                                site.nginx.url("/upload") + "'";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) state.SkipWithError("curl failed");
    }
    state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(BM_FileUpload256MiB_Baseline)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
