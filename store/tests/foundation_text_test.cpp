// Text and number utilities and the network-management conversions: table-driven
// checks of the forms, their edges and bad input.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "store/store.h"
#include "tests/support/test_support.h"

TEST(FoundationText, SeparatorHelpers) {
    EXPECT_EQ(CountOfSeparator("a::b::c", "::"), 2);
    EXPECT_EQ(CountOfSeparator("aaaa", "aa"), 2);  // non-overlapping
    EXPECT_EQ(CountOfSeparator("abc", ""), 0);
    EXPECT_EQ(CountOfSeparator(nullptr, ","), 0);
    EXPECT_EQ(StringBeforeSeparator("key=value=x", "="), "key");
    EXPECT_EQ(StringAfterSeparator("key=value=x", "="), "value=x");
    EXPECT_EQ(StringBeforeSeparator("novalue", "="), std::nullopt);
    EXPECT_EQ(StringAfterSeparator("trailing=", "="), "");
    EXPECT_EQ(SplitString("a,,b,", ","), (std::vector<std::string>{"a", "", "b", ""}));
    EXPECT_EQ(SplitString("whole", ","), (std::vector<std::string>{"whole"}));
    EXPECT_STREQ(SkipToNthSeparator("a.b.c.d", ".", 2), "c.d");
    EXPECT_EQ(SkipToNthSeparator("a.b", ".", 3), nullptr);
    EXPECT_EQ(RemoveFirstSeparator("a--b--c", "--"), "ab--c");
    EXPECT_EQ(RemoveFirstSeparator("abc", "x"), "abc");
}

TEST(FoundationText, TrimAndFilters) {
    struct Case {
        const char* text;
        char ch;
        std::optional<std::string> expected;
    } cases[] = {
        {"  padded  ", ' ', "padded"},
        {"xxaxx", 'x', "a"},
        {"a", ' ', "a"},      // a single kept character survives
        {" ", ' ', std::nullopt},
        {"", ' ', std::nullopt},
        {"   ", ' ', std::nullopt},
        {nullptr, ' ', std::nullopt},
        {" in side ", ' ', "in side"},
    };
    for (const Case& c : cases) EXPECT_EQ(TrimString(c.text, c.ch), c.expected) << (c.text ? c.text : "null");
    EXPECT_EQ(KeepLetters("a1-b2_C3"), "abC");
    EXPECT_EQ(KeepLettersAndDigits("a1-b2_C3"), "a1b2C3");
    EXPECT_EQ(DropLettersAndDigits("a1-b2_C3"), "-_");
    EXPECT_EQ(ToLowerString("MiXeD \xc4 9"), "mixed \xc4 9");
    EXPECT_EQ(ToUpperString("MiXeD z"), "MIXED Z");
}

TEST(FoundationText, TokenizerIsReentrant) {
    std::string_view outer = ",a b,,c d,";
    std::vector<std::string> seen;
    while (auto token = NextToken(&outer, ",")) {
        std::string_view inner = *token;
        while (auto word = NextToken(&inner, " ")) seen.emplace_back(*word);
        seen.emplace_back("|");
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "|", "c", "d", "|"}));
    std::string_view empty = ",,,";
    EXPECT_EQ(NextToken(&empty, ","), std::nullopt);
    EXPECT_EQ(NextToken(nullptr, ","), std::nullopt);
}

TEST(FoundationText, SearchesAndMatches) {
    EXPECT_STREQ(SubString("find the needle", "needle"), "needle");
    EXPECT_EQ(SubString("case", "CASE"), nullptr);
    EXPECT_TRUE(FindSubString("abc", ""));
    EXPECT_FALSE(FindSubString(nullptr, "a"));
    EXPECT_EQ(GetIndex("hello", 5, 'l'), 2);
    EXPECT_EQ(GetIndex("hello", 2, 'l'), -1);
    EXPECT_EQ(GetIndex("hi", 50, 'z'), -1);  // stops at the terminator
    const char* list = "alpha,beta,,gamma";
    const int len = static_cast<int>(std::strlen(list));
    EXPECT_TRUE(IsStringMatched(list, len, "beta", 4));
    EXPECT_TRUE(IsStringMatched(list, len, "gamma", 5));
    EXPECT_TRUE(IsStringMatched(list, len, "", 0));
    EXPECT_FALSE(IsStringMatched(list, len, "bet", 3));
    EXPECT_FALSE(IsStringMatched(list, len, "alpha,beta", 5 + 1));
    std::vector<std::string> array = {"a", "b", "c"};
    FreeStringArray(&array, 2);
    EXPECT_EQ(array, std::vector<std::string>{"c"});
    FreeStringArray(&array, 10);
    EXPECT_TRUE(array.empty());
}

