// The hive's text form: round trips of every value type, escapes, continuation
// lines, encodings, deletions and lines that cannot be read.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "platform/src/internal.h"
#include "platform/src/registry_hive.h"
#include "platform/win/registry.h"

namespace {

using host::reg::FormatRegText;
using host::reg::Key;
using host::reg::ParseRegText;
using host::reg::ParseReport;

std::vector<BYTE> Utf16(std::u16string_view text, bool terminator = true) {
    std::vector<BYTE> out;
    for (char16_t c : text) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    if (terminator) out.insert(out.end(), {0, 0});
    return out;
}

std::vector<BYTE> Bytes(std::initializer_list<int> list) {
    std::vector<BYTE> out;
    for (int b : list) out.push_back(static_cast<BYTE>(b));
    return out;
}

Key Parse(std::string_view text, ParseReport* report = nullptr) {
    Key root{std::u16string(host::reg::kRootName)};
    ParseRegText(text, root, report);
    return root;
}

const Key* Find(const Key& root, std::u16string_view path) {
    return host::reg::FindPath(root, host::reg::SplitPath(path));
}

struct TypeCase {
    const char* label;
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;
    std::string expectedStart;  // how the entry starts in the file
};

TEST(RegistryHiveText, EveryValueTypeRoundTrips) {
    std::vector<BYTE> longBinary(300);
    for (size_t i = 0; i < longBinary.size(); ++i) longBinary[i] = static_cast<BYTE>(i * 7);
    const std::vector<TypeCase> cases = {
        {"plain text", u"Dir", REG_SZ, Utf16(u"C:\\Program Files\\Vantorra\\"),
         "\"Dir\"=\"C:\\\\Program Files\\\\Vantorra\\\\\""},
        {"quotes in name and data", u"a\"b\\c", REG_SZ, Utf16(u"say \"hi\""),
         "\"a\\\"b\\\\c\"=\"say \\\"hi\\\"\""},
        {"non-ASCII text", u"Grüße", REG_SZ, Utf16(u"✓ Ωmega"), "\"Grüße\"=\"✓ Ωmega\""},
        {"empty text", u"e", REG_SZ, Utf16(u""), "\"e\"=\"\""},
        {"default value", u"", REG_SZ, Utf16(u"default"), "@=\"default\""},
        {"text with line break", u"nl", REG_SZ, Utf16(u"a\r\nb"), "\"nl\"=hex(1):61,00,0d,00"},
        {"text without terminator", u"nt", REG_SZ, Utf16(u"ab", false), "\"nt\"=hex(1):61,00,62,00"},
        {"text with inner NUL", u"in", REG_SZ, Utf16(std::u16string(u"a\0b", 3)), "\"in\"=hex(1):"},
        {"no data at all", u"z", REG_SZ, {}, "\"z\"=hex(1):"},
        {"odd byte count", u"odd", REG_SZ, Bytes({0x41, 0, 0}), "\"odd\"=hex(1):41,00,00"},
        {"unpaired surrogate", u"sur", REG_SZ, Utf16(std::u16string(1, char16_t(0xD800))),
         "\"sur\"=hex(1):00,d8,00,00"},
        {"expandable", u"x", REG_EXPAND_SZ, Utf16(u"%TEMP%\\x"), "\"x\"=hex(2):25,00,54,00"},
        {"multi string", u"m", REG_MULTI_SZ, Utf16(std::u16string(u"a\0bc\0", 5)),
         "\"m\"=hex(7):61,00,00,00,62,00"},
        {"dword", u"Level", REG_DWORD, Bytes({4, 0, 0, 0}), "\"Level\"=dword:00000004"},
        {"dword high bits", u"Max", REG_DWORD, Bytes({0xff, 0xfe, 0x00, 0x80}),
         "\"Max\"=dword:8000feff"},
        {"dword of three bytes", u"Short", REG_DWORD, Bytes({1, 2, 3}), "\"Short\"=hex(4):01,02,03"},
        {"qword", u"Q", REG_QWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 0x88}),
         "\"Q\"=hex(b):01,02,03,04,05,06,07,88"},
        {"binary", u"Bin", REG_BINARY, Bytes({0, 0xab, 0xff}), "\"Bin\"=hex:00,ab,ff"},
        {"empty binary", u"B0", REG_BINARY, {}, "\"B0\"=hex:"},
        {"long binary", u"Long", REG_BINARY, longBinary, "\"Long\"=hex:00,07,0e,15"},
        {"none", u"N", REG_NONE, Bytes({9}), "\"N\"=hex(0):09"},
        {"big-endian dword", u"BE", REG_DWORD_BIG_ENDIAN, Bytes({0, 0, 0, 1}), "\"BE\"=hex(5):"},
        {"unusual type", u"T", 0x12345, Bytes({1}), "\"T\"=hex(12345):01"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Key root{std::u16string(host::reg::kRootName)};
        Key& key = root.AddSubkey(u"Software").AddSubkey(u"Test");
        key.SetValue(c.name, c.type, c.data);
        const std::string text = FormatRegText(root, host::reg::kRootName);
        const std::string section = "[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n";
        size_t at = text.find(section);
        ASSERT_NE(at, std::string::npos) << text;
        EXPECT_EQ(text.compare(at + section.size(), c.expectedStart.size(), c.expectedStart), 0)
            << text;
        for (size_t pos = 0, end; (end = text.find("\r\n", pos)) != std::string::npos;
             pos = end + 2)
            EXPECT_LE(end - pos, 80u) << "line too long in\n" << text;

        ParseReport report;
        Key back = Parse(text, &report);
        EXPECT_TRUE(report.hasHeader);
        EXPECT_TRUE(report.skipped.empty());
        const Key* read = Find(back, u"Software\\Test");
        ASSERT_NE(read, nullptr);
        ASSERT_EQ(read->values.size(), 1u);
        EXPECT_EQ(read->values[0].name, c.name);
        EXPECT_EQ(read->values[0].type, c.type);
        EXPECT_EQ(read->values[0].data, c.data);
        // Writing what was read gives the same document.
        EXPECT_EQ(FormatRegText(back, host::reg::kRootName), text);
    }
}

