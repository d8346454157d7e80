// Text and number helpers shared by the store's loaders, dictionary and SQL builders.
#include "store/foundation/text_utils.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/platform.h"
#include "runtime/log.h"

namespace {

bool IsLetter(char ch) { return std::isalpha(static_cast<unsigned char>(ch)) != 0; }
bool IsDigit(char ch) { return std::isdigit(static_cast<unsigned char>(ch)) != 0; }

template <typename Keep>
std::string Filter(const char* text, Keep keep) {
    std::string out;
    if (!text) return out;
    for (const char* p = text; *p; ++p) {
        if (keep(*p)) out.push_back(*p);
    }
    return out;
}

}  // namespace

BYTE AllocateAndCopy(std::string* destination, const char* source, std::size_t length) {
    if (!destination || !source) return kStoreFailure;
    try {
        destination->assign(source, length);
        return kStoreSuccess;
    } catch (const std::bad_alloc&) {
        LogError("Unable to allocate memory\n");
        return kStoreNoMemory;
    } catch (const std::length_error&) {
        LogError("Unable to allocate memory\n");
        return kStoreNoMemory;
    }
}

BYTE DuplicateString(std::string* destination, const char* source) {
    if (!source) return kStoreFailure;
    return AllocateAndCopy(destination, source, std::strlen(source));
}

BYTE ReallocateAndSetString(std::optional<std::string>* destination, const char* source,
                            std::size_t length) {
    if (!destination) return kStoreFailure;
    destination->reset();
    if (!source) return kStoreSuccess;
    std::string copy;
    const BYTE result = AllocateAndCopy(&copy, source, length);
    if (result == kStoreSuccess) *destination = std::move(copy);
    return result;
}

BYTE ReallocateAndSetOID(std::vector<ULONG>* destination, std::int32_t* count, const ULONG* values,
                         std::int32_t valueCount) {
    if (!destination || !count || valueCount < 0 || (valueCount > 0 && !values)) return kStoreFailure;
    try {
        destination->assign(values, values + valueCount);
        *count = valueCount;
        return kStoreSuccess;
    } catch (const std::bad_alloc&) {
        LogError("Unable to allocate memory");
        return kStoreNoMemory;
    }
}

std::int32_t CountOfSeparator(const char* text, const char* separator) {
    if (!text || !separator || !*separator) return 0;
    const std::size_t step = std::strlen(separator);
    std::int32_t count = 0;
    for (const char* p = std::strstr(text, separator); p; p = std::strstr(p + step, separator)) ++count;
    return count;
}

std::optional<std::string> StringBeforeSeparator(const char* text, const char* separator) {
    if (!text || !separator || !*separator) return std::nullopt;
    const char* found = std::strstr(text, separator);
    if (!found) return std::nullopt;
    return std::string(text, found);
}

std::optional<std::string> StringAfterSeparator(const char* text, const char* separator) {
    if (!text || !separator || !*separator) return std::nullopt;
    const char* found = std::strstr(text, separator);
    if (!found) return std::nullopt;
    return std::string(found + std::strlen(separator));
}

std::vector<std::string> SplitString(const char* text, const char* separator) {
    std::vector<std::string> parts;
    if (!text) return parts;
    if (!separator || !*separator) {
        parts.emplace_back(text);
        return parts;
    }
    const std::size_t step = std::strlen(separator);
    const char* start = text;
    for (const char* found = std::strstr(start, separator); found; found = std::strstr(start, separator)) {
        parts.emplace_back(start, found);
        start = found + step;
    }
    parts.emplace_back(start);
    return parts;
}

const char* SkipToNthSeparator(const char* text, const char* separator, std::int32_t n) {
    if (!text || n < 0) return nullptr;
    if (n == 0) return text;
    if (!separator || !*separator) return nullptr;
    const std::size_t step = std::strlen(separator);
    const char* p = text;
    for (std::int32_t i = 0; i < n; ++i) {
        const char* found = std::strstr(p, separator);
        if (!found) return nullptr;
        p = found + step;
    }
    return p;
}

