// UTF-8 <-> UTF-16 conversions: round trips, invalid input, surrogates, sizes.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

std::u16string ToWide(const std::string& in, DWORD flags = 0, UINT cp = CP_UTF8) {
    const int n = MultiByteToWideChar(cp, flags, in.data(), static_cast<int>(in.size()), nullptr, 0);
    if (n == 0) return u"<fail>";
    std::u16string out(n, u'\0');
    EXPECT_EQ(MultiByteToWideChar(cp, flags, in.data(), static_cast<int>(in.size()), out.data(), n), n);
    return out;
}

std::string ToNarrow(const std::u16string& in, DWORD flags = 0) {
    const int n = WideCharToMultiByte(CP_UTF8, flags, in.data(), static_cast<int>(in.size()), nullptr, 0,
                                      nullptr, nullptr);
    if (n == 0) return "<fail>";
    std::string out(n, '\0');
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, flags, in.data(), static_cast<int>(in.size()), out.data(), n,
                                  nullptr, nullptr),
              n);
    return out;
}

TEST(Utf, RoundTrips) {
    for (const char* raw : {"plain ascii", "Grüße, Zürich", "日本語テキスト", "emoji \xF0\x9F\x98\x80 pair",
                                "\xF4\x8F\xBF\xBF max", "\xEF\xBF\xBD literal replacement"}) {
        const std::string s = raw;
        const std::u16string wide = ToWide(s);
        EXPECT_EQ(ToNarrow(wide), s);
        EXPECT_EQ(ToWide(s, MB_ERR_INVALID_CHARS), wide);
        EXPECT_EQ(ToNarrow(wide, WC_ERR_INVALID_CHARS), s);
    }
    EXPECT_EQ(ToWide("\xF0\x9F\x98\x80"), std::u16string(u"\xD83D\xDE00"));
    EXPECT_EQ(ToWide("x", 0, CP_ACP), u"x");
}

TEST(Utf, InvalidUtf8BecomesReplacementOrFails) {
    struct Case {
        std::string in;
        std::u16string lenient;
    } cases[] = {
        {"a\xFF" "b", u"a\uFFFDb"},
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                 // overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},       // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"ab\xE6\x97", u"ab\uFFFD"},                   // truncated at the end
        {"\xE6\x97" "x", u"\uFFFDx"},                   // truncated in the middle
        {"\x80\x80", u"\uFFFD\uFFFD"},                 // stray continuation bytes
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToWide(c.in), c.lenient) << c.in;
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.in.data(), static_cast<int>(c.in.size()),
                                      nullptr, 0),
                  0);
        EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    }
}

TEST(Utf, LoneSurrogatesBecomeReplacementOrFail) {
    for (const std::u16string& bad : {std::u16string(u"a\xD800"), std::u16string(u"\xDC00z"),
                                     std::u16string(u"\xD800\xD800\xDC00")}) {
        const std::string lenient = ToNarrow(bad);
        EXPECT_NE(lenient.find("\xEF\xBF\xBD"), std::string::npos);
        SetLastError(0);
        EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, bad.data(), static_cast<int>(bad.size()),
                                      nullptr, 0, nullptr, nullptr),
                  0);
        EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    }
    // The valid pair after a lone high surrogate still converts.
    EXPECT_EQ(ToNarrow(u"\xD800\xD83D\xDE00"), "\xEF\xBF\xBD\xF0\x9F\x98\x80");
}

TEST(Utf, TerminatorSizesAndErrors) {
    WCHAR wide[16];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0), 4);  // counts the terminator
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 16), 4);
    EXPECT_EQ(wide[3], u'\0');
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 3), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 16), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 16), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", 3, wide, 16), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    char narrow[8];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"ü", -1, nullptr, 0, nullptr, nullptr), 3);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"ü", -1, narrow, 2, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    BOOL used = TRUE;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, narrow, 8, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"a\xD800", 2, narrow, 8, nullptr, &used), 4);
    EXPECT_TRUE(used);
    EXPECT_EQ(lstrlenW(u"abc"), 3);
    EXPECT_EQ(lstrlenW(nullptr), 0);
}

}  // namespace
