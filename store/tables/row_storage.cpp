// Row storage of the tables: value blocks per table and the shared pool of row headers.
#include "store/tables/row_storage.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

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
constexpr std::align_val_t kBlockAlignment{RowStorage::kGranule};

// Huge chunks are mapped straight from the system and unmapped when freed: heap memory of
// this size would stay with the process once the heap had grown around it. A few freed
// chunks wait for the next table to fill, which then need not fault them in again; the
// rest go back at once, so a large table freed for good gives its memory back.
class HugeChunks {
public:
    static constexpr std::size_t kCachedChunks = kKeptRowMemoryBytes / kHugePageBytes;

    HugeChunks() { cached_.reserve(kCachedChunks); }

    // Throws std::bad_alloc when the system has no memory to map.
    char* Take() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (!cached_.empty()) {
                char* chunk = cached_.back();
                cached_.pop_back();
                return chunk;
            }
        }
        char* chunk = Map();
        mapped_ += kHugePageBytes;
        return chunk;
    }
    void Give(char* chunk) noexcept {
        STORE_UNPOISON(chunk, kHugePageBytes);
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (cached_.size() < kCachedChunks) {
                cached_.push_back(chunk);  // capacity reserved up front: never throws
                return;
            }
        }
        Unmap(chunk);
        mapped_ -= kHugePageBytes;
    }
    std::size_t MappedBytes() const { return mapped_.load(); }

private:
#ifdef _WIN32
    // Windows frees a mapping only whole, so the aligned chunk is mapped on its own at an
    // aligned address inside a range found free a moment before; another thread that
    // maps into that range in between makes it try again.
    static char* Map() {
        for (;;) {
            void* probe = ::VirtualAlloc(nullptr, 2 * kHugePageBytes, MEM_RESERVE, PAGE_NOACCESS);
            if (probe == nullptr) throw std::bad_alloc();
            const auto start = reinterpret_cast<std::uintptr_t>(probe);
            const std::uintptr_t aligned = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
            ::VirtualFree(probe, 0, MEM_RELEASE);
            void* chunk = ::VirtualAlloc(reinterpret_cast<void*>(aligned), kHugePageBytes,
                                         MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
            if (chunk != nullptr) return static_cast<char*>(chunk);
            if (::GetLastError() != ERROR_INVALID_ADDRESS) throw std::bad_alloc();
        }
    }
    static void Unmap(char* chunk) noexcept { ::VirtualFree(chunk, 0, MEM_RELEASE); }
#else
    // Maps twice the size and trims it to one aligned chunk.
    static char* Map() {
        void* mapped = ::mmap(nullptr, 2 * kHugePageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) throw std::bad_alloc();
        const auto start = reinterpret_cast<std::uintptr_t>(mapped);
        const std::uintptr_t aligned = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
        if (aligned > start) ::munmap(mapped, aligned - start);
        const std::uintptr_t end = start + 2 * kHugePageBytes;
        if (end > aligned + kHugePageBytes) {
            ::munmap(reinterpret_cast<void*>(aligned + kHugePageBytes), end - aligned - kHugePageBytes);
        }
        auto* chunk = reinterpret_cast<char*>(aligned);
        ::madvise(chunk, kHugePageBytes, MADV_HUGEPAGE);  // advice only: failure changes nothing
        return chunk;
    }
    static void Unmap(char* chunk) noexcept { ::munmap(chunk, kHugePageBytes); }
#endif

    std::mutex mutex_;
    std::vector<char*> cached_;
    std::atomic<std::size_t> mapped_{0};
};

HugeChunks& HugeChunkSource() {
    static HugeChunks* chunks = new HugeChunks();  // never destroyed, as the row slots
    return *chunks;
}

char* AllocateChunk(std::size_t bytes) {
    if (bytes == kHugePageBytes) return HugeChunkSource().Take();
    return static_cast<char*>(::operator new(bytes, kBlockAlignment));
}

