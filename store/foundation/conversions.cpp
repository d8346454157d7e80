// Conversions between network-management value forms (object identifiers, addresses,
// 64-bit counters, date-and-time octets) and texts, plus month and date-text parsing.
#include "store/foundation/conversions.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <variant>

#include "runtime/log.h"

namespace {

bool IsSpace(char ch) { return std::isspace(static_cast<unsigned char>(ch)) != 0; }
bool IsDigit(char ch) { return std::isdigit(static_cast<unsigned char>(ch)) != 0; }

using ScanField = std::variant<int, std::string, char>;

// A small scanf for the patterns used here: "%d", "%s", "%Ns" (at most N characters),
// "%c", blanks (any run of blanks) and literals. Returns the number of fields read.
int ScanText(const char* text, const char* pattern, std::vector<ScanField>* fields) {
    fields->clear();
    const char* p = text;
    for (const char* f = pattern; *f; ++f) {
        if (*f == '%') {
            ++f;
            std::size_t width = 0;
            while (IsDigit(*f)) width = width * 10 + static_cast<std::size_t>(*f++ - '0');
            if (*f == 'c') {
                if (!*p) break;
                fields->emplace_back(*p++);
                continue;
            }
            while (IsSpace(*p)) ++p;
            if (*f == 'd') {
                bool negative = false;
                if (*p == '+' || *p == '-') negative = (*p++ == '-');
                if (!IsDigit(*p)) break;
                long long value = 0;
                while (IsDigit(*p)) {
                    value = value * 10 + (*p++ - '0');
                    if (value > static_cast<long long>(INT_MAX) + 1) return static_cast<int>(fields->size());
                }
                if (negative) value = -value;
                if (value > INT_MAX) break;
                fields->emplace_back(static_cast<int>(value));
            } else if (*f == 's') {
                const char* start = p;
                while (*p && !IsSpace(*p) && (width == 0 || static_cast<std::size_t>(p - start) < width)) ++p;
                if (p == start) break;
                fields->emplace_back(std::string(start, p));
            } else {
                break;
            }
        } else if (IsSpace(*f)) {
            while (IsSpace(*p)) ++p;
        } else {
            if (*p != *f) break;
            ++p;
        }
    }
    return static_cast<int>(fields->size());
}

int IntAt(const std::vector<ScanField>& fields, std::size_t index) { return std::get<int>(fields[index]); }
const std::string& TextAt(const std::vector<ScanField>& fields, std::size_t index) {
    return std::get<std::string>(fields[index]);
}

// Reads one unsigned decimal field of dotted text; false for empty or non-digit fields.
bool ReadDecimalField(std::string_view field, ULONG* value) {
    if (field.empty()) return false;
    unsigned long long total = 0;
    for (char ch : field) {
        if (!IsDigit(ch)) return false;
        total = total * 10 + static_cast<unsigned>(ch - '0');
        if (total > 0xFFFFFFFFull) return false;
    }
    *value = static_cast<ULONG>(total);
    return true;
}

}  // namespace

int GetHexValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return ch;
}

int ConvertToDecimalFromHexa(char ch) {
    if (!std::isxdigit(static_cast<unsigned char>(ch))) return 0;
    return GetHexValue(ch);
}

std::int32_t ConvertToHexValue(char* text, std::int32_t length) {
    if (!text || length <= 0) return 0;
    const std::int32_t count = length / 2;
    for (std::int32_t i = 0; i < count; ++i) {
        const int high = ConvertToDecimalFromHexa(text[2 * i]);
        const int low = ConvertToDecimalFromHexa(text[2 * i + 1]);
        text[i] = static_cast<char>((high << 4) | low);
    }
    return count;
}

std::vector<BYTE> ConvertToStringFromHex(const BYTE* bytes, std::int32_t length) {
    std::vector<BYTE> out;
    if (!bytes || length <= 0) return out;
    out.reserve(static_cast<std::size_t>(length) * 2);
    for (std::int32_t i = 0; i < length; ++i) {
        out.push_back(static_cast<BYTE>(bytes[i] >> 4));
        out.push_back(static_cast<BYTE>(bytes[i] & 0x0F));
    }
    return out;
}

