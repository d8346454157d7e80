// Helpers: message table, Base64, case-insensitive replacement, folders and file checks,
// UTF-8/UTF-16 conversions, date texts and the service notification.
#include <gtest/gtest.h>
#ifndef _WIN32  // a running service is a socket of the POSIX host layer
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <utility>
#include <vector>

#include "runtime/agent_key.h"
#include "runtime/helpers.h"
#include "runtime/registry_access.h"
#include "runtime/tests/log_capture.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;

TEST(Helpers, MessageTableAndSystemTexts) {
    struct TextCase {
        DWORD code;
        std::string text;
    };
    const TextCase table[] = {
        {17025, "OfficeUpdateError: Patch already installed."},
        {17048, "OfficeUpdateError : This installation requires Windows Installer 3.1 or greater."},
        {1508, "The requested operation is successful. Changes will not be effective until the browser is rebooted."},
        {10002, "zq.db.agent.config.run_as_admin.credentials_not_available"},
        {2359303, "Patch already Uninstalled and the changes will not be effective until the system is rebooted."},
        {17032, "Unknown Error. Code : 17032"},
        {4294967295u, "Unknown Error. Code : -1"},
    };
    for (const TextCase& c : table) {
        EXPECT_EQ(GetCustomErrorText(c.code), c.text);
        LogCapture log;
        EXPECT_EQ(GetErrorMessageStr(c.code), c.text);
        EXPECT_TRUE(log.has("[ERROR] Error Code : " + std::to_string(static_cast<int>(c.code)) +
                            " , Error Message : " + c.text + " \n"))
            << log.text();
    }
    LogCapture log;
    const std::string success = GetErrorMessageStr(0);
    EXPECT_FALSE(success.empty());
    EXPECT_EQ(success.find("Unknown Error"), std::string::npos);
    EXPECT_TRUE(log.has("[INFO] Message : " + success + " \n"));
    EXPECT_FALSE(log.has("[ERROR]"));
    // A code with a system text uses it.
    EXPECT_EQ(GetErrorMessageStr(ERROR_FILE_NOT_FOUND).find("Unknown Error"), std::string::npos);
    LogErrorMessageAnsi(17025);
    EXPECT_TRUE(log.has("Error Message : OfficeUpdateError: Patch already installed. \n"));
}

// Every result a child of the handler can end with reads as Windows words it, never as
// "Unknown Error": Windows Installer results, 7-Zip's exit codes and the codes the
// agent and its host layer produce.
TEST(Helpers, SystemTextsOfInstallerAndArchiverResults) {
#ifdef _WIN32
    GTEST_SKIP() << "checks the host layer's own message table; on Windows the system's table answers, "
                    "and Wine's lacks several CryptoAPI texts";
#endif
    const std::pair<DWORD, std::string> exact[] = {
        {1, "Incorrect function."},
        {2, "The system cannot find the file specified."},
        {7, "The storage control blocks were destroyed."},
        {8, "Not enough memory resources are available to process this command."},
        {255, "The extended attributes are inconsistent."},
        {1601, "The Windows Installer Service could not be accessed. This can occur if the Windows Installer is not "
               "correctly installed. Contact your support personnel for assistance."},
        {1603, "Fatal error during installation."},
        {1605, "This action is only valid for products that are currently installed."},
        {1618, "Another installation is already in progress. Complete that installation before proceeding with this "
               "install."},
        {1641, "The requested operation completed successfully. The system will be restarted so the changes can take "
               "effect."},
        {1650, "The XML update data is invalid."},
        {3010, "The requested operation is successful. Changes will not be effective until the system is rebooted."},
        {1722, "The RPC server is unavailable."},
        {0x8009000D, "Key does not exist."},
    };
    for (const auto& [code, text] : exact) {
        LogCapture log;
        EXPECT_EQ(GetErrorMessageStr(code), text) << code;
        EXPECT_TRUE(log.has("Error Code : " + std::to_string(static_cast<int>(code)) + " , Error Message : " + text +
                            " \n"))
            << log.text();
    }
    std::vector<DWORD> codes;
    for (DWORD code = 1601; code <= 1650; ++code) codes.push_back(code);
    const DWORD produced[] = {ERROR_INVALID_FUNCTION, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE,
                              ERROR_INVALID_DATA, ERROR_NO_MORE_FILES, ERROR_SHARING_VIOLATION,
                              ERROR_INVALID_PARAMETER, ERROR_INSUFFICIENT_BUFFER, ERROR_MOD_NOT_FOUND,
                              ERROR_PROC_NOT_FOUND, ERROR_ALREADY_EXISTS, ERROR_BAD_EXE_FORMAT, ERROR_MORE_DATA,
                              WAIT_TIMEOUT, ERROR_NO_MORE_ITEMS, ERROR_DIRECTORY, ERROR_IO_PENDING,
                              ERROR_KEY_DELETED, ERROR_SERVICE_DOES_NOT_EXIST, ERROR_SERVICE_NOT_ACTIVE,
                              ERROR_NO_SUCH_DOMAIN, ERROR_INVALID_COMPUTERNAME, ERROR_ENVVAR_NOT_FOUND,
                              ERROR_NO_UNICODE_TRANSLATION, ERROR_MR_MID_NOT_FOUND, 1004, 0x80090003, 0x80090008,
                              0x80090009, 0x8009000F, 0x80090016, 0x80090017, 0x80090019, 0x8009001F, 0x80090020};
    codes.insert(codes.end(), std::begin(produced), std::end(produced));
    for (DWORD code : codes) {
        const std::string text = GetErrorMessageStr(code);
        EXPECT_EQ(text.find("Unknown Error"), std::string::npos) << code;
        // One sentence as FormatMessage gives it without inserts: no line break, no "%1".
        EXPECT_EQ(text.find_first_of("\r\n%"), std::string::npos) << code;
        std::string ansi(4096, '\0');
        EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                 ansi.data(), static_cast<DWORD>(ansi.size()), nullptr),
                  text.size())
            << code;
    }
}