TEST(FoundationText, NumbersFromBytesAndTexts) {
    const BYTE bytes[] = {0xFF, 0xFE, 0x01, 0x02, 0x03};
    EXPECT_EQ(ConvertToInteger(bytes, 1), -1);
    EXPECT_EQ(ConvertToInteger(bytes, 2), -2);
    EXPECT_EQ(ConvertToInteger(bytes + 2, 3), 0x010203);
    EXPECT_EQ(ConvertToInteger(bytes, 5), -1);
    EXPECT_EQ(ConvertToUnsignedInteger(bytes, 2), 0xFFFEu);
    EXPECT_EQ(ConvertToUnsignedInteger(bytes, 4), 0xFFFE0102u);

    struct Case {
        const char* text;
        bool integer;
        bool decimal;
        std::int32_t asInteger;
        double asDecimal;
    } cases[] = {
        {"123", true, true, 123, 123},
        {"-42", true, false, -42, 0},
        {"+7", true, false, 7, 0},
        {"12.5", false, true, -1, 12.5},
        {".5", false, true, -1, 0.5},
        {"1.2.3", false, false, -1, 0},
        {"12a", false, false, -1, 0},
        {"", false, false, -1, 0},
        {"-", false, false, -1, 0},
        {".", false, false, -1, 0},
        {"99999999999", true, true, -1, 99999999999.0},  // beyond 32 bits
        {"-2147483648", true, false, INT_MIN, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsIntegerString(c.text), c.integer) << c.text;
        EXPECT_EQ(IsDecimalString(c.text), c.decimal) << c.text;
        EXPECT_EQ(StringToInteger(c.text), c.asInteger) << c.text;
        EXPECT_DOUBLE_EQ(StringToDecimal(c.text), c.asDecimal) << c.text;
    }
    EXPECT_EQ(Power(2, 10), 1024);
    EXPECT_EQ(Power(-3, 3), -27);
    EXPECT_EQ(Power(5, 0), 1);
    EXPECT_EQ(Power(2, -1), 0);
}

TEST(FoundationText, ComparesAndBoundedCopies) {
    EXPECT_EQ(CompareNoCase("Hello", "hELLO"), 0);
    EXPECT_LT(CompareCase("Hello", "hello"), 0);
    EXPECT_EQ(CompareNoCaseN("HelloX", "helloY", 5), 0);
    EXPECT_NE(CompareCaseN("HelloX", "HelloY", 6), 0);
    EXPECT_TRUE(StartsWith("prefix-rest", "prefix"));
    EXPECT_FALSE(StartsWith("pre", "prefix"));
    EXPECT_EQ(SpanChars("112233x", "123"), 6u);
    EXPECT_EQ(BreakChars("abc;def", ";,"), 3u);
    char reversed[] = "abcd";
    ReverseString(reversed);
    EXPECT_STREQ(reversed, "dcba");

    char buffer[6];
    EXPECT_EQ(BoundedCopy(buffer, "longer text", sizeof buffer), 11u);
    EXPECT_STREQ(buffer, "longe");
    BoundedCopy(buffer, "ab", sizeof buffer);
    EXPECT_EQ(BoundedAppend(buffer, "cdefgh", sizeof buffer), 8u);
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(BoundedCopy(buffer, "x", 0), 1u);  // no room at all: nothing written
    EXPECT_STREQ(buffer, "abcde");
}

