// Memory pools on a block allocator: pools carve 8-byte-aligned pieces out of a ring of
// blocks and give all of them back at once when cleared or destroyed.
#include "store/foundation/mem_pool.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>

#include "runtime/log.h"

class MemAllocator {
public:
    ~MemAllocator() {
        for (MemBlock*& list : freeLists) {
            while (list) {
                MemBlock* block = list;
                list = block->next;
                ::operator delete(static_cast<void*>(block));
            }
        }
    }

    std::mutex mutex;  // free lists and the parent/child links of pools on this allocator
    std::size_t maxFree = 0;
    std::size_t freeBytes = 0;
    MemBlock* freeLists[kMemFreeLists] = {};
    MemPool* owner = nullptr;
};

struct MemPool {
    MemPool* parent = nullptr;
    MemPool* child = nullptr;
    MemPool* sibling = nullptr;
    MemPool** ref = nullptr;  // the pointer that refers to this pool
    MemAllocator* allocator = nullptr;
    MemBlock* active = nullptr;
    MemBlock* self = nullptr;  // the block that holds this record
    char* selfFirstFree = nullptr;
};

namespace {

constexpr std::size_t Align(std::size_t size, std::size_t boundary) {
    return (size + boundary - 1) & ~(boundary - 1);
}

constexpr std::size_t kHeaderSize = Align(sizeof(MemBlock), 16);
constexpr std::size_t kPoolRecordSize = Align(sizeof(MemPool), 8);
// 1 TiB, or a quarter of the address space where that is smaller (32-bit builds): any
// larger size would overflow the sums made with it.
constexpr std::size_t kLargestRequest =
    static_cast<std::size_t>(std::min<std::uint64_t>(std::uint64_t{1} << 40, SIZE_MAX / 4));

std::size_t BlockBytes(const MemBlock* block) { return (block->sizeIndex + 1) * kMemBlockUnit; }
std::size_t Room(const MemBlock* block) { return static_cast<std::size_t>(block->end - block->firstFree); }
std::uint32_t FreeUnits(const MemBlock* block) {
    return static_cast<std::uint32_t>(Room(block) / kMemBlockUnit);
}
std::size_t ListOf(std::uint32_t sizeIndex) { return sizeIndex < kMemFreeLists ? sizeIndex : 0; }

void RingInit(MemBlock* block) {
    block->next = block;
    block->backLink = &block->next;
}

void RingInsertBefore(MemBlock* block, MemBlock* position) {
    block->next = position;
    block->backLink = position->backLink;
    *position->backLink = block;
    position->backLink = &block->next;
}

void RingRemove(MemBlock* block) {
    *block->backLink = block->next;
    block->next->backLink = block->backLink;
    RingInit(block);
}

void ResetBlock(MemBlock* block) {
    block->firstFree = reinterpret_cast<char*>(block) + kHeaderSize;
    block->freeIndex = FreeUnits(block);
    block->next = nullptr;
    block->backLink = nullptr;
}

// Creates the pool record at the start of a fresh block.
MemPool* NewPool(MemAllocator* allocator, MemPool* parent) {
    MemBlock* block = AllocatorTakeBlock(allocator, kPoolRecordSize);
    if (!block) return nullptr;
    MemPool* pool = new (block->firstFree) MemPool;
    block->firstFree += kPoolRecordSize;
    block->freeIndex = FreeUnits(block);
    RingInit(block);
    pool->allocator = allocator;
    pool->active = block;
    pool->self = block;
    pool->selfFirstFree = block->firstFree;
    if (parent) {
        std::lock_guard guard(allocator->mutex);
        pool->parent = parent;
        pool->sibling = parent->child;
        if (pool->sibling) pool->sibling->ref = &pool->sibling;
        parent->child = pool;
        pool->ref = &parent->child;
    }
    return pool;
}

struct GlobalPoolState {
    std::mutex mutex;
    std::uint8_t useCount = 0;
    MemAllocatorPtr allocator;
    MemPool* pool = nullptr;
};

GlobalPoolState& Global() {
    static GlobalPoolState state;
    return state;
}

}  // namespace

void MemAllocatorDeleter::operator()(MemAllocator* allocator) const { delete allocator; }