TEST(Helpers, Base64Decoding) {
    struct Base64Case {
        const char* text;
        int length;
        int expected;  // byte count or -1
        std::string bytes;
    };
    const Base64Case cases[] = {
        {"TWFu", -1, 3, "Man"},
        {"TWE=", -1, 2, "Ma"},
        {"TQ==", -1, 1, "M"},
        {"", -1, 0, ""},
        {"  \tSGVsbG8sIFdvcmxkIQ==\r\n", -1, 13, "Hello, World!"},
        {"+/+/", -1, 3, "\xFB\xFF\xBF"},
        {"TWFuTWFu", 4, 3, "Man"},           // explicit length
        {"TWFu", 100, 3, "Man"},             // a claimed length past the end stops at the terminator
        {"TWF", -1, -1, ""},                 // not a multiple of four after trimming
        {"TW Fu", -1, -1, ""},               // inner blank is a bad character
        {"TW*u", -1, -1, ""},
        {"TWF\xC3", -1, -1, ""},             // high bit set
        {"=WFu", -1, -1, ""},
        {"TW=u", -1, -1, ""},
        {"TQ==TWFu", -1, 1, "M"},            // padding ends the decoding
    };
    for (const Base64Case& c : cases) {
        unsigned char out[64] = {};
        EXPECT_EQ(Base64Decode(c.text, c.length, out, sizeof out), c.expected) << c.text;
        if (c.expected > 0) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(out), c.expected), c.bytes) << c.text;
        }
    }
    unsigned char small[3];
    EXPECT_EQ(Base64Decode("TWFu", -1, small, 3), -1);  // needs length / 4 * 3 + 1
    EXPECT_EQ(Base64Decode("TWFu", -1, nullptr, 10), -1);
    EXPECT_EQ(Base64Decode(nullptr, -1, small, 3), 0);

    EXPECT_EQ(Base64DecodeString("SGVsbG8="), "Hello");
    EXPECT_EQ(Base64DecodeString("AAEC"), std::string("\0\1\2", 3));
    EXPECT_EQ(Base64DecodeString("bad!"), "");
    EXPECT_EQ(Base64DecodeString(nullptr), "");
}

TEST(Helpers, FindAndReplaceWithNoCase) {
    struct ReplaceCase {
        const char* input;
        const char* oldText;
        const char* newText;
        std::string expected;
    };
    const ReplaceCase cases[] = {
        {"Path=ABC;abc", "abc", "xyz", "Path=xyz;xyz"},
        {"Path=ABC;abc", "c", "xyz", "Path=ABC;abc"},          // one-character old text
        {"abab", "ab", "xabx", "xabxxabx"},                     // new contains old: one pass
        {"aaaa", "aa", "aaa", "aaaaaa"},
        {"Keep CASE", "case", "CASE", "Keep CASE"},             // same ignoring case
        {"HeLLo hello", "HELLO", "bye", "bye bye"},
        {"no match here", "xyz", "abc", "no match here"},
        {"a", "ab", "x", "a"},                                  // input too short
        {nullptr, "ab", "x", ""},
        {"xabx", nullptr, "x", "xabx"},
        {"xabx", "ab", nullptr, "xx"},                          // null new text removes
        {"Gr\xC3\xBC\xC3\x9F" "e GR", "gr", "K", "K\xC3\xBC\xC3\x9F" "e K"},
    };
    for (const ReplaceCase& c : cases)
        EXPECT_EQ(FindAndReplaceWithNoCase(c.input, c.oldText, c.newText), c.expected) << (c.input ? c.input : "null");
}

