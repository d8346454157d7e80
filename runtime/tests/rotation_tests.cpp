// Log rotation: size threshold, backup shifting and limits, foreign files, the timer
// on its own thread and the shutdown.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "runtime/agent_key.h"
#include "runtime/log.h"
#include "runtime/rotation.h"
#include "runtime/tests/log_capture.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::size_t FileCount(const fs::path& dir) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(dir)) count += entry.is_regular_file() ? 1 : 0;
    return count;
}

void MakeFileOfSize(const fs::path& path, std::uintmax_t size) {
    WriteFile(path, "");
    fs::resize_file(path, size);
}

}  // namespace

TEST(Rotation, ThresholdReachedExactlyButNotOneByteShort) {
    struct SizeCase {
        std::uintmax_t size;
        bool reached;
    };
    for (const SizeCase c : {SizeCase{2000000, true}, SizeCase{1999999, false}, SizeCase{2000001, true},
                             SizeCase{0, false}}) {
        TempDir dir;
        MakeFileOfSize(dir.path() / "app.log", c.size);
        EXPECT_EQ(CheckLogSizeReached((dir.path() / "app.log").string().c_str(), 2000000), c.reached) << c.size;
        RotateLoggerForEverRunningProcess(dir.str().c_str(), "app.log", 5, 2000000);
        EXPECT_EQ(fs::exists(dir.path() / "app1.log"), c.reached) << c.size;
        EXPECT_EQ(fs::file_size(dir.path() / "app.log"), c.reached ? 0 : c.size);
    }
}

TEST(Rotation, MissingLiveFileIsNotRotatedAndLogsTheHandleError) {
    TempDir dir;
    LogCapture log;
    EXPECT_FALSE(CheckLogSizeReached((dir.path() / "absent.log").string().c_str(), 1));
    EXPECT_FALSE(CheckLogSizeReached(nullptr, 1));
    EXPECT_EQ(RotateLoggerForEverRunningProcess(dir.str().c_str(), "absent.log", 5, 0), 0u);
    EXPECT_EQ(FileCount(dir.path()), 0u);
    EXPECT_TRUE(log.has("[ERROR] CheckLogSizeReached : Unable to get the file handle \n"));
}

TEST(Rotation, FirstRotationMakesBackupOneAndEmptiesTheLiveFile) {
    TempDir dir;
    LogCapture log;
    WriteFile(dir.path() / "zqprereqhandler.log", "old entries\n");
    RotateLoggerForEverRunningProcess(dir.str().c_str(), "zqprereqhandler.log", 5, 5);
    EXPECT_EQ(ReadFile(dir.path() / "zqprereqhandler1.log"), "old entries\n");
    EXPECT_EQ(fs::file_size(dir.path() / "zqprereqhandler.log"), 0u);
    EXPECT_EQ(FileCount(dir.path()), 2u);
    EXPECT_TRUE(log.has("CheckLogSizeReached : The log file size of "));
    EXPECT_TRUE(log.has("is given by 12 \n"));
    EXPECT_TRUE(log.has("RotateSpecificLogs : File successfully copied from "));
    EXPECT_TRUE(log.has("RotateSpecificLogs : The return Value from FindNumberOfRepeatedFileNames method is : 1 \n"));
}

TEST(Rotation, NeverMoreThanFiveFiles) {
    TempDir dir;
    WriteFile(dir.path() / "app.log", "live");
    for (int n = 1; n <= 4; ++n) WriteFile(dir.path() / ("app" + std::to_string(n) + ".log"), "old" + std::to_string(n));
    RotateSpecificLogs(dir.str().c_str(), "app.log", 5);
    EXPECT_EQ(FileCount(dir.path()), 5u);
    EXPECT_EQ(ReadFile(dir.path() / "app.log"), "");
    EXPECT_EQ(ReadFile(dir.path() / "app1.log"), "live");
    EXPECT_EQ(ReadFile(dir.path() / "app2.log"), "old1");
    EXPECT_EQ(ReadFile(dir.path() / "app3.log"), "old2");
    EXPECT_EQ(ReadFile(dir.path() / "app4.log"), "old3");  // old4 was the oldest and is gone

    // Keep rotating: the count stays at five and the newest content is always backup 1.
    for (int round = 0; round < 6; ++round) {
        WriteFile(dir.path() / "app.log", "round" + std::to_string(round));
        RotateSpecificLogs(dir.str().c_str(), "app.log", 5);
        EXPECT_EQ(FileCount(dir.path()), 5u);
        EXPECT_EQ(ReadFile(dir.path() / "app1.log"), "round" + std::to_string(round));
    }
    EXPECT_EQ(ReadFile(dir.path() / "app4.log"), "round2");
}

TEST(Rotation, ListOfNamesRotatesEach) {
    TempDir dir;
    WriteFile(dir.path() / "a.log", "A");
    WriteFile(dir.path() / "b.log", "B");
    RotateSpecificLogs(dir.str().c_str(), "a.log;;b.log", 5);
    EXPECT_EQ(ReadFile(dir.path() / "a1.log"), "A");
    EXPECT_EQ(ReadFile(dir.path() / "b1.log"), "B");
}

