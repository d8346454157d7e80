// Memory pools: allocations across block sizes, ring reuse, clear and destroy, child
// pools and the use count of the process-wide pool.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "store/store.h"

namespace {

struct Piece {
    unsigned char* memory;
    std::size_t size;
    unsigned char fill;
};

}  // namespace

TEST(FoundationPool, BlockSizesFollowTheSizeClasses) {
    auto allocator = CreateMemAllocator();
    struct Case {
        std::size_t request;
        std::uint32_t sizeIndex;  // units of 4096, less one
    } cases[] = {
        {1, 1},                  // at least 8192 bytes
        {8192 - 200, 1},
        {8192, 2},               // the header pushes it over
        {20 * 4096, 20},
        {100 * 4096 + 1, 100},
    };
    for (const Case& c : cases) {
        MemBlock* block = AllocatorTakeBlock(allocator.get(), c.request);
        ASSERT_TRUE(block);
        EXPECT_EQ(block->sizeIndex, c.sizeIndex) << c.request;
        EXPECT_GE(static_cast<std::size_t>(block->end - block->firstFree), c.request);
        AllocatorReturnBlocks(allocator.get(), block);
    }
    // Small classes go to their own list, blocks of 20 units and more to list 0.
    EXPECT_EQ(AllocatorFreeBlockCount(allocator.get(), 1), 1u);  // the second request reused it
    EXPECT_EQ(AllocatorFreeBlockCount(allocator.get(), 2), 1u);
    EXPECT_EQ(AllocatorFreeBlockCount(allocator.get(), 0), 2u);
    // A freed block is reused for a request of its class.
    const std::size_t before = AllocatorFreeBytes(allocator.get());
    MemBlock* reused = AllocatorTakeBlock(allocator.get(), 90 * 4096);
    ASSERT_TRUE(reused);
    EXPECT_EQ(reused->sizeIndex, 100u);
    EXPECT_EQ(AllocatorFreeBytes(allocator.get()), before - 101 * 4096);
    AllocatorReturnBlocks(allocator.get(), reused);
    EXPECT_EQ(AllocatorTakeBlock(allocator.get(), SIZE_MAX / 2), nullptr);  // beyond any pool
}

TEST(FoundationPool, ManyAllocationsAcrossSizesStayAlignedAndIntact) {
    auto allocator = CreateMemAllocator();
    MemPoolPtr pool = CreateRootMemPool(allocator.get());
    ASSERT_TRUE(pool);
    std::mt19937 random(42);
    std::vector<Piece> pieces;
    for (int i = 0; i < 3000; ++i) {
        std::size_t size = random() % 3 == 0 ? random() % 20000 : random() % 300;
        if (i % 500 == 0) size = 150000;  // larger than every listed class
        auto* memory = static_cast<unsigned char*>(PoolAlloc(pool.get(), size));
        ASSERT_TRUE(memory);
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(memory) % 8, 0u);
        const auto fill = static_cast<unsigned char>(i);
        std::memset(memory, fill, size);
        pieces.push_back({memory, size, fill});
    }
    // Nothing overlapped: every piece still holds its own pattern.
    for (const Piece& piece : pieces) {
        for (std::size_t i = 0; i < piece.size; ++i) ASSERT_EQ(piece.memory[i], piece.fill);
    }
    EXPECT_GT(MemPoolBlockCount(pool.get()), 10u);
    char* copy = PoolStrdup(pool.get(), "text copy");
    ASSERT_TRUE(copy);
    EXPECT_STREQ(copy, "text copy");
    char* bounded = PoolStrndup(pool.get(), "abcdef", 3);
    EXPECT_STREQ(bounded, "abc");
    EXPECT_EQ(PoolStrdup(pool.get(), nullptr), nullptr);
    auto* zeroed = static_cast<unsigned char*>(PoolCalloc(pool.get(), 64));
    for (int i = 0; i < 64; ++i) EXPECT_EQ(zeroed[i], 0);
}

TEST(FoundationPool, ClearKeepsTheOwnBlockAndReturnsTheRest) {
    auto allocator = CreateMemAllocator();
    MemPoolPtr pool = CreateRootMemPool(allocator.get());
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(PoolAlloc(pool.get(), 5000));
    const std::size_t blocks = MemPoolBlockCount(pool.get());
    ASSERT_GT(blocks, 1u);
    EXPECT_EQ(AllocatorFreeBytes(allocator.get()), 0u);
    ClearMemPool(pool.get());
    EXPECT_EQ(MemPoolBlockCount(pool.get()), 1u);
    EXPECT_EQ(AllocatorFreeBlockCount(allocator.get(), 2) + AllocatorFreeBlockCount(allocator.get(), 1),
              blocks - 1);
    // The same work again is served from the free lists.
    const std::size_t freeBefore = AllocatorFreeBytes(allocator.get());
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(PoolAlloc(pool.get(), 5000));
    EXPECT_LT(AllocatorFreeBytes(allocator.get()), freeBefore);
    EXPECT_EQ(MemPoolBlockCount(pool.get()), blocks);
}

