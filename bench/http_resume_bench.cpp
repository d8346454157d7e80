// Resumable against plain download of the same 1 GiB file from a local nginx (rates, the
// number of saves and the cost of one save), the peak memory of `http-fetch resume-ex`
// for 16 MiB and 1 GiB, and the bytes fetched again after the server is stopped and
// after the downloading process is killed.
#include <benchmark/benchmark.h>

#include <csignal>
#include <memory>
#include <thread>

#include "agent/agent.h"
#include "bench/http_bench_support.h"
#include "http/src/resume_handler.h"
#include "runtime/registry_access.h"
#include "tests/support/test_support.h"

namespace {

constexpr long long kGiB = 1LL << 30;
constexpr long long kSmall = 16LL << 20;
constexpr DWORD kSaveLimit = 1048576;

std::string MetaKey() { return gv_agentRootKey + "\\FileMetaData\\"; }

struct Site {
    testsupport::MachineRoot machine;
    testsupport::NginxServer nginx{testsupport::NginxOptions{
        false, "TLSv1.2 TLSv1.3", "location /rate4m/ { alias ROOT/; limit_rate 4m; }\n"}};
    testsupport::TempDir downloads;
    Site() {
        httpbench::MakeSparseFile(nginx.root() / "big.bin", kGiB);
        httpbench::MakeSparseFile(nginx.root() / "small.bin", kSmall);
        nginx.AddFile("one.bin", "1");
        testsupport::WriteHive(machine,
                               "Windows Registry Editor Version 5.00\n\n"
                               "[HKEY_LOCAL_MACHINE\\Software\\Halcyra\\Vantorra\\ZQAgent]\n"
                               "\"ZQAgentInstallDir\"=\"C:\\\\Agent\\\\\"\n\n"
                               "[HKEY_LOCAL_MACHINE\\Software\\Halcyra\\Vantorra\\ZQAgent\\FileMetaData]\n"
                               "\"IntermediateRepositoryName\"=\"DownloadRepository\\\\\"\n"
                               "\"InterSaveByteLimit\"=dword:00100000\n");
        gv_agentInstallDir = std::string("C:\\Agent\\");
    }
};

Site& TheSite() {
    static auto site = std::make_unique<Site>();
    return *site;
}

DWORD Resume(int port, const std::string& path, const std::string& destination) {
    const WideString object = httpbench::Wide(path);
    const WideString dest = httpbench::Wide(destination);
    return ResumeGetRequestEx(false, "http", WTEXT("127.0.0.1"), static_cast<INTERNET_PORT>(port), nullptr, nullptr, nullptr,
                              nullptr, object.c_str(), dest.c_str(), nullptr, DOWNLOAD_FILE, true);
}

void BM_ResumableDownload1GiB(benchmark::State& state) {
    Site& site = TheSite();
    const std::string dest = (site.downloads.path() / "resumable.bin").string();
    for (auto _ : state) {
        if (Resume(site.nginx.port(), "/big.bin", dest) != 0) state.SkipWithError("download failed");
    }
    state.SetBytesProcessed(state.iterations() * kGiB);
    state.counters["saves"] = static_cast<double>((kGiB + kSaveLimit - 1) / kSaveLimit);
    std::filesystem::remove(dest);
}
BENCHMARK(BM_ResumableDownload1GiB)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ResumableDownload1GiB_Baseline(benchmark::State& state) {
    Site& site = TheSite();
    const std::string dest = (site.downloads.path() / "plain.bin").string();
    for (auto _ : state) {
        if (httpbench::Download(site.nginx.port(), "/big.bin", dest) != 0) state.SkipWithError("download failed");
    }
    state.SetBytesProcessed(state.iterations() * kGiB);
    std::filesystem::remove(dest);
}
BENCHMARK(BM_ResumableDownload1GiB_Baseline)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// A download's handler for the save benchmarks, its file and state removed afterwards.
struct SavingHandler {
    httpclient::DownloadResumeHandler handler;
    const std::string buffer = std::string(kSaveLimit, 's');
    SavingHandler(const WCHAR* destination, const WCHAR* url) {
        TheSite();
        handler.Initialize(destination, "Tue, 01 Dec 2026 10:00:00 GMT", url);
    }
    ~SavingHandler() { handler.CleanFileAndRegistry(); }
};

// One save: append 1 MiB to the partial file, flush it to the disk, record it.
void BM_OneSave(benchmark::State& state) {
    SavingHandler saving(WTEXT("C:\\Agent\\bench-save.bin"), WTEXT("/bench/save.bin"));
    for (auto _ : state) {
        if (saving.handler.ProcessDownloadedBuffer(saving.buffer.data(), kSaveLimit, true) != 0)
            state.SkipWithError("save failed");
    }
}
BENCHMARK(BM_OneSave)->Iterations(64)->Unit(benchmark::kMillisecond)->UseRealTime();

// One save behind the transfer: full buffers handed to the flusher and recorder threads
// as the downloader does, with no transfer in between, so the figure is the pace the
// save threads keep up (append, flush and record, overlapped with the next append).
void BM_OneSaveBehind(benchmark::State& state) {
    SavingHandler saving(WTEXT("C:\\Agent\\bench-behind.bin"), WTEXT("/bench/behind.bin"));
    httpclient::DownloadResumeHandler& handler = saving.handler;
    for (auto _ : state) {
        DWORD room = 0;
        if (handler.QueueSave(saving.buffer.data(), kSaveLimit) != 0 ||
            handler.WaitForRoom(0, 2 * kSaveLimit, &room) != 0)
            state.SkipWithError("save failed");
    }
    if (handler.WaitForSaves() != 0) state.SkipWithError("save failed");
}
BENCHMARK(BM_OneSaveBehind)->Iterations(256)->Unit(benchmark::kMillisecond)->UseRealTime();

// Peak resident set of http-fetch resume-ex: a 1-byte download as the process's own
// footprint, then 16 MiB and 1 GiB; the growth must stay within one buffer + 4 MiB.
void BM_PeakMemory(benchmark::State& state) {
    Site& site = TheSite();
    const std::string port = std::to_string(site.nginx.port());
    const std::string dest = (site.downloads.path() / "fetched.bin").string();
    auto run = [&](const char* path) {
        return httpbench::RunChild(
            {httpbench::HttpFetch(), "resume-ex", path, "--dest", dest, "--server", "127.0.0.1", "--port", port});
    };
    for (auto _ : state) {
        const auto base = run("/one.bin");
        const auto small = run("/small.bin");
        const auto big = run("/big.bin");
        if (base.exitStatus != 0 || small.exitStatus != 0 || big.exitStatus != 0)
            state.SkipWithError("http-fetch failed");
        state.counters["rss_1B_KiB"] = static_cast<double>(base.peakRssKiB);
        state.counters["rss_16MiB_KiB"] = static_cast<double>(small.peakRssKiB);
        state.counters["rss_1GiB_KiB"] = static_cast<double>(big.peakRssKiB);
        state.counters["growth_16MiB_KiB"] = static_cast<double>(small.peakRssKiB - base.peakRssKiB);
        state.counters["growth_1GiB_KiB"] = static_cast<double>(big.peakRssKiB - base.peakRssKiB);
        state.counters["bound_KiB"] = static_cast<double>(kSaveLimit / 1024 + 4096);
    }
    std::filesystem::remove(dest);
}
BENCHMARK(BM_PeakMemory)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Body bytes nginx sent for the first range request of a path, and where the last one
// resumed (head sizes taken from the last, complete answer). What nginx counts as sent
// includes what still sat in the socket buffers and the transfer layer's read-ahead when
// the download stopped, so it is an upper bound of what the client had received.
struct Refetch {
    std::uint64_t firstBody = 0;
    std::uint64_t resumedAt = 0;
};
Refetch MeasureRefetch(const testsupport::NginxServer& nginx, const std::string& path, std::uint64_t size) {
    nginx.WaitForAccessLog(4);
    std::vector<testsupport::AccessLogEntry> ranges;
    for (const auto& entry : nginx.AccessLog())
        if (entry.target == path && !entry.range.empty()) ranges.push_back(entry);
    Refetch refetch;
    if (ranges.size() < 2) return refetch;
    refetch.resumedAt = std::stoull(ranges.back().range.substr(6));
    const std::uint64_t head = ranges.back().bytesSent - (size - refetch.resumedAt);
    refetch.firstBody = ranges.front().bytesSent > head ? ranges.front().bytesSent - head : 0;
    return refetch;
}

void BM_RefetchAfterInterruption(benchmark::State& state) {
    Site& site = TheSite();
    const std::string dest = (site.downloads.path() / "interrupted.bin").string();
    for (auto _ : state) {
        // The server stopped mid-download, in this process.
        {
            testsupport::NginxServer nginx{testsupport::NginxOptions{
                false, "TLSv1.2 TLSv1.3", "location /rate4m/ { alias ROOT/; limit_rate 4m; }\n"}};
            httpbench::MakeSparseFile(nginx.root() / "stop.bin", kSmall);
            DWORD first = 0;
            std::thread download([&] { first = Resume(nginx.port(), "/rate4m/stop.bin", dest); });
            testsupport::WaitUntil([&] {
                std::optional<std::string> id;
                ReadRegSZ(HKEY_LOCAL_MACHINE, MetaKey().c_str(), "/rate4m/stop.bin", &id);
                DWORD size = 0;
                if (id) ReadDwordRegistryData(HKEY_LOCAL_MACHINE, (MetaKey() + id->c_str()).c_str(), "PartialFileSize", &size);
                return size >= 2 * kSaveLimit;
            }, std::chrono::seconds(30));
            nginx.Stop(SIGTERM);
            download.join();
            nginx.Start();
            if (first == 0 || Resume(nginx.port(), "/rate4m/stop.bin", dest) != 0) state.SkipWithError("stop run failed");
            const Refetch refetch = MeasureRefetch(nginx, "/rate4m/stop.bin", kSmall);
            state.counters["server_stop_resent_bytes"] =
                static_cast<double>(refetch.firstBody > refetch.resumedAt ? refetch.firstBody - refetch.resumedAt : 0);
        }
        // The downloading process killed with SIGKILL.
        {
            testsupport::NginxServer nginx{testsupport::NginxOptions{
                false, "TLSv1.2 TLSv1.3", "location /rate4m/ { alias ROOT/; limit_rate 4m; }\n"}};
            httpbench::MakeSparseFile(nginx.root() / "kill.bin", kSmall);
            const std::vector<std::string> argv = {httpbench::HttpFetch(), "resume-ex", "/rate4m/kill.bin", "--dest",
                                                   dest, "--server", "127.0.0.1", "--port",
                                                   std::to_string(nginx.port())};
            {
                testsupport::ChildProcess child(argv, site.downloads.path() / "kill.out");
                testsupport::WaitUntil([&] {
                    std::optional<std::string> id;
                    ReadRegSZ(HKEY_LOCAL_MACHINE, MetaKey().c_str(), "/rate4m/kill.bin", &id);
                    DWORD size = 0;
                    if (id) ReadDwordRegistryData(HKEY_LOCAL_MACHINE, (MetaKey() + id->c_str()).c_str(), "PartialFileSize", &size);
                    return size >= 2 * kSaveLimit;
                }, std::chrono::seconds(30));
                child.Stop(SIGKILL);
            }
            if (httpbench::RunChild(argv).exitStatus != 0) state.SkipWithError("kill run failed");
            const Refetch refetch = MeasureRefetch(nginx, "/rate4m/kill.bin", kSmall);
            state.counters["kill9_resent_bytes"] =
                static_cast<double>(refetch.firstBody > refetch.resumedAt ? refetch.firstBody - refetch.resumedAt : 0);
        }
        state.counters["buffer_bytes"] = kSaveLimit;
    }
    std::filesystem::remove(dest);
}
BENCHMARK(BM_RefetchAfterInterruption)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

// Both sides of the resumable-against-plain pair run interleaved unless told otherwise, so
// a neighbour's load falls on both alike.
int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    bool given = false;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).rfind("--benchmark_enable_random_interleaving", 0) == 0) given = true;
    if (!given) args.insert(args.begin() + 1, interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