MemAllocatorPtr CreateMemAllocator(std::size_t maxFree) {
    try {
        MemAllocatorPtr allocator(new MemAllocator);
        allocator->maxFree = maxFree;
        return allocator;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void SetMemAllocatorMaxFree(MemAllocator* allocator, std::size_t maxFree) {
    if (!allocator) return;
    std::lock_guard guard(allocator->mutex);
    allocator->maxFree = maxFree;
}

MemBlock* AllocatorTakeBlock(MemAllocator* allocator, std::size_t size) {
    if (!allocator || size > kLargestRequest) return nullptr;
    const std::size_t bytes = std::max(Align(size + kHeaderSize, kMemBlockUnit), kMemBlockMinimum);
    const auto wanted = static_cast<std::uint32_t>(bytes / kMemBlockUnit - 1);
    {
        std::lock_guard guard(allocator->mutex);
        // A block of the exact class or any larger listed class, then the large list.
        MemBlock** found = nullptr;
        if (wanted < kMemFreeLists) {
            for (std::size_t i = wanted; i < kMemFreeLists && !found; ++i) {
                if (allocator->freeLists[i] && i != 0) found = &allocator->freeLists[i];
            }
        }
        if (!found) {
            for (MemBlock** slot = &allocator->freeLists[0]; *slot; slot = &(*slot)->next) {
                if ((*slot)->sizeIndex >= wanted) {
                    found = slot;
                    break;
                }
            }
        }
        if (found) {
            MemBlock* block = *found;
            *found = block->next;
            allocator->freeBytes -= BlockBytes(block);
            ResetBlock(block);
            return block;
        }
    }
    void* memory = nullptr;
    try {
        memory = ::operator new(bytes);
    } catch (const std::bad_alloc&) {
        LogError("MEMORY_ALLOCATION_FAILURE\n");
        return nullptr;
    }
    MemBlock* block = new (memory) MemBlock;
    block->sizeIndex = wanted;
    block->end = static_cast<char*>(memory) + bytes;
    ResetBlock(block);
    return block;
}

void AllocatorReturnBlocks(MemAllocator* allocator, MemBlock* chain) {
    if (!allocator) return;
    std::lock_guard guard(allocator->mutex);
    while (chain) {
        MemBlock* block = chain;
        chain = block->next;
        const std::size_t bytes = BlockBytes(block);
        if (allocator->maxFree != 0 && allocator->freeBytes + bytes > allocator->maxFree) {
            ::operator delete(static_cast<void*>(block));
            continue;
        }
        const std::size_t list = ListOf(block->sizeIndex);
        block->backLink = nullptr;
        block->next = allocator->freeLists[list];
        allocator->freeLists[list] = block;
        allocator->freeBytes += bytes;
    }
}

std::size_t AllocatorFreeBytes(const MemAllocator* allocator) {
    if (!allocator) return 0;
    std::lock_guard guard(const_cast<MemAllocator*>(allocator)->mutex);
    return allocator->freeBytes;
}

std::size_t AllocatorFreeBlockCount(const MemAllocator* allocator, std::size_t listIndex) {
    if (!allocator || listIndex >= kMemFreeLists) return 0;
    std::lock_guard guard(const_cast<MemAllocator*>(allocator)->mutex);
    std::size_t count = 0;
    for (const MemBlock* block = allocator->freeLists[listIndex]; block; block = block->next) ++count;
    return count;
}

void MemPoolDeleter::operator()(MemPool* pool) const { DestroyMemPool(pool); }

MemPoolPtr CreateRootMemPool(MemAllocator* allocator) { return MemPoolPtr(NewPool(allocator, nullptr)); }

MemPool* CreateMemPool(MemPool* parent) {
    if (!parent) parent = GetGlobalMemPool();
    if (!parent) return nullptr;
    return NewPool(parent->allocator, parent);
}

void* PoolAlloc(MemPool* pool, std::size_t size) {
    if (!pool || size > kLargestRequest) return nullptr;
    size = Align(size, 8);
    MemBlock* active = pool->active;
    if (size <= Room(active)) {
        void* memory = active->firstFree;
        active->firstFree += size;
        return memory;
    }
    // The ring is kept in descending order of room after the active block, so its
    // successor is the only other candidate.
    MemBlock* block = active->next;
    if (block != active && size <= Room(block)) {
        RingRemove(block);
    } else {
        block = AllocatorTakeBlock(pool->allocator, size);
        if (!block) return nullptr;
        RingInit(block);
    }
    void* memory = block->firstFree;
    block->firstFree += size;
    block->freeIndex = FreeUnits(block);

    RingInsertBefore(block, active);
    pool->active = block;

    // Move the previous active block down to its place by remaining room.
    active->freeIndex = FreeUnits(active);
    MemBlock* position = active->next;
    if (position != block && active->freeIndex < position->freeIndex) {
        RingRemove(active);
        while (position != block && position->freeIndex > active->freeIndex) position = position->next;
        RingInsertBefore(active, position);
    }
    return memory;
}

void* PoolCalloc(MemPool* pool, std::size_t size) {
    void* memory = PoolAlloc(pool, size);
    if (memory) std::memset(memory, 0, size);
    return memory;
}

char* PoolStrndup(MemPool* pool, const char* text, std::size_t count) {
    if (!text) return nullptr;
    char* copy = static_cast<char*>(PoolAlloc(pool, count + 1));
    if (!copy) return nullptr;
    std::memcpy(copy, text, count);
    copy[count] = '\0';
    return copy;
}

char* PoolStrdup(MemPool* pool, const char* text) {
    if (!text) return nullptr;
    return PoolStrndup(pool, text, std::strlen(text));
}

void ClearMemPool(MemPool* pool) {
    if (!pool) return;
    while (pool->child) DestroyMemPool(pool->child);
    MemBlock* self = pool->self;
    // Hand every block but the pool's own back as one chain.
    MemBlock* chain = nullptr;
    while (self->next != self) {
        MemBlock* block = self->next;
        RingRemove(block);
        block->next = chain;
        chain = block;
    }
    AllocatorReturnBlocks(pool->allocator, chain);
    self->firstFree = pool->selfFirstFree;
    self->freeIndex = FreeUnits(self);
    pool->active = self;
}

void DestroyMemPool(MemPool* pool) {
    if (!pool) return;
    ClearMemPool(pool);
    MemAllocator* allocator = pool->allocator;
    if (pool->ref) {
        std::lock_guard guard(allocator->mutex);
        *pool->ref = pool->sibling;
        if (pool->sibling) pool->sibling->ref = pool->ref;
    }
    if (allocator->owner == pool) allocator->owner = nullptr;
    MemBlock* self = pool->self;
    pool->~MemPool();
    self->next = nullptr;
    AllocatorReturnBlocks(allocator, self);
}

MemPool* MemPoolParent(const MemPool* pool) { return pool ? pool->parent : nullptr; }
MemAllocator* MemPoolAllocator(const MemPool* pool) { return pool ? pool->allocator : nullptr; }

std::size_t MemPoolBlockCount(const MemPool* pool) {
    if (!pool) return 0;
    std::size_t count = 1;
    for (const MemBlock* block = pool->self->next; block != pool->self; block = block->next) ++count;
    return count;
}

std::size_t MemPoolChildCount(const MemPool* pool) {
    if (!pool) return 0;
    std::size_t count = 0;
    for (const MemPool* child = pool->child; child; child = child->sibling) ++count;
    return count;
}

BYTE InitializeMemPool() {
    GlobalPoolState& state = Global();
    std::lock_guard guard(state.mutex);
    // The count is 8 bits wide; refuse rather than wrap to 0 and lose the pool.
    if (state.useCount == 255) {
        LogError("InitializeMemPool : use count exhausted\n");
        return 0;
    }
    if (++state.useCount > 1) return 1;
    state.allocator = CreateMemAllocator();
    state.pool = state.allocator ? NewPool(state.allocator.get(), nullptr) : nullptr;
    if (!state.pool) {
        state.allocator.reset();
        state.useCount = 0;
        return 0;
    }
    state.allocator->owner = state.pool;
    return 1;
}

void TerminateMemPool() {
    GlobalPoolState& state = Global();
    std::lock_guard guard(state.mutex);
    if (state.useCount == 0) return;
    if (--state.useCount > 0) return;
    DestroyMemPool(state.pool);
    state.pool = nullptr;
    state.allocator.reset();
}

MemPool* GetGlobalMemPool() {
    GlobalPoolState& state = Global();
    std::lock_guard guard(state.mutex);
    return state.pool;
}

std::uint8_t GetMemPoolUseCount() {
    GlobalPoolState& state = Global();
    std::lock_guard guard(state.mutex);
    return state.useCount;
}
