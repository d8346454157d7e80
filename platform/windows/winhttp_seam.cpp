// The HTTP client's pauses and clock on Windows, replaceable by tests as in the host build.
// The system's WinHTTP cannot be made to fail on demand: injected failures are kept but
// never fire, and the tests that need them skip on Windows.
#include <array>
#include <mutex>

#include "platform/win/winhttp.h"

namespace winhttp_seam {
namespace {

struct SeamState {
    std::mutex mutex;
    std::array<unsigned, static_cast<size_t>(Call::CloseHandle) + 1> pending{};
    std::function<void(DWORD)> sleep;
    std::function<void(LPSYSTEMTIME)> localTime;
};

SeamState& State() {
    static auto* state = new SeamState;  // outlives static destructors of callers
    return *state;
}

template <typename Function>
Function Replacement(Function SeamState::*member) {
    auto& state = State();
    std::lock_guard lock(state.mutex);
    return state.*member;
}

}  // namespace

void InjectFailure(Call call, DWORD, unsigned times) {
    auto& state = State();
    std::lock_guard lock(state.mutex);
    state.pending[static_cast<size_t>(call)] = times;
}

void ClearInjectedFailures() {
    auto& state = State();
    std::lock_guard lock(state.mutex);
    state.pending.fill(0);
}

unsigned PendingFailures(Call call) {
    auto& state = State();
    std::lock_guard lock(state.mutex);
    return state.pending[static_cast<size_t>(call)];
}

void Sleep(DWORD milliseconds) {
    if (auto replacement = Replacement(&SeamState::sleep)) replacement(milliseconds);
    else ::Sleep(milliseconds);
}

void GetLocalTime(LPSYSTEMTIME systemTime) {
    if (auto replacement = Replacement(&SeamState::localTime)) replacement(systemTime);
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
