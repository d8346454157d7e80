// Query result sets and worker-thread slots.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "store/store.h"
#include "tests/support/test_support.h"

namespace {

QueryResultSet MakeResultSet() {
    QueryResultSet result;
    result.columns = {{"ID", 5}, {"Name", 15}, {"Born", 16}};
    result.columnCount = 3;
    const std::int32_t one = 1, two = 2;
    const HylDate born = *CreateHylDate(1990, 7, 1);
    result.rows.push_back({ColumnValue::FromObject(one, 4), ColumnValue::FromText("alpha"),
                           ColumnValue::FromObject(born, HYL_DATE_LENGTH)});
    result.rows.push_back({ColumnValue::FromObject(two, 4), ColumnValue::Null(), ColumnValue::Null()});
    return result;
}

}  // namespace

TEST(FoundationResultSet, CursorAndLookups) {
    QueryResultSet result = MakeResultSet();
    std::uint32_t length = 99;
    EXPECT_EQ(GetResultColumnValueByName(&result, "name", &length), nullptr);  // before the first row
    EXPECT_EQ(length, 0u);
    ASSERT_TRUE(NextResultRow(&result));
    EXPECT_STREQ(GetResultColumnValueByName(&result, "NAME", &length), "alpha");
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(GetResultColumnValueByName(&result, "missing", &length), nullptr);
    EXPECT_EQ(GetResultCellByName(&result, "Born")->As<HylDate>()->year, 1990);
    ASSERT_TRUE(NextResultRow(&result));
    EXPECT_EQ(GetResultColumnValueByName(&result, "Name", &length), nullptr);  // SQL NULL
    EXPECT_EQ(*GetResultCellByName(&result, "id")->As<std::int32_t>(), 2);
    PrintQueryResultSet(&result);
    EXPECT_EQ(NextResultRow(&result), nullptr);
    EXPECT_EQ(NextResultRow(&result), nullptr);  // stays past the end
    ResetResultSet(&result);
    ASSERT_TRUE(NextResultRow(&result));
    EXPECT_STREQ(GetResultColumnValueByName(&result, "Name", &length), "alpha");

    EXPECT_EQ(GetResultColumnTypeByName(&result, "born"), 16);
    EXPECT_EQ(GetResultColumnTypeByName(&result, "nope"), -1);
    EXPECT_STREQ(GetResultColumnNameByIndex(&result, 1), "Name");
    EXPECT_EQ(GetResultColumnNameByIndex(&result, 3), nullptr);
    EXPECT_EQ(GetResultColumnNameByIndex(&result, -1), nullptr);
    FreeQueryResultSet(&result);
    EXPECT_EQ(NextResultRow(&result), nullptr);
    QueryResultSet empty;
    EXPECT_EQ(NextResultRow(&empty), nullptr);
    EXPECT_EQ(NextResultRow(nullptr), nullptr);
}

namespace {

struct Worker {
    ThreadSlot* slot;
    std::atomic<int> jobs{0};
    std::atomic<bool> stop{false};
};

DWORD WorkerLoop(LPVOID argument) {
    auto* worker = static_cast<Worker*>(argument);
    while (true) {
        SuspendThreadSlot(worker->slot);
        if (worker->stop) return 0;
        ++worker->jobs;
    }
}

// A worker that tells a release from a job by the slot's state, and is busy (held at a
// gate) when the release comes, then goes back to waiting.
struct GatedWorker {
    ThreadSlot* slot;
    std::atomic<int> jobs{0};
    std::atomic<bool> inJob{false};
    std::atomic<bool> gateOpen{false};
    std::atomic<bool> stop{false};
};

DWORD GatedLoop(LPVOID argument) {
    auto* worker = static_cast<GatedWorker*>(argument);
    while (true) {
        SuspendThreadSlot(worker->slot);
        if (worker->stop || worker->slot->state == kThreadSlotFree) return 0;
        ++worker->jobs;
        worker->inJob = true;
        while (!worker->gateOpen && !worker->stop) std::this_thread::yield();
        worker->inJob = false;
    }
}

DWORD Quick(LPVOID argument) {
    static_cast<std::atomic<int>*>(argument)->fetch_add(1);
    return 0;
}

}  // namespace

