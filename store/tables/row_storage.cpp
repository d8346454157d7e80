// Row storage of the tables: value blocks per table and the shared pool of row headers.
#include "store/tables/row_storage.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>

#include <sys/mman.h>

#include "store/tables/tables.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
// Freed blocks are poisoned, so a use after free is still caught although the memory
// stays in the pool.
#define STORE_POISON(address, bytes) ASAN_POISON_MEMORY_REGION(address, bytes)
#define STORE_UNPOISON(address, bytes) ASAN_UNPOISON_MEMORY_REGION(address, bytes)
#else
#define STORE_POISON(address, bytes) ((void)(address), (void)(bytes))
#define STORE_UNPOISON(address, bytes) ((void)(address), (void)(bytes))
#endif

namespace {

// Big chunks are huge-page sized and aligned, and ask for huge pages: a scan or a sort
// touches the header and the values block of each row, two pages per row with 4 KiB
// pages, and the translation misses would cost as much as the reads.
constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
constexpr std::size_t kLargestChunkBytes = kHugePageBytes;

// Huge chunks of freed tables wait here for the next table to fill, as freed heap memory
// would: a table refilled after a free reuses mapped memory instead of faulting it in
// again. Bounded, so a large table freed for good gives the rest back.
class HugeChunkCache {
public:
    static constexpr std::size_t kMaxChunks = 128;

    char* Take() {
        std::lock_guard<std::mutex> hold(mutex_);
        if (chunks_.empty()) return nullptr;
        char* chunk = chunks_.back();
        chunks_.pop_back();
        return chunk;
    }
    // False when the cache is full; the caller frees the chunk.
    bool Keep(char* chunk) noexcept {
        std::lock_guard<std::mutex> hold(mutex_);
        if (chunks_.size() >= kMaxChunks) return false;
        chunks_.push_back(chunk);  // capacity reserved up front: never throws
        return true;
    }
    HugeChunkCache() { chunks_.reserve(kMaxChunks); }

private:
    std::mutex mutex_;
    std::vector<char*> chunks_;
};

HugeChunkCache& ChunkCache() {
    static HugeChunkCache* cache = new HugeChunkCache();  // never destroyed, as the row slots
    return *cache;
}

char* AllocateChunk(std::size_t bytes) {
    const bool huge = bytes == kHugePageBytes;
    if (huge) {
        if (char* cached = ChunkCache().Take()) return cached;
    }
    void* chunk = std::aligned_alloc(huge ? kHugePageBytes : 16, bytes);
    if (!chunk) throw std::bad_alloc();
    if (huge) ::madvise(chunk, bytes, MADV_HUGEPAGE);  // advice only: failure changes nothing
    return static_cast<char*>(chunk);
}

void FreeChunk(char* chunk, std::size_t bytes) noexcept {
    if (bytes == kHugePageBytes && ChunkCache().Keep(chunk)) return;
    std::free(chunk);
}

std::size_t RoundUp(std::size_t bytes) {
    return (std::max<std::size_t>(bytes, 1) + RowStorage::kGranule - 1) / RowStorage::kGranule *
           RowStorage::kGranule;
}

}  // namespace

void* RowStorage::Allocate(std::size_t bytes) {
    const std::size_t size = RoundUp(bytes);
    if (size > kLargestPooled) {
        // Kept in a set, so a table torn down without freeing row by row frees them too.
        void* block = std::aligned_alloc(kGranule, size);
        if (!block) throw std::bad_alloc();
        try {
            largeBlocks_.insert(block);
        } catch (...) {
            std::free(block);
            throw;
        }
        return block;
    }
    const std::size_t sizeClass = size / kGranule;
    if (sizeClass < freeLists_.size() && freeLists_[sizeClass]) {
        FreeBlock* block = freeLists_[sizeClass];
        STORE_UNPOISON(block, size);
        freeLists_[sizeClass] = block->next;
        return block;
    }
    if (static_cast<std::size_t>(end_ - next_) < size) {
        // Chunks grow with the table, so a table of a few rows stays small.
        const std::size_t chunkBytes = std::max(nextChunkBytes_, size);
        chunks_.reserve(chunks_.size() + 1);
        char* chunk = AllocateChunk(chunkBytes);
        chunks_.push_back({chunk, chunkBytes});
        next_ = chunk;
        end_ = chunk + chunkBytes;
        nextChunkBytes_ = std::min(nextChunkBytes_ * 2, kLargestChunkBytes);
    }
    void* block = next_;
    next_ += size;
    return block;
}

void RowStorage::Free(void* block, std::size_t bytes) noexcept {
    if (!block) return;
    const std::size_t size = RoundUp(bytes);
    if (size > kLargestPooled) {
        largeBlocks_.erase(block);
        std::free(block);
        return;
    }
    const std::size_t sizeClass = size / kGranule;
    if (freeLists_.size() <= sizeClass) {
        try {
            freeLists_.resize(kLargestPooled / kGranule + 1, nullptr);
        } catch (const std::bad_alloc&) {
            return;  // the block stays unused until the storage is cleared
        }
    }
    auto* freed = static_cast<FreeBlock*>(block);
    freed->next = freeLists_[sizeClass];
    freeLists_[sizeClass] = freed;
    STORE_POISON(block, size);
}

