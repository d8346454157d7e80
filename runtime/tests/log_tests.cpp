// Agent log: formatter, levels, line layout, markers, life cycle, folder fallbacks and
// writers racing the rotation.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "runtime/log.h"
#include "runtime/rotation.h"
#include "runtime/tests/log_capture.h"
#include "tests/support/test_support.h"

using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

struct FormatCase {
    const char* format;
    std::vector<LogArg> args;
    std::string expected;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Resets the process-wide log state around each test.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        CloseLog();
        ReleaseLogSettings();
        gv_quennetRoot.reset();
    }
    bool Open(const std::string& dir, BYTE level, bool append = false) {
        SetLogDefaults();
        ConfigureLog("test.log", dir.c_str(), level);
        return append ? OpenLogAppend() : OpenLog();
    }
};

}  // namespace

TEST(LogFormat, ConversionsOverTable) {
    const WCHAR* nullWide = nullptr;
    const char* nullText = nullptr;
    const std::vector<FormatCase> cases = {
        {"plain text", {}, "plain text"},
        {"%d|%i", {42, -7}, "42|-7"},
        {"%5d|%-5d|%05d", {42, 42, -42}, "   42|42   |-0042"},
        {"%+d % d", {5, 5}, "+5  5"},
        {"%d", {DWORD{4294967295u}}, "-1"},                    // 32 bits unless asked for more
        {"%u", {-1}, "4294967295"},
        {"%ld", {3000000000u}, "-1294967296"},                 // long is 32-bit
        {"%lld|%I64d", {-1099511627776LL, 1099511627776LL}, "-1099511627776|1099511627776"},
        {"%I64u|%llu", {~0ULL, 18446744073709551615ULL}, "18446744073709551615|18446744073709551615"},
        {"%zu|%Iu", {SIZE_MAX, SIZE_MAX}, std::to_string(SIZE_MAX) + "|" + std::to_string(SIZE_MAX)},  // the build's width
        {"%hd|%hhd|%hu", {70000, 300, 70000}, "4464|44|4464"},
        {"%x|%X|%#x|%o|%08X", {255, 255, 255, 8, 0xBEEF}, "ff|FF|0xff|10|0000BEEF"},
        {"%.3f|%08.2f|%e|%g|%G", {3.14159, -2.5, 12345.678, 0.0001, 1e20}, "3.142|-0002.50|1.234568e+04|0.0001|1E+20"},
        {"%f", {2}, "2.000000"},                               // integers convert for floating conversions
        {"%d", {1.9}, "1"},
        {"%c%c", {'A', 'z'}, "Az"},
        {"%lc|%wc", {0x00E9, 0x20AC}, "\xC3\xA9|\xE2\x82\xAC"},
        {"[%s]|[%-6s]|[%6s]|[%.2s]", {"abc", "ab", "ab", "abcdef"}, "[abc]|[ab    ]|[    ab]|[ab]"},
        {"%S|%ws|%ls", {WTEXT("wide"), WTEXT("Gr\u00FC\u00DFe"), WTEXT("x")}, "wide|Gr\xC3\xBC\xC3\x9F" "e|x"},
        {"%s", {WTEXT("\U0001F600")}, "\xF0\x9F\x98\x80"},            // surrogate pair
        {"%S", {WTEXT("a\xD800z")}, "a\xEF\xBF\xBDz"},               // unpaired surrogate
        {"%.2s", {"\xC3\xA9\xC3\xA9"}, "\xC3\xA9"},             // precision never splits a character
        {"%.1s", {"\xC3\xA9"}, ""},
        {"%s|%S", {nullText, nullWide}, "(null)|(null)"},
        {"%s", {nullptr}, "(null)"},
        {"%S|%s", {"narrow in wide slot", WTEXT("wide in narrow slot")}, "narrow in wide slot|wide in narrow slot"},
        {"%s", {42}, "42"},                                     // mismatch shows the number
        {"%d", {"text"}, "0"},                                  // mismatch never reads the text as a number
        {"%p", {reinterpret_cast<const void*>(0x1234)}, std::string(sizeof(void*) * 2 - 4, '0') + "1234"},
        {"100%%", {}, "100%"},
        {"%d %d %s", {1}, "1 0 (null)"},                        // missing arguments
        {"%*d|%-*d|%.*s", {5, 42, -4, 7, 2, "abcdef"}, "   42|7   |ab"},
        {"trailing %", {}, "trailing %"},
        {"%y %k", {1}, "%y %k"},                                // unknown conversions stay as written
        {"a%nb", {1}, "ab"},                                    // %n never writes anywhere
        {"%d\t%s\n", {3, "x"}, "3\tx\n"},
    };
    for (const FormatCase& c : cases) {
        EXPECT_EQ(FormatLogText(c.format, c.args), c.expected) << "format: " << c.format;
    }
}

