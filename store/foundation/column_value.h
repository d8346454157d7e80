// One value of a store column: owned bytes plus the store's 32-bit length. No buffer
// is SQL NULL; every buffer carries one zero byte after its bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

struct ColumnValue {
    std::optional<std::string> buffer;
    // The store's length: the byte count for texts and blobs, the nominal length of the
    // type for fixed values (4 for a HylDate although the record may be larger).
    std::uint32_t length = 0;

    bool isNull() const { return !buffer.has_value(); }
    const char* data() const { return buffer ? buffer->c_str() : nullptr; }

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
        if (!buffer || buffer->size() < sizeof(T)) return std::nullopt;
        T object;
        std::memcpy(&object, buffer->data(), sizeof(T));
        return object;
    }
};
