// The handler's pure pieces: option scanning, the 64-bit rewrite of iCloud names and the
// archive-name check.
#include <gtest/gtest.h>

#include "installer/installer.h"

namespace installer {
namespace {

CommandLine Parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "zqprereqhandler");
    return ParseCommandLine(static_cast<int>(arguments.size()), arguments.data());
}

TEST(ParseCommandLineTest, ScansOptionsAsTheAgentPassesThem) {
    using Opt = std::optional<std::string>;
    struct Case {
        std::vector<const char*> arguments;
        Opt product;
        Opt archive;
    };
    const Case cases[] = {
        {{"-n", "itunes", "-p", "a.exe"}, "itunes", "a.exe"},
        {{"-name", "itunes", "-patch", "a.exe"}, "itunes", "a.exe"},    // two characters only
        {{"-p", "-n", "x"}, std::nullopt, "-n"},                        // value consumed unseen
        {{"-n", "a", "-n", "b"}, "b", std::nullopt},                    // last one wins
        {{"-n", "a", "-n"}, std::nullopt, std::nullopt},                // trailing option: no value
        {{"-N", "itunes", "-P", "a.exe"}, std::nullopt, std::nullopt},  // case-sensitive
        {{"n", "itunes", "p", "a.exe"}, std::nullopt, std::nullopt},
        {{"-", "-x", "", "-n", ""}, "", std::nullopt},  // an empty value is a value
        {{"x", "-p", "a b.exe", "-n", "quicktime"}, "quicktime", "a b.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        const CommandLine parsed = Parse(c.arguments);
        EXPECT_EQ(parsed.productName, c.product);
        EXPECT_EQ(parsed.archiveName, c.archive);
    }
}

TEST(RewriteProductNameTest, OnlyICloudNamesBecomeIcloud64AndOnlyOn64BitWindows) {
    struct Case {
        const char* name;
        bool is64;
        const char* expected;
    };
    const Case cases[] = {
        {"icloud", true, "icloud64"},   {"iCloud", true, "icloud64"},
        {"ICLOUD64", true, "icloud64"}, {"myiCloudSetup", true, "icloud64"},
        {"icloud", false, "icloud"},    {"iCloud", false, "iCloud"},
        {"itunes", true, "itunes"},     {"itunes64", false, "itunes64"},
        {"icl", true, "icl"},           {"", true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.is64 ? " 64" : " 32"));
        EXPECT_EQ(RewriteProductName(c.name, c.is64), c.expected);
    }
}

TEST(CheckArchiveNameTest, AcceptsPlainFileNamesOnly) {
    for (const char* good : {"iTunes64Setup.exe", "iTunes Setup.exe", "a", "setup..exe", "..x", "a-b@c.exe"}) {
        EXPECT_EQ(CheckArchiveName(good), "") << good;
    }
    for (const char* bad : {"", ".", "..", "..\\x.exe", "a/b.exe", "C:x.exe", "a\"b", "a|b", "a*",
                            "a?", "a<b", "a>b", "a\tb", "a\nb", "-ssw", "-", "@list.txt", "@"}) {
        EXPECT_NE(CheckArchiveName(bad), "") << bad;
    }
}

}  // namespace
}  // namespace installer
