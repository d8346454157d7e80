// Vector: sorted insertion against a reference model, positions and deletions, clone,
// merge, the message queue and concurrent use.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "runtime/log.h"
#include "store/store.h"
#include "tests/support/test_support.h"

namespace {

int CompareInts(const VectorNode* a, const VectorNode* b) {
    const int x = *ElementOf<int>(a);
    const int y = *ElementOf<int>(b);
    return (x > y) - (x < y);
}

std::vector<int> Contents(Vector* vector) {
    std::vector<int> out;
    for (VectorNode* node = vector->first.get(); node; node = node->next.get()) out.push_back(*ElementOf<int>(node));
    return out;
}

std::vector<std::string> Texts(Vector* vector) {
    std::vector<std::string> out;
    for (VectorNode* node = vector->first.get(); node; node = node->next.get()) {
        out.emplace_back(node->element ? ElementOf<char>(node) : "<null>");
    }
    return out;
}

// The last-node field must name the real tail, or appends go astray.
void ExpectConsistent(Vector* vector) {
    std::int32_t count = 0;
    VectorNode* tail = nullptr;
    for (VectorNode* node = vector->first.get(); node; node = node->next.get()) {
        ++count;
        tail = node;
    }
    EXPECT_EQ(count, vector->count);
    EXPECT_EQ(tail, vector->last);
}

}  // namespace

TEST(FoundationVector, SortedInsertOrdersAndRejectsDuplicates) {
    int five = 5, one = 1, three = 3, threeAgain = 3;
    auto vector = CreateVector(CompareInts);
    ASSERT_TRUE(vector);
    EXPECT_EQ(AddElementValue(vector.get(), &five), 1);
    EXPECT_EQ(AddElementValue(vector.get(), &one), 1);
    EXPECT_EQ(AddElementValue(vector.get(), &three), 1);
    EXPECT_EQ(Contents(vector.get()), (std::vector<int>{1, 3, 5}));
    EXPECT_EQ(AddElementValue(vector.get(), &threeAgain), 0);
    EXPECT_FALSE(AddElement(vector.get(), std::make_unique<VectorNode>(&threeAgain)));
    EXPECT_EQ(vector->count, 3);
    ExpectConsistent(vector.get());
}

TEST(FoundationVector, SortedInsertMatchesReferenceModelOnRandomInput) {
    std::mt19937 random(20240305);
    for (int round = 0; round < 40; ++round) {
        const int range = round % 2 ? 50 : 100000;  // many duplicates, then few
        std::vector<int> values(1 + random() % 400);
        for (int& v : values) v = static_cast<int>(random() % range) - range / 2;
        Vector vector(CompareInts);
        std::set<int> model;
        for (int& v : values) {
            const bool fresh = model.insert(v).second;
            ASSERT_EQ(AddElement(&vector, std::make_unique<VectorNode>(&v)), fresh) << v;
        }
        EXPECT_EQ(Contents(&vector), std::vector<int>(model.begin(), model.end()));
        ExpectConsistent(&vector);
        // The order survives deletions in the middle and at both ends.
        while (vector.count > 0) {
            const std::int32_t index = static_cast<std::int32_t>(random() % vector.count);
            VectorNode* node = ElementAt(&vector, index);
            ASSERT_TRUE(node);
            model.erase(*ElementOf<int>(node));
            ASSERT_TRUE(DeleteElementAt(&vector, index));
            if (vector.count % 17 == 0) {
                EXPECT_EQ(Contents(&vector), std::vector<int>(model.begin(), model.end()));
                ExpectConsistent(&vector);
            }
        }
        EXPECT_FALSE(vector.first);
        EXPECT_EQ(vector.last, nullptr);
    }
}

