// The reg program end to end: the built binary run on a private machine root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "platform/src/internal.h"
#include "platform/src/registry_hive.h"
#include "platform/win/errors.h"
#include "platform/win/registry.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::MachineRoot;

using Result = testsupport::ProgramResult;

Result RunReg(const std::vector<std::string>& args, const MachineRoot& root) {
    return testsupport::RunProgram("reg", args, root.path());
}

std::filesystem::path HiveFile(const MachineRoot& root) {
    return root.path() / "registry" / "HKLM.reg";
}

constexpr const char* kOk = "The operation completed successfully.\n";

std::vector<BYTE> ReadValue(const char* key, const char* name, DWORD* type) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return {};
    std::vector<BYTE> data(256);
    DWORD size = static_cast<DWORD>(data.size());
    LSTATUS rc = RegQueryValueExW(handle, host::Utf8ToUtf16(name).c_str(), nullptr, type,
                                  data.data(), &size);
    RegCloseKey(handle);
    if (rc != ERROR_SUCCESS) return {};
    data.resize(size);
    return data;
}

std::vector<BYTE> Wide(WideStringView text) {
    std::vector<BYTE> out(reinterpret_cast<const BYTE*>(text.data()),
                          reinterpret_cast<const BYTE*>(text.data() + text.size()));
    return out;
}

struct AddCase {
    std::vector<std::string> typeAndData;  // the arguments after /v NAME
    DWORD type;
    std::vector<BYTE> stored;
    std::string shown;  // the query line after the name
};

TEST(RegTool, AddStoresEveryTypeAndQueryShowsIt) {
    MachineRoot root;
    const std::vector<AddCase> cases = {
        {{"/d", "C:\\Program Files\\Vantorra\\"}, REG_SZ,
         Wide(WideStringView(u"C:\\Program Files\\Vantorra\\", 27)),
         "REG_SZ    C:\\Program Files\\Vantorra\\"},
        {{}, REG_SZ, Wide(WideStringView(u"", 1)), "REG_SZ    "},
        {{"/t", "reg_expand_sz", "/d", "%TEMP%\\x"}, REG_EXPAND_SZ,
         Wide(WideStringView(u"%TEMP%\\x", 9)), "REG_EXPAND_SZ    %TEMP%\\x"},
        {{"/t", "REG_MULTI_SZ", "/d", "one\\0zwei\\0drei"}, REG_MULTI_SZ,
         Wide(WideStringView(u"one\0zwei\0drei\0", 15)), "REG_MULTI_SZ    one\\0zwei\\0drei"},
        {{"/t", "REG_MULTI_SZ", "/s", "#", "/d", "a#b"}, REG_MULTI_SZ,
         Wide(WideStringView(u"a\0b\0", 5)), "REG_MULTI_SZ    a\\0b"},
        {{"/t", "REG_DWORD", "/d", "4"}, REG_DWORD, {4, 0, 0, 0}, "REG_DWORD    0x4"},
        {{"/t", "REG_DWORD", "/d", "0xFFFFFFFF"}, REG_DWORD, {255, 255, 255, 255},
         "REG_DWORD    0xffffffff"},
        {{"/t", "REG_DWORD", "/d", "4294967295"}, REG_DWORD, {255, 255, 255, 255},
         "REG_DWORD    0xffffffff"},
        {{"/t", "REG_QWORD", "/d", "0x0102030405060708"}, REG_QWORD, {8, 7, 6, 5, 4, 3, 2, 1},
         "REG_QWORD    0x102030405060708"},
        {{"/t", "REG_BINARY", "/d", "00ff7A"}, REG_BINARY, {0, 255, 0x7a}, "REG_BINARY    00FF7A"},
        {{"/t", "REG_BINARY"}, REG_BINARY, {}, "REG_BINARY    "},
        {{"/t", "REG_NONE"}, REG_NONE, {}, "REG_NONE    "},
        {{"/d", "Grüße \"quoted\""}, REG_SZ, Wide(WideStringView(u"Grüße \"quoted\"", 15)),
         "REG_SZ    Grüße \"quoted\""},
    };
    int serial = 0;
    for (const auto& c : cases) {
        const std::string name = "Value" + std::to_string(serial++);
        SCOPED_TRACE(name);
        std::vector<std::string> args{"add", "HKLM\\Software\\Tool", "/v", name};
        args.insert(args.end(), c.typeAndData.begin(), c.typeAndData.end());
        args.push_back("/f");
        Result added = RunReg(args, root);
        EXPECT_EQ(added.code, 0) << added.err;
        EXPECT_EQ(added.out, kOk);
        DWORD type = 0xFFFF;
        EXPECT_EQ(ReadValue("Software\\Tool", name.c_str(), &type), c.stored);
        EXPECT_EQ(type, c.type);
        Result query = RunReg({"query", "HKEY_LOCAL_MACHINE\\software\\tool", "/v", name}, root);
        EXPECT_EQ(query.code, 0) << query.err;
        EXPECT_EQ(query.out, "\nHKEY_LOCAL_MACHINE\\Software\\Tool\n    " + name + "    " + c.shown +
                                 "\n\n");
    }
    // Adding again replaces without asking, with or without /f.
    Result again = RunReg({"add", "HKLM\\Software\\Tool", "/v", "Value0", "/d", "new"}, root);
    EXPECT_EQ(again.code, 0);
    DWORD type = 0;
    EXPECT_EQ(ReadValue("Software\\Tool", "value0", &type), Wide(WideStringView(u"new", 4)));
}

