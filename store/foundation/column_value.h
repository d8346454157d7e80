// One value of a store column: owned bytes plus the store's 32-bit length. No buffer
// is SQL NULL; every buffer carries one zero byte after its bytes.
#pragma once

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

// The bytes of a value, or none (SQL NULL). Values of up to kInlineBytes bytes (every
// integer, float, date and short text) live inside the object; longer ones take one heap
// block, or borrow bytes kept by their owner (a table row's storage, see Borrowing).
// Reads like an optional string: `if (buffer)`, `buffer->data()`, `*buffer`.
class ValueBuffer {
public:
    static constexpr std::size_t kInlineBytes = 11;

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
    bool has_value() const noexcept { return (sizeAndFlags_ & kPresent) != 0; }
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

    // Read access of an engaged buffer (an empty text when none).
    // A buffer pointing at count bytes (followed by a zero byte) that stay owned by the
    // caller: never copied, never freed. Moving it keeps pointing there; a copy owns its
    // own bytes. Tables keep the longer texts of their rows this way, in the row's block.
    static ValueBuffer Borrowing(const char* bytes, std::size_t count) noexcept {
        ValueBuffer buffer;
        std::memcpy(buffer.storage_, &bytes, sizeof bytes);
        buffer.storage_[kBorrowedMark] = 1;
        buffer.sizeAndFlags_ = kHeap | kPresent | static_cast<std::uint32_t>(count & kSizeMask);
        return buffer;
    }
    // True for a buffer made by Borrowing.
    bool borrowed() const noexcept { return (sizeAndFlags_ & kHeap) && storage_[kBorrowedMark]; }
    // True when the bytes are outside the object (own heap block or borrowed).
    bool outOfLine() const noexcept { return (sizeAndFlags_ & kHeap) != 0; }

    // data, c_str, size, empty, view, compare: the bytes of the value (followed by a zero
    // byte), their count, and comparison as a string_view.
    const char* data() const noexcept {
        return (sizeAndFlags_ & kHeap) ? HeapPointer() : storage_;
    }
    const char* c_str() const noexcept { return data(); }
    std::size_t size() const noexcept { return sizeAndFlags_ & kSizeMask; }
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
    static constexpr std::uint32_t kHeap = 0x80000000u;
    static constexpr std::uint32_t kPresent = 0x40000000u;
    static constexpr std::uint32_t kSizeMask = 0x3fffffffu;

    // Inline: the bytes and their zero byte. Heap: the block's address in the first bytes,
    // then the mark byte telling a borrowed block (never freed) from an owned one.
    static constexpr std::size_t kBorrowedMark = sizeof(char*);
    char storage_[kInlineBytes + 1] = {};
    std::uint32_t sizeAndFlags_ = 0;

    char* HeapPointer() const noexcept {
        char* pointer;
        std::memcpy(&pointer, storage_, sizeof pointer);
        return pointer;
    }
    void Assign(const char* bytes, std::size_t count, bool present) {
        if (!present) return;
        if (count > kSizeMask) throw std::length_error("column value too large");
        char* target = storage_;
        std::uint32_t flags = kPresent;
        if (count > kInlineBytes) {
            target = static_cast<char*>(::operator new(count + 1));
            std::memcpy(storage_, &target, sizeof target);
            storage_[kBorrowedMark] = 0;
            flags |= kHeap;
        }
        if (count) std::memcpy(target, bytes, count);
        target[count] = '\0';
        sizeAndFlags_ = flags | static_cast<std::uint32_t>(count);
    }
    void Steal(ValueBuffer& other) noexcept {
        std::memcpy(storage_, other.storage_, sizeof storage_);
        sizeAndFlags_ = other.sizeAndFlags_;
        other.sizeAndFlags_ = 0;
        other.storage_[0] = '\0';
    }
    void Release() noexcept {
        if ((sizeAndFlags_ & kHeap) && !storage_[kBorrowedMark]) ::operator delete(HeapPointer());
        sizeAndFlags_ = 0;
        storage_[0] = '\0';
    }
};

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
static_assert(sizeof(ColumnValue) == 20, "a column value is 20 bytes: inline bytes, size and flags, length");
