// One value of a store column: owned bytes plus the store's 32-bit length. No buffer
// is SQL NULL; every buffer carries one zero byte after its bytes.
#pragma once

#include <bit>
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

// The bytes of a value, or none (SQL NULL), in 8 bytes. Values of up to kInlineBytes
// bytes (32-bit integers and floats, short texts) live inside the object; longer ones
// take one heap block, or borrow bytes kept by their owner (a table row's storage, see
// Borrowing). Bytes kept outside the object are preceded by their 32-bit count.
// Reads like an optional string: `if (buffer)`, `buffer->data()`, `*buffer`.
class ValueBuffer {
public:
    static constexpr std::size_t kInlineBytes = 6;
    // Bytes in front of out-of-line bytes: their count.
    static constexpr std::size_t kCountPrefixBytes = sizeof(std::uint32_t);
    static constexpr std::size_t kMaxBytes = 0x3fffffffu;

    ValueBuffer() noexcept = default;
    ValueBuffer(std::nullopt_t) noexcept {}
    ValueBuffer(const ValueBuffer& other) { Assign(other.data(), other.size(), other.has_value()); }
    ValueBuffer(ValueBuffer&& other) noexcept { Steal(other); }
    ValueBuffer& operator=(const ValueBuffer& other) {
        if (this != &other) {
            ValueBuffer copy(other);
            Release();
            Steal(copy);
        }
        return *this;
    }
    ValueBuffer& operator=(ValueBuffer&& other) noexcept {
        if (this != &other) {
            Release();
            Steal(other);
        }
        return *this;
    }
    ValueBuffer& operator=(std::nullopt_t) noexcept {
        reset();
        return *this;
    }
    ~ValueBuffer() { Release(); }

    // has_value (also operator bool), reset: optional-style presence; reset makes it NULL.
    bool has_value() const noexcept { return Word() != 0; }
    explicit operator bool() const noexcept { return has_value(); }
    // Makes the buffer NULL, freeing bytes it owns.
    void reset() noexcept { Release(); }

    // Replaces the value by a copy of the bytes (plus the closing zero byte).
    ValueBuffer& emplace(const char* bytes, std::size_t count) {
        ValueBuffer fresh;
        fresh.Assign(bytes, count, true);
        Release();
        Steal(fresh);
        return *this;
    }
    ValueBuffer& emplace(std::string_view bytes) { return emplace(bytes.data(), bytes.size()); }
    ValueBuffer& operator=(std::string_view bytes) { return emplace(bytes); }

    // A buffer pointing at bytes (followed by a zero byte and preceded by their count as
    // a 32-bit number, see WriteCounted) that stay owned by the caller: never copied,
    // never freed. Moving it keeps pointing there; a copy owns its own bytes. Tables keep
    // the longer texts of their rows this way, in the row's block.
    static ValueBuffer Borrowing(const char* countedBytes) noexcept {
        assert(reinterpret_cast<std::uintptr_t>(countedBytes) % kCountedAlignment == 0);
        ValueBuffer buffer;
        buffer.SetPointer(countedBytes, kBorrowedBit);
        return buffer;
    }
    // Writes count, bytes and a zero byte at target (CountedBytes(count) bytes; target
    // aligned to kCountedAlignment) and returns where the bytes start, ready for Borrowing.
    static char* WriteCounted(char* target, const char* bytes, std::size_t count) noexcept {
        const auto stored = static_cast<std::uint32_t>(count);
        std::memcpy(target, &stored, sizeof stored);
        char* start = target + kCountPrefixBytes;
        if (count) std::memcpy(start, bytes, count);
        start[count] = '\0';
        return start;
    }
    // Bytes WriteCounted takes for count bytes, and the alignment it needs.
    static constexpr std::size_t CountedBytes(std::size_t count) noexcept { return kCountPrefixBytes + count + 1; }
    static constexpr std::size_t kCountedAlignment = 4;
    // True for a buffer made by Borrowing.
    bool borrowed() const noexcept { return outOfLine() && (Word() & kBorrowedBit); }
    // True when the bytes are outside the object (own heap block or borrowed).
    bool outOfLine() const noexcept { return Tag() == 0 && Word() != 0; }

    // data, c_str, size, empty, view, compare: the bytes of the value (followed by a zero
    // byte), their count, and comparison as a string_view.
    const char* data() const noexcept { return outOfLine() ? Pointer() : storage_; }
    const char* c_str() const noexcept { return data(); }
    std::size_t size() const noexcept {
        const std::uint8_t tag = Tag();
        if (tag || !Word()) return tag & kInlineSizeMask;
        std::uint32_t count;
        std::memcpy(&count, Pointer() - kCountPrefixBytes, sizeof count);
        return count;
    }
    bool empty() const noexcept { return size() == 0; }
    std::string_view view() const noexcept { return std::string_view(data(), size()); }
    char operator[](std::size_t index) const noexcept { return data()[index]; }
    int compare(std::string_view other) const noexcept { return view().compare(other); }

    // optional-style access: buffer->size(), *buffer, buffer.value().
    const ValueBuffer* operator->() const noexcept { return this; }
    std::string_view operator*() const noexcept { return view(); }
    std::string_view value() const {
        if (!has_value()) throw std::bad_optional_access();
        return view();
    }
    // A copy as the optional string values used to be.
    operator std::optional<std::string>() const {
        return has_value() ? std::optional<std::string>(std::in_place, data(), size()) : std::nullopt;
    }

