// UTF-8 <-> UTF-16 conversions behind MultiByteToWideChar and WideCharToMultiByte.
// Every code page of the host is UTF-8.
#include <cstring>
#include <string>
#include <string_view>

#include "platform/src/internal.h"
#include "platform/win/errors.h"
#include "platform/win/text.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr DWORD ERROR_INVALID_FLAGS = 1004;

// Decodes one code point at text[pos]; advances pos past it. An invalid sequence
// yields nullopt and consumes its maximal valid prefix (at least one byte), so one
// U+FFFD stands for each broken piece as the Unicode standard recommends.
std::optional<char32_t> DecodeUtf8(std::string_view text, size_t& pos) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    int length;
    char32_t value;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;       // overlong
        if (lead == 0xED) high = 0x9F;      // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;       // overlong
        if (lead == 0xF4) high = 0x8F;      // above U+10FFFF
    } else {
        ++pos;
        return std::nullopt;
    }
    size_t i = pos + 1;
    for (int n = 1; n < length; ++n, ++i) {
        const unsigned char lo = n == 1 ? low : 0x80, hi = n == 1 ? high : 0xBF;
        if (i >= text.size() || byte(i) < lo || byte(i) > hi) {
            pos = i;
            return std::nullopt;
        }
        value = (value << 6) | (byte(i) & 0x3F);
    }
    pos = i;
    return value;
}

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Returns false on the first invalid sequence when strict.
bool ConvertToUtf16(std::string_view in, std::u16string& out, bool strict) {
    for (size_t pos = 0; pos < in.size();) {
        const auto cp = DecodeUtf8(in, pos);
        if (!cp && strict) return false;
        AppendUtf16(out, cp ? *cp : kReplacement);
    }
    return true;
}

bool ConvertToUtf8(std::u16string_view in, std::string& out, bool strict, bool* replaced) {
    for (size_t i = 0; i < in.size(); ++i) {
        char32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {  // lone surrogate
            if (strict) return false;
            cp = kReplacement;
            if (replaced) *replaced = true;
        }
        AppendUtf8(out, cp);
    }
    return true;
}

bool KnownCodePage(UINT codePage) {
    return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_UTF8;
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR source, int sourceBytes, LPWSTR dest,
                        int destChars) {
    if (!KnownCodePage(codePage) || source == nullptr || sourceBytes == 0 || sourceBytes < -1 ||
        destChars < 0 || (dest == nullptr && destChars != 0) ||
        (dest != nullptr && static_cast<const void*>(dest) == static_cast<const void*>(source))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (codePage == CP_UTF8 && (flags & ~MB_ERR_INVALID_CHARS) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    const size_t length = sourceBytes == -1 ? std::strlen(source) + 1 : static_cast<size_t>(sourceBytes);
    std::u16string wide;
    if (!ConvertToUtf16(std::string_view(source, length), wide, flags & MB_ERR_INVALID_CHARS)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (destChars == 0) return static_cast<int>(wide.size());
    if (wide.size() > static_cast<size_t>(destChars)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(wide.begin(), wide.end(), dest);
    return static_cast<int>(wide.size());
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR source, int sourceChars, LPSTR dest,
                        int destBytes, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
    if (!KnownCodePage(codePage) || source == nullptr || sourceChars == 0 || sourceChars < -1 ||
        destBytes < 0 || (dest == nullptr && destBytes != 0) ||
        (codePage == CP_UTF8 && (defaultChar != nullptr || usedDefaultChar != nullptr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (codePage == CP_UTF8 && (flags & ~WC_ERR_INVALID_CHARS) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    const size_t length =
        sourceChars == -1 ? std::char_traits<char16_t>::length(source) + 1 : static_cast<size_t>(sourceChars);
    std::string narrow;
    bool replaced = false;
    if (!ConvertToUtf8(std::u16string_view(source, length), narrow, flags & WC_ERR_INVALID_CHARS,
                       &replaced)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (usedDefaultChar) *usedDefaultChar = replaced ? TRUE : FALSE;
    if (destBytes == 0) return static_cast<int>(narrow.size());
    if (narrow.size() > static_cast<size_t>(destBytes)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(dest, narrow.data(), narrow.size());
    return static_cast<int>(narrow.size());
}

int lstrlenW(LPCWSTR text) {
    return text ? static_cast<int>(std::char_traits<char16_t>::length(text)) : 0;
}

namespace host {

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    ConvertToUtf16(text, out, false);
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    ConvertToUtf8(text, out, false, nullptr);
    return out;
}

std::string NarrowArg(LPCWSTR text) {
    return text ? Utf16ToUtf8(text) : std::string();
}

}  // namespace host