TEST(RegistryHiveText, LineEndingsEncodingsAndContinuationsReadTheSame) {
    const std::string lf =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Halcyra]\n"
        "\"Name\"=\"Vantorra \\\"agent\\\"\"\n"
        "@=\"dflt\"\n"
        "\"Bin\"=hex:01,02,\\\n"
        "    03,04,\\\n"
        "\t05\n"
        "\"Level\"=dword:4\n";
    std::string crlf;
    for (char c : lf) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    std::u16string wide = host::Utf8ToUtf16(lf);
    std::string utf16 = "\xFF\xFE";
    for (char16_t c : wide) {
        utf16 += static_cast<char>(c & 0xFF);
        utf16 += static_cast<char>(c >> 8);
    }
    const std::string utf8Bom = "\xEF\xBB\xBF" + lf;

    for (const std::string& doc : std::vector<std::string>{lf, crlf, utf16, utf8Bom}) {
        ParseReport report;
        Key root = Parse(doc, &report);
        EXPECT_TRUE(report.hasHeader);
        EXPECT_TRUE(report.skipped.empty());
        const Key* key = Find(root, u"Software\\Halcyra");
        ASSERT_NE(key, nullptr);
        ASSERT_EQ(key->values.size(), 4u);
        EXPECT_EQ(key->values[0].data, Utf16(u"Vantorra \"agent\""));
        EXPECT_EQ(key->values[1].name, u"");
        EXPECT_EQ(key->values[2].data, Bytes({1, 2, 3, 4, 5}));
        EXPECT_EQ(key->values[3].data, Bytes({4, 0, 0, 0}));
    }
}

