// Path mapping, command-line splitting, the exit-code file and error texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::MachineRoot;

TEST(MapPath, DrivesSeparatorsAndPlainPaths) {
    MachineRoot root;
    const std::string r = root.path().string();
    struct Case {
        const char* in;
        std::string out;
    } cases[] = {
        {"C:\\Program Files\\Vantorra\\", r + "/drive_c/Program Files/Vantorra/"},
        {"c:/logs/a.log", r + "/drive_c/logs/a.log"},
        {"D:\\x", r + "/drive_d/x"},
        {"z:", r + "/drive_z"},
        {"C:file.txt", r + "/drive_c/file.txt"},
        {"C:\\\\double\\\\sep", r + "/drive_c//double//sep"},
        {"/abs/posix/path", "/abs/posix/path"},
        {"relative\\dir\\f", "relative/dir/f"},
        {"", ""},
        {"1:\\notadrive", "1:/notadrive"},
    };
    for (const auto& c : cases) EXPECT_EQ(host::MapPath(c.in), c.out) << c.in;
}

TEST(MachineRoot, DefaultsAndFollowsTheVariable) {
    const char* old = std::getenv("VANTORRA_MACHINE_ROOT");
    const std::string saved = old ? old : "";
    unsetenv("VANTORRA_MACHINE_ROOT");
    EXPECT_EQ(host::MachineRoot(), "/var/lib/vantorra/machine");
    setenv("VANTORRA_MACHINE_ROOT", "/tmp/some/root/", 1);
    EXPECT_EQ(host::MachineRoot(), "/tmp/some/root");
    if (old) setenv("VANTORRA_MACHINE_ROOT", saved.c_str(), 1);
    else unsetenv("VANTORRA_MACHINE_ROOT");
}

TEST(MappedCrt, FunctionsWorkOnDrivePaths) {
    MachineRoot root;
    std::filesystem::create_directories(root.drivePath('c'));
    EXPECT_EQ(host::MappedMkdir("C:\\data"), 0);
    EXPECT_NE(host::MappedMkdir("C:\\data"), 0);
    std::FILE* f = host::MappedFopen("C:\\data\\a.txt", "w");
    ASSERT_NE(f, nullptr);
    std::fputs("hello", f);
    std::fclose(f);
    EXPECT_EQ(testsupport::ReadFile(root.drivePath('c', "data/a.txt")), "hello");
    EXPECT_EQ(host::MappedRename("C:\\data\\a.txt", "c:/data/b.txt"), 0);
    EXPECT_EQ(host::MappedRemove("C:\\data\\b.txt"), 0);
    EXPECT_NE(host::MappedRemove("C:\\data\\b.txt"), 0);
    EXPECT_EQ(host::MappedFopen(nullptr, "r"), nullptr);
}

TEST(SplitCommandLine, WindowsRules) {
    using V = std::vector<std::string>;
    struct Case {
        const char* line;
        V args;
    } cases[] = {
        {"", V{}},
        {"   ", V{}},
        {"prog", V{"prog"}},
        {"  prog  a   b ", V{"prog", "a", "b"}},
        {"\"C:\\Program Files\\x.exe\" /q", V{"C:\\Program Files\\x.exe", "/q"}},
        {"C:\\dir\\p.exe a\\\\b", V{"C:\\dir\\p.exe", "a\\\\b"}},  // backslashes not before a quote
        {"p \"a b\" c", V{"p", "a b", "c"}},
        {"p \"\" x", V{"p", "", "x"}},                               // empty argument
        {"p a\\\"b", V{"p", "a\"b"}},                                // \" is a literal quote
        {"p a\\\\\"b c\"", V{"p", "a\\b c"}},                        // \\" is a backslash, then grouping
        {"p a\\\\\\\"b", V{"p", "a\\\"b"}},                          // \\\" is backslash + quote
        {"p \"a\"\"b\"", V{"p", "a\"b"}},                            // "" inside quotes
        {"p \"unterminated arg", V{"p", "unterminated arg"}},
        {"p\ta\tb", V{"p", "a", "b"}},
        {"\"C:\\dir\\\" rest", V{"C:\\dir\\", "rest"}},             // program token: backslash is plain
        {"msiexec.exe /i \"C:\\a b\\x.msi\" /qn", V{"msiexec.exe", "/i", "C:\\a b\\x.msi", "/qn"}},
    };
    for (const auto& c : cases) EXPECT_EQ(host::SplitCommandLine(c.line), c.args) << c.line;
}

TEST(ExitStatus, WritesTheFullCodeAndReturnsTheLowByte) {
    testsupport::TempDir dir;
    const std::string file = dir.str() + "/code";
    setenv("VANTORRA_EXIT_CODE_FILE", file.c_str(), 1);
    EXPECT_EQ(host::ExitStatus(3010), 3010 % 256);
    EXPECT_EQ(testsupport::ReadFile(file), "3010");
    EXPECT_EQ(host::ExitStatus(0xFFFFFFFF), 255);
    EXPECT_EQ(testsupport::ReadFile(file), "4294967295");
    unsetenv("VANTORRA_EXIT_CODE_FILE");
    EXPECT_EQ(host::ExitStatus(1641), 1641 % 256);
}

TEST(LastError, IsPerThread) {
    SetLastError(1234);
    DWORD other = 99;
    std::thread([&] { other = GetLastError(); SetLastError(5); }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(FormatMessage, KnownUnknownAndSmallBuffers) {
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    char text[512];
    for (DWORD code : {ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION,
                       ERROR_SERVICE_DOES_NOT_EXIST, ERROR_SERVICE_NOT_ACTIVE, WAIT_TIMEOUT,
                       ERROR_SUCCESS_REBOOT_REQUIRED, ERROR_SUCCESS_REBOOT_INITIATED, ERROR_NO_MORE_FILES,
                       ERROR_ALREADY_EXISTS, ERROR_MORE_DATA, ERROR_INSUFFICIENT_BUFFER}) {
        const DWORD n = FormatMessageA(flags, nullptr, code, 0, text, sizeof text, nullptr);
        ASSERT_GT(n, 0u) << code;
        EXPECT_EQ(std::strlen(text), n);
        EXPECT_EQ(std::string(text).find_first_of("\r\n"), std::string::npos) << code;
    }
    // Codes with no system text: the program's own table must take over.
    for (DWORD code : {1508u, 17025u, 17032u, 20001u, 2359302u, 0xDEADBEEFu}) {
        SetLastError(0);
        EXPECT_EQ(FormatMessageA(flags, nullptr, code, 0, text, sizeof text, nullptr), 0u) << code;
        EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
    }
    char tiny[4];
    EXPECT_EQ(FormatMessageA(flags, nullptr, ERROR_FILE_NOT_FOUND, 0, tiny, sizeof tiny, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(FormatMessageA(flags, nullptr, 2, 0, nullptr, 100, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    WCHAR wide[512];
    const DWORD n = FormatMessageW(flags, nullptr, ERROR_FILE_NOT_FOUND, 0, wide, 512, nullptr);
    ASSERT_GT(n, 0u);
    FormatMessageA(flags, nullptr, ERROR_FILE_NOT_FOUND, 0, text, sizeof text, nullptr);
    char narrow[512];
    const int m = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), narrow, sizeof narrow, nullptr, nullptr);
    EXPECT_EQ(std::string(narrow, m), text);
}

}  // namespace