TEST(FoundationText, AllocationHelpers) {
    std::string copy;
    EXPECT_EQ(AllocateAndCopy(&copy, "abcdef", 3), kStoreSuccess);
    EXPECT_EQ(copy, "abc");
    EXPECT_EQ(copy.c_str()[3], '\0');
    EXPECT_EQ(AllocateAndCopy(&copy, nullptr, 3), kStoreFailure);
    EXPECT_EQ(DuplicateString(&copy, "dup"), kStoreSuccess);
    EXPECT_EQ(copy, "dup");
    std::optional<std::string> text = "old";
    EXPECT_EQ(ReallocateAndSetString(&text, "new value", 3), kStoreSuccess);
    EXPECT_EQ(text, "new");
    EXPECT_EQ(ReallocateAndSetString(&text, nullptr, 0), kStoreSuccess);
    EXPECT_EQ(text, std::nullopt);
    std::vector<ULONG> oid = {9};
    std::int32_t count = 0;
    const ULONG values[] = {1, 3, 6};
    EXPECT_EQ(ReallocateAndSetOID(&oid, &count, values, 3), kStoreSuccess);
    EXPECT_EQ(oid, (std::vector<ULONG>{1, 3, 6}));
    EXPECT_EQ(count, 3);
    EXPECT_EQ(ReallocateAndSetOID(&oid, &count, nullptr, 2), kStoreFailure);
}

TEST(FoundationText, DirectoriesAndClockText) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.path() / "file.txt", "x");
    EXPECT_TRUE(IsDirectory(dir.str().c_str()));
    EXPECT_FALSE(IsDirectory((dir.path() / "file.txt").string().c_str()));
    EXPECT_FALSE(IsDirectory((dir.path() / "missing").string().c_str()));
    EXPECT_FALSE(IsDirectory(nullptr));
    const std::string now = GetCurrentDateTimeString();
    ASSERT_EQ(now.size(), 19u) << now;
    EXPECT_TRUE(ConvertStringToHylDateTime(now.c_str()).has_value());
}

TEST(FoundationConversions, IpAddressValidity) {
    struct Case {
        const char* text;
        bool valid;
    } cases[] = {
        {"10.0.0.1", true},     {"255.255.255.255", true}, {"0.0.0.0", true},
        {"10..0.1", false},     {".10.0.1", false},        {"256.1.1.1", false},
        {"1.2.3", false},       {"1.2.3.4.", false},       {"1.2.3.4.5", false},
        {"1.2.3.a", false},     {"", false},               {"1.2.3.-4", false},
        {"1.2.3.4 ", false},    {"0001.2.3.4", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsValidIPAddress(c.text, static_cast<int>(std::strlen(c.text))), c.valid) << c.text;
    }
    EXPECT_FALSE(IsValidIPAddress(nullptr, 4));
    // The length bounds what is read.
    EXPECT_TRUE(IsValidIPAddress("10.0.0.1junk", 8));
}

TEST(FoundationConversions, ObjectIdentifiersAndAddresses) {
    std::vector<ULONG> values;
    EXPECT_EQ(ConvertToOidOrIpFromString(&values, ".1.3.6.1.2", false), 5);
    EXPECT_EQ(values, (std::vector<ULONG>{1, 3, 6, 1, 2}));
    EXPECT_EQ(ConvertToOidOrIpFromString(&values, "192.168.0.17", true), 4);
    EXPECT_EQ(values, (std::vector<ULONG>{192, 168, 0, 17}));
    const char* bad[][2] = {{"1.3.6", "oid"}, {".1..3", "oid"}, {".1.3.", "oid"}, {"13", "oid"},
                            {"10..1.1", "ip"}, {"10", "ip"}, {"a.b", "ip"}, {".1.99999999999", "oid"}};
    for (const auto& c : bad) {
        EXPECT_EQ(ConvertToOidOrIpFromString(&values, c[0], std::strcmp(c[1], "ip") == 0), -1) << c[0];
        EXPECT_TRUE(values.empty()) << c[0];
    }
    const ULONG oid[] = {1, 3, 6, 1, 4294967295u};
    std::int32_t length = 0;
    EXPECT_EQ(ConvertToStringFromOID(oid, sizeof oid, &length), ".1.3.6.1.4294967295");
    EXPECT_EQ(length, 19);
    std::string text;
    EXPECT_EQ(ConvertToStringFromOid(oid, 3, &text), 6);
    EXPECT_EQ(text, ".1.3.6");
    EXPECT_EQ(ConvertToIpAddressFromOid(oid, 1, 4), "3.6.1");
    EXPECT_TRUE(IsValidOid(".1.3", 4));
    EXPECT_FALSE(IsValidOid(".1", 2));
    EXPECT_FALSE(IsValidOid("1.3.6", 5));
    EXPECT_EQ(GetOidLength(".1.3.6"), 3);

    const ULONG a[] = {1, 3, 6};
    const ULONG b[] = {1, 3, 7};
    EXPECT_LT(CompareOid(a, 3, b, 3), 0);
    EXPECT_GT(CompareOid(b, 3, a, 3), 0);
    EXPECT_LT(CompareOid(a, 2, a, 3), 0);
    EXPECT_EQ(CompareOid(a, 3, a, 3), 0);
    EXPECT_EQ(GetNextSubId(a, 3, 2), 3u);
    EXPECT_EQ(GetNextSubId(a, 3, 6), std::nullopt);
    const std::vector<ULONG> fromText = CopyStringToOid("ab", 2);
    EXPECT_EQ(fromText, (std::vector<ULONG>{97, 98}));
    EXPECT_EQ(ConvertToCharArray(fromText.data(), 2), "ab");
    ULONG target[3] = {0, 0, 0};
    SetNOid(target, b, 2);
    EXPECT_EQ(target[1], 3u);
    EXPECT_EQ(target[2], 0u);
}

