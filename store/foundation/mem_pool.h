// Memory pools: fast allocations that are released together. An allocator keeps free
// blocks in size classes of 4096 bytes; pools take blocks from it and form a tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/win/types.h"

inline constexpr std::size_t kMemBlockUnit = 4096;
inline constexpr std::size_t kMemBlockMinimum = 8192;
inline constexpr std::size_t kMemFreeLists = 20;

// A block of memory handed out by an allocator and carved up by a pool.
struct MemBlock {
    MemBlock* next = nullptr;        // ring of a pool, or the allocator's free list
    MemBlock** backLink = nullptr;   // the pointer that refers to this block in the ring
    std::uint32_t sizeIndex = 0;     // block size in 4096-byte units, less one
    std::uint32_t freeIndex = 0;     // remaining space in 4096-byte units
    char* firstFree = nullptr;
    char* end = nullptr;
};

class MemAllocator;
struct MemPool;

// MemAllocatorDeleter, MemAllocatorPtr: owns an allocator and destroys it with its free
// blocks.
struct MemAllocatorDeleter {
    void operator()(MemAllocator* allocator) const;
};
// Owning pointer to a MemAllocator.
using MemAllocatorPtr = std::unique_ptr<MemAllocator, MemAllocatorDeleter>;

// maxFree: bytes the allocator keeps on its free lists before it returns blocks to the
// system; 0 keeps everything.
MemAllocatorPtr CreateMemAllocator(std::size_t maxFree = 0);
// Changes the bytes the allocator keeps free (see CreateMemAllocator).
void SetMemAllocatorMaxFree(MemAllocator* allocator, std::size_t maxFree);
// Blocks of at least size + header bytes, rounded up to 4096, at least 8192.
MemBlock* AllocatorTakeBlock(MemAllocator* allocator, std::size_t size);
// Takes back a chain of blocks linked through next, keeping up to maxFree bytes of them.
void AllocatorReturnBlocks(MemAllocator* allocator, MemBlock* chain);
// AllocatorFreeBytes, AllocatorFreeBlockCount: bytes and blocks currently on the
// allocator's free lists.
std::size_t AllocatorFreeBytes(const MemAllocator* allocator);
std::size_t AllocatorFreeBlockCount(const MemAllocator* allocator, std::size_t listIndex);

// MemPoolDeleter, MemPoolPtr: owns a root pool and destroys it with its children.
struct MemPoolDeleter {
    void operator()(MemPool* pool) const;
};
// Owning pointer to a root MemPool.
using MemPoolPtr = std::unique_ptr<MemPool, MemPoolDeleter>;

// A top-level pool on its own allocator (the allocator must outlive it).
MemPoolPtr CreateRootMemPool(MemAllocator* allocator);
// A child of parent (the global pool when parent is null), owned by its parent and
// destroyed with it. Null when memory runs out or no global pool exists.
MemPool* CreateMemPool(MemPool* parent);
// PoolAlloc, PoolCalloc (zeroed): memory that lives as long as the pool, rounded up to a
// multiple of 8 bytes; null for a null pool or when memory runs out.
void* PoolAlloc(MemPool* pool, std::size_t size);
void* PoolCalloc(MemPool* pool, std::size_t size);
// PoolStrdup, PoolStrndup (count bytes and a zero): copies inside the pool, freed only with
// the pool; null for null text or when memory runs out.
char* PoolStrdup(MemPool* pool, const char* text);
char* PoolStrndup(MemPool* pool, const char* text, std::size_t count);
// Destroys the children and keeps only the pool's own block.
void ClearMemPool(MemPool* pool);
// Also unlinks the pool from its parent and returns its own block.
void DestroyMemPool(MemPool* pool);
// MemPoolParent, MemPoolAllocator, MemPoolBlockCount, MemPoolChildCount: the pool's
// parent (null for a root), allocator, blocks and children.
MemPool* MemPoolParent(const MemPool* pool);
MemAllocator* MemPoolAllocator(const MemPool* pool);
std::size_t MemPoolBlockCount(const MemPool* pool);
std::size_t MemPoolChildCount(const MemPool* pool);

// The process-wide allocator and pool: every call raises the use count, the first
// creates them. 1 on success, 0 on failure (a count already at 255 fails too).
BYTE InitializeMemPool();
// Lowers the count; the last release destroys the global pool and its allocator.
void TerminateMemPool();
// GetGlobalMemPool, GetMemPoolUseCount: the process-wide pool (null before
// InitializeMemPool) and its use count.
MemPool* GetGlobalMemPool();
std::uint8_t GetMemPoolUseCount();