TEST(RegistryHiveText, DeletionsApplyToWhatIsAlreadyThere) {
    Key root = Parse(
        "Windows Registry Editor Version 5.00\r\n"
        "[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n\"v\"=\"1\"\r\n"
        "[HKEY_LOCAL_MACHINE\\A\\Keep]\r\n\"gone\"=\"x\"\r\n\"stays\"=\"y\"\r\n");
    ParseReport report;
    ParseRegText(
        "Windows Registry Editor Version 5.00\r\n"
        "[-HKEY_LOCAL_MACHINE\\a\\b]\r\n"
        "[HKEY_LOCAL_MACHINE\\A\\KEEP]\r\n\"GONE\"=-\r\n\"missing\"=-\r\n"
        "[-HKEY_LOCAL_MACHINE\\Never\\There]\r\n",
        root, &report);
    EXPECT_TRUE(report.skipped.empty());
    EXPECT_EQ(Find(root, u"A\\B"), nullptr);
    ASSERT_NE(Find(root, u"A"), nullptr);
    const Key* keep = Find(root, u"A\\Keep");
    ASSERT_NE(keep, nullptr);
    ASSERT_EQ(keep->values.size(), 1u);
    EXPECT_EQ(keep->values[0].name, u"stays");
}

TEST(RegistryHiveText, NamesMatchWithoutCaseAndKeepTheirFirstSpelling) {
    ParseReport report;
    Key root = Parse(
        "Windows Registry Editor Version 5.00\n"
        "[HKEY_LOCAL_MACHINE\\Software\\ZQAgent]\n\"ServerName\"=\"one\"\n"
        "[hkey_local_machine\\SOFTWARE\\zqagent]\n\"SERVERNAME\"=\"two\"\n"
        "[HKLM\\software\\ÄRGER]\n\"x\"=dword:1\n"
        "[HKEY_LOCAL_MACHINE\\Software\\ärger]\n\"y\"=dword:2\n",
        &report);
    EXPECT_TRUE(report.skipped.empty());
    const Key* software = Find(root, u"software");
    ASSERT_NE(software, nullptr);
    EXPECT_EQ(software->name, u"Software");
    ASSERT_EQ(software->subkeys.size(), 2u);
    const Key* agent = Find(root, u"SOFTWARE\\ZQAGENT");
    ASSERT_NE(agent, nullptr);
    EXPECT_EQ(agent->name, u"ZQAgent");
    ASSERT_EQ(agent->values.size(), 1u);
    EXPECT_EQ(agent->values[0].name, u"ServerName");
    EXPECT_EQ(agent->values[0].data, Utf16(u"two"));
    const Key* umlaut = Find(root, u"Software\\ärger");
    ASSERT_NE(umlaut, nullptr);
    EXPECT_EQ(umlaut->name, u"ÄRGER");
    EXPECT_EQ(umlaut->values.size(), 2u);
}

TEST(RegistryHiveText, SubkeysAreWrittenInNameOrderValuesInTheirOrder) {
    Key root{std::u16string(host::reg::kRootName)};
    root.AddSubkey(u"zeta");
    root.AddSubkey(u"Alpha").SetValue(u"second", REG_DWORD, Bytes({2, 0, 0, 0}));
    root.FindSubkey(u"alpha")->SetValue(u"first", REG_DWORD, Bytes({1, 0, 0, 0}));
    root.AddSubkey(u"mid");
    const std::string text = FormatRegText(root, host::reg::kRootName);
    EXPECT_EQ(text,
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Alpha]\r\n"
              "\"second\"=dword:00000002\r\n\"first\"=dword:00000001\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\mid]\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\zeta]\r\n\r\n");
}

struct MalformedCase {
    const char* label;
    std::string line;
};

