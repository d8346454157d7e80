// What the fail-over costs an agent request: the same small GET_DATA through
// AgentSendRequest with a live last access address, and with a refused one before the
// live IP address (goal: fail-over adds under 50 ms).
#include <benchmark/benchmark.h>

#include "agent/agent.h"
#include "bench/http_bench_support.h"
#include "tests/support/test_support.h"

namespace {

double TimedRequestMs(const char* lastAccess) {
    gv_lastAccessName = lastAccess;
    std::optional<std::string> body;
    const auto started = std::chrono::steady_clock::now();
    const DWORD result = AgentSendRequest("/doc.xml", "", &body, GET_DATA, true, true, 0, 0);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    return result == 0 && body ? ms : -1;
}

void BM_FailoverFromRefusedLastAccess(benchmark::State& state) {
    testsupport::MachineRoot machine;  // the last access address is written to its registry
    testsupport::NginxServer nginx;
    nginx.AddFile("doc.xml", "<AgentparamsList/>");
    ResetAgentParameters();
    gv_serverProtocol = "http";
    gv_serverPort = nginx.port();
    gv_serverIPAddress = "127.0.0.1";
    double direct = 0, failover = 0, worstAdded = 0;
    for (auto _ : state) {
        const double live = TimedRequestMs("127.0.0.1");
        const double refused = TimedRequestMs("127.0.0.2");  // nothing listens there
        if (live < 0 || refused < 0) {
            state.SkipWithError("request failed");
            break;
        }
        direct += live;
        failover += refused;
        worstAdded = std::max(worstAdded, refused - live);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["direct_ms"] = direct / n;
    state.counters["failover_ms"] = failover / n;
    state.counters["added_ms"] = (failover - direct) / n;
    state.counters["worst_added_ms"] = worstAdded;
    ResetAgentParameters();
}
BENCHMARK(BM_FailoverFromRefusedLastAccess)->Iterations(50)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
