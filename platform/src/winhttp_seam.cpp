// The WinHTTP test seam: injected failures, and the pauses and clock of the HTTP client.
#include <array>
#include <mutex>

#include "platform/src/winhttp_internal.h"
#include "platform/win/process.h"

namespace winhttp_seam {
namespace {

struct SeamState {
    std::mutex mutex;
    struct Pending {
        DWORD error = 0;
        unsigned times = 0;
    };
    std::array<Pending, static_cast<size_t>(Call::CloseHandle) + 1> failures{};
    std::function<void(DWORD)> sleep;
    std::function<void(LPSYSTEMTIME)> localTime;
};

SeamState& State() {
    static auto* state = new SeamState;  // outlives static destructors of callers
    return *state;
}

}  // namespace

void InjectFailure(Call call, DWORD error, unsigned times) {
    auto& state = State();
    std::lock_guard lock(state.mutex);
    state.failures[static_cast<size_t>(call)] = {error, times};
}

void ClearInjectedFailures() {
    auto& state = State();
    std::lock_guard lock(state.mutex);
    state.failures.fill({});
}

unsigned PendingFailures(Call call) {
    auto& state = State();
    std::lock_guard lock(state.mutex);
    return state.failures[static_cast<size_t>(call)].times;
}

void Sleep(DWORD milliseconds) {
    std::function<void(DWORD)> replacement;
    {
        auto& state = State();
        std::lock_guard lock(state.mutex);
        replacement = state.sleep;
    }
    if (replacement) replacement(milliseconds);
    else ::Sleep(milliseconds);
}

void GetLocalTime(LPSYSTEMTIME systemTime) {
    std::function<void(LPSYSTEMTIME)> replacement;
    {
        auto& state = State();
        std::lock_guard lock(state.mutex);
        replacement = state.localTime;
    }
    if (replacement) replacement(systemTime);
    else ::GetLocalTime(systemTime);
}

void SetSleepFunction(std::function<void(DWORD)> sleep) {
    auto& state = State();
    std::lock_guard lock(state.mutex);
    state.sleep = std::move(sleep);
}

void SetLocalTimeFunction(std::function<void(LPSYSTEMTIME)> localTime) {
    auto& state = State();
    std::lock_guard lock(state.mutex);
    state.localTime = std::move(localTime);
}

}  // namespace winhttp_seam

namespace host::winhttp {

std::optional<DWORD> TakeInjectedFailure(winhttp_seam::Call call) {
    auto& state = winhttp_seam::State();
    std::lock_guard lock(state.mutex);
    auto& pending = state.failures[static_cast<size_t>(call)];
    if (pending.times == 0) return std::nullopt;
    --pending.times;
    return pending.error;
}

}  // namespace host::winhttp