TEST(RegistryHiveText, UnreadableLinesAreSkippedAndTheRestSurvives) {
    const std::vector<MalformedCase> cases = {
        {"bad dword digits", "\"bad\"=dword:xyz"},
        {"dword too long", "\"bad\"=dword:123456789"},
        {"unterminated text", "\"bad\"=\"no end"},
        {"text after the quote", "\"bad\"=\"x\" trailing"},
        {"bad hex byte", "\"bad\"=hex:01,zz"},
        {"hex byte too long", "\"bad\"=hex:123"},
        {"bad hex type", "\"bad\"=hex(zz):00"},
        {"hex type without colon", "\"bad\"=hex(2)00"},
        {"unknown format", "\"bad\"=str:abc"},
        {"missing equals", "\"bad\" \"x\""},
        {"unterminated name", "\"bad=\"x\""},
        {"garbage", "this is not a registry line"},
        {"binary noise", std::string("\x01\xff\xfe\x00\x7f", 5)},
        {"hex continued into a section", "\"bad\"=hex:01,02,\\"},
        {"section without bracket", "[HKEY_LOCAL_MACHINE\\Broken"},
        {"other root", "[HKEY_CURRENT_USER\\Software]\n\"bad\"=\"x\""},
        {"delete the whole hive", "[-HKEY_LOCAL_MACHINE]"},
        {"key name too long", "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]"},
        {"empty section", "[]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string doc =
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\Before]\n\"ok\"=\"1\"\n" +
            c.line +
            "\n[HKEY_LOCAL_MACHINE\\After]\n\"ok\"=\"2\"\n";
        ParseReport report;
        Key root = Parse(doc, &report);
        EXPECT_FALSE(report.skipped.empty());
        EXPECT_EQ(report.skipped.front().first, 5u);
        const Key* before = Find(root, u"Before");
        const Key* after = Find(root, u"After");
        ASSERT_NE(before, nullptr);
        ASSERT_NE(after, nullptr);
        EXPECT_EQ(before->values.size(), 1u) << "a bad line must not add to the key before it";
        ASSERT_EQ(after->values.size(), 1u);
        EXPECT_EQ(after->values[0].data, Utf16(u"2"));
        EXPECT_EQ(root.subkeys.size(), 2u);
    }
}

// "a\a\...\a" with the given number of levels below the hive's root.
std::string DeepPath(size_t levels) {
    std::string path = "HKEY_LOCAL_MACHINE";
    path.reserve(path.size() + 2 * levels);
    for (size_t i = 0; i < levels; ++i) path += "\\a";
    return path;
}

TEST(RegistryHiveText, KeysDeeperThanWindowsAllowsAreSkippedAndTheRestSurvives) {
    constexpr size_t kWindowsDepth = 512;
    struct DepthCase {
        size_t levels;
        bool kept;
    };
    for (const DepthCase c : {DepthCase{kWindowsDepth, true}, DepthCase{kWindowsDepth + 1, false},
                              DepthCase{300000, false}}) {
        SCOPED_TRACE(c.levels);
        const std::string doc = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Before]\n\"ok\"=\"1\"\n[" +
                                DeepPath(c.levels) + "]\n\"deep\"=\"x\"\n[HKEY_LOCAL_MACHINE\\After]\n\"ok\"=\"2\"\n";
        ParseReport report;
        Key root = Parse(doc, &report);
        ASSERT_NE(Find(root, u"Before"), nullptr);
        ASSERT_NE(Find(root, u"After"), nullptr);
        EXPECT_EQ(Find(root, u"After")->values.size(), 1u);
        if (c.kept) {
            EXPECT_TRUE(report.skipped.empty());
            // The deepest key written out and read back is the same tree.
            Key again = Parse(FormatRegText(root, host::reg::kRootName));
            EXPECT_EQ(FormatRegText(again, host::reg::kRootName), FormatRegText(root, host::reg::kRootName));
        } else {
            ASSERT_EQ(report.skipped.size(), 1u);  // its value goes with it, unreported
            EXPECT_EQ(report.skipped[0], std::make_pair(size_t{5}, std::string("key deeper than 512 levels")));
            EXPECT_EQ(Find(root, u"a"), nullptr) << "no part of a refused key is made";
        }
    }
}

TEST(RegistryHiveText, ValuesBeforeAnySectionOrUnderABrokenOneGoNowhere) {
    ParseReport report;
    Key root = Parse(
        "\"orphan\"=\"x\"\n"
        "[HKEY_LOCAL_MACHINE\\Broken\n\"lost\"=\"y\"\n"
        "[HKEY_LOCAL_MACHINE\\Good]\n\"kept\"=\"z\"\n",
        &report);
    EXPECT_FALSE(report.hasHeader);
    EXPECT_EQ(report.skipped.size(), 2u);  // the orphan and the broken section
    ASSERT_EQ(root.subkeys.size(), 1u);
    EXPECT_EQ(root.subkeys[0]->name, u"Good");
    EXPECT_TRUE(root.values.empty());
}