TEST(LogFormat, HugeWidthsAndValuesStayBounded) {
    const LogArg one[] = {LogArg(1)};
    const std::string wide = FormatLogText("%999999999d", one);
    EXPECT_LE(wide.size(), 8192u);
    EXPECT_EQ(wide.back(), '1');

    const LogArg big[] = {LogArg(1e300)};
    const std::string text = FormatLogText("%f", big);
    EXPECT_EQ(text.size(), 301u + 7u);  // 301 integer digits, ".000000"
    EXPECT_EQ(text.substr(0, 4), "1000");

    EXPECT_EQ(FormatLogText(nullptr, {}), "");
}

TEST_F(LogTest, LevelThresholdsPutInfoBelowError) {
    struct LevelCase {
        BYTE level;
        bool info, error, debug, trace;
    };
    const LevelCase cases[] = {
        {0, false, false, false, false}, {1, true, false, false, false}, {2, true, true, false, false},
        {3, true, true, true, false},    {4, true, true, true, true},    {9, true, true, true, true},
    };
    for (const LevelCase& c : cases) {
        TempDir dir;
        ASSERT_TRUE(Open(dir.str(), c.level));
        LogInfo("info entry\n");
        LogError("error entry\n");
        LogDebug("debug entry\n");
        LogTrace("trace entry\n");
        CloseLog();
        const std::string text = ReadFile(dir.path() / "test.log");
        SCOPED_TRACE(int(c.level));
        EXPECT_EQ(text.find("[INFO] info entry") != std::string::npos, c.info);
        EXPECT_EQ(text.find("[ERROR] error entry") != std::string::npos, c.error);
        EXPECT_EQ(text.find("[DEBUG] debug entry") != std::string::npos, c.debug);
        EXPECT_EQ(text.find("[TRACE] trace entry") != std::string::npos, c.trace);
        // Markers are written whatever the level.
        EXPECT_NE(text.find("Log open time: "), std::string::npos);
        EXPECT_NE(text.find("Log close time: "), std::string::npos);
        if (c.level == 0) {
            EXPECT_EQ(Lines(text).size(), 2u);
        }
        ReleaseLogSettings();
    }
}

TEST_F(LogTest, LineLayoutAndMarkersAreExact) {
    TempDir dir;
    ASSERT_TRUE(Open(dir.str(), 4));
    LogInfo("Exit Code : %d\n", 0);
    LogError("\nstarts with a line break\n");
    CloseLog();
    const std::vector<std::string> lines = Lines(ReadFile(dir.path() / "test.log"));
    ASSERT_EQ(lines.size(), 5u);
    const std::string stamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3})";
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("Log open time: " + stamp))) << lines[0];
    const std::regex info(R"(\[ )" + stamp + R"( \] \[ -?\d+ \] \[INFO\] Exit Code : 0)");
    EXPECT_TRUE(std::regex_match(lines[1], info)) << lines[1];
    // The thread shown is the caller's.
    EXPECT_NE(lines[1].find("[ " + std::to_string(static_cast<int>(GetCurrentThreadId())) + " ]"), std::string::npos);
    // A message starting with a line break leaves the prefix alone on its line.
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(\[ )" + stamp + R"( \] \[ -?\d+ \] \[ERROR\] )"))) << lines[2];
    EXPECT_EQ(lines[3], "starts with a line break");
    EXPECT_TRUE(std::regex_match(lines[4], std::regex("Log close time: " + stamp))) << lines[4];
    EXPECT_TRUE(std::regex_match(GetLogTimestamp(), std::regex(stamp)));
}