TEST(Helpers, CreateFolderCases) {
    testsupport::MachineRoot root;
    LogCapture log;
    EXPECT_EQ(CreateFolder(WTEXT("C:\\a\\b\\file.txt")), 0u);
    EXPECT_TRUE(fs::is_directory(root.drivePath('C', "a/b")));
    EXPECT_FALSE(fs::exists(root.drivePath('C', "a/b/file.txt")));
    EXPECT_TRUE(log.has("[INFO] CreateFolder : The Directory to create is C:\\a\\b\\ \n"));

    EXPECT_EQ(CreateFolder(WTEXT("C:\\x\\y\\")), 0u);
    EXPECT_TRUE(fs::is_directory(root.drivePath('C', "x/y")));
    EXPECT_EQ(CreateFolder(WTEXT("C:\\a\\b\\other.txt")), 0u);  // already there
    EXPECT_EQ(CreateFolder(WTEXT("C:\\file.txt")), 0u);         // a drive is never created
    EXPECT_EQ(CreateFolder(WTEXT("C:\\")), 0u);
    EXPECT_TRUE(log.has("[INFO] CreateFolder : The Drive letter Given.hence it cannot be created \n"));
    EXPECT_FALSE(fs::exists(root.drivePath('C', "file.txt")));

    EXPECT_EQ(CreateFolder(nullptr), 13u);
    EXPECT_EQ(CreateFolder(WTEXT("")), 13u);
    EXPECT_TRUE(log.has("[ERROR] CreateFolder : The directory to create is NULL . \n"));

    WriteFile(root.drivePath('C', "blocker"), "file");
    EXPECT_NE(CreateFolder(WTEXT("C:\\blocker\\sub\\f.txt")), 0u);
    EXPECT_TRUE(log.has("[DEBUG] CreateFolder function returns Error code "));
}

TEST(Helpers, CheckFileExistsOnDirectoriesWildcardsAndMissing) {
    testsupport::MachineRoot root;
    WriteFile(root.drivePath('C', "data/report.txt"), "x");
    struct ExistsCase {
        const char* name;
        DWORD expected;
    };
    const ExistsCase cases[] = {
        {"C:\\data\\report.txt", 0}, {"C:\\data", 0},          {"C:\\data\\*.txt", 0},
        {"C:\\data\\rep?rt.txt", 0}, {"C:\\data\\*.log", 2},   {"C:\\nothing\\x", 2},
    };
    LogCapture log;
    for (const ExistsCase& c : cases) {
        EXPECT_EQ(CheckFileExists(c.name), c.expected) << c.name;
        WideString wide;
        ASSERT_TRUE(ChangeToWideStr(c.name, &wide));
        EXPECT_EQ(CheckFileExists(wide.c_str()), c.expected) << c.name;
    }
    EXPECT_EQ(CheckFileExists(static_cast<const WCHAR*>(nullptr)), 13u);
    // A null narrow name is a failed search: "not found", with the search's ERROR line.
    EXPECT_EQ(CheckFileExists(static_cast<const char*>(nullptr)), 2u);
    EXPECT_TRUE(log.has("[ERROR] CheckFileExists -> Invalid File Handle. 87 \n"));
    EXPECT_TRUE(log.has("[ERROR] CheckFileExists -> Invalid File Handle. 2 \n"));
    EXPECT_TRUE(log.has("[DEBUG] FileName to search -> C:\\data\\*.txt \n"));

    ULONGLONG size = 99;
    EXPECT_TRUE(GetFileSizeByName("C:\\data\\report.txt", &size));
    EXPECT_EQ(size, 1u);
    EXPECT_FALSE(GetFileSizeByName("C:\\data\\absent", &size));
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(GetFileSizeByName(nullptr, &size));
}