TEST(RegTool, QueryListsValuesSubkeysAndDefault) {
    MachineRoot root;
    ASSERT_EQ(RunReg({"add", "HKLM\\Software\\Q\\Sub2"}, root).code, 0);
    ASSERT_EQ(RunReg({"add", "HKLM\\Software\\Q\\sub1", "/v", "n", "/t", "REG_DWORD", "/d", "16"}, root).code, 0);
    ASSERT_EQ(RunReg({"add", "HKLM\\Software\\Q", "/ve", "/d", "dflt"}, root).code, 0);
    ASSERT_EQ(RunReg({"add", "HKLM\\Software\\Q", "/v", "Name", "/d", "x"}, root).code, 0);

    Result plain = RunReg({"query", "HKLM\\Software\\Q"}, root);
    EXPECT_EQ(plain.code, 0);
    EXPECT_EQ(plain.out,
              "\nHKEY_LOCAL_MACHINE\\Software\\Q\n"
              "    (Default)    REG_SZ    dflt\n"
              "    Name    REG_SZ    x\n\n"
              "HKEY_LOCAL_MACHINE\\Software\\Q\\sub1\n"
              "HKEY_LOCAL_MACHINE\\Software\\Q\\Sub2\n");

    Result recursive = RunReg({"query", "HKLM\\Software\\Q\\", "/s"}, root);
    EXPECT_EQ(recursive.code, 0);
    EXPECT_EQ(recursive.out,
              "\nHKEY_LOCAL_MACHINE\\Software\\Q\n"
              "    (Default)    REG_SZ    dflt\n"
              "    Name    REG_SZ    x\n\n"
              "HKEY_LOCAL_MACHINE\\Software\\Q\\sub1\n"
              "    n    REG_DWORD    0x10\n\n"
              "HKEY_LOCAL_MACHINE\\Software\\Q\\Sub2\n\n");

    Result defaultOnly = RunReg({"query", "HKLM\\Software\\Q", "/ve"}, root);
    EXPECT_EQ(defaultOnly.out, "\nHKEY_LOCAL_MACHINE\\Software\\Q\n    (Default)    REG_SZ    dflt\n\n");

    Result search = RunReg({"query", "HKLM\\Software", "/v", "N", "/s"}, root);
    EXPECT_EQ(search.code, 0);
    EXPECT_EQ(search.out,
              "\nHKEY_LOCAL_MACHINE\\Software\\Q\\sub1\n    n    REG_DWORD    0x10\n\n"
              "End of search: 1 match(es) found.\n");

    for (const auto& args : std::vector<std::vector<std::string>>{
             {"query", "HKLM\\Software\\Missing"},
             {"query", "HKLM\\Software\\Q", "/v", "Missing"},
             {"query", "HKLM\\Software\\Q\\Sub2", "/ve"}}) {
        Result missing = RunReg(args, root);
        EXPECT_EQ(missing.code, 1);
        EXPECT_EQ(missing.out, "");
        EXPECT_EQ(missing.err,
                  "ERROR: The system was unable to find the specified registry key or value.\n");
    }
}