std::optional<std::string> TrimString(const char* text, char ch) {
    if (!text) return std::nullopt;
    std::string_view view(text);
    const std::size_t begin = view.find_first_not_of(ch);
    if (begin == std::string_view::npos) return std::nullopt;
    const std::size_t end = view.find_last_not_of(ch);
    return std::string(view.substr(begin, end - begin + 1));
}

std::string KeepLetters(const char* text) { return Filter(text, IsLetter); }
std::string KeepLettersAndDigits(const char* text) {
    return Filter(text, [](char ch) { return IsLetter(ch) || IsDigit(ch); });
}
std::string DropLettersAndDigits(const char* text) {
    return Filter(text, [](char ch) { return !IsLetter(ch) && !IsDigit(ch); });
}

std::string ToLowerString(const char* text) {
    std::string out = text ? text : "";
    for (char& ch : out) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    return out;
}

std::string ToUpperString(const char* text) {
    std::string out = text ? text : "";
    for (char& ch : out) {
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    }
    return out;
}

std::string RemoveFirstSeparator(const char* text, const char* separator) {
    std::string out = text ? text : "";
    if (!separator || !*separator) return out;
    const std::size_t found = out.find(separator);
    if (found != std::string::npos) out.erase(found, std::strlen(separator));
    return out;
}

std::optional<std::string_view> NextToken(std::string_view* rest, std::string_view delimiters) {
    if (!rest) return std::nullopt;
    const std::size_t begin = rest->find_first_not_of(delimiters);
    if (begin == std::string_view::npos) {
        *rest = rest->substr(rest->size());
        return std::nullopt;
    }
    std::size_t end = rest->find_first_of(delimiters, begin);
    if (end == std::string_view::npos) end = rest->size();
    const std::string_view token = rest->substr(begin, end - begin);
    *rest = rest->substr(std::min(end + 1, rest->size()));
    return token;
}

const char* SubString(const char* text, const char* pattern) {
    if (!text || !pattern) return nullptr;
    return std::strstr(text, pattern);
}

bool FindSubString(const char* text, const char* pattern) { return SubString(text, pattern) != nullptr; }

std::int32_t GetIndex(const char* text, std::int32_t length, char ch) {
    if (!text) return -1;
    for (std::int32_t i = 0; i < length && text[i]; ++i) {
        if (text[i] == ch) return i;
    }
    return -1;
}

bool IsStringMatched(const char* text, std::int32_t length, const char* key, std::int32_t keyLength) {
    if (!text || !key || length < 0 || keyLength < 0) return false;
    const std::string_view items(text, static_cast<std::size_t>(length));
    const std::string_view wanted(key, static_cast<std::size_t>(keyLength));
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = items.find(',', start);
        const std::string_view item = items.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        if (item == wanted) return true;
        if (comma == std::string_view::npos) return false;
        start = comma + 1;
    }
}

void FreeStringArray(std::vector<std::string>* array, std::int32_t count) {
    if (!array || count <= 0) return;
    const std::size_t drop = std::min<std::size_t>(array->size(), static_cast<std::size_t>(count));
    array->erase(array->begin(), array->begin() + static_cast<std::ptrdiff_t>(drop));
}

std::int32_t ConvertToInteger(const BYTE* bytes, std::int32_t length) {
    if (length > 4) return -1;
    if (!bytes || length <= 0) return 0;
    std::uint32_t value = (bytes[0] & 0x80) ? 0xFFFFFFFFu : 0u;
    for (std::int32_t i = 0; i < length; ++i) value = (value << 8) | bytes[i];
    return static_cast<std::int32_t>(value);
}

std::uint32_t ConvertToUnsignedInteger(const BYTE* bytes, std::int32_t length) {
    if (!bytes || length <= 0 || length > 4) return 0;
    std::uint32_t value = 0;
    for (std::int32_t i = 0; i < length; ++i) value = (value << 8) | bytes[i];
    return value;
}