TEST(FoundationConversions, HexDigitsAndPacking) {
    EXPECT_EQ(GetHexValue('a'), 10);
    EXPECT_EQ(GetHexValue('F'), 15);
    EXPECT_EQ(GetHexValue('z'), 'z');
    EXPECT_EQ(ConvertToDecimalFromHexa('z'), 0);
    EXPECT_EQ(ConvertToDecimalFromHexa('7'), 7);
    char text[] = "0aFf7";
    EXPECT_EQ(ConvertToHexValue(text, 5), 2);
    EXPECT_EQ(static_cast<unsigned char>(text[0]), 0x0A);
    EXPECT_EQ(static_cast<unsigned char>(text[1]), 0xFF);
    const BYTE bytes[] = {0xAB, 0x01};
    EXPECT_EQ(ConvertToStringFromHex(bytes, 2), (std::vector<BYTE>{0x0A, 0x0B, 0x00, 0x01}));
}

TEST(FoundationConversions, ValueTexts) {
    const std::int32_t number = -17;
    EXPECT_EQ(ToString(&number, 0), "-17");
    EXPECT_EQ(ToString(nullptr, 0), std::nullopt);
    EXPECT_EQ(ToString(nullptr, 1), "FALSE");
    EXPECT_EQ(ToString(&number, 1), "TRUE");
    EXPECT_EQ(ToString(&number, 2), std::nullopt);
    EXPECT_EQ(ConvertToStringFromInteger(INT_MIN), "-2147483648");
    EXPECT_EQ(ConvertToStringFromUnsignedInteger(4294967295u), "4294967295");
}