TEST(Rotation, ForeignFilesWithTheSamePrefixAndGapsAreSkipped) {
    TempDir dir;
    LogCapture log;
    WriteFile(dir.path() / "app.log", "live");
    WriteFile(dir.path() / "app_other.txt", "foreign");
    WriteFile(dir.path() / "app3.log", "stray backup");
    EXPECT_EQ(FindNoOfRepeatedFileNames(dir.str().c_str(), "app"), 3);
    RotateSpecificLogs(dir.str().c_str(), "app.log", 5);
    // The count of three starts the shift at backup 2, which is missing: that copy fails
    // and the live file still reaches backup 1.
    EXPECT_EQ(ReadFile(dir.path() / "app1.log"), "live");
    EXPECT_EQ(ReadFile(dir.path() / "app_other.txt"), "foreign");
    EXPECT_EQ(ReadFile(dir.path() / "app3.log"), "stray backup");
    EXPECT_EQ(ReadFile(dir.path() / "app.log"), "");
    EXPECT_TRUE(log.has("RotateSpecificLogs : CopyFile failed to move from "));
}

TEST(Rotation, CountingFailureChangesNothing) {
    TempDir dir;
    LogCapture log;
    const std::string missing = (dir.path() / "nowhere").string();
    EXPECT_EQ(FindNoOfRepeatedFileNames(missing.c_str(), "app"), -1);
    EXPECT_TRUE(log.has("[ERROR] FindNumberOfRepeatedFileNames : Unable to find the files/folder.\n"));
    EXPECT_EQ(RotateSpecificLogs(missing.c_str(), "app.log", 5), 0u);
    EXPECT_FALSE(fs::exists(missing));
}

TEST(Rotation, TimerFiresOnAnotherThreadUntilStopped) {
    testsupport::MachineRoot root;
    TempDir dir;
    CloseLog();
    ReleaseLogSettings();
    static LoggerSettings settings;  // the timer may still hold it after the test
    settings = LoggerSettings{};
    settings.fileName = "timed.log";
    settings.directory = dir.str();
    settings.threshold = 4096;
    settings.period = 20;
    StartLogRotation(&settings);
    ASSERT_NE(gv_logFilePtr, nullptr);
    EXPECT_EQ(GetLogLevel(), 2);  // "ZQAgentLogLevel" absent

    const auto live = dir.path() / "timed.log";
    const auto backup = dir.path() / "timed1.log";
    // Grow the log past the threshold; a later firing must rotate it.
    for (int i = 0; i < 100; ++i) LogError("filler entry %d of the timed log ..............................\n", i);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return fs::exists(backup); }));
    ASSERT_TRUE(testsupport::WaitUntil([&] {
        return ReadFile(live).find("LoggerTimerRoutine : End of LoggerTimerRoutine Method\n") != std::string::npos;
    }));
    const std::string text = ReadFile(backup) + ReadFile(live);
    const std::regex timerLine(R"(\[ [^\]]+ \] \[ (-?\d+) \] \[INFO\] LoggerTimerRoutine : Inside LoggerTimerRoutine Method)");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(text, match, timerLine));
    EXPECT_NE(std::stoi(match[1]), static_cast<int>(GetCurrentThreadId()));

    StopLogRotation();
    EXPECT_EQ(gv_logFilePtr, nullptr);
    EXPECT_NE(ReadFile(live).find("Log close time: "), std::string::npos);
    // After the shutdown no firing writes again: the log is closed and released.
    const auto sizeAfterStop = fs::file_size(live);
    LogError("after stop\n");
    EXPECT_EQ(fs::file_size(live), sizeAfterStop);
}

TEST(Rotation, WithoutTimerChecksOnceAndOpensTheLog) {
    testsupport::MachineRoot root;
    TempDir dir;
    CloseLog();
    ReleaseLogSettings();
    testsupport::WriteHive(root,
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Halcyra\\Vantorra\\ZQAgent]\n"
              "\"ZQAgentLogLevel\"=dword:00000104\n");
    WriteFile(dir.path() / "once.log", "0123456789");
    LoggerSettings settings;
    settings.fileName = "once.log";
    settings.directory = dir.str();
    settings.threshold = 10;
    settings.useTimer = false;
    settings.openMode = 2;
    StartLogRotation(&settings);
    EXPECT_EQ(ReadFile(dir.path() / "once1.log"), "0123456789");
    EXPECT_EQ(GetLogLevel(), 4);  // only the low 8 bits count
    LogTrace("trace visible\n");
    StopLogRotation();
    EXPECT_NE(ReadFile(dir.path() / "once.log").find("[TRACE] trace visible"), std::string::npos);
}

TEST(Rotation, ProcessLogUsesInstallDirectoryAndReportsMissingOne) {
    {
        testsupport::MachineRoot root;
        CloseLog();
        ReleaseLogSettings();
        gv_agentInstallDir.reset();
        EXPECT_EQ(InitializeProcessLog("zqprereqhandler.log"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(gv_logFilePtr, nullptr);
    }
    testsupport::MachineRoot root;
    testsupport::WriteHive(root,
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Halcyra\\Vantorra\\ZQAgent]\n"
              "\"ZQAgentInstallDir\"=\"C:\\\\Program Files\\\\Vantorra\\\\Agent\\\\\"\n");
    EXPECT_EQ(InitializeProcessLog("zqprereqhandler.log"), 0u);
    EXPECT_EQ(gv_agentInstallDir, "C:\\Program Files\\Vantorra\\Agent\\");
    EXPECT_EQ(GetLogFullPath(), "C:\\Program Files\\Vantorra\\Agent\\logs/zqprereqhandler.log");
    LogError("Exit Code : %d\n", 0);
    StopLogRotation();
    const std::string text = ReadFile(root.drivePath('C', "Program Files/Vantorra/Agent/logs/zqprereqhandler.log"));
    EXPECT_NE(text.find("[ERROR] Exit Code : 0\n"), std::string::npos);
    gv_agentInstallDir.reset();
}