TEST(RegTool, DeleteValuesAndKeys) {
    MachineRoot root;
    for (const char* v : {"a", "b"})
        ASSERT_EQ(RunReg({"add", "HKLM\\Software\\D", "/v", v, "/d", "1"}, root).code, 0);
    ASSERT_EQ(RunReg({"add", "HKLM\\Software\\D", "/ve", "/d", "1"}, root).code, 0);
    ASSERT_EQ(RunReg({"add", "HKLM\\Software\\D\\Child\\Grandchild"}, root).code, 0);

    EXPECT_EQ(RunReg({"delete", "HKLM\\Software\\D", "/v", "A", "/f"}, root).out, kOk);
    DWORD type;
    EXPECT_TRUE(ReadValue("Software\\D", "a", &type).empty());
    EXPECT_FALSE(ReadValue("Software\\D", "b", &type).empty());
    EXPECT_EQ(RunReg({"delete", "HKLM\\Software\\D", "/ve"}, root).code, 0);
    EXPECT_TRUE(ReadValue("Software\\D", "", &type).empty());
    EXPECT_EQ(RunReg({"delete", "HKLM\\Software\\D", "/v", "a"}, root).code, 1);
    EXPECT_EQ(RunReg({"delete", "HKLM\\Software\\D", "/va"}, root).code, 0);
    EXPECT_TRUE(ReadValue("Software\\D", "b", &type).empty());
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\D\\Child", 0, KEY_READ, &key),
              ERROR_SUCCESS);  // /va keeps the subkeys
    RegCloseKey(key);
    // Without a value switch the whole tree goes, subkeys included.
    EXPECT_EQ(RunReg({"delete", "HKLM\\Software\\D"}, root).code, 0);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\D", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RunReg({"delete", "HKLM\\Software\\D"}, root).code, 1);
}

TEST(RegTool, ExportAndImportRoundTripTheHive) {
    MachineRoot root;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Halcyra\\Vantorra\\ZQAgent", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    std::vector<BYTE> binary(200);
    for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<BYTE>(i);
    const DWORD level = 4;
    const ULONGLONG big = 0x1122334455667788ULL;
    const WideString text = u"C:\\Program Files\\\"Vantorra\"\\Ünïcode\r\nline";
    const WideString multi(u"a\0b\0\0", 5);
    ASSERT_EQ(RegSetValueExA(key, "Bin", 0, REG_BINARY, binary.data(), 200), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "Level", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level), 4),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "Big", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&big), 8),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * 2)),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"Multi", 0, REG_MULTI_SZ,
                             reinterpret_cast<const BYTE*>(multi.data()), 10),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>("d"), 2),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RunReg({"add", "HKLM\\Software\\Other", "/v", "keep", "/d", "1"}, root).code, 0);
    const std::string before = testsupport::ReadFile(HiveFile(root));

    const std::string exported = (root.path() / "agent.reg").string();
    Result exportResult = RunReg({"export", "HKLM\\SOFTWARE\\Halcyra", exported, "/y"}, root);
    ASSERT_EQ(exportResult.code, 0) << exportResult.err;
    const std::string file = testsupport::ReadFile(exported);
    EXPECT_EQ(file.rfind("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Halcyra]\r\n", 0), 0u);
    EXPECT_EQ(file.find("Other"), std::string::npos);

    ASSERT_EQ(RunReg({"delete", "HKLM\\Software\\Halcyra", "/f"}, root).code, 0);
    ASSERT_NE(testsupport::ReadFile(HiveFile(root)), before);
    Result importResult = RunReg({"import", exported}, root);
    ASSERT_EQ(importResult.code, 0) << importResult.err;
    EXPECT_EQ(importResult.out, kOk);
    EXPECT_EQ(importResult.err, "");
    EXPECT_EQ(testsupport::ReadFile(HiveFile(root)), before);

    // Exporting again over the same file, without /y, does not ask.
    EXPECT_EQ(RunReg({"export", "HKLM\\Software\\Halcyra", exported}, root).code, 0);
    EXPECT_EQ(testsupport::ReadFile(exported), file);
    // A drive path goes to the drive folder of the machine root.
    EXPECT_EQ(RunReg({"export", "HKLM", "C:\\backup\\all.reg"}, root).code, 1);  // no folder yet
    std::filesystem::create_directories(root.drivePath('C', "backup"));
    EXPECT_EQ(RunReg({"export", "HKLM", "C:\\backup\\all.reg"}, root).code, 0);
    EXPECT_EQ(testsupport::ReadFile(root.drivePath('C', "backup/all.reg")), before);
}