TEST_F(LogTest, LifeCycleOpenAppendCloseRelease) {
    TempDir dir;
    const auto path = dir.path() / "test.log";
    ASSERT_TRUE(Open(dir.str(), 4));
    LogInfo("first\n");
    // A second open keeps the file and reports it at TRACE level.
    EXPECT_TRUE(OpenLogAppend());
    CloseLog();
    std::string text = ReadFile(path);
    EXPECT_NE(text.find("[TRACE] gv_logFilePtr already Set"), std::string::npos);

    // Appending keeps what is there; truncating does not.
    ASSERT_TRUE(OpenLogAppend());
    LogInfo("second\n");
    CloseLog();
    text = ReadFile(path);
    EXPECT_NE(text.find("first"), std::string::npos);
    EXPECT_NE(text.find("second"), std::string::npos);
    ASSERT_TRUE(OpenLog());
    CloseLog();
    EXPECT_EQ(ReadFile(path).find("first"), std::string::npos);

    // Closed: entries are dropped. Released: dropped even with a file open again.
    LogError("while closed\n");
    ReleaseLogSettings();
    EXPECT_FALSE(OpenLog()) << "no file name after release";
    std::FILE* raw = host::MappedFopen(path.string().c_str(), "a");
    ASSERT_NE(raw, nullptr);
    ASSERT_TRUE(SetLogFile(raw));
    SetLogLevel(4);
    LogError("after release\n");
    CloseLog();
    text = ReadFile(path);
    EXPECT_EQ(text.find("while closed"), std::string::npos);
    EXPECT_EQ(text.find("after release"), std::string::npos);
    EXPECT_FALSE(SetLogFile(nullptr));
    EXPECT_FALSE(ConfigureLog(nullptr, "x", 1));
}

TEST_F(LogTest, OpenWithoutAccessFailsAndLogsNothing) {
    TempDir dir;
    testsupport::WriteFile(dir.path() / "blocker", "a file where the folder should be");
    EXPECT_FALSE(Open((dir.path() / "blocker" / "logs").string(), 4));
    EXPECT_EQ(gv_logFilePtr, nullptr);
    LogError("dropped\n");  // must not crash
}

TEST_F(LogTest, SetLogDefaultsOnOpenLogOnlyResetsLevel) {
    TempDir dir;
    ASSERT_TRUE(Open(dir.str(), 1));
    LogDebug("hidden\n");
    EXPECT_TRUE(SetLogDefaults());
    EXPECT_EQ(GetLogLevel(), 3);
    EXPECT_EQ(GetLogFullPath(), dir.str() + "/test.log");
    LogDebug("visible\n");
    CloseLog();
    // Closed but named: nothing changes.
    SetLogLevel(1);
    EXPECT_TRUE(SetLogDefaults());
    EXPECT_EQ(GetLogLevel(), 1);
    const std::string text = ReadFile(dir.path() / "test.log");
    EXPECT_EQ(text.find("hidden"), std::string::npos);
    EXPECT_NE(text.find("[DEBUG] visible"), std::string::npos);
}

TEST_F(LogTest, FolderFallbacks) {
    // A directory is created with all its missing parents.
    {
        TempDir dir;
        const auto nested = dir.path() / "a" / "b" / "logs";
        ASSERT_TRUE(Open(nested.string(), 3));
        EXPECT_EQ(GetLogFullPath(), nested.string() + "/test.log");
        CloseLog();
        EXPECT_TRUE(std::filesystem::exists(nested / "test.log"));
        ReleaseLogSettings();
    }
    // No directory: "<store root>/logs".
    {
        TempDir dir;
        gv_quennetRoot = (dir.path() / "root").string();
        ASSERT_TRUE(SetLogDefaults());
        ASSERT_TRUE(OpenLog());
        CloseLog();
        EXPECT_TRUE(std::filesystem::exists(dir.path() / "root" / "logs" / "quennet.log"));
        gv_quennetRoot.reset();
        ReleaseLogSettings();
    }
    // Neither: "../logs" relative to the current directory.
    {
        TempDir dir;
        std::filesystem::create_directories(dir.path() / "work");
        const auto previous = std::filesystem::current_path();
        std::filesystem::current_path(dir.path() / "work");
        ASSERT_TRUE(SetLogDefaults());
        const bool opened = OpenLog();
        CloseLog();
        std::filesystem::current_path(previous);
        EXPECT_TRUE(opened);
        EXPECT_EQ(GetLogFullPath(), "../logs/quennet.log");
        EXPECT_TRUE(std::filesystem::exists(dir.path() / "logs" / "quennet.log"));
    }
}

