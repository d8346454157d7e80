// Where the rows of a table keep their values. A scan over a table reads every row's
// values; when those come from a heap that has served and freed millions of other
// blocks, consecutive rows land far apart and nearly every row misses the cache. So a
// table keeps the values of its rows (and the bytes of their longer texts) in its own
// chunks, in append order, and row headers come from one pool of equal-sized slots:
// how fast a table scans then no longer depends on what the process allocated before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_set>
#include <vector>

#include "store/foundation/column_value.h"

// Blocks of a table's row values: bump allocation from growing chunks, freed blocks kept
// per 16-byte size class for the next rows of that size. When the last block in use is
// given back, every chunk goes back too. Not thread-safe: the table's exclusive lock
// guards it. Every block must be given back (or be unused) before Clear.
class RowStorage {
public:
    RowStorage() = default;
    ~RowStorage() { Clear(); }
    RowStorage(const RowStorage&) = delete;
    RowStorage& operator=(const RowStorage&) = delete;

    // Allocate, Free: a block of bytes, 16-byte aligned (std::bad_alloc when memory runs
    // out), and giving it back with the size it was asked with.
    void* Allocate(std::size_t bytes);
    void Free(void* block, std::size_t bytes) noexcept;
    // Returns every chunk to the system.
    void Clear() noexcept;

    // The chunks taken from the system.
    std::size_t ChunkCount() const { return chunks_.size(); }
    // Blocks given back and not yet reused.
    std::size_t FreeBlockCount() const;

    static constexpr std::size_t kGranule = 16;
    // Larger blocks go to the heap one by one.
    static constexpr std::size_t kLargestPooled = 4096;

private:
    struct FreeBlock {
        FreeBlock* next;
    };
    struct Chunk {
        char* bytes;
        std::size_t size;
    };
    std::vector<Chunk> chunks_;
    std::unordered_set<void*> largeBlocks_;
    std::vector<FreeBlock*> freeLists_;  // by size class
    char* next_ = nullptr;
    char* end_ = nullptr;
    std::size_t nextChunkBytes_ = 4096;
    std::size_t liveBlocks_ = 0;  // handed out and not given back
};

// The values of a row, one per column, contiguous; reads like the std::vector it is
// built from (size, [], data, iteration, a span). A row not in a table owns a heap
// array; AddNewRow moves the values into one block of the table's RowStorage.
class RowValueArray {
public:
    RowValueArray() = default;
    RowValueArray(std::vector<ColumnValue> values) : owned_(std::move(values)) { PointAtOwned(); }
    RowValueArray(const RowValueArray& other) : owned_(other.begin(), other.end()) { PointAtOwned(); }
    RowValueArray& operator=(const RowValueArray& other);
    RowValueArray& operator=(std::vector<ColumnValue> values);
    ~RowValueArray() { DestroyStored(); }

    // size, empty, data, [], begin, end: std::vector-style access to the values.
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    ColumnValue* data() noexcept { return data_; }
    const ColumnValue* data() const noexcept { return data_; }
    ColumnValue& operator[](std::size_t index) noexcept { return data_[index]; }
    const ColumnValue& operator[](std::size_t index) const noexcept { return data_[index]; }
    ColumnValue* begin() noexcept { return data_; }
    ColumnValue* end() noexcept { return data_ + size_; }
    const ColumnValue* begin() const noexcept { return data_; }
    const ColumnValue* end() const noexcept { return data_ + size_; }
    operator std::span<const ColumnValue>() const noexcept { return {data_, size_}; }
    operator std::span<ColumnValue>() noexcept { return {data_, size_}; }

    // Moves the values, and the bytes of texts too long to stay inline, into one block of
    // the storage. On std::bad_alloc the values stay as they were.
    void MoveInto(RowStorage& storage);
    // Destroys the values and gives their block back; the array is empty afterwards.
    void ReleaseTo(RowStorage& storage) noexcept;
    // True while the values live in a block of a table's storage.
    bool InStorage() const noexcept { return blockBytes_ != 0; }

private:
    void PointAtOwned() noexcept {
        data_ = owned_.data();
        size_ = static_cast<std::uint32_t>(owned_.size());
    }
    void DestroyStored() noexcept;

    std::vector<ColumnValue> owned_;
    ColumnValue* data_ = nullptr;
    std::uint32_t size_ = 0;
    // Size of the storage block holding the values; 0 while they are in owned_.
    std::uint32_t blockBytes_ = 0;
};

// Slots for row headers (RowObject): one process-wide pool of equal-sized slots, so
// headers sit close together in the order rows were made. A chunk of slots goes back
// once none of its slots is in use.
// AllocateRowSlot, FreeRowSlot: one slot (std::bad_alloc when memory runs out), and giving
// it back with its size.
void* AllocateRowSlot(std::size_t bytes);
void FreeRowSlot(void* slot, std::size_t bytes) noexcept;

// Bytes of huge-page chunks that row headers and values hold from the system, in use or
// kept for reuse.
std::size_t MappedRowMemoryBytes();
// Freed chunks kept for the next rows, at most; the rest go back to the system at once.
inline constexpr std::size_t kKeptRowMemoryBytes = std::size_t{8} << 20;