TEST(RegTool, ImportAcceptsRegeditFilesWithDeletions) {
    MachineRoot root;
    ASSERT_EQ(RunReg({"add", "HKLM\\Software\\Old\\Deep"}, root).code, 0);
    ASSERT_EQ(RunReg({"add", "HKLM\\Software\\Keep", "/v", "gone", "/d", "x"}, root).code, 0);
    ASSERT_EQ(RunReg({"add", "HKLM\\Software\\Keep", "/v", "stays", "/d", "y"}, root).code, 0);
    // As regedit writes it: UTF-16LE with a byte-order mark and CR LF.
    const std::string doc =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[-HKEY_LOCAL_MACHINE\\Software\\Old]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Keep]\r\n\"gone\"=-\r\n\"new\"=dword:0000002a\r\n"
        "[HKEY_CURRENT_USER\\Software\\Elsewhere]\r\n\"x\"=\"y\"\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : doc) utf16 += {c, '\0'};
    testsupport::WriteFile(root.path() / "in.reg", utf16);
    Result result = RunReg({"import", (root.path() / "in.reg").string()}, root);
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.out, kOk);
    EXPECT_NE(result.err.find("WARNING: line 8"), std::string::npos) << result.err;
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Old", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    DWORD type = 0;
    EXPECT_TRUE(ReadValue("Software\\Keep", "gone", &type).empty());
    EXPECT_FALSE(ReadValue("Software\\Keep", "stays", &type).empty());
    EXPECT_EQ(ReadValue("Software\\Keep", "new", &type), (std::vector<BYTE>{42, 0, 0, 0}));
}

std::string KeyLevels(size_t count) {
    std::string path = "HKEY_LOCAL_MACHINE";
    for (size_t i = 0; i < count; ++i) path += "\\a";
    return path;
}

TEST(RegTool, KeysDeeperThan512LevelsAreRefused) {
    MachineRoot root;
    EXPECT_EQ(RunReg({"add", KeyLevels(512)}, root).code, 0);
    Result deeper = RunReg({"add", KeyLevels(513)}, root);
    EXPECT_EQ(deeper.code, 1);
    EXPECT_NE(deeper.err.find("at most 512 levels deep"), std::string::npos) << deeper.err;

    testsupport::WriteFile(root.path() / "deep.reg", "Windows Registry Editor Version 5.00\r\n\r\n[" +
                                                         KeyLevels(100000) + "]\r\n\"v\"=\"x\"\r\n\r\n"
                                                         "[HKEY_LOCAL_MACHINE\\Software\\Kept]\r\n\"v\"=\"y\"\r\n");
    Result imported = RunReg({"import", (root.path() / "deep.reg").string()}, root);
    EXPECT_EQ(imported.code, 0);
    EXPECT_NE(imported.err.find("WARNING: line 3 of the file was skipped: key deeper than 512 levels"),
              std::string::npos)
        << imported.err;
    DWORD type = 0;
    EXPECT_FALSE(ReadValue("Software\\Kept", "v", &type).empty());
    EXPECT_EQ(RunReg({"query", "HKLM\\a"}, root).code, 0);  // the 512 levels made by add
}