TEST(FoundationVector, PositionsOutsideTheRangeAreRejected) {
    int values[3] = {10, 20, 30};
    Vector vector;
    for (int& v : values) ASSERT_EQ(AddElementValue(&vector, &v), 1);
    struct Case {
        std::int32_t index;
        bool inRange;
    } cases[] = {{-1, false}, {0, true}, {2, true}, {3, false}, {1000, false}};
    for (const Case& c : cases) {
        EXPECT_EQ(ElementAt(&vector, c.index) != nullptr, c.inRange) << c.index;
        EXPECT_EQ(GetNthElement(&vector, c.index, vector.first.get()) != nullptr, c.inRange) << c.index;
    }
    EXPECT_EQ(*ElementOf<int>(ElementAt(&vector, 2)), 30);
    // Counting from a later start runs off the chain before n reaches count.
    EXPECT_EQ(GetNthElement(&vector, 2, ElementAt(&vector, 1)), nullptr);
    EXPECT_EQ(GetNthElement(&vector, 0, nullptr), nullptr);

    int extra = 99;
    EXPECT_FALSE(InsertElementAt(&vector, std::make_unique<VectorNode>(&extra), -1));
    EXPECT_FALSE(InsertElementAt(&vector, std::make_unique<VectorNode>(&extra), 4));
    EXPECT_FALSE(DeleteElementAt(&vector, 3));
    EXPECT_FALSE(DeleteElementAt(&vector, -1));
    EXPECT_EQ(vector.count, 3);
}

