// Timer queues (threads, one-shot and periodic timers, deletion with and without
// waiting, deletion from inside callbacks) and mutexes.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::WaitUntil;

// A gate a callback can block on until the test opens it.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    void Open() {
        std::lock_guard lock(mutex);
        open = true;
        cv.notify_all();
    }
    void Pass() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return open; });
    }
};

struct Probe {
    std::atomic<int> calls{0};
    std::atomic<DWORD> thread{0};
    std::atomic<bool> lateCall{false};
    std::atomic<bool> deleted{false};
    static void Callback(PVOID p, BOOLEAN fired) {
        auto* self = static_cast<Probe*>(p);
        if (!fired) return;
        if (self->deleted) self->lateCall = true;
        self->thread = GetCurrentThreadId();
        ++self->calls;
    }
};

TEST(TimerQueue, OneShotFiresOnceOnAnotherThread) {
    HANDLE queue = CreateTimerQueue();
    ASSERT_NE(queue, nullptr);
    Probe probe, marker;
    HANDLE timer = nullptr, later = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, Probe::Callback, &probe, 10, 0, WT_EXECUTEONLYONCE));
    ASSERT_TRUE(WaitUntil([&] { return probe.calls == 1; }));
    EXPECT_NE(probe.thread.load(), GetCurrentThreadId());
    // A later timer on the same queue fires after any repeat would have: still one call.
    ASSERT_TRUE(CreateTimerQueueTimer(&later, queue, Probe::Callback, &marker, 50, 0, 0));
    ASSERT_TRUE(WaitUntil([&] { return marker.calls == 1; }));
    EXPECT_EQ(probe.calls, 1);
    EXPECT_TRUE(DeleteTimerQueueTimer(queue, timer, INVALID_HANDLE_VALUE));
    EXPECT_FALSE(DeleteTimerQueueTimer(queue, timer, INVALID_HANDLE_VALUE));  // stale handle
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE));
    EXPECT_FALSE(DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(DeleteTimerQueueTimer(queue, later, nullptr));  // went with its queue
}

TEST(TimerQueue, PeriodicStopsWhenDeletedWithWaiting) {
    HANDLE queue = CreateTimerQueue();
    Probe probe, marker;
    HANDLE timer = nullptr, after = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, Probe::Callback, &probe, 0, 5, WT_EXECUTEDEFAULT));
    ASSERT_TRUE(WaitUntil([&] { return probe.calls >= 3; }));
    ASSERT_TRUE(DeleteTimerQueueTimer(queue, timer, INVALID_HANDLE_VALUE));
    probe.deleted = true;
    // Callbacks run in due order on one thread: once this one has run, a live periodic
    // timer would have fired again.
    ASSERT_TRUE(CreateTimerQueueTimer(&after, queue, Probe::Callback, &marker, 30, 0, 0));
    ASSERT_TRUE(WaitUntil([&] { return marker.calls == 1; }));
    EXPECT_FALSE(probe.lateCall);
    EXPECT_TRUE(DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE));
}

struct Rearm {
    HANDLE queue;
    std::atomic<int> calls{0};
    std::atomic<bool> failed{false};
    static void Callback(PVOID p, BOOLEAN) {
        auto* self = static_cast<Rearm*>(p);
        if (++self->calls < 5) {
            HANDLE next = nullptr;
            if (!CreateTimerQueueTimer(&next, self->queue, Callback, self, 1, 0, WT_EXECUTEONLYONCE))
                self->failed = true;
        }
    }
};

TEST(TimerQueue, OneShotRearmsFromInsideItsCallback) {
    for (HANDLE queue : {CreateTimerQueue(), static_cast<HANDLE>(nullptr)}) {  // own and default queue
        Rearm rearm{queue};
        HANDLE first = nullptr;
        ASSERT_TRUE(CreateTimerQueueTimer(&first, queue, Rearm::Callback, &rearm, 0, 0, WT_EXECUTEONLYONCE));
        ASSERT_TRUE(WaitUntil([&] { return rearm.calls == 5; }));
        EXPECT_FALSE(rearm.failed);
        if (queue) {
            EXPECT_TRUE(DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE));
        } else {
            EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, first, INVALID_HANDLE_VALUE));
        }
    }
}

struct SelfDelete {
    HANDLE queue = nullptr;
    HANDLE timer = nullptr;
    HANDLE event = nullptr;
    bool deleteQueue = false;
    std::atomic<bool> done{false};
    std::atomic<BOOL> result{TRUE};
    std::atomic<DWORD> error{0};
    static void Callback(PVOID p, BOOLEAN) {
        auto* self = static_cast<SelfDelete*>(p);
        if (self->done) return;
        while (!self->timer) std::this_thread::yield();
        const BOOL ok = self->deleteQueue ? DeleteTimerQueueEx(self->queue, self->event)
                                          : DeleteTimerQueueTimer(self->queue, self->timer, self->event);
        self->result = ok;
        self->error = GetLastError();
        self->done = true;
    }
};

