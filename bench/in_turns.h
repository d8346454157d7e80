// Timing two sides of a goal in turns. On a shared host the speed of a core drifts by tens
// of percent within seconds, so a benchmark and its baseline run one after the other can
// meet different machines. Here each iteration runs both sides once, alternating which
// goes first, so both meet the same drift.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

namespace bench {

// `measured` and `baseline` each return nullptr, or the failure that stops the benchmark.
// `prepare` runs before each iteration's pair, untimed in effect: the benchmark uses manual
// time, and the iteration time is the measured side's. The counters named by
// `measuredCounter` and `baselineCounter` get each side's mean time in milliseconds; their
// quotient is how many times as fast as the baseline the measured side is.
template <class Prepare, class Measured, class Baseline>
void TimeInTurns(benchmark::State& state, const std::string& measuredCounter,
                 const std::string& baselineCounter, Prepare prepare, Measured measured,
                 Baseline baseline) {
    using Clock = std::chrono::steady_clock;
    Clock::duration measuredTime{}, baselineTime{};
    bool measuredFirst = true;
    for (auto _ : state) {
        prepare();
        Clock::duration measuredNow{}, baselineNow{};
        const char* failure = nullptr;
        for (int side = 0; side < 2; ++side) {
            const auto start = Clock::now();
            if ((side == 0) == measuredFirst) {
                if (const char* failed = measured()) failure = failed;
                measuredNow = Clock::now() - start;
            } else {
                if (const char* failed = baseline()) failure = failed;
                baselineNow = Clock::now() - start;
            }
        }
        if (failure) {
            state.SkipWithError(failure);
            break;
        }
        measuredFirst = !measuredFirst;
        measuredTime += measuredNow;
        baselineTime += baselineNow;
        state.SetIterationTime(std::chrono::duration<double>(measuredNow).count());
    }
    const double iterations = static_cast<double>(state.iterations());
    using Milliseconds = std::chrono::duration<double, std::milli>;
    state.counters[measuredCounter] = Milliseconds(measuredTime).count() / iterations;
    state.counters[baselineCounter] = Milliseconds(baselineTime).count() / iterations;
}

}  // namespace bench