TEST(Helpers, AppendLineToFileCreatesFoldersThenAppends) {
    testsupport::MachineRoot root;
    EXPECT_EQ(AppendLineToFile("C:\\logs\\deep\\access.log", "first"), 0u);
    EXPECT_EQ(AppendLineToFile("C:\\logs\\deep\\access.log", "second"), 0u);
    EXPECT_EQ(ReadFile(root.drivePath('C', "logs/deep/access.log")), "first\nsecond\n");
}

TEST(Helpers, PathPiecesAndConcat) {
    EXPECT_EQ(GetLastFileName("C:\\a\\b\\setup.exe"), "setup.exe");
    EXPECT_EQ(GetLastFileName("setup.exe"), "setup.exe");
    EXPECT_EQ(GetLastFileName("C:\\a\\"), "");
    EXPECT_EQ(GetLastFileName(nullptr), "");
    EXPECT_EQ(GetLastUrlFileName("http://h/x/file.xml"), "file.xml");
    EXPECT_EQ(GetLastUrlFileName("file.xml"), "file.xml");
    EXPECT_EQ(GetLastUrlFileName("http://h/x/"), "");
    EXPECT_EQ(GetLastUrlFileName(nullptr), std::nullopt);
    EXPECT_EQ(ConcatStrings("a", "b"), "ab");
    EXPECT_EQ(ConcatStrings(nullptr, "b"), "b");
}

TEST(Helpers, Utf8AndUtf16RoundTrips) {
    const char* samples[] = {"", "plain", "Gr\xC3\xBC\xC3\x9F" "e", "\xE2\x82\xAC 5", "\xF0\x9F\x98\x80 smile"};
    for (const char* sample : samples) {
        WideString wide;
        ASSERT_TRUE(ChangeUtf8ToWideStr(sample, &wide)) << sample;
        std::string back;
        ASSERT_TRUE(ConvertWideToUtf8(wide.c_str(), &back));
        EXPECT_EQ(back, sample);
        std::string viaAnsi;
        ASSERT_TRUE(ChangeAnsiToUTF8Str(sample, &viaAnsi));
        EXPECT_EQ(viaAnsi, sample);
    }
    WideString wide;
    ASSERT_TRUE(ChangeToWideStr("\xE2\x82\xAC", &wide));
    EXPECT_EQ(wide, WTEXT("\u20AC"));

    // Invalid sequences come out as U+FFFD.
    std::string repaired;
    ASSERT_TRUE(ChangeAnsiToUTF8Str("a\xFF" "b", &repaired));
    EXPECT_EQ(repaired, "a\xEF\xBF\xBD" "b");
    std::string fromLoneSurrogate;
    const WCHAR lone[] = {WTEXT('x'), 0xD800, WTEXT('y'), 0};
    ConvertWideToUtf8(lone, &fromLoneSurrogate);
    EXPECT_EQ(fromLoneSurrogate.find('\xED'), std::string::npos) << "no CESU-style surrogate bytes";

    LogCapture log;
    std::string out = "stale";
    EXPECT_FALSE(ChangeUtf8ToWideStr(nullptr, &wide));
    EXPECT_FALSE(ChangeToWideStr(nullptr, &wide));
    EXPECT_FALSE(ChangeAnsiToUTF8Str(nullptr, &out));
    EXPECT_FALSE(ConvertWideToUtf8(nullptr, &out));
    EXPECT_EQ(out, "");
    EXPECT_TRUE(log.has("[ERROR] ChangeUtf8ToWideStr: utf8 is empty! \n"));
    EXPECT_TRUE(log.has("[ERROR] ChangeToWideStr: AnsiString is empty! \n"));
    EXPECT_TRUE(log.has("[ERROR] ChangeAnsiToUTF8Str: ansiString is empty! \n"));
}

// The proxy password passes through the conversion on its way to the request.
TEST(Helpers, ConvertedTextNeverReachesTheLog) {
    LogCapture log(4);
    WideString wide;
    ASSERT_TRUE(ChangeUtf8ToWideStr("pr\xC3\xB6xy-s3cret", &wide));
    EXPECT_EQ(wide, WideString(WTEXT("pr\u00F6xy-s3cret")));
    EXPECT_FALSE(ChangeUtf8ToWideStr(nullptr, &wide));
    const std::string text = log.text();
    EXPECT_EQ(text.find("s3cret"), std::string::npos) << text;
    EXPECT_NE(text.find("[DEBUG] UTF String Received:(13 bytes)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[DEBUG] UTF String Received:(null)\n"), std::string::npos) << text;
}

