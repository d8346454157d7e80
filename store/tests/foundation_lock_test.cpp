// Lock registry: mutual exclusion under contention, independence of addresses, release.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "store/store.h"
#include "tests/support/test_support.h"

TEST(FoundationLock, MutualExclusionHoldsUnderContention) {
    ASSERT_TRUE(InitMutex());
    int guarded = 0;
    long long unsafeSum = 0;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 3000; ++i) {
                ObjectLockGuard lock(&guarded);
                if (inside.fetch_add(1) != 0) ++overlaps;
                // Read, yield, write: a lost update shows up if two threads get in.
                const long long before = unsafeSum;
                if (i % 64 == 0) std::this_thread::yield();
                unsafeSum = before + 1;
                inside.fetch_sub(1);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(unsafeSum, 6 * 3000);
    EXPECT_FALSE(IsObjectLocked(&guarded));
}

TEST(FoundationLock, DifferentAddressesDoNotBlockEachOther) {
    int first = 0, second = 0;
    LockObject(&first);
    std::atomic<bool> gotSecond{false};
    std::atomic<bool> gotFirst{false};
    std::thread other([&] {
        LockObject(&second);
        gotSecond = true;
        UnlockObject(&second);
        LockObject(&first);  // waits for the main thread
        gotFirst = true;
        UnlockObject(&first);
    });
    EXPECT_TRUE(testsupport::WaitUntil([&] { return gotSecond.load(); }, std::chrono::seconds(10)));
    EXPECT_FALSE(gotFirst.load());
    EXPECT_TRUE(IsObjectLocked(&first));
    UnlockObject(&first);
    other.join();
    EXPECT_TRUE(gotFirst.load());
    EXPECT_FALSE(IsObjectLocked(&first));
}

TEST(FoundationLock, UnlockingAnUnheldAddressChangesNothing) {
    int held = 0, unheld = 0;
    LockObject(&held);
    UnlockObject(&unheld);
    UnlockObject(nullptr);
    EXPECT_TRUE(IsObjectLocked(&held));
    UnlockObject(&held);
    EXPECT_FALSE(IsObjectLocked(&held));
    UnlockObject(&held);  // second release is harmless
    LockObject(&held);
    UnlockObject(&held);
}