bool IsIntegerString(const char* text) {
    if (!text) return false;
    const char* p = text;
    if (*p == '+' || *p == '-') ++p;
    if (!*p) return false;
    for (; *p; ++p) {
        if (!IsDigit(*p)) return false;
    }
    return true;
}

bool IsDecimalString(const char* text) {
    if (!text || !*text) return false;
    int dots = 0;
    int digits = 0;
    for (const char* p = text; *p; ++p) {
        if (*p == '.') {
            if (++dots > 1) return false;
        } else if (IsDigit(*p)) {
            ++digits;
        } else {
            return false;
        }
    }
    return digits > 0;
}

std::int32_t StringToInteger(const char* text) {
    if (!IsIntegerString(text)) return -1;
    const char* p = text;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    std::int64_t value = 0;
    for (; *p; ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<std::int64_t>(INT_MAX) + 1) return -1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return -1;
    return static_cast<std::int32_t>(value);
}

double StringToDecimal(const char* text) {
    if (!IsDecimalString(text)) return 0;
    double whole = 0;
    double scale = 0;
    for (const char* p = text; *p; ++p) {
        if (*p == '.') {
            scale = 1;
            continue;
        }
        if (scale > 0) {
            scale /= 10;
            whole += (*p - '0') * scale;
        } else {
            whole = whole * 10 + (*p - '0');
        }
    }
    return whole;
}

std::int64_t Power(std::int64_t base, std::int32_t exponent) {
    if (exponent < 0) {
        if (base == 1) return 1;
        if (base == -1) return (exponent % 2) ? -1 : 1;
        return 0;
    }
    // Wraps like unsigned arithmetic instead of overflowing.
    std::uint64_t result = 1;
    for (std::int32_t i = 0; i < exponent; ++i) result *= static_cast<std::uint64_t>(base);
    return static_cast<std::int64_t>(result);
}

int CompareNoCase(const char* first, const char* second) {
    return strcasecmp(first ? first : "", second ? second : "");
}
int CompareCase(const char* first, const char* second) {
    return std::strcmp(first ? first : "", second ? second : "");
}
int CompareNoCaseN(const char* first, const char* second, std::size_t count) {
    return strncasecmp(first ? first : "", second ? second : "", count);
}
int CompareCaseN(const char* first, const char* second, std::size_t count) {
    return std::strncmp(first ? first : "", second ? second : "", count);
}
bool StartsWith(const char* text, const char* prefix) {
    if (!text || !prefix) return false;
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}
const char* FindChar(const char* text, char ch) { return text ? std::strchr(text, ch) : nullptr; }
std::size_t SpanChars(const char* text, const char* accept) {
    return text && accept ? std::strspn(text, accept) : 0;
}
std::size_t BreakChars(const char* text, const char* reject) {
    if (!text) return 0;
    return reject ? std::strcspn(text, reject) : std::strlen(text);
}
void ReverseString(char* text) {
    if (text) std::reverse(text, text + std::strlen(text));
}

std::size_t BoundedCopy(char* destination, const char* source, std::size_t capacity) {
    const std::size_t length = source ? std::strlen(source) : 0;
    if (!destination || capacity == 0) return length;
    const std::size_t copied = std::min(length, capacity - 1);
    if (copied) std::memcpy(destination, source, copied);
    destination[copied] = '\0';
    return length;
}

std::size_t BoundedAppend(char* destination, const char* source, std::size_t capacity) {
    const std::size_t sourceLength = source ? std::strlen(source) : 0;
    if (!destination || capacity == 0) return sourceLength;
    const std::size_t used = strnlen(destination, capacity);
    if (used == capacity) return capacity + sourceLength;  // not terminated: leave it alone
    BoundedCopy(destination + used, source, capacity - used);
    return used + sourceLength;
}

bool IsDirectory(const char* path) {
    if (!path) return false;
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string GetCurrentDateTimeString() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond);
    return buffer;
}