TEST(RegistryHiveText, MutatedDocumentsNeverCrashTheParser) {
    Key root{std::u16string(host::reg::kRootName)};
    Key& key = root.AddSubkey(u"Software").AddSubkey(u"Fuzz");
    key.SetValue(u"s", REG_SZ, Utf16(u"text \"q\" \\"));
    key.SetValue(u"b", REG_BINARY, std::vector<BYTE>(200, 0x5a));
    key.SetValue(u"m", REG_MULTI_SZ, Utf16(std::u16string(u"a\0b\0", 4)));
    key.SetValue(u"d", REG_DWORD, Bytes({1, 2, 3, 4}));
    const std::string base = FormatRegText(root, host::reg::kRootName);
    std::mt19937 random(12345);
    const std::string specials = "[]\"\\=@-,:()\r\n\xff\x00";
    for (int round = 0; round < 3000; ++round) {
        std::string doc = base;
        int edits = 1 + static_cast<int>(random() % 6);
        for (int e = 0; e < edits && !doc.empty(); ++e) {
            size_t at = random() % doc.size();
            switch (random() % 3) {
                case 0: doc[at] = specials[random() % specials.size()]; break;
                case 1: doc.erase(at, 1 + random() % 8); break;
                default: doc.insert(at, 1, specials[random() % specials.size()]); break;
            }
        }
        if (round % 7 == 0) doc = "\xFF\xFE" + doc;  // as UTF-16 that is nonsense
        ParseReport report;
        Key parsed = Parse(doc, &report);
        // Whatever was read must be writable and read back the same.
        const std::string again = FormatRegText(parsed, host::reg::kRootName);
        ParseReport second;
        Key reread = Parse(again, &second);
        ASSERT_TRUE(second.skipped.empty()) << again;
        ASSERT_EQ(FormatRegText(reread, host::reg::kRootName), again);
    }
}

}  // namespace

