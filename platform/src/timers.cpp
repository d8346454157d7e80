// Timer queues: each queue runs its timers' callbacks on a thread of its own.
// Callbacks run without the queue lock held, so they may create or delete timers
// and even delete their own queue.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/src/handles.h"
#include "platform/src/internal.h"
#include "platform/win/errors.h"
#include "platform/win/sync.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

struct QueueState;

struct Timer : KernelObject {
    WAITORTIMERCALLBACK callback = nullptr;
    PVOID parameter = nullptr;
    std::chrono::milliseconds period{0};
    Clock::time_point due;
    bool armed = true;  // a one-shot timer disarms after firing but stays until deleted
    const QueueState* owner = nullptr;
    HANDLE handle = nullptr;
};

struct QueueState {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<Timer>> timers;
    std::shared_ptr<Timer> running;
    bool stopping = false;
    std::thread thread;
    std::thread::id threadId;

    static std::shared_ptr<QueueState> Start() {
        auto state = std::make_shared<QueueState>();
        std::lock_guard lock(state->mutex);  // threadId is set before the thread looks at anything
        state->thread = std::thread([state] { state->Run(); });
        state->threadId = state->thread.get_id();
        return state;
    }

    void Run() {
        std::unique_lock lock(mutex);
        while (!stopping) {
            std::shared_ptr<Timer> next;
            for (const auto& timer : timers)
                if (timer->armed && (!next || timer->due < next->due)) next = timer;
            if (!next) {
                changed.wait(lock);
                continue;
            }
            const auto now = Clock::now();
            if (next->due > now) {
                changed.wait_until(lock, next->due);
                continue;
            }
            if (next->period.count() == 0) {
                next->armed = false;
            } else {
                next->due += next->period;
                if (next->due < now) next->due = now + next->period;  // no burst after a long callback
            }
            running = next;
            lock.unlock();
            next->callback(next->parameter, TRUE);
            lock.lock();
            running.reset();
            changed.notify_all();
        }
    }

    // Stops the thread; joins it unless told not to wait or called from the thread itself.
    void Stop(bool wait) {
        {
            std::lock_guard lock(mutex);
            if (stopping) return;
            stopping = true;
            timers.clear();
            changed.notify_all();
        }
        if (wait && std::this_thread::get_id() != threadId) thread.join();
        else thread.detach();
    }
};

class QueueObject : public KernelObject {
public:
    explicit QueueObject(std::shared_ptr<QueueState> state) : state(std::move(state)) {}
    ~QueueObject() override { state->Stop(false); }
    std::shared_ptr<QueueState> state;
};

std::shared_ptr<QueueState> DefaultQueue() {
    // Lives as long as the process; never stopped.
    static auto* queue = new std::shared_ptr<QueueState>(QueueState::Start());
    return *queue;
}

std::shared_ptr<QueueState> ResolveQueue(HANDLE queue) {
    if (queue == nullptr) return DefaultQueue();
    auto object = LookupHandleAs<QueueObject>(queue);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object->state;
}

}  // namespace
}  // namespace host

HANDLE CreateTimerQueue() {
    return host::RegisterHandle(std::make_shared<host::QueueObject>(host::QueueState::Start()));
}

BOOL CreateTimerQueueTimer(PHANDLE newTimer, HANDLE timerQueue, WAITORTIMERCALLBACK callback, PVOID parameter,
                           DWORD dueTime, DWORD period, ULONG flags) {
    if (!newTimer || !callback) return host::Fail(ERROR_INVALID_PARAMETER);
    auto queue = host::ResolveQueue(timerQueue);
    if (!queue) return FALSE;
    auto timer = std::make_shared<host::Timer>();
    timer->callback = callback;
    timer->parameter = parameter;
    timer->period = std::chrono::milliseconds((flags & WT_EXECUTEONLYONCE) ? 0 : period);
    timer->due = host::Clock::now() + std::chrono::milliseconds(dueTime);
    timer->owner = queue.get();
    std::lock_guard lock(queue->mutex);
    if (queue->stopping) return host::Fail(ERROR_INVALID_HANDLE);
    timer->handle = host::RegisterHandle(timer);
    *newTimer = timer->handle;
    queue->timers.push_back(timer);
    queue->changed.notify_all();
    return TRUE;
}

BOOL DeleteTimerQueueTimer(HANDLE timerQueue, HANDLE timerHandle, HANDLE completionEvent) {
    auto queue = host::ResolveQueue(timerQueue);
    if (!queue) return FALSE;
    auto timer = host::LookupHandleAs<host::Timer>(timerHandle);
    if (!timer) return host::Fail(ERROR_INVALID_HANDLE);
    if (timer->owner != queue.get()) return host::Fail(ERROR_INVALID_PARAMETER);
    if (!host::UnregisterHandle(timerHandle)) return host::Fail(ERROR_INVALID_HANDLE);  // deleted meanwhile

    std::unique_lock lock(queue->mutex);
    std::erase(queue->timers, timer);
    timer->armed = false;
    queue->changed.notify_all();
    if (queue->running != timer) return TRUE;
    // Waiting for our own callback from inside it would never end: report it as still running.
    if (completionEvent == nullptr || std::this_thread::get_id() == queue->threadId)
        return host::Fail(ERROR_IO_PENDING);
    queue->changed.wait(lock, [&] { return queue->running != timer; });
    return TRUE;
}

BOOL DeleteTimerQueueEx(HANDLE timerQueue, HANDLE completionEvent) {
    auto object = host::LookupHandleAs<host::QueueObject>(timerQueue);
    if (!object || !host::UnregisterHandle(timerQueue)) return host::Fail(ERROR_INVALID_HANDLE);
    std::vector<HANDLE> handles;
    {
        std::lock_guard lock(object->state->mutex);
        for (const auto& timer : object->state->timers) handles.push_back(timer->handle);
    }
    for (HANDLE handle : handles) host::UnregisterHandle(handle);
    object->state->Stop(completionEvent != nullptr);
    return TRUE;
}
