// Registry access on a private machine root: writes by type, the default value, missing
// keys and values, deletion, key trees and the RegistryKey object, with their log lines.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "runtime/registry_access.h"
#include "runtime/tests/log_capture.h"
#include "tests/support/test_support.h"

namespace {

constexpr const char* kKey = "Software\\Halcyra\\Vantorra\\ZQAgent";

struct RawValue {
    LSTATUS status = 0;
    DWORD type = 0;
    std::vector<BYTE> bytes;
};

RawValue ReadRaw(const char* subKey, const WCHAR* name) {
    RawValue raw;
    HKEY key = nullptr;
    raw.status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key);
    if (raw.status != 0) return raw;
    DWORD size = 0;
    raw.status = RegQueryValueExW(key, name, nullptr, &raw.type, nullptr, &size);
    raw.bytes.resize(size);
    if (raw.status == 0) raw.status = RegQueryValueExW(key, name, nullptr, &raw.type, raw.bytes.data(), &size);
    RegCloseKey(key);
    return raw;
}

std::vector<BYTE> Utf16Bytes(WideString text, std::size_t terminators) {
    text.append(terminators, WTEXT('\0'));
    std::vector<BYTE> bytes(text.size() * 2);
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

std::vector<BYTE> DwordBytes(DWORD value) {
    std::vector<BYTE> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

class RegistryAccessTest : public ::testing::Test {
protected:
    testsupport::MachineRoot root_;
};

}  // namespace

TEST_F(RegistryAccessTest, WriteValueStoresEachTypeAsTheAgentDoes) {
    struct WriteCase {
        const char* name;
        const char* data;
        DWORD type;
        const WCHAR* storedName;
        std::vector<BYTE> stored;
    };
    const std::vector<WriteCase> cases = {
        {"Server", "srv.example.test", REG_SZ, WTEXT("Server"), Utf16Bytes(WTEXT("srv.example.test"), 1)},
        {"Path", "%TEMP%\\x", REG_EXPAND_SZ, WTEXT("Path"), Utf16Bytes(WTEXT("%TEMP%\\x"), 1)},
        {"Blob", "AB", REG_BINARY, WTEXT("Blob"), Utf16Bytes(WTEXT("AB"), 1)},  // the text's UTF-16, not parsed bytes
        {"List", "one", REG_MULTI_SZ, WTEXT("List"), Utf16Bytes(WTEXT("one"), 2)},
        {"Num", "1234", REG_DWORD, WTEXT("Num"), DwordBytes(1234)},
        {"Digits", "42abc", REG_DWORD, WTEXT("Digits"), DwordBytes(42)},
        {"Letters", "abc42", REG_DWORD, WTEXT("Letters"), DwordBytes(0)},
        {"Negative", "  -7", REG_DWORD, WTEXT("Negative"), DwordBytes(static_cast<DWORD>(-7))},
        {"Huge", "99999999999", REG_DWORD, WTEXT("Huge"), DwordBytes(2147483647)},
        {"EmptyNum", "--", REG_DWORD, WTEXT("EmptyNum"), DwordBytes(0)},
        {"EmptyText", "--", REG_SZ, WTEXT("EmptyText"), Utf16Bytes(WTEXT(""), 1)},
        {"--", "default text", REG_SZ, WTEXT(""), Utf16Bytes(WTEXT("default text"), 1)},
        {"Unicode", "Gr\xC3\xBC\xC3\x9F" "e", REG_SZ, WTEXT("Unicode"), Utf16Bytes(WTEXT("Gr\u00FC\u00DFe"), 1)},
        {"Qword", "x", REG_QWORD, WTEXT("Qword"), Utf16Bytes(WTEXT("x"), 1)},   // first four bytes of the text
        {"QwordEmpty", "--", REG_QWORD, WTEXT("QwordEmpty"), {0, 0, 0, 0}},  // never past the text
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, c.name, c.data, c.type), 0u);
        const RawValue raw = ReadRaw(kKey, c.storedName);
        ASSERT_EQ(raw.status, 0);
        EXPECT_EQ(raw.type, c.type);
        EXPECT_EQ(raw.bytes, c.stored);
    }
}