namespace {
SYSTEMTIME gv_fixedTime{};
void FixedTime(SYSTEMTIME* now) { *now = gv_fixedTime; }
}  // namespace

TEST(Helpers, DateAndTimeTextsAroundNoonAndMidnight) {
    struct TimeCase {
        WORD year, month, day, hour, minute, second;
        const char* dateShort;
        const char* dateTime;
        const char* time12;
        const char* time24;
    };
    const TimeCase cases[] = {
        {2026, 12, 7, 0, 30, 5, "26-12-07", "Dec 07,2026 00:30AM", "00:30:05 am", "00:30:05"},
        // Noon: the date-time text shows 00PM, the time text 12 pm.
        {2026, 12, 7, 12, 30, 5, "26-12-07", "Dec 07,2026 00:30PM", "12:30:05 pm", "12:30:05"},
        {2026, 12, 7, 23, 59, 59, "26-12-07", "Dec 07,2026 11:59PM", "11:59:59 pm", "23:59:59"},
        {2026, 12, 7, 20, 50, 6, "26-12-07", "Dec 07,2026 08:50PM", "08:50:06 pm", "20:50:06"},
        {2001, 1, 31, 11, 59, 59, "01-01-31", "Jan 31,2001 11:59AM", "11:59:59 am", "11:59:59"},
    };
    SetLocalTimeSource(FixedTime);
    for (const TimeCase& c : cases) {
        gv_fixedTime = SYSTEMTIME{c.year, c.month, 0, c.day, c.hour, c.minute, c.second, 0};
        EXPECT_STREQ(GetCurrentDateShort(), c.dateShort);
        EXPECT_STREQ(GetCurrentDateTimeText(), c.dateTime);
        std::string text;
        GetCurrentTimeText(false, &text);
        EXPECT_EQ(text, c.time12);
        GetCurrentTimeText(true, &text);
        EXPECT_EQ(text, c.time24);
    }
    SetLocalTimeSource(nullptr);
    EXPECT_STREQ(FormatTwoDigits(7), "07");
    EXPECT_STREQ(FormatTwoDigits(123), "23");
    EXPECT_STREQ(FormatTwoDigits(0), "00");
}

using testsupport::ServiceListener;

TEST(Helpers, SendServiceMsgToRunningStoppedAndUnknownService) {
    testsupport::MachineRoot root;
    LogCapture log;
#ifndef _WIN32
    // Installed but not running: a service key without a listener. The Windows run has its
    // service registered only while a listener runs.
    ASSERT_EQ(addRegistryKey(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\ZQAgentSvc"), 0u);
    EXPECT_EQ(SendServiceMsg(147, WTEXT("ZQAgentSvc")), 0);
    EXPECT_TRUE(log.has("[INFO] SendServiceMsg : Service ZQAgentSvc Opened successfully\n"));
    EXPECT_TRUE(log.has("[ERROR] SendServiceMsg : Notification failed 1062 \n"));
#endif

    // Unknown.
    EXPECT_EQ(SendServiceMsg(147, WTEXT("NoSuchSvc")), 0);
    EXPECT_TRUE(log.has("[ERROR] SendServiceMsg : Failed to open the Service\n"));
    EXPECT_EQ(SendServiceMsg(147, nullptr), 0);

    // Running.
    ServiceListener listener(root.path(), "ZQAgentSvc");
    ASSERT_TRUE(listener.bound());
    EXPECT_EQ(SendServiceMsg(147, WTEXT("ZQAgentSvc")), 1);
    EXPECT_EQ(listener.receive(), "147");
    EXPECT_TRUE(log.has("[INFO] SendServiceMsg : Notification is succeeded\n"));

    // Through the agent's configured service name; without one the service cannot be
    // opened, and the log says so.
    const auto openFailures = [&] {
        const std::string text = log.text();
        const std::string line = "[ERROR] SendServiceMsg : Failed to open the Service\n";
        std::size_t count = 0;
        for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
        return count;
    };
    gv_agentServiceName.reset();
    const std::size_t failuresBefore = openFailures();
    EXPECT_EQ(SendServiceMsgToAgent(147), 0);
    EXPECT_EQ(openFailures(), failuresBefore + 1);
    EXPECT_TRUE(log.has("[ERROR] ChangeToWideStr: AnsiString is empty! \n"));
    gv_agentServiceName = "ZQAgentSvc";
    EXPECT_EQ(SendServiceMsgToAgent(148), 1);
    EXPECT_EQ(listener.receive(), "148");
    gv_agentServiceName.reset();
}