TEST(RegTool, BadCommandLinesFailClearlyAndLeaveTheHiveAlone) {
    MachineRoot root;
    ASSERT_EQ(RunReg({"add", "HKLM\\Software\\Safe", "/v", "v", "/d", "1"}, root).code, 0);
    testsupport::WriteFile(root.path() / "not.reg", "hello\n[HKEY_LOCAL_MACHINE\\Software\\Safe]\n");
    const std::string before = testsupport::ReadFile(HiveFile(root));
    const std::string notReg = (root.path() / "not.reg").string();
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate", "HKLM\\Software"},
        {"query"},
        {"query", "HKLM\\A", "HKLM\\B"},
        {"query", "HKCU\\Software"},
        {"query", "\\\\server\\HKLM\\Software"},
        {"query", "Software\\Safe"},
        {"query", "HKLM\\Software\\Safe", "/v"},
        {"query", "HKLM\\Software\\Safe", "/v", "v", "/ve"},
        {"query", "HKLM\\Software\\Safe", "/x"},
        {"add", "HKLM\\Software\\Safe", "/v", "v", "/f", "/f"},
        {"add", "HKLM\\Software\\Safe", "/v", "v", "/t", "REG_DWORD", "/d", "abc"},
        {"add", "HKLM\\Software\\Safe", "/v", "v", "/t", "REG_DWORD", "/d", "-1"},
        {"add", "HKLM\\Software\\Safe", "/v", "v", "/t", "REG_DWORD", "/d", "4294967296"},
        {"add", "HKLM\\Software\\Safe", "/v", "v", "/t", "REG_DWORD", "/d", "0x"},
        {"add", "HKLM\\Software\\Safe", "/v", "v", "/t", "REG_QWORD", "/d", "18446744073709551616"},
        {"add", "HKLM\\Software\\Safe", "/v", "v", "/t", "REG_BINARY", "/d", "abc"},
        {"add", "HKLM\\Software\\Safe", "/v", "v", "/t", "REG_BINARY", "/d", "zz"},
        {"add", "HKLM\\Software\\Safe", "/v", "v", "/t", "REG_STRING", "/d", "x"},
        {"add", "HKLM\\Software\\Safe", "/v", "v", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"},
        {"add", "HKLM\\Software\\Safe", "/v", "v", "/t", "REG_MULTI_SZ", "/s", "##", "/d", "a"},
        {"add", "HKLM\\Software\\Safe", "/v", "v", "/s", "#", "/d", "a"},
        {"add", "HKLM\\Software\\Safe", "/v", "two\nlines", "/d", "a"},
        {"add", "HKLM\\Software\\" + std::string(300, 'k')},
        {"delete", "HKLM"},
        {"delete", "HKLM\\Software\\Safe", "/v", "missing"},
        {"delete", "HKLM\\Software\\Safe", "/v", "v", "/va"},
        {"import"},
        {"import", (root.path() / "missing.reg").string()},
        {"import", notReg},
        {"import", root.path().string()},
        {"export", "HKLM\\Software\\Missing", (root.path() / "x.reg").string()},
        {"export", "HKLM\\Software\\Safe"},
        {"export", "HKLM\\Software\\Safe", "/nonexistent/folder/x.reg"},
    };
    for (const auto& args : cases) {
        std::string line;
        for (const auto& arg : args) line += "[" + arg + "] ";
        SCOPED_TRACE(line);
        Result result = RunReg(args, root);
        EXPECT_EQ(result.code, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind("ERROR: ", 0), 0u) << result.err;
        EXPECT_EQ(testsupport::ReadFile(HiveFile(root)), before);
    }
    EXPECT_FALSE(std::filesystem::exists(root.path() / "x.reg"));

    Result help = RunReg({"add", "/?"}, root);
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out.rfind("REG ADD KeyName", 0), 0u);
}

TEST(RegTool, ParallelRunsLoseNoValue) {
    MachineRoot root;
    constexpr int kRuns = 4;
    constexpr int kValues = 8;
    std::vector<pid_t> children;
    for (int r = 0; r < kRuns; ++r) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int v = 0; v < kValues; ++v) {
                std::string name = "r" + std::to_string(r) + "v" + std::to_string(v);
                failures += RunReg({"add", "HKLM\\Software\\Par", "/v", name, "/d", name}, root).code != 0;
            }
            _exit(failures);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto hive = host::reg::ReadHive();
    ASSERT_NE(hive, nullptr);
    const host::reg::Key* key =
        host::reg::FindPath(*hive, {u"Software", u"Par"});
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->values.size(), static_cast<size_t>(kRuns * kValues));
}

TEST(RegTool, FailureIsWrittenToTheExitCodeFile) {
    MachineRoot root;
    const std::string codeFile = (root.path() / "exit.txt").string();
    setenv("VANTORRA_EXIT_CODE_FILE", codeFile.c_str(), 1);
    Result result = RunReg({"query", "HKLM\\Nothing"}, root);
    unsetenv("VANTORRA_EXIT_CODE_FILE");
    EXPECT_EQ(result.code, 1);
    std::string written = testsupport::ReadFile(codeFile);
    EXPECT_EQ(written.substr(0, 1), "1");
}

}  // namespace