TEST_F(RegistryAccessTest, WriteValueCreatesMissingKeysAndLogs) {
    LogCapture log;
    const std::string deep = std::string(kKey) + "\\New\\Deeper";
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, deep.c_str(), "--", "--", REG_SZ), 0u);
    std::optional<std::string> text;
    EXPECT_EQ(ReadRegSZ(HKEY_LOCAL_MACHINE, deep.c_str(), "", &text), 0u);
    EXPECT_EQ(text, "");
    EXPECT_TRUE(log.has("[DEBUG] @@@@@@@@ Inside writeValue Method @@@@@@@@ \n"));
    EXPECT_TRUE(log.has("[INFO] writeValue : going to add the (default) value .\n"));
    EXPECT_TRUE(log.has("[INFO] writeValue : going to add the value data as 0 value .\n"));
    EXPECT_TRUE(log.has("[DEBUG] addRegistryKey:  Create registry key function successfull: 1 \n"));
    EXPECT_TRUE(log.has("[DEBUG] writeValue:  Data type is REG_SZ or REG_EXPAND_SZ or REG_BINARY: 2\n"));
    EXPECT_TRUE(log.has("[INFO] Message : "));
    EXPECT_TRUE(log.has("[DEBUG] @@@@@@@@ End Of writeValue Method @@@@@@@@ \n"));
    EXPECT_FALSE(log.has("[ERROR]"));

    EXPECT_EQ(addRegistryKey(HKEY_LOCAL_MACHINE, deep.c_str()), 0u);
    EXPECT_TRUE(log.has("[DEBUG] addRegistryKey:  Opened already existing key! \n"));

    EXPECT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, nullptr, "x", REG_SZ), 13u);
    EXPECT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "x", nullptr, REG_SZ), 13u);
    EXPECT_TRUE(log.has("[INFO] writeValue : Valuename or Valuedata is Empty \n"));
}

TEST_F(RegistryAccessTest, ReadDwordMissingKeyValueAndWrongSize) {
    LogCapture log;
    DWORD value = 77;
    EXPECT_EQ(ReadDwordRegistryData(HKEY_LOCAL_MACHINE, "Software\\Absent", "ZQAgentLogLevel", &value), 2u);
    EXPECT_EQ(value, 77u);
    EXPECT_TRUE(log.has("[DEBUG] ReadDwordRegistryData:  value  ZQAgentLogLevel Not found: 2 \n"));
    EXPECT_FALSE(log.has("[ERROR]"));

    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "Level", "3", REG_DWORD), 0u);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "Text", "longer than four bytes", REG_SZ), 0u);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "Short", "a", REG_SZ), 0u);  // 4 bytes of UTF-16
    EXPECT_EQ(ReadDwordRegistryData(HKEY_LOCAL_MACHINE, kKey, "Missing", &value), 2u);
    EXPECT_EQ(value, 77u);
    EXPECT_EQ(ReadDwordRegistryData(HKEY_LOCAL_MACHINE, kKey, "Level", &value), 0u);
    EXPECT_EQ(value, 3u);
    EXPECT_FALSE(log.has("[ERROR]"));
    // The type is not examined: up to four bytes of anything are taken as they are.
    EXPECT_EQ(ReadDwordRegistryData(HKEY_LOCAL_MACHINE, kKey, "Short", &value), 0u);
    EXPECT_EQ(value, 0x61u);
    EXPECT_EQ(ReadDwordRegistryData(HKEY_LOCAL_MACHINE, kKey, "Text", &value), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(value, 0x61u);
    EXPECT_TRUE(log.has("[ERROR] ReadDwordRegistryData: Error while reading DWORD value of Text : 234 \n"));
    EXPECT_EQ(ReadDwordRegistryData(HKEY_LOCAL_MACHINE, kKey, "Level", nullptr), 13u);
}