TEST_F(LogTest, AppendTextToFileCreatesAndAppends) {
    TempDir dir;
    const std::string path = (dir.path() / "access.log").string();
    AppendTextToFile(path.c_str(), "%s=%d\n", "a", 1);
    AppendTextToFile(path.c_str(), "%S\n", WTEXT("b"));
    EXPECT_EQ(ReadFile(path), "a=1\nb\n");
    // Silent on failure.
    AppendTextToFile((dir.path() / "missing" / "x.log").string().c_str(), "x");
    AppendTextToFile(nullptr, "x");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
}

TEST_F(LogTest, WritersRacingTheRotationLoseNoLine) {
    TempDir dir;
    const std::string folder = dir.str();
    SetLogDefaults();
    ConfigureLog("race.log", folder.c_str(), 2);
    ASSERT_TRUE(OpenLogAppend());

    // Writers keep going until the rotation has run many times while they write.
    constexpr int kThreads = 4;
    constexpr int kMinLines = 500;
    constexpr int kMinRotations = 20;
    std::atomic<int> rotations{0};
    std::atomic<int> running{kThreads};
    std::vector<int> written(kThreads, 0);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t, &running, &rotations, &written] {
            int i = 0;
            for (; i < kMinLines || rotations < kMinRotations; ++i)
                LogError("worker %d line %d payload-%s\n", t, i, "xxxxxxxxxxxxxxxxxxxx");
            written[t] = i;
            --running;
        });
    }
    // With two files kept, each rotation deletes the previous backup, so collect it first.
    std::string collected;
    const std::string backup = (dir.path() / "race1.log").string();
    while (running > 0) {
        RotateSpecificLogs(folder.c_str(), "race.log", 2);
        collected += ReadFile(backup);
        ++rotations;
    }
    for (std::thread& w : writers) w.join();
    CloseLog();
    collected += ReadFile(dir.path() / "race.log");

    const std::regex entry(R"(\[ \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3} \] \[ -?\d+ \] \[ERROR\] worker (\d) line (\d+) payload-x{20})");
    std::map<int, std::set<int>> seen;
    int duplicates = 0;
    for (const std::string& line : Lines(collected)) {
        if (line.find("worker ") == std::string::npos) continue;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, entry)) << "torn line: " << line;
        if (!seen[std::stoi(m[1])].insert(std::stoi(m[2])).second) ++duplicates;
    }
    EXPECT_GE(rotations, kMinRotations);
    EXPECT_EQ(duplicates, 0);
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(seen[t].size(), static_cast<std::size_t>(written[t])) << "thread " << t;
}