    friend bool operator==(const ValueBuffer& a, std::string_view b) noexcept { return a.has_value() && a.view() == b; }
    friend bool operator==(const ValueBuffer& a, const ValueBuffer& b) noexcept {
        return a.has_value() == b.has_value() && (!a.has_value() || a.view() == b.view());
    }
    friend bool operator==(const ValueBuffer& a, std::nullopt_t) noexcept { return !a.has_value(); }
    friend std::ostream& operator<<(std::ostream& out, const ValueBuffer& buffer) {
        return buffer ? out << '"' << buffer.view() << '"' : out << "NULL";
    }

private:
    // All zero: NULL. Inline: the bytes and their zero byte, and in the last byte
    // kInlineBit with the byte count. Out of line: the address of the bytes (aligned to
    // kCountedAlignment; user-space addresses leave the last byte zero), kBorrowedBit set
    // when they are borrowed. The address stays a plain pointer to the block, so leak
    // checkers still see the block as reachable.
    static constexpr std::size_t kTagIndex = 7;
    static constexpr std::uint8_t kInlineBit = 0x80;
    static constexpr std::uint8_t kInlineSizeMask = 0x0f;
    static constexpr std::uint64_t kBorrowedBit = 1;
    static constexpr std::uint64_t kAddressMask = ~std::uint64_t{kCountedAlignment - 1};
    // A 32-bit address takes the low half, leaving the tag byte zero as well.
    static_assert(sizeof(void*) <= 8, "an address fits the buffer");
    static_assert(kInlineBytes < kTagIndex, "inline bytes and their zero byte precede the tag");

    char storage_[kTagIndex + 1] = {};

    std::uint8_t Tag() const noexcept { return static_cast<std::uint8_t>(storage_[kTagIndex]); }
    std::uint64_t Word() const noexcept {
        std::uint64_t word;
        std::memcpy(&word, storage_, sizeof word);
        return word;
    }
    const char* Pointer() const noexcept {
        return reinterpret_cast<const char*>(static_cast<std::uintptr_t>(Word() & kAddressMask));
    }
    void SetPointer(const char* bytes, std::uint64_t flags) noexcept {
        const std::uint64_t word = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(bytes)) | flags;
        std::memcpy(storage_, &word, sizeof word);
    }
    void Assign(const char* bytes, std::size_t count, bool present) {
        if (!present) return;
        if (count > kMaxBytes) throw std::length_error("column value too large");
        if (count <= kInlineBytes) {
            if (count) std::memcpy(storage_, bytes, count);
            storage_[count] = '\0';
            storage_[kTagIndex] = static_cast<char>(kInlineBit | count);
            return;
        }
        auto* block = static_cast<char*>(::operator new(CountedBytes(count)));
        SetPointer(WriteCounted(block, bytes, count), 0);
    }
    void Steal(ValueBuffer& other) noexcept {
        std::memcpy(storage_, other.storage_, sizeof storage_);
        std::memset(other.storage_, 0, sizeof other.storage_);
    }
    void Release() noexcept {
        if (outOfLine() && !(Word() & kBorrowedBit)) ::operator delete(const_cast<char*>(Pointer()) - kCountPrefixBytes);
        std::memset(storage_, 0, sizeof storage_);
    }
};
static_assert(std::endian::native == std::endian::little, "the tag byte is the top byte of an address");

// One cell of a row: its bytes (NULL when the buffer is empty) and the store's length.
struct ColumnValue {
    ValueBuffer buffer;
    // The store's length: the byte count for texts and blobs, the nominal length of the
    // type for fixed values (4 for a HylDate although the record may be larger).
    std::uint32_t length = 0;

    // isNull, data: SQL NULL, and the bytes (null for NULL).
    bool isNull() const { return !buffer.has_value(); }
    const char* data() const { return buffer ? buffer.c_str() : nullptr; }

    // Null, FromBytes, FromText: a NULL cell, and cells holding a copy of the bytes or text.
    static ColumnValue Null() { return {}; }
    static ColumnValue FromBytes(const void* bytes, std::uint32_t count) {
        ColumnValue value;
        value.buffer.emplace(static_cast<const char*>(bytes), count);
        value.length = count;
        return value;
    }
    static ColumnValue FromText(std::string_view text) {
        ColumnValue value;
        value.buffer.emplace(text);
        value.length = static_cast<std::uint32_t>(text.size());
        return value;
    }
    // A fixed record (integer, HylDate...) stored by its bytes with the given length.
    template <typename T>
    static ColumnValue FromObject(const T& object, std::uint32_t nominalLength) {
        static_assert(std::is_trivially_copyable_v<T>);
        ColumnValue value;
        value.buffer.emplace(reinterpret_cast<const char*>(&object), sizeof(T));
        value.length = nominalLength;
        return value;
    }
    // The record back; none for NULL or a buffer too small to hold it.
    template <typename T>
    std::optional<T> As() const {
        static_assert(std::is_trivially_copyable_v<T>);
        if (!buffer || buffer.size() < sizeof(T)) return std::nullopt;
        T object;
        std::memcpy(&object, buffer.data(), sizeof(T));
        return object;
    }
};
static_assert(sizeof(ColumnValue) == 12, "a column value is 12 bytes: inline bytes or address and tag, length");