TEST_F(RegistryAccessTest, ReadRegSZMissingValueIsSilentAndNull) {
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "ZQAgentInstallDir", "C:\\Agent\\", REG_SZ), 0u);
    LogCapture log(4);
    std::optional<std::string> text = "stale";
    EXPECT_EQ(ReadRegSZ(HKEY_LOCAL_MACHINE, kKey, "Absent", &text), 2u);
    EXPECT_FALSE(text.has_value());
    const std::string afterMiss = log.text();
    EXPECT_EQ(afterMiss.find("[ "), std::string::npos) << "no entry at all: " << afterMiss;

    EXPECT_EQ(ReadRegSZ(HKEY_LOCAL_MACHINE, kKey, "ZQAgentInstallDir", &text), 0u);
    EXPECT_EQ(text, "C:\\Agent\\");
    std::optional<WideString> wide;
    EXPECT_EQ(ReadRegSZEx(HKEY_LOCAL_MACHINE, kKey, "ZQAgentInstallDir", &wide), 0u);
    EXPECT_EQ(wide, WTEXT("C:\\Agent\\"));
    EXPECT_EQ(ReadRegSZEx(HKEY_LOCAL_MACHINE, kKey, "Absent", &wide), 2u);
    EXPECT_FALSE(wide.has_value());

    EXPECT_EQ(ReadRegSZ(HKEY_LOCAL_MACHINE, "Software\\Absent", "x", &text), 2u);
    EXPECT_TRUE(log.has("[ERROR] ReadRegSZ: Error while opening registry key Software\\Absent ,and the error is  2 \n"));
    EXPECT_EQ(ReadRegSZEx(HKEY_LOCAL_MACHINE, "Software\\Absent", "Val\xC3\xBC", &wide), 2u);
    EXPECT_TRUE(log.has("[ERROR] ReadRegSZEx: Error while opening registry key : Val\xC3\xBC \n"));
}

TEST_F(RegistryAccessTest, DeleteValueNarrowAndWide) {
    LogCapture log;
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "A", "1", REG_SZ), 0u);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "B", "2", REG_SZ), 0u);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "--", "d", REG_SZ), 0u);

    EXPECT_EQ(deleteValue(HKEY_LOCAL_MACHINE, kKey, "A"), 0u);
    EXPECT_EQ(ReadRaw(kKey, WTEXT("A")).status, 2);
    EXPECT_TRUE(log.has("[INFO] deleteValue:  Delete value A success! \n"));
    EXPECT_EQ(deleteValue(HKEY_LOCAL_MACHINE, kKey, "A"), 2u);
    EXPECT_TRUE(log.has("[ERROR] deleteValue:  Delete value A failure! \n"));

    EXPECT_EQ(deleteValue(HKEY_LOCAL_MACHINE, WTEXT("Software\\Halcyra\\Vantorra\\ZQAgent"), WTEXT("B")), 0u);
    EXPECT_EQ(ReadRaw(kKey, WTEXT("B")).status, 2);
    EXPECT_TRUE(log.has("deleteValue: Inside function deleteValue ..... subkey : Software\\Halcyra\\Vantorra\\ZQAgent, Valuename : B \n"));

    EXPECT_EQ(deleteValue(HKEY_LOCAL_MACHINE, kKey, "--"), 0u);
    EXPECT_EQ(ReadRaw(kKey, WTEXT("")).status, 2);
    EXPECT_TRUE(log.has("[INFO] deleteValue : going to delete the (default) value .\n"));

    EXPECT_EQ(deleteValue(HKEY_LOCAL_MACHINE, "Software\\Absent", "x"), 2u);
    EXPECT_TRUE(log.has("[ERROR] deleteValue:  Software\\Absent Key not found!: 2  \n"));
    EXPECT_EQ(deleteValue(HKEY_LOCAL_MACHINE, WTEXT("Software\\Absent"), WTEXT("x")), 2u);
}

TEST_F(RegistryAccessTest, DeleteKeyTreeRemovesNestedChildren) {
    for (const char* key : {"Software\\Tree\\A\\A1\\A11", "Software\\Tree\\A\\A2", "Software\\Tree\\B"})
        ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, key, "v", "1", REG_SZ), 0u);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, "Software\\Keep", "v", "1", REG_SZ), 0u);
    EXPECT_TRUE(DeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\Tree"));
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Tree", 0, KEY_READ, &key), 2);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Keep", 0, KEY_READ, &key), 0);
    RegCloseKey(key);
    EXPECT_FALSE(DeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\Tree"));
    EXPECT_FALSE(DeleteKeyTree(HKEY_LOCAL_MACHINE, nullptr));
}

TEST_F(RegistryAccessTest, RegistryKeyHoldsOneKeyAcrossOperations) {
#ifdef _WIN64
    GTEST_SKIP()
        << "writes through the 32-bit registry view and reads through the process's own one, "
           "which is the 64-bit view here; the 32-bit test program runs it under WOW64";
#endif
#ifdef _WIN32
    // Keys of the real registry, outside the private root: none may be left from a run before.
    const auto removeBothViews = [] {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
            RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "Software\\Obj", view, 0);
    };
    removeBothViews();
