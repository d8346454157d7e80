// Shows the timer-queue fault of Wine 8 behind the hangs that scripts/windows-test runs again
// (README, "A hang that is Wine's"): deleting a queue while two of its timers have callbacks
// pending never returns. Windows returns at once (ERROR_IO_PENDING when not waiting).
//
//   x86_64-w64-mingw32-g++-posix -static -o /tmp/livelock.exe scripts/wine-timer-queue-livelock.cpp
//   wine /tmp/livelock.exe      # exit status 0: the deletion returned each time; 1: it did not
#include <windows.h>

#include <cstdio>

namespace {

HANDLE gv_release;         // lets the blocked callbacks return
volatile LONG gv_blocked;  // callbacks that have started and wait for gv_release

void CALLBACK BlockedCallback(PVOID, BOOLEAN) {
    InterlockedIncrement(&gv_blocked);
    WaitForSingleObject(gv_release, INFINITE);
}

DWORD WINAPI DeleteQueue(LPVOID queue) {
    DeleteTimerQueueEx(queue, nullptr);  // does not wait for the callbacks
    return 0;
}

// True when deleting a queue whose `callbacks` timers are blocked in their callbacks returns
// within five seconds.
bool DeletionReturns(LONG callbacks) {
    gv_blocked = 0;
    ResetEvent(gv_release);
    HANDLE queue = CreateTimerQueue();
    for (LONG i = 0; i < callbacks; ++i) {
        HANDLE timer = nullptr;
        CreateTimerQueueTimer(&timer, queue, BlockedCallback, nullptr, 0, 0, WT_EXECUTEDEFAULT);
    }
    while (gv_blocked < callbacks) Sleep(1);
    HANDLE deleter = CreateThread(nullptr, 0, DeleteQueue, queue, 0, nullptr);
    const bool returned = WaitForSingleObject(deleter, 5000) == WAIT_OBJECT_0;
    SetEvent(gv_release);
    // Once the callbacks are let go, a deletion that still has not returned never will.
    const bool returnedAfterRelease =
        returned || WaitForSingleObject(deleter, 5000) == WAIT_OBJECT_0;
    std::printf("%ld callbacks pending: the deletion %s\n", static_cast<long>(callbacks),
                returned               ? "returned at once"
                : returnedAfterRelease ? "returned only after the callbacks ended"
                                       : "never returned (spinning)");
    std::fflush(stdout);
    return returned;
}

}  // namespace

int main() {
    gv_release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const bool one = DeletionReturns(1);
    const bool two = DeletionReturns(2);
    // A thread that never returns would keep the process alive: end it here.
    ExitProcess(one && two ? 0 : 1);
}
