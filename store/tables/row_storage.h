// Where the rows of a table keep their values. A scan over a table reads every row's
// values; when those come from a heap that has served and freed millions of other
// blocks, consecutive rows land far apart and nearly every row misses the cache. So a
// table keeps the values of its rows (and the bytes of their longer texts) in its own
// chunks, in append order, and row headers come from one pool of equal-sized slots:
// how fast a table scans then no longer depends on what the process allocated before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <unordered_map>
#include <vector>

#include "store/foundation/column_value.h"

// Blocks of a table's row values: bump allocation from growing chunks, freed blocks kept
// per 8-byte size class for the next rows of that size. When the last block in use is
// given back, every chunk goes back too. Not thread-safe: the table's exclusive lock
// guards it. Every block must be given back (or be unused) before Clear.
class RowStorage {
public:
    RowStorage() = default;
    ~RowStorage() { Clear(); }
    RowStorage(const RowStorage&) = delete;
    RowStorage& operator=(const RowStorage&) = delete;

    // Allocate, Free: a block of bytes, 8-byte aligned (std::bad_alloc when memory runs
    // out), and giving it back with the size it was asked with (any size beyond
    // kLargestPooled for a block that was asked beyond it).
    void* Allocate(std::size_t bytes);
    void Free(void* block, std::size_t bytes) noexcept;
    // Returns every chunk to the system.
    void Clear() noexcept;
    // Exchanges the chunks and blocks of two storages: a loader fills a storage of its
    // own outside the table's lock and hands it over whole.
    void Swap(RowStorage& other) noexcept;
    // True when the storage holds no chunk and no block.
    bool Unused() const noexcept { return chunks_.empty() && largeBlocks_.empty() && liveBlocks_ == 0; }

    // The chunks taken from the system.
    std::size_t ChunkCount() const { return chunks_.size(); }
    // Blocks given back and not yet reused.
    std::size_t FreeBlockCount() const;
    // Bytes of the blocks in use, each rounded up to the granule.
    std::size_t BytesInUse() const { return bytesInUse_; }

    static constexpr std::size_t kGranule = 8;
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
    std::unordered_map<void*, std::size_t> largeBlocks_;  // with their sizes
    std::vector<FreeBlock*> freeLists_;  // by size class
    char* next_ = nullptr;
    char* end_ = nullptr;
    std::size_t nextChunkBytes_ = 4096;
    std::size_t liveBlocks_ = 0;  // handed out and not given back
    std::size_t bytesInUse_ = 0;
};

// The values of a row, one per column, contiguous; reads like the std::vector it is
// built from (size, [], data, iteration, a span). A row not in a table owns a heap
// array; AddNewRow moves the values into one block of the table's RowStorage. Twelve
// bytes, so that a row header (RowObject) takes 48: the array's address, and one word
// with the column count and the size of the storage block.
class RowValueArray {
public:
    // Columns a row can have: the count shares its word with the block's size.
    static constexpr std::size_t kMaxColumns = (std::size_t{1} << 20) - 1;

    RowValueArray() = default;
    // Throws std::bad_alloc when memory runs out or there are more than kMaxColumns values.
    RowValueArray(std::vector<ColumnValue> values) { Adopt(values); }
    // count NULL values.
    explicit RowValueArray(std::size_t count);
    RowValueArray(const RowValueArray& other) : RowValueArray(std::vector<ColumnValue>(other.begin(), other.end())) {}
    RowValueArray& operator=(const RowValueArray& other);
    RowValueArray& operator=(std::vector<ColumnValue> values);
    ~RowValueArray() { Destroy(); }

    // size, empty, data, [], begin, end: std::vector-style access to the values.
    std::size_t size() const noexcept { return word_ & kCountMask; }
    bool empty() const noexcept { return size() == 0; }
    ColumnValue* data() noexcept { return Values(); }
    const ColumnValue* data() const noexcept { return Values(); }
    ColumnValue& operator[](std::size_t index) noexcept { return Values()[index]; }
    const ColumnValue& operator[](std::size_t index) const noexcept { return Values()[index]; }
    ColumnValue* begin() noexcept { return Values(); }
    ColumnValue* end() noexcept { return Values() + size(); }
    const ColumnValue* begin() const noexcept { return Values(); }
    const ColumnValue* end() const noexcept { return Values() + size(); }
    operator std::span<const ColumnValue>() const noexcept { return {Values(), size()}; }
    operator std::span<ColumnValue>() noexcept { return {Values(), size()}; }

    // Moves the values, and the bytes of texts too long to stay inline, into one block of
    // the storage. On std::bad_alloc the values stay as they were.
    void MoveInto(RowStorage& storage);
    // Destroys the values and gives their block back; the array is empty afterwards.
    void ReleaseTo(RowStorage& storage) noexcept;
    // Copies values that live in a block of the storage into an array of their own and
    // gives the block back, ready to move into another storage. On std::bad_alloc the
    // values stay where they were.
    void LeaveStorage(RowStorage& storage);
    // True while the values live in a block of a table's storage.
    bool InStorage() const noexcept { return (word_ & ~kCountMask) != 0; }

private:
    // word_: the column count in the low 20 bits; in storage, the pooled block's size in
    // granules above it, or kLargeBlock for a block beyond the pooled sizes.
    static constexpr std::uint32_t kCountMask = static_cast<std::uint32_t>(kMaxColumns);
    static constexpr unsigned kUnitsShift = 20;
    static constexpr std::uint32_t kLargeBlock = 0x80000000u;
    static_assert(RowStorage::kLargestPooled / RowStorage::kGranule < (kLargeBlock >> kUnitsShift),
                  "a pooled block's size fits below the large-block bit");

    ColumnValue* Values() const noexcept {
        ColumnValue* values;
        std::memcpy(&values, address_, sizeof values);
        return values;
    }
    void Set(ColumnValue* values, std::uint32_t word) noexcept {
        std::memcpy(address_, &values, sizeof values);
        word_ = word;
    }
    void Adopt(std::vector<ColumnValue>& values);
    void Destroy() noexcept;
    // Takes other's array (this one must hold none); other is empty afterwards.
    void TakeArrayOf(RowValueArray& other) noexcept {
        Set(other.Values(), other.word_);
        other.Set(nullptr, 0);
    }

    // The address as bytes keeps the alignment at 4, so the row's state byte follows
    // without padding.
    unsigned char address_[sizeof(ColumnValue*)] = {};
    std::uint32_t word_ = 0;
};
static_assert(sizeof(RowValueArray) == sizeof(ColumnValue*) + sizeof(std::uint32_t));

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
