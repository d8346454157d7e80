// How fast failures come back: a refused connection (goal: within 50 ms) and a server that
// accepts and never answers, with a 300 ms receive time-out (goal: 12002 within 450 ms).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "agent/agent.h"
#include "bench/http_bench_support.h"

namespace {

DWORD Get(int port, DWORD mode) {
    HttpRequestHandles handles;
    const DWORD result = GetInternetRequestHandle(false, "http", WTEXT("127.0.0.1"), static_cast<INTERNET_PORT>(port),
                                                  nullptr, nullptr, nullptr, nullptr, WTEXT("/"), nullptr, mode, true,
                                                  &handles, false);
    CloseRequestHandles(handles);
    return result;
}

void BM_RefusedConnection(benchmark::State& state) {
    const int port = testsupport::UnusedLoopbackPort();
    double worst = 0;
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        if (Get(port, DOWNLOAD_FILE) != ERROR_WINHTTP_CANNOT_CONNECT) state.SkipWithError("expected 12029");
        worst = std::max(worst, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
    }
    state.counters["worst_ms"] = worst;
}
BENCHMARK(BM_RefusedConnection)->Iterations(50)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReceiveTimeout300ms(benchmark::State& state) {
    // A listener that never accepts: the kernel completes the connection, nobody answers.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 64);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    gv_httpRequestTimeout = 300;
    double worst = 0;
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        if (Get(ntohs(address.sin_port), GET_DATA) != ERROR_WINHTTP_TIMEOUT) state.SkipWithError("expected 12002");
        worst = std::max(worst, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
    }
    ::close(listener);
    state.counters["worst_ms"] = worst;
}
BENCHMARK(BM_ReceiveTimeout300ms)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