TEST(FoundationThreads, ReleaseDoesNotWaitForAWorkerThatWentBackToWaiting) {
    ThreadSlot slots[1];
    GatedWorker worker;
    worker.slot = &slots[0];
    slots[0].thread = CreateNewThread(GatedLoop, &worker);
    ASSERT_TRUE(slots[0].thread);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return slots[0].state == kThreadSlotIdle; }));
    ResumeThreadSlot(&slots[0]);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return worker.inJob.load(); }));

    std::atomic<bool> released{false};
    std::thread releaser([&] {
        ReleaseThreadSlots(slots, 1);
        released = true;
    });
    ASSERT_TRUE(testsupport::WaitUntil([&] { return slots[0].state == kThreadSlotFree; }));
    worker.gateOpen = true;  // the job ends after the release began; the worker suspends again
    const bool done = testsupport::WaitUntil([&] { return released.load(); });
    if (!done) {
        worker.stop = true;  // unstick the worker so the test can end
        ResumeThreadSlot(&slots[0]);
    }
    releaser.join();
    EXPECT_TRUE(done) << "ReleaseThreadSlots hung on a worker that went back to waiting";
    EXPECT_EQ(worker.jobs.load(), 1);
    EXPECT_EQ(slots[0].state.load(), kThreadSlotFree);
    EXPECT_FALSE(slots[0].thread);

    // The slot takes a new worker afterwards, and suspending on it waits again.
    GatedWorker next;
    next.slot = &slots[0];
    next.gateOpen = true;
    slots[0].thread = CreateNewThread(GatedLoop, &next);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return slots[0].state == kThreadSlotIdle; }));
    ResumeThreadSlot(&slots[0]);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return next.jobs == 1 && slots[0].state == kThreadSlotIdle; }));
    ReleaseThreadSlots(slots, 1);
    EXPECT_FALSE(slots[0].thread);
}

TEST(FoundationThreads, PoolCheckResults) {
    ThreadSlot slots[3];
    std::int32_t index = -1;
    EXPECT_EQ(CheckThreadPool(slots, 3, &index, 5), 4);
    EXPECT_EQ(CheckThreadPool(slots, 3, &index, 3), 5);
    slots[2].state = kThreadSlotIdle;
    slots[1].state = kThreadSlotIdle;
    EXPECT_EQ(CheckThreadPool(slots, 3, &index, 3), 1);
    EXPECT_EQ(index, 1);
    ResetThreadSlots(slots, 3);
    EXPECT_EQ(slots[1].state.load(), kThreadSlotFree);
}

TEST(FoundationThreads, WorkersSuspendResumeAndRelease) {
    InitThreadInfo();
    std::atomic<int> ran{0};
    ThreadHandlePtr quick = CreateNewThread(Quick, &ran);
    ASSERT_TRUE(quick);
    EXPECT_TRUE(JoinThread(quick));
    EXPECT_TRUE(IsThreadFinished(quick));
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(CreateNewThread(nullptr, nullptr), nullptr);

    ThreadSlot slots[2];
    Worker workers[2];
    for (int i = 0; i < 2; ++i) {
        workers[i].slot = &slots[i];
        slots[i].thread = CreateNewThread(WorkerLoop, &workers[i]);
        ASSERT_TRUE(slots[i].thread);
    }
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(testsupport::WaitUntil([&] { return slots[i].state == kThreadSlotIdle; }));
    }
    std::int32_t index = -1;
    ASSERT_EQ(CheckThreadPool(slots, 2, &index, 2), 1);
    EXPECT_EQ(index, 0);
    // Wake slot 0 several times; each wake runs one job and the worker goes idle again.
    for (int job = 1; job <= 3; ++job) {
        ResumeThreadSlot(&slots[0]);
        ASSERT_TRUE(testsupport::WaitUntil([&] { return workers[0].jobs == job && slots[0].state == kThreadSlotIdle; }));
    }
    EXPECT_EQ(workers[1].jobs.load(), 0);
    for (Worker& worker : workers) worker.stop = true;
    ReleaseThreadSlots(slots, 2);  // must wake the suspended workers, or this never returns
    for (ThreadSlot& slot : slots) {
        EXPECT_EQ(slot.state.load(), kThreadSlotFree);
        EXPECT_FALSE(slot.thread);
    }
}