namespace {

// The name index beside a key's values must agree with the list through every kind of
// change: lookups without case, replacing in place, removals that move later values,
// copies, and a key with thousands of values.
TEST(RegistryHiveValues, LookupsFollowEveryChangeOfTheList) {
    Key key{u"Big"};
    constexpr int kCount = 5000;
    for (int n = 0; n < kCount; ++n) {
        const std::string name = "Value" + std::to_string(n);
        key.SetValue(std::u16string(name.begin(), name.end()), REG_DWORD, Bytes({n & 0xFF, 0, 0, 0}));
    }
    ASSERT_EQ(key.values.size(), static_cast<size_t>(kCount));

    // Replacing keeps the position and the first spelling; the count stays.
    key.SetValue(u"VALUE17", REG_SZ, Utf16(u"replaced"));
    ASSERT_EQ(key.values.size(), static_cast<size_t>(kCount));
    EXPECT_EQ(key.values[17].name, u"Value17");
    EXPECT_EQ(key.values[17].data, Utf16(u"replaced"));

    // Removing moves every later value down by one; each must still be found.
    EXPECT_TRUE(key.RemoveValue(u"value3"));
    EXPECT_FALSE(key.RemoveValue(u"Value3"));
    EXPECT_EQ(key.FindValue(u"Value3"), nullptr);
    for (int n : {0, 2, 4, 17, 2500, kCount - 1}) {
        const std::string name = "vALUE" + std::to_string(n);
        const host::reg::Value* found = key.FindValue(std::u16string(name.begin(), name.end()));
        ASSERT_NE(found, nullptr) << name;
        const std::string number = std::to_string(n);
        EXPECT_EQ(found->name, u"Value" + std::u16string(number.begin(), number.end()));
    }
    EXPECT_EQ(key.FindValue(u"Value"), nullptr);

    // A copy answers on its own and changes apart from the original.
    Key copy(key);
    copy.SetValue(u"OnlyInCopy", REG_DWORD, Bytes({1, 0, 0, 0}));
    EXPECT_TRUE(copy.RemoveValue(u"Value0"));
    EXPECT_NE(copy.FindValue(u"onlyincopy"), nullptr);
    EXPECT_EQ(key.FindValue(u"OnlyInCopy"), nullptr);
    EXPECT_NE(key.FindValue(u"Value0"), nullptr);
    EXPECT_EQ(copy.FindValue(u"Value0"), nullptr);
    EXPECT_NE(copy.FindValue(u"value1"), nullptr);

    // Names equal without case beyond ASCII share one entry; different names do not.
    Key umlauts{u"Umlauts"};
    umlauts.SetValue(u"Größe", REG_DWORD, Bytes({1, 0, 0, 0}));
    umlauts.SetValue(u"GRÖSSE", REG_DWORD, Bytes({2, 0, 0, 0}));  // ß has no upper case here
    umlauts.SetValue(u"GRÖßE", REG_DWORD, Bytes({3, 0, 0, 0}));
    ASSERT_EQ(umlauts.values.size(), 2u);
    EXPECT_EQ(umlauts.values[0].name, u"Größe");
    EXPECT_EQ(umlauts.values[0].data, Bytes({3, 0, 0, 0}));
    EXPECT_EQ(umlauts.values[1].name, u"GRÖSSE");
    // The default value (empty name) is a name like any other.
    umlauts.SetValue(u"", REG_SZ, Utf16(u"default"));
    ASSERT_NE(umlauts.FindValue(u""), nullptr);
    EXPECT_TRUE(umlauts.RemoveValue(u""));
    EXPECT_EQ(umlauts.FindValue(u""), nullptr);
}

TEST(RegistryHiveValues, ADocumentWithThousandsOfValuesParsesAndFormatsBackTheSame) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Many]\r\n";
    constexpr int kCount = 10000;
    for (int n = 0; n < kCount; ++n) text += "\"v" + std::to_string(n) + "\"=dword:" + "0000000" + std::to_string(n % 10) + "\r\n";
    // Later lines for names already there replace them; deletions remove them.
    text += "\"V5\"=\"five\"\r\n\"v6\"=-\r\n\r\n";
    Key root = Parse(text);
    const Key* many = Find(root, u"Software\\Many");
    ASSERT_NE(many, nullptr);
    ASSERT_EQ(many->values.size(), static_cast<size_t>(kCount - 1));
    EXPECT_EQ(many->FindValue(u"v5")->data, Utf16(u"five"));
    EXPECT_EQ(many->FindValue(u"v6"), nullptr);
    EXPECT_EQ(many->values[6].name, u"v7");
    EXPECT_EQ(many->FindValue(u"V9999")->data, Bytes({9, 0, 0, 0}));

    const std::string formatted = FormatRegText(root, host::reg::kRootName);
    Key again = Parse(formatted);
    EXPECT_EQ(FormatRegText(again, host::reg::kRootName), formatted);
}

// Values at the edges of what the text form holds, each written in its own way.
std::vector<std::pair<DWORD, std::vector<BYTE>>> BoundaryData() {
    std::vector<BYTE> longBinary(1000);
    for (size_t i = 0; i < longBinary.size(); ++i) longBinary[i] = static_cast<BYTE>(i * 13);
    return {
        {REG_SZ, Utf16(u"")},                          // only the terminator
        {REG_SZ, Utf16(u"x", false)},                  // no terminator: hex(1)
        {REG_SZ, Bytes({'a', 0, 0})},                   // odd length
        {REG_SZ, Utf16(std::u16string(u"a\0b", 3))},  // a NUL inside
        {REG_SZ, Utf16(u"line\r\nbreak")},
        {REG_SZ, Utf16(u"\"quoted\" \\ back")},
        {REG_SZ, Utf16(u"Ωmega ✓")},
        {REG_SZ, Utf16(std::u16string(20000, u'w'))},
        {REG_DWORD, Bytes({0xFF, 0xFF, 0xFF, 0xFF})},
        {REG_DWORD, Bytes({1, 2, 3})},  // the wrong size: hex(4)
        {REG_BINARY, {}},
        {REG_BINARY, Bytes({0})},
        {REG_BINARY, longBinary},
        {REG_QWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 8})},
        {0xFFFFFFFF, Bytes({0xAB})},
        {REG_MULTI_SZ, Utf16(std::u16string(u"a\0b\0", 4))},
    };
}