TEST_F(LogTest, AgentLogTakesItsLevelFromTheRegistry) {
    struct AgentCase {
        const char* value;  // registry line for "ZQAgentLogLevel", or null for none
        BYTE level;
    };
    const AgentCase cases[] = {
        {nullptr, 2},
        {"dword:00000001", 1},
        {"dword:00000104", 4},   // only the low 8 bits count
        {"dword:00000000", 0},
        {"\"3\"", 0x33},         // the type is not examined: the UTF-16 "3" reads as 0x33
    };
    for (const AgentCase& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "absent");
        testsupport::MachineRoot root;
        std::string hive = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Halcyra\\Vantorra\\ZQAgent]\n";
        if (c.value) hive += std::string("\"ZQAgentLogLevel\"=") + c.value + "\n";
        ASSERT_TRUE(testsupport::WriteHive(root, hive));
        TempDir dir;
        testsupport::WriteFile(dir.path() / "agent.log", "kept\n");
        ASSERT_EQ(InitializeAgentLog("agent.log", dir.str().c_str(), 1), 0u);
        EXPECT_EQ(GetLogLevel(), c.level);
        LogDebug("debug entry\n");
        CloseLog();
        const std::string text = ReadFile(dir.path() / "agent.log");
        EXPECT_EQ(text.rfind("kept\n", 0), 0u) << "openMode 1 appends";
        EXPECT_EQ(text.find("[DEBUG] debug entry") != std::string::npos, c.level >= 3);
        ReleaseLogSettings();

        // openMode 2 truncates.
        ASSERT_EQ(InitializeAgentLog("agent.log", dir.str().c_str(), 2), 0u);
        CloseLog();
        EXPECT_EQ(ReadFile(dir.path() / "agent.log").find("kept"), std::string::npos);
        ReleaseLogSettings();
    }
    // A folder that cannot be created: 13, and the log stays closed.
    testsupport::MachineRoot root;
    TempDir dir;
    testsupport::WriteFile(dir.path() / "file", "x");
    EXPECT_EQ(InitializeAgentLog("agent.log", (dir.path() / "file" / "logs").string().c_str(), 1), 13u);
    EXPECT_EQ(gv_logFilePtr, nullptr);
}

TEST_F(LogTest, SecondOpenIsReportedOnlyAtTraceLevel) {
    TempDir dir;
    ASSERT_TRUE(Open(dir.str(), 3));
    EXPECT_TRUE(OpenLogAppend());
    EXPECT_TRUE(OpenLog());  // keeps the open file, does not truncate it
    LogDebug("still here\n");
    CloseLog();
    const std::string text = ReadFile(dir.path() / "test.log");
    EXPECT_EQ(text.find("gv_logFilePtr already Set"), std::string::npos);
    EXPECT_NE(text.find("Log open time: "), std::string::npos);
    EXPECT_NE(text.find("[DEBUG] still here"), std::string::npos);
}

// The stamp of an entry is the local wall-clock time, also right after the zone changed
// (the local fields are taken again whenever a new second begins), and each thread's
// entries carry that thread's own identifier.
TEST(LogStamps, FollowZoneChangesAndShowEachThread) {
    const char* previous = std::getenv("TZ");
    const std::string saved = previous ? previous : "";
    LogCapture log(1);
    ASSERT_TRUE(log.opened());
    const char* zones[] = {"UTC0", "XST-5:30", "YST+3:30", "UTC0"};
    for (const char* zone : zones) {
        setenv("TZ", zone, 1);
        SYSTEMTIME start{};
        GetSystemTime(&start);
        // The next entry falls in a new second, whose local fields are read afresh.
        ASSERT_TRUE(testsupport::WaitUntil([&] {
            SYSTEMTIME now{};
            GetSystemTime(&now);
            return now.wSecond != start.wSecond;
        }));
        SYSTEMTIME before{};
        GetLocalTime(&before);
        LogInfo("in zone %s\n", zone);
        const std::string text = log.text();
        const std::size_t at = text.rfind(std::string("] [INFO] in zone ") + zone);
        ASSERT_NE(at, std::string::npos) << text;
        const std::size_t lineStart = text.rfind('\n', at) + 1;
        int hour = -1, minute = -1;
        ASSERT_EQ(std::sscanf(text.c_str() + lineStart, "[ %*d-%*d-%*d %d:%d", &hour, &minute), 2);
        const int stamped = hour * 60 + minute;
        const int expected = before.wHour * 60 + before.wMinute;
        EXPECT_TRUE(stamped == expected || stamped == (expected + 1) % 1440) << zone << " " << text.substr(lineStart);
    }
    if (previous) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");

    std::vector<std::thread> writers;
    std::vector<int> ids(3);
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([t, &ids] {
            ids[t] = static_cast<int>(GetCurrentThreadId());
            LogInfo("from writer %d\n", t);
        });
    for (auto& writer : writers) writer.join();
    const std::string text = log.text();
    for (int t = 0; t < 3; ++t)
        EXPECT_NE(text.find("[ " + std::to_string(ids[t]) + " ] [INFO] from writer " + std::to_string(t) + "\n"),
                  std::string::npos)
            << text;
}