#endif
    RegistryKey key;
    EXPECT_EQ(key.open(HKEY_LOCAL_MACHINE, "Software\\Absent", KEY_READ), 2);
    EXPECT_EQ(key.handle(), nullptr);
    DWORD number = 0;
    EXPECT_NE(key.readDword("x", &number), 0);  // nothing open

    DWORD disposition = 0;
    ASSERT_EQ(key.create(HKEY_LOCAL_MACHINE, "Software\\Obj", nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &disposition),
              0);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(key.viewBits(), KEY_WOW64_32KEY);
    HKEY held = key.handle();
    // A failed open leaves the held key alone.
    EXPECT_EQ(key.open(HKEY_LOCAL_MACHINE, "Software\\Absent", KEY_READ | KEY_WOW64_64KEY), 2);
    EXPECT_EQ(key.handle(), held);
    EXPECT_EQ(key.viewBits(), KEY_WOW64_32KEY);

    EXPECT_EQ(key.writeString("Name", "value"), 0);
    EXPECT_EQ(key.writeString("Expand", "%X%", REG_EXPAND_SZ), 0);
    EXPECT_EQ(key.writeString("Empty", ""), 0);
    EXPECT_EQ(key.writeString("Null", nullptr), 13);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, "Software\\Obj", "Num", "9", REG_DWORD), 0u);
    ASSERT_EQ(RegSetValueExA(key.handle(), "Zero", 0, REG_SZ, nullptr, 0), 0);

    EXPECT_EQ(key.readDword("Num", &number), 0);
    EXPECT_EQ(number, 9u);
    EXPECT_EQ(key.readDword("Name", &number), 13);  // wrong type
    EXPECT_EQ(number, 9u);

    char buffer[64];
    DWORD size = 0;
    EXPECT_EQ(key.readString("Name", nullptr, &size), 0);  // size query
    EXPECT_EQ(size, 6u);
    size = sizeof buffer;
    EXPECT_EQ(key.readString("Name", buffer, &size), 0);
    EXPECT_STREQ(buffer, "value");
    EXPECT_EQ(size, 6u);
    size = sizeof buffer;
    EXPECT_EQ(key.readString("Expand", buffer, &size), 0);
    EXPECT_STREQ(buffer, "%X%");
    size = sizeof buffer;
    EXPECT_EQ(key.readString("Num", buffer, &size), 13);
    std::memset(buffer, 'x', sizeof buffer);
    size = sizeof buffer;
    EXPECT_EQ(key.readString("Zero", buffer, &size), 0);
    EXPECT_STREQ(buffer, "");
    size = 2;
    EXPECT_EQ(key.readString("Name", buffer, &size), static_cast<LSTATUS>(ERROR_MORE_DATA));
    EXPECT_EQ(key.readString("Name", buffer, nullptr), static_cast<LSTATUS>(ERROR_INVALID_PARAMETER));

#ifdef _WIN32
    // Under WOW64 the 64-bit view's Software\Obj is another key, which nobody created yet;
    // the POSIX host layer has one view for both.
    BOOL wow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    ASSERT_TRUE(wow64) << "the 32-bit test programs run on 64-bit Windows";
    EXPECT_EQ(key.open(HKEY_LOCAL_MACHINE, "Software\\Obj", KEY_READ | KEY_WRITE | KEY_WOW64_64KEY),
              2);
    ASSERT_EQ(key.create(HKEY_LOCAL_MACHINE, "Software\\Obj", nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &disposition),
              0);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(key.readDword("Num", &number), 2);
#else
    ASSERT_EQ(key.open(HKEY_LOCAL_MACHINE, "Software\\Obj", KEY_READ | KEY_WRITE | KEY_WOW64_64KEY), 0);
    EXPECT_EQ(key.readDword("Num", &number), 0);
#endif
    EXPECT_EQ(key.viewBits(), KEY_WOW64_64KEY);
    key.close();
    EXPECT_EQ(key.handle(), nullptr);
    EXPECT_EQ(key.viewBits(), 0u);
    key.close();  // twice is harmless
#ifdef _WIN32
    removeBothViews();
#endif
}