TEST(FoundationVector, InsertAtEveryPositionKeepsTheTail) {
    int a = 1, b = 2, c = 3, d = 4;
    Vector vector;
    ASSERT_TRUE(InsertElementAt(&vector, std::make_unique<VectorNode>(&b), 0));  // empty vector
    ASSERT_TRUE(InsertElementAt(&vector, std::make_unique<VectorNode>(&d), 1));  // at the end
    ASSERT_TRUE(InsertElementAt(&vector, std::make_unique<VectorNode>(&a), 0));  // at the front
    ASSERT_TRUE(InsertElementAt(&vector, std::make_unique<VectorNode>(&c), 2));  // in the middle
    EXPECT_EQ(Contents(&vector), (std::vector<int>{1, 2, 3, 4}));
    ExpectConsistent(&vector);
    int e = 5;
    ASSERT_EQ(AddElementValue(&vector, &e), 1);
    EXPECT_EQ(Contents(&vector), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST(FoundationVector, DeletingTheLastNodeKeepsAppendsWorking) {
    int values[4] = {1, 2, 3, 4};
    Vector vector;
    ASSERT_EQ(AddElementValue(&vector, &values[0]), 1);
    ASSERT_EQ(AddElementValue(&vector, &values[1]), 1);
    ASSERT_TRUE(DeleteElementAt(&vector, vector.count - 1));
    ASSERT_EQ(AddElementValue(&vector, &values[2]), 1);
    EXPECT_EQ(Contents(&vector), (std::vector<int>{1, 3}));
    // Down to empty and back.
    ASSERT_TRUE(DeleteElementAt(&vector, 1));
    ASSERT_TRUE(DeleteElementAt(&vector, 0));
    ExpectConsistent(&vector);
    ASSERT_EQ(AddElementValue(&vector, &values[3]), 1);
    EXPECT_EQ(Contents(&vector), (std::vector<int>{4}));
    ExpectConsistent(&vector);
}

TEST(FoundationVector, DeleteByNodeAndByElement) {
    int values[4] = {1, 2, 3, 2};
    Vector vector;
    for (int& v : values) ASSERT_EQ(AddElementValue(&vector, &v), 1);
    VectorNode stranger(&values[0]);
    EXPECT_FALSE(DeleteElement(&vector, &stranger));  // same element, other node
    EXPECT_TRUE(DeleteElement(&vector, ElementAt(&vector, 3)));
    ExpectConsistent(&vector);
    EXPECT_TRUE(DeleteLCDVector(&vector, &values[1]));
    EXPECT_FALSE(DeleteLCDVector(&vector, &values[1]));
    EXPECT_EQ(Contents(&vector), (std::vector<int>{1, 3}));
    FreeVector(&vector);
    EXPECT_EQ(vector.count, 0);
    EXPECT_FALSE(DeleteLCDVector(&vector, &values[0]));
    EXPECT_EQ(ElementAt(&vector, 0), nullptr);
}

TEST(FoundationVector, CloneCopiesTextsAndIsIndependent) {
    char alpha[] = "alpha";
    char beta[] = "beta";
    Vector source;
    ASSERT_EQ(AddElementValue(&source, alpha), 1);
    ASSERT_EQ(AddElementValue(&source, nullptr), 1);
    ASSERT_EQ(AddElementValue(&source, beta), 1);
    auto clone = CloneVector(&source);
    ASSERT_TRUE(clone);
    EXPECT_EQ(Texts(clone.get()), (std::vector<std::string>{"alpha", "<null>", "beta"}));
    EXPECT_NE(ElementAt(clone.get(), 0)->element, static_cast<void*>(alpha));
    alpha[0] = 'X';
    FreeVector(&source);
    EXPECT_EQ(Texts(clone.get()), (std::vector<std::string>{"alpha", "<null>", "beta"}));
    EXPECT_EQ(CloneVector(nullptr), nullptr);
}

TEST(FoundationVector, MergeSortedAndUnsorted) {
    int values[] = {7, 1, 5, 3, 5, 9};
    Vector target(CompareInts);
    Vector source;
    ASSERT_EQ(AddElementValue(&target, &values[0]), 1);
    ASSERT_EQ(AddElementValue(&target, &values[2]), 1);
    for (int i : {1, 3, 4, 5}) ASSERT_EQ(AddElementValue(&source, &values[i]), 1);
    EXPECT_EQ(MergeVector(&target, &source), 1);
    EXPECT_EQ(Contents(&target), (std::vector<int>{1, 3, 5, 7, 9}));  // the second 5 is dropped
    EXPECT_EQ(source.count, 0);
    EXPECT_FALSE(source.first);
    ExpectConsistent(&target);
    ExpectConsistent(&source);

    Vector unsorted;
    ASSERT_EQ(AddElementValue(&unsorted, &values[0]), 1);
    EXPECT_EQ(MergeVector(&unsorted, &target), 1);
    EXPECT_EQ(Contents(&unsorted), (std::vector<int>{7, 1, 3, 5, 7, 9}));
    EXPECT_EQ(MergeVector(&unsorted, &unsorted), 1);  // into itself: unchanged
    EXPECT_EQ(Contents(&unsorted), (std::vector<int>{7, 1, 3, 5, 7, 9}));
    EXPECT_EQ(MergeVector(nullptr, &unsorted), 0);
}

// The caller may hold the source's lock while merging it away (MergeVector leaves the
// source unlocked); only the target is locked, element by element.
TEST(FoundationVector, MergeWhileHoldingTheSourceLock) {
    int values[] = {4, 2, 6};
    Vector target(CompareInts);
    Vector source;
    for (int& value : values) ASSERT_EQ(AddElementValue(&source, &value), 1);
    std::atomic<bool> merged{false};
    std::thread merger([&] {
        ObjectLockGuard hold(&source);
        EXPECT_EQ(MergeVector(&target, &source), 1);
        merged = true;
    });
    const bool done = testsupport::WaitUntil([&] { return merged.load(); });
    if (!done) UnlockObject(&source);  // let a stuck merge finish so the thread can be joined
    merger.join();
    EXPECT_TRUE(done) << "MergeVector waited for the source lock its caller holds";
    EXPECT_EQ(Contents(&target), (std::vector<int>{2, 4, 6}));
    EXPECT_EQ(source.count, 0);
    EXPECT_FALSE(IsObjectLocked(&source));
    EXPECT_FALSE(IsObjectLocked(&target));
}

TEST(FoundationVector, MergedCloneKeepsItsTextsAlive) {
    char text[] = "kept";
    Vector original;
    ASSERT_EQ(AddElementValue(&original, text), 1);
    auto clone = CloneVector(&original);
    Vector target;
    ASSERT_EQ(MergeVector(&target, clone.get()), 1);
    clone.reset();
    EXPECT_EQ(Texts(&target), (std::vector<std::string>{"kept"}));
}

TEST(FoundationVector, LongChainsAreFreedWithoutRecursion) {
    int value = 0;
    auto vector = CreateVector();
    for (int i = 0; i < 300000; ++i) ASSERT_EQ(AddElementValue(vector.get(), &value), 1);
    EXPECT_EQ(vector->count, 300000);
    vector.reset();  // would overflow the stack if nodes freed their successors recursively
}

TEST(FoundationVector, MessageQueueIsFirstInFirstOut) {
    int messages[3] = {1, 2, 3};
    Vector queue;
    EXPECT_EQ(ReadMsgFromQueueForProcessing(&queue), nullptr);
    for (int& m : messages) ASSERT_TRUE(AddRcvdMsgToQueue(&queue, &m));
    EXPECT_EQ(ReadMsgFromQueueForProcessing(&queue), &messages[0]);
    ASSERT_TRUE(AddRcvdMsgToQueue(&queue, &messages[0]));
    EXPECT_EQ(ReadMsgFromQueueForProcessing(&queue), &messages[1]);
    EXPECT_EQ(ReadMsgFromQueueForProcessing(&queue), &messages[2]);
    EXPECT_EQ(ReadMsgFromQueueForProcessing(&queue), &messages[0]);
    EXPECT_EQ(ReadMsgFromQueueForProcessing(&queue), nullptr);
    ExpectConsistent(&queue);
}

TEST(FoundationVector, ConcurrentProducersAndConsumersLoseNothing) {
    constexpr int kPerThread = 2000;
    constexpr int kProducers = 4;
    std::vector<int> payload(kPerThread * kProducers);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<int>(i);
    Vector queue;
    Vector sorted(CompareInts);
    std::vector<std::thread> threads;
    for (int t = 0; t < kProducers; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                int* item = &payload[t * kPerThread + i];
                ASSERT_TRUE(AddRcvdMsgToQueue(&queue, item));
                ASSERT_EQ(AddElementValue(&sorted, item), 1);
            }
        });
    }
    std::vector<int> seen;
    std::atomic<int> taken{0};
    std::mutex seenMutex;
    for (int c = 0; c < 2; ++c) {
        threads.emplace_back([&] {
            while (taken < kPerThread * kProducers) {
                if (void* message = ReadMsgFromQueueForProcessing(&queue)) {
                    std::lock_guard guard(seenMutex);
                    seen.push_back(*static_cast<int*>(message));
                    ++taken;
                } else {
                    std::this_thread::yield();
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, payload);
    EXPECT_EQ(Contents(&sorted), payload);
    ExpectConsistent(&queue);
}

// Every vector operation announces itself at TRACE, including the lookups and the
// queue, whose entries are the ones a trace of a stuck consumer needs.
TEST(FoundationVector, EveryOperationLogsItsEntryAtTrace) {
    testsupport::TempDir logDir;
    CloseLog();
    ReleaseLogSettings();
    SetLogDefaults();
    ConfigureLog("vector.log", logDir.str().c_str(), 4);
    ASSERT_TRUE(OpenLog());
    const auto logText = [&] {
        std::fflush(gv_logFilePtr);
        return testsupport::ReadFile(logDir.path() / "vector.log");
    };

    int values[] = {1, 2};
    Vector vector;
    struct Case {
        const char* operation;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"AddElementValue", [&] { AddElementValue(&vector, &values[0]); }},
        {"ElementAt", [&] { ElementAt(&vector, 0); }},
        {"GetNthElement", [&] { GetNthElement(&vector, 0, vector.first.get()); }},
        {"AddRcvdMsgToQueue", [&] { AddRcvdMsgToQueue(&vector, &values[1]); }},
        {"ReadMsgFromQueueForProcessing", [&] { ReadMsgFromQueueForProcessing(&vector); }},
    };
    for (const Case& c : cases) {
        const std::string line = std::string("\n\t@@@@@ Inside ") + c.operation + "() @@@@@ \n";
        const std::string before = logText();
        c.call();
        EXPECT_NE(logText().substr(before.size()).find(line), std::string::npos) << c.operation;
    }
    // Below TRACE none of it is written.
    SetLogLevel(1);
    const std::string quiet = logText();
    ElementAt(&vector, 0);
    EXPECT_EQ(logText(), quiet);
    CloseLog();
    ReleaseLogSettings();
}