void FreeChunk(char* chunk, std::size_t bytes) noexcept {
    if (bytes == kHugePageBytes) return HugeChunkSource().Give(chunk);
    ::operator delete(chunk, kBlockAlignment);
}

std::size_t RoundUp(std::size_t bytes) {
    return (std::max<std::size_t>(bytes, 1) + RowStorage::kGranule - 1) / RowStorage::kGranule *
           RowStorage::kGranule;
}

}  // namespace

void* RowStorage::Allocate(std::size_t bytes) {
    const std::size_t size = RoundUp(bytes);
    if (size > kLargestPooled) {
        // Kept with their sizes, so a table torn down without freeing row by row frees them too.
        void* block = ::operator new(size, kBlockAlignment);
        try {
            largeBlocks_.emplace(block, size);
        } catch (...) {
            ::operator delete(block, kBlockAlignment);
            throw;
        }
        ++liveBlocks_;
        bytesInUse_ += size;
        return block;
    }
    const std::size_t sizeClass = size / kGranule;
    if (sizeClass < freeLists_.size() && freeLists_[sizeClass]) {
        FreeBlock* block = freeLists_[sizeClass];
        STORE_UNPOISON(block, size);
        freeLists_[sizeClass] = block->next;
        ++liveBlocks_;
        bytesInUse_ += size;
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
    ++liveBlocks_;
    bytesInUse_ += size;
    return block;
}

void RowStorage::Free(void* block, std::size_t bytes) noexcept {
    if (!block) return;
    const std::size_t size = RoundUp(bytes);
    if (size > kLargestPooled) {
        const auto found = largeBlocks_.find(block);
        if (found != largeBlocks_.end()) {
            bytesInUse_ -= found->second;
            largeBlocks_.erase(found);
        }
        ::operator delete(block, kBlockAlignment);
    } else {
        bytesInUse_ -= size;
        const std::size_t sizeClass = size / kGranule;
        bool listed = freeLists_.size() > sizeClass;
        if (!listed) {
            try {
                freeLists_.resize(kLargestPooled / kGranule + 1, nullptr);
                listed = true;
            } catch (const std::bad_alloc&) {
                // The block stays unused until the storage is cleared.
            }
        }
        if (listed) {
            auto* freed = static_cast<FreeBlock*>(block);
            freed->next = freeLists_[sizeClass];
            freeLists_[sizeClass] = freed;
            STORE_POISON(block, size);
        }
    }
    // A table whose rows are all gone needs none of its chunks.
    if (liveBlocks_ > 0 && --liveBlocks_ == 0) Clear();
}

void RowStorage::Clear() noexcept {
    for (const Chunk& chunk : chunks_) {
        STORE_UNPOISON(chunk.bytes, chunk.size);
        FreeChunk(chunk.bytes, chunk.size);
    }
    std::vector<Chunk>().swap(chunks_);
    for (const auto& [block, size] : largeBlocks_) ::operator delete(block, kBlockAlignment);
    largeBlocks_.clear();
    std::vector<FreeBlock*>().swap(freeLists_);
    next_ = end_ = nullptr;
    nextChunkBytes_ = 4096;
    liveBlocks_ = 0;
    bytesInUse_ = 0;
}

void RowStorage::Swap(RowStorage& other) noexcept {
    std::swap(chunks_, other.chunks_);
    std::swap(largeBlocks_, other.largeBlocks_);
    std::swap(freeLists_, other.freeLists_);
    std::swap(next_, other.next_);
    std::swap(end_, other.end_);
    std::swap(nextChunkBytes_, other.nextChunkBytes_);
    std::swap(liveBlocks_, other.liveBlocks_);
    std::swap(bytesInUse_, other.bytesInUse_);
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

namespace {

// Counted values in a row's block start aligned; the text area starts aligned too (the
// values before it are 12 bytes each, the block is aligned to the granule).
std::size_t AlignCounted(std::size_t offset) {
    constexpr std::size_t align = ValueBuffer::kCountedAlignment;
    static_assert(sizeof(ColumnValue) % align == 0 && RowStorage::kGranule % align == 0);
    return (offset + align - 1) / align * align;
}

}  // namespace

RowValueArray::RowValueArray(std::size_t count) {
    if (count > kMaxColumns) throw std::bad_alloc();
    if (count == 0) return;
    auto* array = static_cast<ColumnValue*>(::operator new(count * sizeof(ColumnValue)));
    std::uninitialized_value_construct_n(array, count);
    Set(array, static_cast<std::uint32_t>(count));
}

void RowValueArray::Adopt(std::vector<ColumnValue>& values) {
    if (values.size() > kMaxColumns) throw std::bad_alloc();
    if (values.empty()) return Set(nullptr, 0);
    auto* array = static_cast<ColumnValue*>(::operator new(values.size() * sizeof(ColumnValue)));
    std::uninitialized_move(values.begin(), values.end(), array);
    Set(array, static_cast<std::uint32_t>(values.size()));
}

RowValueArray& RowValueArray::operator=(const RowValueArray& other) {
    if (this == &other) return *this;
    if (InStorage() && other.size() == size()) {
        // Same width: assign in place, the block stays the row's.
        std::copy(other.begin(), other.end(), Values());
        return *this;
    }
    return *this = std::vector<ColumnValue>(other.begin(), other.end());
}

RowValueArray& RowValueArray::operator=(std::vector<ColumnValue> values) {
    if (InStorage() && values.size() == size()) {
        std::move(values.begin(), values.end(), Values());
        return *this;
    }
    RowValueArray fresh(std::move(values));
    // A block left for another width is not reused before its table is cleared.
    Destroy();
    TakeArrayOf(fresh);
    return *this;
}

void RowValueArray::Destroy() noexcept {
    ColumnValue* values = Values();
    std::destroy_n(values, size());
    // A block in storage goes back with its table.
    if (!InStorage() && values) ::operator delete(values);
    Set(nullptr, 0);
}

void RowValueArray::MoveInto(RowStorage& storage) {
    if (InStorage() || empty()) return;
    ColumnValue* owned = Values();
    const std::size_t count = size();
    std::size_t textBytes = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (owned[i].buffer.outOfLine()) textBytes = AlignCounted(textBytes) + ValueBuffer::CountedBytes(owned[i].buffer.size());
    }
    const std::size_t valueBytes = count * sizeof(ColumnValue);
    const std::size_t blockBytes = valueBytes + textBytes;
    auto* block = static_cast<char*>(storage.Allocate(blockBytes));
    auto* values = reinterpret_cast<ColumnValue*>(block);
    char* text = block + valueBytes;
    std::size_t textOffset = 0;
    for (std::size_t i = 0; i < count; ++i) {
        ColumnValue& source = owned[i];
        if (source.buffer.outOfLine()) {
            const std::size_t bytes = source.buffer.size();
            const std::size_t start = AlignCounted(textOffset);
            ColumnValue* placed = new (&values[i]) ColumnValue();
            placed->buffer = ValueBuffer::Borrowing(ValueBuffer::WriteCounted(text + start, source.buffer.data(), bytes));
            placed->length = source.length;
            textOffset = start + ValueBuffer::CountedBytes(bytes);
        } else {
            new (&values[i]) ColumnValue(std::move(source));
        }
    }
    Destroy();
    const std::size_t pooled = RoundUp(blockBytes);
    const std::uint32_t place = pooled > RowStorage::kLargestPooled
                                    ? kLargeBlock
                                    : static_cast<std::uint32_t>(pooled / RowStorage::kGranule) << kUnitsShift;
    Set(values, static_cast<std::uint32_t>(count) | place);
}

void RowValueArray::ReleaseTo(RowStorage& storage) noexcept {
    if (!InStorage()) return;
    void* block = Values();
    const std::size_t bytes = (word_ & kLargeBlock) ? RowStorage::kLargestPooled + 1
                                                    : ((word_ & ~kCountMask) >> kUnitsShift) * RowStorage::kGranule;
    Destroy();
    storage.Free(block, bytes);
}

void RowValueArray::LeaveStorage(RowStorage& storage) {
    if (!InStorage()) return;
    RowValueArray owned(*this);  // copies of borrowed texts own their bytes
    ReleaseTo(storage);
    TakeArrayOf(owned);
}

static_assert(sizeof(RowObject) <= 48, "a row header is 48 bytes: values, state, the list, owner, held columns");

namespace {

// Equal-sized slots for row headers, handed out from huge-page chunks in order and
// reused last freed first, so rows made one after another sit side by side. Each chunk
// counts its slots in use (its header sits in its first slot, found from any slot by the
// chunk's alignment) and goes back to the system once that count drops to zero.
class RowSlotPool {
public:
    static constexpr std::size_t kSlotBytes = (sizeof(RowObject) + 15) / 16 * 16;

    void* Take() {
        std::lock_guard<std::mutex> hold(mutex_);
        if (ChunkHeader* chunk = partial_) {
            Slot* slot = chunk->free;
            STORE_UNPOISON(slot, kSlotBytes);
            chunk->free = slot->next;
            ++chunk->used;
            if (!chunk->free) Unlist(chunk);
            return slot;
        }
        if (!current_ || static_cast<std::size_t>(end_ - next_) < kSlotBytes) {
            current_ = new (AllocateChunk(kChunkBytes)) ChunkHeader();
            next_ = reinterpret_cast<char*>(current_) + kHeaderBytes;
            end_ = reinterpret_cast<char*>(current_) + kChunkBytes;
        }
        void* slot = next_;
        next_ += kSlotBytes;
        ++current_->used;
        return slot;
    }
    void Give(void* slot) noexcept {
        std::lock_guard<std::mutex> hold(mutex_);
        ChunkHeader* chunk = ChunkOf(slot);
        if (--chunk->used == 0) {
            if (chunk->free) Unlist(chunk);
            if (chunk == current_) current_ = nullptr;
            FreeChunk(reinterpret_cast<char*>(chunk), kChunkBytes);
            return;
        }
        auto* freed = static_cast<Slot*>(slot);
        freed->next = chunk->free;
        if (!chunk->free) List(chunk);
        chunk->free = freed;
        STORE_POISON(slot, kSlotBytes);
    }

private:
    struct Slot {
        Slot* next;
    };
    struct ChunkHeader {
        Slot* free = nullptr;  // slots given back, last first
        std::size_t used = 0;
        // The list of chunks with given-back slots, most recent first.
        ChunkHeader* previous = nullptr;
        ChunkHeader* following = nullptr;
    };
    static constexpr std::size_t kChunkBytes = kHugePageBytes;
    static constexpr std::size_t kHeaderBytes = (sizeof(ChunkHeader) + kSlotBytes - 1) / kSlotBytes * kSlotBytes;

    static ChunkHeader* ChunkOf(void* slot) {
        return reinterpret_cast<ChunkHeader*>(reinterpret_cast<std::uintptr_t>(slot) & ~(kChunkBytes - 1));
    }
    void List(ChunkHeader* chunk) noexcept {
        chunk->previous = nullptr;
        chunk->following = partial_;
        if (partial_) partial_->previous = chunk;
        partial_ = chunk;
    }
    void Unlist(ChunkHeader* chunk) noexcept {
        if (chunk->previous) chunk->previous->following = chunk->following;
        else partial_ = chunk->following;
        if (chunk->following) chunk->following->previous = chunk->previous;
        chunk->previous = chunk->following = nullptr;
    }

    std::mutex mutex_;
    ChunkHeader* partial_ = nullptr;
    ChunkHeader* current_ = nullptr;  // the chunk handing out fresh slots
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

std::size_t MappedRowMemoryBytes() { return HugeChunkSource().MappedBytes(); }