std::optional<std::string> ToString(const void* value, int kind) {
    try {
        if (kind == 0) {
            if (!value) return std::nullopt;
            std::int32_t number = 0;
            std::memcpy(&number, value, sizeof number);
            return std::to_string(number);
        }
        if (kind == 1) return std::string(value ? "TRUE" : "FALSE");
    } catch (const std::bad_alloc&) {
        LogError("Unable to allocate buffer !!! \n");
    }
    return std::nullopt;
}

std::string ConvertToStringFromInteger(std::int32_t value) {
    std::string text = std::to_string(value);
    LogTrace("The string is %s\n", text);
    return text;
}

std::string ConvertToStringFromUnsignedInteger(std::uint32_t value) {
    LogTrace("The value is %d\n", value);
    std::string text = std::to_string(value);
    LogTrace("The string is %s\n", text);
    return text;
}

std::string ConvertToStringFromOID(const ULONG* subIds, std::int32_t byteLength, std::int32_t* textLength) {
    std::string text;
    const std::int32_t count = byteLength > 0 ? byteLength / static_cast<std::int32_t>(sizeof(ULONG)) : 0;
    if (subIds) {
        for (std::int32_t i = 0; i < count; ++i) {
            LogTrace("The SubId IS %ld\n", subIds[i]);
            const std::string part = std::to_string(subIds[i]);
            LogTrace("The String rep as SubId is %s\n", part);
            text += '.';
            text += part;
        }
    }
    LogTrace("The String rep as OID is %s\n", text);
    if (textLength) *textLength = static_cast<std::int32_t>(text.size());
    return text;
}

std::int32_t ConvertToStringFromOid(const ULONG* subIds, std::int32_t count, std::string* destination) {
    if (!destination) return 0;
    destination->clear();
    if (!subIds) return 0;
    for (std::int32_t i = 0; i < count; ++i) {
        *destination += '.';
        *destination += std::to_string(subIds[i]);
    }
    return static_cast<std::int32_t>(destination->size());
}

std::int32_t ConvertToOidOrIpFromString(std::vector<ULONG>* values, const char* text, bool isAddress) {
    if (!values || !text) return -1;
    values->clear();
    std::string_view rest(text);
    if (rest.find('.') == std::string_view::npos) {
        LogError(isAddress ? "Incorrect format of IpAddress\n" : "Incorrect format of OID\n");
        return -1;
    }
    if (!isAddress) {
        if (rest.front() != '.') {
            LogError("Incorrect format of OID\n");
            return -1;
        }
        rest.remove_prefix(1);
    }
    while (true) {
        const std::size_t dot = rest.find('.');
        ULONG value = 0;
        if (!ReadDecimalField(rest.substr(0, dot), &value)) {
            values->clear();
            return -1;
        }
        values->push_back(value);
        if (dot == std::string_view::npos) break;
        rest.remove_prefix(dot + 1);
    }
    return static_cast<std::int32_t>(values->size());
}

std::string ConvertToIpAddressFromOid(const ULONG* values, std::int32_t from, std::int32_t to) {
    std::string text;
    if (!values) return text;
    for (std::int32_t i = std::max(from, 0); i < to; ++i) {
        if (!text.empty()) text += '.';
        text += std::to_string(values[i]);
    }
    return text;
}

bool IsValidIPAddress(const char* text, std::int32_t length) {
    LogTrace("len is %d\n", length);
    if (!text || length <= 0) return false;
    const std::string_view address(text, strnlen(text, static_cast<std::size_t>(length)));
    int fields = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = address.find('.', start);
        const std::string_view field = address.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        ULONG value = 0;
        if (field.size() > 3 || !ReadDecimalField(field, &value) || value > 255) return false;
        ++fields;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return fields == 4;
}

bool IsValidOid(const char* text, std::int32_t length) {
    if (!text || length <= 0 || text[0] != '.') return false;
    const std::string_view oid(text, strnlen(text, static_cast<std::size_t>(length)));
    return std::count(oid.begin(), oid.end(), '.') > 1;
}

int CompareOid(const ULONG* first, std::int32_t firstCount, const ULONG* second, std::int32_t secondCount) {
    const std::int32_t common = std::min(firstCount, secondCount);
    for (std::int32_t i = 0; i < common; ++i) {
        if (first[i] != second[i]) return first[i] < second[i] ? -1 : 1;
    }
    if (firstCount == secondCount) return 0;
    return firstCount < secondCount ? -1 : 1;
}

