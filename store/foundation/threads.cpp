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
    // Mark and wake every slot before waiting for any worker, so no worker waits on a
    // slot that is still to be released while another is joined.
    for (std::int32_t i = 0; i < count; ++i) {
        ThreadSlot& slot = slots[i];
        {
            std::lock_guard guard(slot.wakeMutex);
            slot.released = true;
            slot.state = kThreadSlotFree;
        }
        slot.wake.notify_all();
    }
    for (std::int32_t i = 0; i < count; ++i) {
        ThreadSlot& slot = slots[i];
        JoinThread(slot.thread);
        slot.thread.reset();
        std::lock_guard guard(slot.wakeMutex);
        slot.resumePending = false;
        slot.released = false;  // the slot can take a new worker
        slot.state = kThreadSlotFree;
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

bool SuspendThreadSlot(ThreadSlot* slot) {
    if (!slot) return false;
    std::unique_lock guard(slot->wakeMutex);
    if (slot->released) return false;  // the release is waiting for this worker to end
    slot->state = kThreadSlotIdle;
    slot->wake.wait(guard, [slot] { return slot->resumePending || slot->released; });
    if (slot->released) {
        slot->state = kThreadSlotFree;
        return false;
    }
    slot->resumePending = false;
    slot->state = kThreadSlotBusy;
    return true;
}

void ResumeThreadSlot(ThreadSlot* slot) {
    if (!slot) return;
    {
        std::lock_guard guard(slot->wakeMutex);
        slot->resumePending = true;
    }
    slot->wake.notify_all();
}