TEST(FoundationPool, MaxFreeLimitsWhatTheAllocatorKeeps) {
    auto allocator = CreateMemAllocator(3 * 8192);
    MemPoolPtr pool = CreateRootMemPool(allocator.get());
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(PoolAlloc(pool.get(), 6000));
    ClearMemPool(pool.get());
    EXPECT_LE(AllocatorFreeBytes(allocator.get()), 3u * 8192);
    EXPECT_GT(AllocatorFreeBytes(allocator.get()), 0u);
}

TEST(FoundationPool, ChildPoolsDieWithTheirParent) {
    auto allocator = CreateMemAllocator();
    MemPoolPtr root = CreateRootMemPool(allocator.get());
    MemPool* first = CreateMemPool(root.get());
    MemPool* second = CreateMemPool(root.get());
    MemPool* grandchild = CreateMemPool(first);
    ASSERT_TRUE(first && second && grandchild);
    EXPECT_EQ(MemPoolParent(grandchild), first);
    EXPECT_EQ(MemPoolChildCount(root.get()), 2u);
    for (MemPool* pool : {first, second, grandchild}) ASSERT_TRUE(PoolAlloc(pool, 30000));

    // Destroying one child unlinks it and leaves its sibling alone.
    DestroyMemPool(second);
    EXPECT_EQ(MemPoolChildCount(root.get()), 1u);
    ASSERT_TRUE(PoolAlloc(first, 100));
    // Destroying a middle child of three keeps the sibling chain intact.
    MemPool* a = CreateMemPool(root.get());
    MemPool* b = CreateMemPool(root.get());
    MemPool* c = CreateMemPool(root.get());
    DestroyMemPool(b);
    EXPECT_EQ(MemPoolChildCount(root.get()), 3u);
    DestroyMemPool(c);
    DestroyMemPool(a);
    EXPECT_EQ(MemPoolChildCount(root.get()), 1u);

    const std::size_t freeBefore = AllocatorFreeBytes(allocator.get());
    ClearMemPool(root.get());  // destroys first and grandchild
    EXPECT_EQ(MemPoolChildCount(root.get()), 0u);
    EXPECT_GT(AllocatorFreeBytes(allocator.get()), freeBefore);
}

TEST(FoundationPool, GlobalPoolFollowsTheUseCount) {
    ASSERT_EQ(GetMemPoolUseCount(), 0);
    EXPECT_EQ(GetGlobalMemPool(), nullptr);
    EXPECT_EQ(CreateMemPool(nullptr), nullptr);
    TerminateMemPool();  // nothing to release
    EXPECT_EQ(GetMemPoolUseCount(), 0);

    ASSERT_EQ(InitializeMemPool(), 1);
    MemPool* global = GetGlobalMemPool();
    ASSERT_TRUE(global);
    ASSERT_EQ(InitializeMemPool(), 1);
    EXPECT_EQ(GetMemPoolUseCount(), 2);
    EXPECT_EQ(GetGlobalMemPool(), global);
    MemPool* child = CreateMemPool(nullptr);
    ASSERT_TRUE(child);
    EXPECT_EQ(MemPoolParent(child), global);
    TerminateMemPool();
    EXPECT_EQ(GetGlobalMemPool(), global);
    TerminateMemPool();
    EXPECT_EQ(GetMemPoolUseCount(), 0);
    EXPECT_EQ(GetGlobalMemPool(), nullptr);

    // The 8-bit count refuses a 256th holder instead of wrapping to zero.
    for (int i = 0; i < 255; ++i) ASSERT_EQ(InitializeMemPool(), 1);
    global = GetGlobalMemPool();
    EXPECT_EQ(InitializeMemPool(), 0);
    EXPECT_EQ(GetMemPoolUseCount(), 255);
    EXPECT_EQ(GetGlobalMemPool(), global);
    for (int i = 0; i < 255; ++i) TerminateMemPool();
    EXPECT_EQ(GetGlobalMemPool(), nullptr);
}

TEST(FoundationPool, ThreadsSharingOneAllocator) {
    auto allocator = CreateMemAllocator(64 * 8192);
    MemPoolPtr root = CreateRootMemPool(allocator.get());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                MemPool* pool = CreateMemPool(root.get());
                ASSERT_TRUE(pool);
                for (int i = 0; i < 20; ++i) {
                    auto* memory = static_cast<unsigned char*>(PoolAlloc(pool, 3000 + 100 * t));
                    ASSERT_TRUE(memory);
                    std::memset(memory, t, 3000);
                }
                DestroyMemPool(pool);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(MemPoolChildCount(root.get()), 0u);
}