void CopyOid(std::vector<ULONG>* destination, const ULONG* source, std::int32_t count) {
    if (!destination) return;
    destination->clear();
    if (source && count > 0) destination->assign(source, source + count);
}

std::int32_t GetOidLength(const char* text) {
    if (!text) return 0;
    return static_cast<std::int32_t>(std::count(text, text + std::strlen(text), '.'));
}

void SetNOid(ULONG* destination, const ULONG* source, std::int32_t count) {
    if (!destination || !source || count <= 0) return;
    std::memmove(destination, source, static_cast<std::size_t>(count) * sizeof(ULONG));
}

std::optional<ULONG> GetNextSubId(const ULONG* values, std::int32_t count, ULONG given) {
    if (!values) return std::nullopt;
    for (std::int32_t i = 0; i < count; ++i) {
        if (values[i] > given) return values[i];
    }
    return std::nullopt;
}

std::vector<ULONG> CopyStringToOid(const char* text, std::int32_t length) {
    std::vector<ULONG> values;
    if (!text || length <= 0) return values;
    for (std::int32_t i = 0; i < length; ++i) values.push_back(static_cast<unsigned char>(text[i]));
    return values;
}

std::string ConvertToCharArray(const ULONG* values, std::int32_t count) {
    std::string text;
    if (!values) return text;
    for (std::int32_t i = 0; i < count; ++i) text.push_back(static_cast<char>(values[i] & 0xFF));
    return text;
}

void PrintOid(const ULONG* values, std::int32_t count) {
    if (!values) return;
    for (std::int32_t i = 0; i < count; ++i) LogTrace("%lu\t", values[i]);
}

void PrintStream(const BYTE* bytes, std::int32_t length) {
    if (!bytes) return;
    for (std::int32_t i = 0; i < length; ++i) LogTrace("%.02x ", bytes[i]);
    LogTrace("\n");
}

bool ConvertToCounter64(Counter64* counter, const BYTE* bytes, std::int32_t length) {
    if (!counter || !bytes || length <= 0 || length > 9) return false;
    if (length == 9) {
        ++bytes;  // a leading zero byte that keeps the value positive in its encoding
        --length;
    }
    ULONGLONG value = 0;
    for (std::int32_t i = 0; i < length; ++i) value = (value << 8) | bytes[i];
    *counter = ConvertToCounter64FromULongLong(value);
    return true;
}

Counter64 ConvertToCounter64FromULongLong(ULONGLONG value) {
    return Counter64{static_cast<ULONG>(value >> 32), static_cast<ULONG>(value & 0xFFFFFFFFu)};
}

ULONGLONG ConvertToULongLongFromCounter64(const Counter64& counter) {
    return (static_cast<ULONGLONG>(counter.high) << 32) | counter.low;
}

std::string ConvertCounter64ToString(const Counter64& counter) {
    const std::string text = std::to_string(static_cast<long long>(ConvertToULongLongFromCounter64(counter)));
    LogDebug("The String is : %s\n", text);
    return text;
}

std::optional<std::string> ConvertToStringFromDateTime(const BYTE* octets, std::int32_t* length) {
    if (!octets || !length || (*length != 8 && *length != 11)) return std::nullopt;
    const int year = (octets[0] << 8) | octets[1];
    char buffer[96];
    if (*length == 8) {
        std::snprintf(buffer, sizeof buffer, "%d-%d-%d,%d:%d:%d.%d", year, octets[2], octets[3],
                      octets[4], octets[5], octets[6], octets[7]);
    } else {
        std::snprintf(buffer, sizeof buffer, "%d-%d-%d,%d:%d:%d.%d,%c%d:%d", year, octets[2],
                      octets[3], octets[4], octets[5], octets[6], octets[7],
                      static_cast<char>(octets[8]), octets[9], octets[10]);
    }
    LogTrace("The retVal is %s\n", buffer);
    *length = static_cast<std::int32_t>(std::strlen(buffer));
    return std::string(buffer);
}

