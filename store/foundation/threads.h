// Worker-thread helpers: starting threads and the slot array of a thread pool, where an
// idle worker suspends itself until a dispatcher resumes it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/win/types.h"

// A thread's entry point: called with the argument given to CreateNewThread.
using ThreadStartRoutine = DWORD (*)(LPVOID argument);

// A running thread; destroying the last reference waits for it to end.
class StoreThread;
// Shared handle of a StoreThread.
using ThreadHandlePtr = std::shared_ptr<StoreThread>;

// The states of a ThreadSlot.
enum : BYTE { kThreadSlotFree = 0, kThreadSlotIdle = 1, kThreadSlotBusy = 2 };

// Slots live in a fixed array: the worker of a slot suspends itself on the slot.
struct ThreadSlot {
    std::atomic<BYTE> state{kThreadSlotFree};
    ThreadHandlePtr thread;
    std::mutex wakeMutex;
    std::condition_variable wake;
    bool resumePending = false;
    bool released = false;  // set by ReleaseThreadSlots: suspending no longer waits
};

// Null with "Unable to create Thread\n" at DEBUG when the thread cannot start.
ThreadHandlePtr CreateNewThread(ThreadStartRoutine routine, LPVOID argument);
// Kept for callers of the older thread set-up; it only logs.
void InitThreadInfo();
// True when the thread has returned.
bool IsThreadFinished(const ThreadHandlePtr& thread);
// Waits for the thread's end; false when called from the thread itself.
bool JoinThread(const ThreadHandlePtr& thread);

// Marks every slot free (nothing for null).
void ResetThreadSlots(ThreadSlot* slots, std::int32_t count);
// State 0 and threads released: every worker is woken and waited for. A worker that goes
// back to SuspendThreadSlot meanwhile gets false at once and is expected to return.
void ReleaseThreadSlots(ThreadSlot* slots, std::int32_t count);
// 1 with *index of the first idle slot; else 4 when count is below maximum; else 5.
int CheckThreadPool(ThreadSlot* slots, std::int32_t count, std::int32_t* index, std::int32_t maximum);
// Called by the slot's own worker: state 1, blocks until resumed, then state 2. False,
// without waiting and with the slot left free, once the slot is being released.
bool SuspendThreadSlot(ThreadSlot* slot);
// Wakes the slot's worker; a resume that comes before the suspend is not lost.
void ResumeThreadSlot(ThreadSlot* slot);