TEST(FoundationConversions, Counter64) {
    Counter64 counter;
    const BYTE nine[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    ASSERT_TRUE(ConvertToCounter64(&counter, nine, 9));
    EXPECT_EQ(counter.high, 0x01020304u);
    EXPECT_EQ(counter.low, 0x05060708u);
    ASSERT_TRUE(ConvertToCounter64(&counter, nine + 6, 3));
    EXPECT_EQ(counter.high, 0u);
    EXPECT_EQ(counter.low, 0x060708u);
    EXPECT_FALSE(ConvertToCounter64(&counter, nine, 10));
    EXPECT_FALSE(ConvertToCounter64(&counter, nine, 0));
    const ULONGLONG big = 0x123456789ABCDEF0ull;
    EXPECT_EQ(ConvertToULongLongFromCounter64(ConvertToCounter64FromULongLong(big)), big);
    EXPECT_EQ(ConvertCounter64ToString(ConvertToCounter64FromULongLong(1234567890123ull)), "1234567890123");
}

TEST(FoundationConversions, DateAndTimeOctets) {
    const BYTE eight[] = {0x07, 0xE8, 3, 5, 10, 20, 30, 4};
    std::int32_t length = 8;
    EXPECT_EQ(ConvertToStringFromDateTime(eight, &length), "2024-3-5,10:20:30.4");
    EXPECT_EQ(length, 19);
    const BYTE eleven[] = {0x07, 0xE8, 3, 5, 10, 20, 30, 4, '+', 5, 30};
    length = 11;
    const auto text = ConvertToStringFromDateTime(eleven, &length);
    EXPECT_EQ(text, "2024-3-5,10:20:30.4,+5:30");
    length = 9;
    EXPECT_EQ(ConvertToStringFromDateTime(eight, &length), std::nullopt);

    std::int32_t outLength = 0;
    auto octets = ConvertToDateTimeFromString(text->c_str(), &outLength);
    ASSERT_TRUE(octets);
    EXPECT_EQ(outLength, 11);
    EXPECT_EQ(*octets, std::vector<BYTE>(eleven, eleven + 11));
    octets = ConvertToDateTimeFromString("2024-3-5,10:20:30.4", &outLength);
    ASSERT_TRUE(octets);
    EXPECT_EQ(*octets, std::vector<BYTE>(eight, eight + 8));
    for (const char* bad : {"", "2024-3-5", "2024-3-5,10:20", "x", "2024-3-5,10:20:30.4,+5", "99999-1-1,1:1:1.1"}) {
        EXPECT_EQ(ConvertToDateTimeFromString(bad, &outLength), std::nullopt) << bad;
    }
}

TEST(FoundationConversions, MonthsAndDateTexts) {
    EXPECT_EQ(ParseMonth("jan"), 0);
    EXPECT_EQ(ParseMonth("DEC"), 11);
    EXPECT_EQ(ParseMonth("Sept"), -1);
    EXPECT_EQ(ParseMonth(nullptr), -1);
    struct Case {
        const char* text;
        int year, month, day, hour, minute, second;
    } cases[] = {
        {"Tue 05 Mar 2024 10:20:30 GMT", 124, 2, 5, 10, 20, 30},
        {"Tuesday, 05-Mar-24 10:20:30 GMT", 24, 2, 5, 10, 20, 30},  // year kept as written
        {"Tue Mar  5 10:20:30 2024", 124, 2, 5, 10, 20, 30},
    };
    for (const Case& c : cases) {
        const auto when = ParseDateTime(c.text);
        ASSERT_TRUE(when) << c.text;
        EXPECT_EQ(when->tm_year, c.year) << c.text;
        EXPECT_EQ(when->tm_mon, c.month) << c.text;
        EXPECT_EQ(when->tm_mday, c.day) << c.text;
        EXPECT_EQ(when->tm_hour, c.hour) << c.text;
        EXPECT_EQ(when->tm_min, c.minute) << c.text;
        EXPECT_EQ(when->tm_sec, c.second) << c.text;
    }
    for (const char* bad : std::initializer_list<const char*>{"", "garbage", "Tue 05 Xyz 2024 10:20:30 GMT",
                                                              "Tue Mar 5 10:20 2024", nullptr}) {
        EXPECT_EQ(ParseDateTime(bad), std::nullopt) << (bad ? bad : "null");
    }
    std::tm a{}, b{};
    a.tm_year = b.tm_year = 124;
    EXPECT_EQ(CompareTime(a, b), 1);  // equal counts as not earlier
    b.tm_sec = 1;
    EXPECT_EQ(CompareTime(a, b), 0);
    EXPECT_EQ(CompareTime(b, a), 1);
}

TEST(FoundationConversions, EncryptDecryptKey) {
    struct Case {
        std::int32_t key;
        BYTE mask;
    } cases[] = {
        {0, 9}, {246, 255}, {247, 1}, {500, 509 % 255}, {2147483638, static_cast<BYTE>(2147483647ll % 255)},
        {2147483647, static_cast<BYTE>((2147483647ll + 9) & 0xFF)}, {-9, 0}, {-20, static_cast<BYTE>(-11)},
    };
    for (const Case& c : cases) {
        BYTE buffer[] = {0x00, 0x5A, 0xFF};
        EncryptDecryptKey(buffer, 3, c.key);
        EXPECT_EQ(buffer[0], c.mask) << c.key;
        EXPECT_EQ(buffer[1], static_cast<BYTE>(0x5A ^ c.mask)) << c.key;
        EncryptDecryptKey(buffer, 3, c.key);
        EXPECT_EQ(buffer[1], 0x5A) << c.key;
        EXPECT_EQ(buffer[2], 0xFF) << c.key;
    }
}