// The sections a writer keeps between writes must give the same document as formatting
// the whole tree, through every kind of change: new, replaced and removed values (the
// first, the last, the only one), the root's own values, keys added and removed, and
// values of every awkward kind.
TEST(RegistryHiveValues, KeptSectionsFormatLikeTheWholeTreeThroughEveryChange) {
    const auto data = BoundaryData();
    const std::u16string names[] = {u"", u"a", u"A\"b\\c", u"Größe", u"v1", u"v2", u"v3",
                                    std::u16string(host::reg::kMaxValueNameChars, u'n')};
    const std::u16string keys[] = {u"", u"Software", u"Software\\Vantorra", u"Software\\Vantorra\\Deep",
                                   u"Other", u"Software\\A"};
    std::mt19937 random(24);
    Key root{std::u16string(host::reg::kRootName)};
    ParseRegText("[HKEY_LOCAL_MACHINE\\Software\\Vantorra]\r\n\"v1\"=dword:00000001\r\n", root);
    for (int step = 0; step < 3000; ++step) {
        const std::u16string& keyPath = keys[random() % std::size(keys)];
        const std::u16string& name = names[random() % std::size(names)];
        Key* key = &root;
        for (const auto& part : host::reg::SplitPath(keyPath)) key = &key->AddSubkey(part);
        switch (random() % 8) {
            case 0:
            case 1:
            case 2: {
                const auto& [type, bytes] = data[random() % data.size()];
                key->SetValue(name, type, bytes);
                break;
            }
            case 3:
            case 4:
                key->RemoveValue(name);
                break;
            case 5:
                if (!key->values.empty()) key->RemoveValue(key->values[random() % key->values.size()].name);
                break;
            case 6:
                if (!keyPath.empty()) {
                    std::vector<std::u16string> parts = host::reg::SplitPath(keyPath);
                    const std::u16string last = parts.back();
                    parts.pop_back();
                    host::reg::FindPath(root, parts)->RemoveSubkey(last);
                }
                break;
            default:
                while (!root.values.empty()) root.RemoveValue(root.values.back().name);
                break;
        }
        if (step % 7 == 0 || step > 2950) {
            const std::string whole = FormatRegText(root, host::reg::kRootName);
            ASSERT_EQ(host::reg::FormatHive(root), whole) << "step " << step;
            // A copy keeps no sections and formats the same.
            Key copy(root);
            ASSERT_EQ(host::reg::FormatHive(copy), whole) << "step " << step;
        }
    }
    // Every kind of value came through the text intact.
    Key again = Parse(host::reg::FormatHive(root));
    EXPECT_EQ(FormatRegText(again, host::reg::kRootName), host::reg::FormatHive(root));
}

// A writer can tell whether a callback left its tree as it was.
TEST(RegistryHiveValues, EveryChangeOfATreeIsCounted) {
    Key root{std::u16string(host::reg::kRootName)};
    const struct {
        const char* label;
        std::function<void(Key&)> change;
        bool counts;
    } cases[] = {
        {"new key", [](Key& k) { k.AddSubkey(u"New"); }, true},
        {"existing key", [](Key& k) { k.AddSubkey(u"NEW"); }, false},
        {"new value", [](Key& k) { k.SetValue(u"v", REG_DWORD, Bytes({1, 0, 0, 0})); }, true},
        {"same value again", [](Key& k) { k.SetValue(u"v", REG_DWORD, Bytes({1, 0, 0, 0})); }, true},
        {"missing value removed", [](Key& k) { k.RemoveValue(u"none"); }, false},
        {"value removed", [](Key& k) { k.RemoveValue(u"V"); }, true},
        {"missing key removed", [](Key& k) { k.RemoveSubkey(u"none"); }, false},
        {"key removed", [](Key& k) { k.RemoveSubkey(u"new"); }, true},
        {"lookups", [](Key& k) { (void)k.FindValue(u"v"); (void)k.FindSubkey(u"new"); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const uint64_t before = host::reg::KeyChangeCount();
        c.change(root);
        EXPECT_EQ(host::reg::KeyChangeCount() != before, c.counts);
    }
}

}  // namespace
