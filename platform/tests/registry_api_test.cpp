// The Reg* functions against a private machine root: result codes, sizes, access
// rights, deleted keys, stale handles and the hive file they leave behind.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <string>

#include "platform/win/errors.h"
#include "platform/win/registry.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::MachineRoot;

std::filesystem::path Hive(const MachineRoot& root) { return root.path() / "registry" / "HKLM.reg"; }

// Closes a key at the end of a scope.
struct KeyHolder {
    HKEY key = nullptr;
    ~KeyHolder() {
        if (key) RegCloseKey(key);
    }
};

HKEY Create(const char* path, REGSAM access = KEY_ALL_ACCESS, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    LSTATUS rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 access, nullptr, &key, disposition);
    EXPECT_EQ(rc, ERROR_SUCCESS) << path;
    return key;
}

LSTATUS SetDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
}

LSTATUS SetText(HKEY key, const char* name, const std::string& text, DWORD type = REG_SZ) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

TEST(RegistryApi, CreateReportsDispositionAndMakesIntermediateKeys) {
    MachineRoot root;
    DWORD disposition = 0;
    KeyHolder deep{Create("Software\\Halcyra\\Vantorra\\ZQAgent", KEY_ALL_ACCESS, &disposition)};
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    KeyHolder again{Create("SOFTWARE\\halcyra\\VANTORRA\\zqagent", KEY_READ, &disposition)};
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    KeyHolder middle;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\HALCYRA", 0, KEY_READ, &middle.key),
              ERROR_SUCCESS);
    char name[64];
    DWORD chars = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(middle.key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "Vantorra");  // the spelling it was created with
    EXPECT_EQ(chars, 8u);

    // Creating below an opened key, with a trailing separator.
    KeyHolder child;
    ASSERT_EQ(RegCreateKeyExA(deep.key, "ServerInfo\\", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &child.key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_NE(testsupport::ReadFile(Hive(root))
                  .find("[HKEY_LOCAL_MACHINE\\Software\\Halcyra\\Vantorra\\ZQAgent\\ServerInfo]"),
              std::string::npos);
}

TEST(RegistryApi, QuerySizesFollowTheWindowsRules) {
    MachineRoot root;
    KeyHolder key{Create("Software\\Q")};
    ASSERT_EQ(SetText(key.key, "Text", "Grüße"), ERROR_SUCCESS);  // 7 UTF-8 bytes
    ASSERT_EQ(SetDword(key.key, "Num", 0x01020304), ERROR_SUCCESS);

    DWORD type = 0;
    DWORD size = 0;
    // Null data asks for the size: UTF-8 bytes with terminator in the A form,
    // UTF-16 bytes in the W form.
    ASSERT_EQ(RegQueryValueExA(key.key, "Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 8u);
    ASSERT_EQ(RegQueryValueExW(key.key, u"text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 12u);

    char small[4] = {'x', 'x', 'x', 'x'};
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key.key, "Text", nullptr, nullptr, reinterpret_cast<BYTE*>(small),
                               &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    char exact[8];
    size = 8;
    ASSERT_EQ(RegQueryValueExA(key.key, "TEXT", nullptr, nullptr, reinterpret_cast<BYTE*>(exact),
                               &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(exact, "Grüße");

    char16_t wide[6];
    size = sizeof wide;
    ASSERT_EQ(RegQueryValueExW(key.key, u"Text", nullptr, nullptr, reinterpret_cast<BYTE*>(wide),
                               &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(wide), u"Grüße");

    DWORD number = 0;
    size = 4;
    ASSERT_EQ(RegQueryValueExA(key.key, "num", nullptr, &type, reinterpret_cast<BYTE*>(&number),
                               &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(number, 0x01020304u);
    // A binary value is not converted by the A form.
    BYTE raw[3] = {0, 0xff, 0x80};
    ASSERT_EQ(RegSetValueExA(key.key, "Raw", 0, REG_BINARY, raw, 3), ERROR_SUCCESS);
    BYTE back[8];
    size = sizeof back;
    ASSERT_EQ(RegQueryValueExA(key.key, "Raw", nullptr, &type, back, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(std::memcmp(back, raw, 3), 0);

    EXPECT_EQ(RegQueryValueExA(key.key, "Missing", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key.key, "Num", nullptr, nullptr, back, nullptr),
              ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(key.key, "Num", &reserved, nullptr, nullptr, &size),
              ERROR_INVALID_PARAMETER);
}

TEST(RegistryApi, StringTypesConvertBetweenTheForms) {
    MachineRoot root;
    KeyHolder key{Create("Software\\Conv")};
    // MULTI_SZ through the A form: each string and the closing terminator.
    const char multi[] = "one\0zwölf\0";  // plus the literal's own terminator
    ASSERT_EQ(RegSetValueExA(key.key, "Multi", 0, REG_MULTI_SZ,
                             reinterpret_cast<const BYTE*>(multi), sizeof multi),
              ERROR_SUCCESS);
    std::vector<BYTE> wide(64);
    DWORD size = static_cast<DWORD>(wide.size());
    ASSERT_EQ(RegQueryValueExW(key.key, u"Multi", nullptr, nullptr, wide.data(), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 2u * 11);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(wide.data()), 11),
              std::u16string(u"one\0zwölf\0\0", 11));

    // Written wide, read narrow; the empty default value is the unnamed one.
    const std::u16string text = u"C:\\Programme\\Ä";
    ASSERT_EQ(RegSetValueExW(key.key, nullptr, 0, REG_EXPAND_SZ,
                             reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * 2)),
              ERROR_SUCCESS);
    char narrow[32];
    size = sizeof narrow;
    DWORD type = 0;
    ASSERT_EQ(RegQueryValueExA(key.key, "", nullptr, &type, reinterpret_cast<BYTE*>(narrow), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_STREQ(narrow, "C:\\Programme\\Ä");
    EXPECT_EQ(size, std::strlen(narrow) + 1);

    // Text stored without a terminator reads back without one in the A form, as on
    // Windows, so a caller that checks the last byte can refuse it.
    ASSERT_EQ(RegSetValueExA(key.key, "NoNul", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3),
              ERROR_SUCCESS);
    std::memset(narrow, 'x', sizeof narrow);
    size = 0;
    ASSERT_EQ(RegQueryValueExA(key.key, "NoNul", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 3u);
    size = sizeof narrow;
    ASSERT_EQ(RegQueryValueExA(key.key, "NoNul", nullptr, nullptr, reinterpret_cast<BYTE*>(narrow),
                               &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(std::string(narrow, 4), "abcx");
    // The W form sees the stored UTF-16, likewise without a terminator.
    size = 0;
    ASSERT_EQ(RegQueryValueExW(key.key, u"NoNul", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
}

TEST(RegistryApi, ValueNamesKeepTheirCaseWhenOverwritten) {
    MachineRoot root;
    KeyHolder key{Create("Software\\Case")};
    ASSERT_EQ(SetDword(key.key, "ZQAgentLogLevel", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key.key, "zqagentloglevel", 4), ERROR_SUCCESS);
    char name[32];
    DWORD chars = sizeof name;
    DWORD value = 0;
    DWORD size = 4;
    ASSERT_EQ(RegEnumValueA(key.key, 0, name, &chars, nullptr, nullptr,
                            reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "ZQAgentLogLevel");
    EXPECT_EQ(value, 4u);
    chars = sizeof name;
    EXPECT_EQ(RegEnumValueA(key.key, 1, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_NE(testsupport::ReadFile(Hive(root)).find("\"ZQAgentLogLevel\"=dword:00000004\r\n"),
              std::string::npos);
}

TEST(RegistryApi, DeleteValueAndKey) {
    MachineRoot root;
    KeyHolder parent{Create("Software\\Del")};
    KeyHolder child{Create("Software\\Del\\Child")};
    ASSERT_EQ(SetText(parent.key, "v", "x"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(parent.key, "V"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(parent.key, "v"), ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Del"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Del\\Nope"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyA(parent.key, "child"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Del"), ERROR_SUCCESS);
    HKEY gone = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Del", 0, KEY_READ, &gone),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(gone, nullptr);
}

TEST(RegistryApi, HandlesOfADeletedKeyAnswerKeyDeleted) {
    MachineRoot root;
    KeyHolder a{Create("Software\\Gone")};
    KeyHolder b{Create("Software\\Gone", KEY_READ)};
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Gone"), ERROR_SUCCESS);
    // The same name created again is a new key; the old handles stay dead.
    KeyHolder fresh{Create("Software\\Gone")};
    DWORD size = 0;
    HKEY sub = nullptr;
    char name[8];
    DWORD chars = sizeof name;
    for (HKEY stale : {a.key, b.key}) {
        EXPECT_EQ(RegQueryValueExA(stale, "x", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
        EXPECT_EQ(RegEnumKeyExA(stale, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
                  ERROR_KEY_DELETED);
        EXPECT_EQ(RegOpenKeyExA(stale, "", 0, KEY_READ, &sub), ERROR_KEY_DELETED);
    }
    EXPECT_EQ(SetDword(a.key, "x", 1), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExA(a.key, "sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(SetDword(fresh.key, "x", 1), ERROR_SUCCESS);
    // Closing a deleted key still works.
    EXPECT_EQ(RegCloseKey(a.key), ERROR_SUCCESS);
    a.key = nullptr;
}

TEST(RegistryApi, KeyRemovedFromTheFileByAnotherWriterIsDeletedForOpenHandles) {
    MachineRoot root;
    KeyHolder key{Create("Software\\Elsewhere")};
    ASSERT_EQ(SetDword(key.key, "x", 1), ERROR_SUCCESS);
    testsupport::WriteFile(Hive(root),
                           "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n");
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key.key, "x", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(SetDword(key.key, "x", 2), ERROR_KEY_DELETED);
}

TEST(RegistryApi, AccessRightsAreChecked) {
    MachineRoot root;
    KeyHolder full{Create("Software\\Acl")};
    ASSERT_EQ(SetDword(full.key, "v", 1), ERROR_SUCCESS);
    struct Case {
        REGSAM access;
        bool canQuery, canSet, canEnum, canCreate;
    };
    const Case cases[] = {
        {KEY_QUERY_VALUE, true, false, false, false},
        {KEY_SET_VALUE, false, true, false, false},
        {KEY_ENUMERATE_SUB_KEYS, false, false, true, false},
        {KEY_CREATE_SUB_KEY, false, false, false, true},
        {KEY_READ | KEY_WOW64_32KEY, true, false, true, false},
        {KEY_WRITE, false, true, false, true},
        {KEY_READ | KEY_WRITE, true, true, true, true},
        {0, false, false, false, false},
    };
    int serial = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.access);
        KeyHolder key;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Acl", 0, c.access, &key.key),
                  ERROR_SUCCESS);
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExA(key.key, "v", nullptr, nullptr, nullptr, &size),
                  c.canQuery ? ERROR_SUCCESS : ERROR_ACCESS_DENIED);
        EXPECT_EQ(SetDword(key.key, "v", 2), c.canSet ? ERROR_SUCCESS : ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegDeleteValueA(key.key, "nothing"),
                  c.canSet ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        char name[16];
        DWORD chars = sizeof name;
        EXPECT_EQ(RegEnumKeyExA(key.key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
                  c.canEnum ? ERROR_NO_MORE_ITEMS : ERROR_ACCESS_DENIED);
        std::string sub = "new" + std::to_string(serial++);
        KeyHolder created;
        EXPECT_EQ(RegCreateKeyExA(key.key, sub.c_str(), 0, nullptr, 0, KEY_READ, nullptr,
                                  &created.key, nullptr),
                  c.canCreate ? ERROR_SUCCESS : ERROR_ACCESS_DENIED);
        if (c.canCreate) {
            EXPECT_EQ(RegDeleteKeyA(full.key, sub.c_str()), ERROR_SUCCESS);
        }
    }
    // Opening an existing subkey through a create needs no create right.
    KeyHolder readOnly;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_QUERY_VALUE, &readOnly.key),
              ERROR_SUCCESS);
    KeyHolder existing;
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyExA(readOnly.key, "acl", 0, nullptr, 0, KEY_READ, nullptr,
                              &existing.key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
}

std::string Levels(size_t count) {
    std::string path;
    for (size_t i = 0; i < count; ++i) path += i ? "\\a" : "a";
    return path;
}

TEST(RegistryApi, AKeyTooDeepInTheHiveFileLeavesReadersAndWritersWorking) {
    MachineRoot root;
    // 600 kB: one key 300,000 levels deep after the agent's key.
    const std::string deep = "[HKEY_LOCAL_MACHINE\\" + Levels(300000) + "]\r\n\"v\"=\"x\"\r\n";
    ASSERT_TRUE(testsupport::WriteHive(root, "Windows Registry Editor Version 5.00\r\n\r\n"
                                             "[HKEY_LOCAL_MACHINE\\Software\\Halcyra]\r\n\"Kept\"=dword:00000007\r\n\r\n" +
                                                 deep));
    KeyHolder agent;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Halcyra", 0, KEY_ALL_ACCESS, &agent.key), ERROR_SUCCESS);
    DWORD value = 0;
    DWORD size = sizeof value;
    EXPECT_EQ(RegQueryValueExA(agent.key, "Kept", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(SetDword(agent.key, "Added", 8), ERROR_SUCCESS);
    HKEY none = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "a", 0, KEY_READ, &none), ERROR_FILE_NOT_FOUND);
    EXPECT_LT(std::filesystem::file_size(Hive(root)), 4096u) << "the unreadable key is not written back";
}

TEST(RegistryApi, KeysAreCreatedUpTo512LevelsDeep) {
    MachineRoot root;
    KeyHolder deepest;
    deepest.key = Create(Levels(512).c_str());
    EXPECT_NE(deepest.key, nullptr);
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, Levels(513).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key, nullptr);
    // Counted from the hive's root, not from the key a path starts at.
    KeyHolder middle;
    middle.key = Create(Levels(256).c_str());
    EXPECT_EQ(RegCreateKeyExA(middle.key, Levels(257).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(middle.key, Levels(256).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (key) RegCloseKey(key);
}

TEST(RegistryApi, BadHandlesAndParameters) {
    MachineRoot root;
    HKEY key = Create("Software\\Bad");
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    DWORD size = 0;
    HKEY out = nullptr;
    HKEY bogus = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0xdeadbeef0));
    for (HKEY h : {key, bogus, static_cast<HKEY>(nullptr)}) {
        EXPECT_EQ(RegQueryValueExA(h, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegOpenKeyExA(h, "x", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
        EXPECT_EQ(SetDword(h, "x", 1), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegDeleteKeyA(h, "x"), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &out), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);

    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, nullptr, 0, KEY_READ, nullptr, &out,
                              nullptr),
              ERROR_INVALID_PARAMETER);
    const std::string longName = "Software\\" + std::string(256, 'n');
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, longName.c_str(), 0, nullptr, 0, KEY_READ,
                              nullptr, &out, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\line\nbreak", 0, nullptr, 0, KEY_READ,
                              nullptr, &out, nullptr),
              ERROR_INVALID_PARAMETER);
    KeyHolder good{Create("Software\\Bad")};
    // A line break cannot be written in the hive file's value names.
    EXPECT_EQ(SetDword(good.key, "two\nlines", 1), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(good.key, "x", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(good.key, "empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(testsupport::ReadFile(Hive(root)).find("line"), std::string::npos);
}

TEST(RegistryApi, EnumerationOrderEndAndShortBuffers) {
    MachineRoot root;
    KeyHolder parent{Create("Software\\Enum")};
    for (const char* name : {"charlie", "Alpha", "bravo-longer-name"}) {
        KeyHolder k{Create((std::string("Software\\Enum\\") + name).c_str())};
    }
    std::vector<std::string> names;
    char name[64];
    for (DWORD i = 0;; ++i) {
        DWORD chars = sizeof name;
        LSTATUS rc = RegEnumKeyExA(parent.key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        EXPECT_EQ(chars, std::strlen(name));
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "bravo-longer-name", "charlie"}));

    DWORD chars = 5;
    EXPECT_EQ(RegEnumKeyExA(parent.key, 1, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(chars, 18u);
    chars = 5;  // "Alpha" needs 6 with its terminator
    EXPECT_EQ(RegEnumKeyExA(parent.key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(RegEnumKeyExA(parent.key, 0, nullptr, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);

    ASSERT_EQ(SetText(parent.key, "first", "0123456789"), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(parent.key, "second", 7), ERROR_SUCCESS);
    DWORD type = 0;
    BYTE data[4];
    DWORD size = sizeof data;
    chars = sizeof name;
    EXPECT_EQ(RegEnumValueA(parent.key, 0, name, &chars, nullptr, &type, data, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 11u);
    chars = sizeof name;
    size = sizeof data;
    ASSERT_EQ(RegEnumValueA(parent.key, 1, name, &chars, nullptr, &type, data, &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "second");
    EXPECT_EQ(type, REG_DWORD);

    FILETIME written{};
    chars = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(HKEY_LOCAL_MACHINE, 0, name, &chars, nullptr, nullptr, nullptr, &written),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "Software");
    EXPECT_NE(written.dwHighDateTime, 0u);
}

TEST(RegistryApi, MissingHiveReadsEmptyAndNothingIsCreatedByReading) {
    MachineRoot root;
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    char name[8];
    DWORD chars = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(HKEY_LOCAL_MACHINE, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_FALSE(std::filesystem::exists(root.path() / "registry"));
}

TEST(RegistryApi, EditsOfTheFileAreSeenEvenWhenSizeAndInodeStayTheSame) {
    MachineRoot root;
    const auto hive = Hive(root);
    auto write = [&](const char* value) {
        // In place: same inode, same size, probably the same time stamp.
        std::filesystem::create_directories(hive.parent_path());
        std::FILE* f = std::fopen(hive.c_str(), "r+b");
        if (!f) f = std::fopen(hive.c_str(), "wb");
        std::string text = std::string("Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n"
                                       "\"v\"=\"") + value + "\"\n";
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    };
    KeyHolder key;
    for (const char* value : {"aaaa", "bbbb", "cccc"}) {
        write(value);
        if (!key.key) {
            ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "S", 0, KEY_READ, &key.key), ERROR_SUCCESS);
        }
        char text[8];
        DWORD size = sizeof text;
        ASSERT_EQ(RegQueryValueExA(key.key, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                                   &size),
                  ERROR_SUCCESS);
        EXPECT_STREQ(text, value);
    }
}

TEST(RegistryApi, ConcurrentThreadsLoseNoWrite) {
    MachineRoot root;
    constexpr int kThreads = 4;
    constexpr int kWrites = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            std::string path = "Software\\Threads\\T" + std::to_string(t);
            HKEY key = nullptr;
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr) != ERROR_SUCCESS)
                return;
            for (int i = 0; i < kWrites; ++i) SetDword(key, ("v" + std::to_string(i)).c_str(), i);
            RegCloseKey(key);
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        KeyHolder key;
        std::string path = "Software\\Threads\\T" + std::to_string(t);
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key.key),
                  ERROR_SUCCESS);
        for (int i = 0; i < kWrites; ++i) {
            DWORD value = 99;
            DWORD size = 4;
            ASSERT_EQ(RegQueryValueExA(key.key, ("v" + std::to_string(i)).c_str(), nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(&value), &size),
                      ERROR_SUCCESS);
            EXPECT_EQ(value, static_cast<DWORD>(i));
        }
    }
}

}  // namespace