void RowStorage::Clear() noexcept {
    for (const Chunk& chunk : chunks_) {
        STORE_UNPOISON(chunk.bytes, chunk.size);
        FreeChunk(chunk.bytes, chunk.size);
    }
    chunks_.clear();
    for (void* block : largeBlocks_) std::free(block);
    largeBlocks_.clear();
    freeLists_.clear();
    next_ = end_ = nullptr;
    nextChunkBytes_ = 4096;
}

std::size_t RowStorage::FreeBlockCount() const {
    std::size_t count = 0;
    for (const FreeBlock* block : freeLists_) {
        for (; block; ++count) {
            STORE_UNPOISON(block, sizeof(FreeBlock));
            const FreeBlock* next = block->next;
            STORE_POISON(const_cast<FreeBlock*>(block), sizeof(FreeBlock));
            block = next;
        }
    }
    return count;
}

RowValueArray& RowValueArray::operator=(const RowValueArray& other) {
    if (this == &other) return *this;
    if (InStorage() && other.size_ == size_) {
        // Same width: assign in place, the block stays the row's.
        std::copy(other.begin(), other.end(), data_);
        return *this;
    }
    std::vector<ColumnValue> copy(other.begin(), other.end());
    return *this = std::move(copy);
}

RowValueArray& RowValueArray::operator=(std::vector<ColumnValue> values) {
    if (InStorage() && values.size() == size_) {
        std::move(values.begin(), values.end(), data_);
        return *this;
    }
    // A block left for another width is not reused before its table is cleared.
    DestroyStored();
    owned_ = std::move(values);
    PointAtOwned();
    return *this;
}

void RowValueArray::DestroyStored() noexcept {
    if (!InStorage()) return;
    std::destroy_n(data_, size_);
    data_ = nullptr;
    size_ = 0;
    blockBytes_ = 0;
}

void RowValueArray::MoveInto(RowStorage& storage) {
    if (InStorage() || owned_.empty()) return;
    std::size_t textBytes = 0;
    for (const ColumnValue& value : owned_) {
        if (value.buffer.outOfLine()) textBytes += value.buffer.size() + 1;
    }
    const std::size_t valueBytes = owned_.size() * sizeof(ColumnValue);
    const std::size_t blockBytes = valueBytes + textBytes;
    auto* block = static_cast<char*>(storage.Allocate(blockBytes));
    auto* values = reinterpret_cast<ColumnValue*>(block);
    char* text = block + valueBytes;
    for (std::size_t i = 0; i < owned_.size(); ++i) {
        ColumnValue& source = owned_[i];
        if (source.buffer.outOfLine()) {
            const std::size_t count = source.buffer.size();
            std::memcpy(text, source.buffer.data(), count);
            text[count] = '\0';
            ColumnValue* placed = new (&values[i]) ColumnValue();
            placed->buffer = ValueBuffer::Borrowing(text, count);
            placed->length = source.length;
            text += count + 1;
        } else {
            new (&values[i]) ColumnValue(std::move(source));
        }
    }
    const auto count = static_cast<std::uint32_t>(owned_.size());
    std::vector<ColumnValue>().swap(owned_);
    data_ = values;
    size_ = count;
    blockBytes_ = static_cast<std::uint32_t>(blockBytes);
}

void RowValueArray::ReleaseTo(RowStorage& storage) noexcept {
    if (!InStorage()) return;
    void* block = data_;
    const std::size_t bytes = blockBytes_;
    DestroyStored();
    storage.Free(block, bytes);
}

namespace {

// Equal-sized slots for row headers, handed out from chunks in order and reused last
// freed first, so rows made one after another sit side by side. Never shrinks: the
// chunks stay with the process, as freed heap memory would.
class RowSlotPool {
public:
    static constexpr std::size_t kSlotBytes = (sizeof(RowObject) + 15) / 16 * 16;

    void* Take() {
        std::lock_guard<std::mutex> hold(mutex_);
        if (free_) {
            Slot* slot = free_;
            STORE_UNPOISON(slot, kSlotBytes);
            free_ = slot->next;
            return slot;
        }
        if (static_cast<std::size_t>(end_ - next_) < kSlotBytes) {
            chunks_.reserve(chunks_.size() + 1);
            char* chunk = AllocateChunk(kChunkBytes);
            chunks_.push_back(chunk);
            next_ = chunk;
            end_ = chunk + kChunkBytes;
        }
        void* slot = next_;
        next_ += kSlotBytes;
        return slot;
    }
    void Give(void* slot) noexcept {
        std::lock_guard<std::mutex> hold(mutex_);
        auto* freed = static_cast<Slot*>(slot);
        freed->next = free_;
        free_ = freed;
        STORE_POISON(slot, kSlotBytes);
    }

private:
    struct Slot {
        Slot* next;
    };
    static constexpr std::size_t kChunkBytes = kHugePageBytes;
    std::mutex mutex_;
    std::vector<void*> chunks_;
    Slot* free_ = nullptr;
    char* next_ = nullptr;
    char* end_ = nullptr;
};

RowSlotPool& SlotPool() {
    // Never destroyed: rows may still be freed while the process exits.
    static RowSlotPool* pool = new RowSlotPool();
    return *pool;
}

}  // namespace

void* AllocateRowSlot(std::size_t bytes) {
    if (bytes > RowSlotPool::kSlotBytes) return ::operator new(bytes);
    return SlotPool().Take();
}

void FreeRowSlot(void* slot, std::size_t bytes) noexcept {
    if (!slot) return;
    if (bytes > RowSlotPool::kSlotBytes) return ::operator delete(slot);
    SlotPool().Give(slot);
}