std::optional<std::vector<BYTE>> ConvertToDateTimeFromString(const char* text, std::int32_t* length) {
    if (!text) return std::nullopt;
    std::vector<ScanField> fields;
    const int read = ScanText(text, "%d-%d-%d,%d:%d:%d.%d,%c%d:%d", &fields);
    if (read != 7 && read != 10) return std::nullopt;
    const int year = IntAt(fields, 0);
    if (year < 0 || year > 65535) return std::nullopt;
    std::vector<BYTE> octets = {static_cast<BYTE>(year >> 8), static_cast<BYTE>(year & 0xFF)};
    for (std::size_t i = 1; i < 7; ++i) octets.push_back(static_cast<BYTE>(IntAt(fields, i)));
    if (read == 10) {
        octets.push_back(static_cast<BYTE>(std::get<char>(fields[7])));
        octets.push_back(static_cast<BYTE>(IntAt(fields, 8)));
        octets.push_back(static_cast<BYTE>(IntAt(fields, 9)));
    }
    for (BYTE octet : octets) LogTrace("%.02x\n", octet);
    if (length) *length = static_cast<std::int32_t>(octets.size());
    return octets;
}

int CompareTime(const std::tm& first, const std::tm& second) {
    const int a[] = {first.tm_year, first.tm_mon, first.tm_mday, first.tm_hour, first.tm_min, first.tm_sec};
    const int b[] = {second.tm_year, second.tm_mon, second.tm_mday, second.tm_hour, second.tm_min, second.tm_sec};
    for (int i = 0; i < 6; ++i) {
        if (a[i] != b[i]) return a[i] > b[i] ? 1 : 0;
    }
    return 1;
}

int ParseMonth(const char* text) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (!text) return -1;
    for (int i = 0; i < 12; ++i) {
        if (strcasecmp(text, kMonths[i]) == 0) return i;
    }
    return -1;
}

std::optional<std::tm> ParseDateTime(const char* text) {
    if (!text) return std::nullopt;
    std::tm when{};
    std::vector<ScanField> fields;
    // "Tue 05 Mar 2024 10:20:30 GMT"
    if (ScanText(text, "%s %d %s %d %d:%d:%d %s", &fields) == 8) {
        when.tm_mday = IntAt(fields, 1);
        when.tm_mon = ParseMonth(TextAt(fields, 2).c_str());
        when.tm_year = IntAt(fields, 3) - 1900;
        when.tm_hour = IntAt(fields, 4);
        when.tm_min = IntAt(fields, 5);
        when.tm_sec = IntAt(fields, 6);
    } else if (ScanText(text, "%s %d-%3s-%d %d:%d:%d %s", &fields) == 8) {
        // "Tuesday, 05-Mar-24 10:20:30 GMT": the year field is kept as written.
        when.tm_mday = IntAt(fields, 1);
        when.tm_mon = ParseMonth(TextAt(fields, 2).c_str());
        when.tm_year = IntAt(fields, 3);
        when.tm_hour = IntAt(fields, 4);
        when.tm_min = IntAt(fields, 5);
        when.tm_sec = IntAt(fields, 6);
    } else if (ScanText(text, "%s %s %d %d:%d:%d %d", &fields) == 7) {
        // "Tue Mar  5 10:20:30 2024"
        when.tm_mon = ParseMonth(TextAt(fields, 1).c_str());
        when.tm_mday = IntAt(fields, 2);
        when.tm_hour = IntAt(fields, 3);
        when.tm_min = IntAt(fields, 4);
        when.tm_sec = IntAt(fields, 5);
        when.tm_year = IntAt(fields, 6) - 1900;
    } else {
        return std::nullopt;
    }
    if (when.tm_mon < 0) return std::nullopt;  // not a month name
    return when;
}

void EncryptDecryptKey(BYTE* buffer, std::int32_t length, std::int32_t key) {
    LogTrace("\t\t@@@@@ Inside EncryptDecryptKey() @@@@@\n");
    if (!buffer || length <= 0) return;
    // Computed in 64 bits: key + 9 overflows 32 bits near the top of the range.
    const std::int64_t shifted = static_cast<std::int64_t>(key) + 9;
    const BYTE mask = (key >= 247 && key <= 2147483638) ? static_cast<BYTE>(shifted % 255)
                                                        : static_cast<BYTE>(shifted & 0xFF);
    for (std::int32_t i = 0; i < length; ++i) buffer[i] ^= mask;
}