TEST(TimerQueue, DeletingFromInsideItsOwnCallbackDoesNotDeadlock) {
    for (bool deleteQueue : {false, true}) {
        for (HANDLE event : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
            SelfDelete self;
            self.queue = CreateTimerQueue();
            self.event = event;
            self.deleteQueue = deleteQueue;
            HANDLE timer = nullptr;
            ASSERT_TRUE(CreateTimerQueueTimer(&timer, self.queue, SelfDelete::Callback, &self, 0, 10, 0));
            self.timer = timer;
            ASSERT_TRUE(WaitUntil([&] { return self.done.load(); })) << deleteQueue << " " << event;
            if (deleteQueue) {
                EXPECT_TRUE(self.result);
            } else {
                // The timer is gone; its own callback is still running, as ERROR_IO_PENDING says.
                EXPECT_FALSE(self.result);
                EXPECT_EQ(self.error, ERROR_IO_PENDING);
                EXPECT_TRUE(DeleteTimerQueueEx(self.queue, INVALID_HANDLE_VALUE));
            }
        }
    }
}

struct Blocking {
    Gate gate;
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    static void Callback(PVOID p, BOOLEAN) {
        auto* self = static_cast<Blocking*>(p);
        if (self->entered.exchange(true)) return;
        self->gate.Pass();
        self->finished = true;
    }
};

TEST(TimerQueue, DeleteQueueWaitsOnlyWhenAsked) {
    {  // INVALID_HANDLE_VALUE: returns only after the running callback has finished
        Blocking blocking;
        HANDLE queue = CreateTimerQueue(), timer = nullptr;
        ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, Blocking::Callback, &blocking, 0, 0, 0));
        ASSERT_TRUE(WaitUntil([&] { return blocking.entered.load(); }));
        std::atomic<bool> returned{false};
        std::atomic<bool> finishedFirst{false};
        std::thread deleter([&] {
            DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE);
            finishedFirst = blocking.finished.load();
            returned = true;
        });
        EXPECT_FALSE(returned);
        blocking.gate.Open();
        deleter.join();
        EXPECT_TRUE(finishedFirst);
    }
    {  // null: returns at once while the callback is still blocked
        Blocking blocking;
        HANDLE queue = CreateTimerQueue(), timer = nullptr;
        ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, Blocking::Callback, &blocking, 0, 0, 0));
        ASSERT_TRUE(WaitUntil([&] { return blocking.entered.load(); }));
        EXPECT_TRUE(DeleteTimerQueueEx(queue, nullptr));
        EXPECT_FALSE(blocking.finished);
        blocking.gate.Open();
        EXPECT_TRUE(WaitUntil([&] { return blocking.finished.load(); }));
    }
    {  // deleting a timer with a running callback: null reports ERROR_IO_PENDING, waiting does not
        Blocking blocking;
        HANDLE queue = CreateTimerQueue(), timer = nullptr;
        ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, Blocking::Callback, &blocking, 0, 0, 0));
        ASSERT_TRUE(WaitUntil([&] { return blocking.entered.load(); }));
        EXPECT_FALSE(DeleteTimerQueueTimer(queue, timer, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        blocking.gate.Open();
        EXPECT_TRUE(DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE));
        EXPECT_TRUE(blocking.finished);
    }
}

TEST(TimerQueue, BadArguments) {
    HANDLE queue = CreateTimerQueue(), other = CreateTimerQueue();
    Probe probe;
    HANDLE timer = nullptr;
    EXPECT_FALSE(CreateTimerQueueTimer(nullptr, queue, Probe::Callback, &probe, 0, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(CreateTimerQueueTimer(&timer, queue, nullptr, &probe, 0, 0, 0));
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, Probe::Callback, &probe, 60000, 0, 0));
    EXPECT_FALSE(DeleteTimerQueueTimer(other, timer, nullptr));  // belongs to another queue
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(DeleteTimerQueueTimer(queue, timer, nullptr));   // not running: plain success
    EXPECT_TRUE(DeleteTimerQueueEx(other, nullptr));
    EXPECT_FALSE(CreateTimerQueueTimer(&timer, other, Probe::Callback, &probe, 0, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE));
    EXPECT_EQ(probe.calls, 0);
}

TEST(Mutex, RecursiveOwnershipTimeoutsAndNames) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // taken again by its owner
    DWORD other = 0;
    std::thread([&] {
        other = WaitForSingleObject(mutex, 20);
        EXPECT_FALSE(ReleaseMutex(mutex));
        EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    }).join();
    EXPECT_EQ(other, WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    std::thread([&] { other = WaitForSingleObject(mutex, 0); ReleaseMutex(mutex); }).join();
    EXPECT_EQ(other, WAIT_OBJECT_0);

    // Mutual exclusion under contention.
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                WaitForSingleObject(mutex, INFINITE);
                ++counter;
                ReleaseMutex(mutex);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 8000);
    EXPECT_TRUE(CloseHandle(mutex));

    HANDLE a = CreateMutexA(nullptr, TRUE, "Global\\VantorraTest");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE b = CreateMutexA(nullptr, FALSE, "Global\\VantorraTest");
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_NE(a, b);
    std::thread([&] { other = WaitForSingleObject(b, 0); }).join();
    EXPECT_EQ(other, WAIT_TIMEOUT);  // the same mutex, owned through a
    EXPECT_TRUE(ReleaseMutex(b));
    CloseHandle(a);
    CloseHandle(b);
}

}  // namespace
