// Worker threads of the store: thread start-up and the slot array through which a
// dispatcher finds idle workers, wakes them and lets them suspend again.
#include "store/foundation/threads.h"

#include <system_error>
#include <thread>

#include "runtime/log.h"

class StoreThread {
public:
    ~StoreThread() {
        if (!thread.joinable()) return;
        // The last reference may be dropped by the thread itself.
        if (thread.get_id() == std::this_thread::get_id()) thread.detach();
        else thread.join();
    }

    std::thread thread;
    std::atomic<bool> finished{false};
    std::mutex joinMutex;
};

ThreadHandlePtr CreateNewThread(ThreadStartRoutine routine, LPVOID argument) {
    if (!routine) {
        LogDebug("Unable to create Thread\n");
        return nullptr;
    }
    try {
        auto handle = std::make_shared<StoreThread>();
        StoreThread* raw = handle.get();
        handle->thread = std::thread([raw, routine, argument] {
            routine(argument);
            raw->finished = true;
        });
        return handle;
    } catch (const std::exception&) {
        LogDebug("Unable to create Thread\n");
        return nullptr;
    }
}

void InitThreadInfo() { LogTrace("\n\t@@@@@ Inside InitThreadInfo() @@@@@ \n"); }

bool IsThreadFinished(const ThreadHandlePtr& thread) { return thread && thread->finished; }

bool JoinThread(const ThreadHandlePtr& thread) {
    if (!thread) return false;
    std::lock_guard guard(thread->joinMutex);
    if (!thread->thread.joinable()) return true;
    if (thread->thread.get_id() == std::this_thread::get_id()) return false;
    thread->thread.join();
    return true;
}

void ResetThreadSlots(ThreadSlot* slots, std::int32_t count) {
    if (!slots) return;
    for (std::int32_t i = 0; i < count; ++i) slots[i].state = kThreadSlotFree;
}

void ReleaseThreadSlots(ThreadSlot* slots, std::int32_t count) {
    if (!slots) return;
    for (std::int32_t i = 0; i < count; ++i) {
        ThreadSlot& slot = slots[i];
        slot.state = kThreadSlotFree;
        ResumeThreadSlot(&slot);  // a suspended worker must run to its end to be joined
        JoinThread(slot.thread);
        slot.thread.reset();
        std::lock_guard guard(slot.wakeMutex);
        slot.resumePending = false;
    }
}

int CheckThreadPool(ThreadSlot* slots, std::int32_t count, std::int32_t* index, std::int32_t maximum) {
    if (slots && index) {
        for (std::int32_t i = 0; i < count; ++i) {
            if (slots[i].state == kThreadSlotIdle) {
                *index = i;
                return 1;
            }
        }
    }
    return count < maximum ? 4 : 5;
}

void SuspendThreadSlot(ThreadSlot* slot) {
    if (!slot) return;
    std::unique_lock guard(slot->wakeMutex);
    slot->state = kThreadSlotIdle;
    slot->wake.wait(guard, [slot] { return slot->resumePending; });
    slot->resumePending = false;
    // A release sets the slot free before waking; the worker must not claim it again.
    BYTE expected = kThreadSlotIdle;
    slot->state.compare_exchange_strong(expected, kThreadSlotBusy);
}

void ResumeThreadSlot(ThreadSlot* slot) {
    if (!slot) return;
    {
        std::lock_guard guard(slot->wakeMutex);
        slot->resumePending = true;
    }
    slot->wake.notify_all();
}
