// The process runner against real child processes: exit codes and their installer
// mapping, the time limit, failures to start, and the runner's current directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "installer/installer.h"
#include "installer/tests/log_lines.h"
#include "runtime/runtime.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using installertest::CountEntries;
using installertest::LogEntries;
using installertest::MissingInOrder;
using testsupport::ReadFile;
using testsupport::WaitUntil;

namespace {

class RunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        originalDirectory_ = fs::current_path();
        ASSERT_TRUE(SetLogDefaults());
        ASSERT_TRUE(ConfigureLog("runner.log", logs_.str().c_str(), 4));
        ASSERT_TRUE(OpenLog());
        fs::create_directories(machine_.drivePath('C', "work"));
    }
    void TearDown() override {
        CloseLog();
        ReleaseLogSettings();
        fs::current_path(originalDirectory_);
    }

    std::vector<std::string> Entries() const {
        return LogEntries(ReadFile(logs_.path() / "runner.log"));
    }

    // An executable script at C:\tools\<name>; returns its Windows path.
    std::string Script(const std::string& name, const std::string& body) {
        const fs::path path = machine_.drivePath('C', "tools/" + name);
        testsupport::WriteFile(path, "#!/bin/sh\n" + body);
        fs::permissions(path,
                        fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
        return "C:\\tools\\" + name;
    }

    fs::path Host(const std::string& rest) const { return machine_.drivePath('C', rest); }

    testsupport::MachineRoot machine_;
    testsupport::TempDir logs_;
    testsupport::TempDir elsewhere_;
    fs::path originalDirectory_;
};

TEST_F(RunnerTest, ExitCodesReachExecuteAndInstallerSuccessCodesFoldIntoZero) {
    const std::string script =
        Script("exit-with.sh", "echo \"$1\" > \"$VANTORRA_EXIT_CODE_FILE\"\nexit 0\n");
    struct Case {
        DWORD code;
        DWORD fromInstaller;
    };
    const Case cases[] = {{0, 0},       {1, 1},     {1508, 0},    {1641, 0},    {3010, 0},
                          {1603, 1603}, {258, 258}, {3011, 3011}, {1640, 1640}, {70000, 70000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        const std::string command = script + " " + std::to_string(c.code);
        std::string remarks = "stale";
        EXPECT_EQ(execute("C:\\work", command.c_str(), &remarks, 1, 0), c.code);
        EXPECT_NE(remarks, "stale");
        EXPECT_EQ(executeInstaller("C:\\work", command.c_str(), &remarks, 1, 0), c.fromInstaller);
        EXPECT_EQ(CountEntries(Entries(), "INFO execute : Exit code for the application : " +
                                              std::to_string(c.code) + " "),
                  2);
    }
}

TEST_F(RunnerTest, ChildOverItsLimitIsTerminatedAndYields258) {
    const fs::path pidFile = elsewhere_.path() / "pid";
    const std::string command =
        Script("hang.sh", "echo $$ > \"$1\"\nexec sleep 60\n") + " " + pidFile.string();

    const auto start = std::chrono::steady_clock::now();
    std::string remarks;
    const DWORD result =
        installer::ExecuteInstallerWithLimit("C:\\work", command.c_str(), &remarks, 300, 0);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(result, WAIT_TIMEOUT);  // executeInstaller passes 258 on
    EXPECT_GE(elapsed, std::chrono::milliseconds(300));
    EXPECT_LT(elapsed, std::chrono::seconds(30));
    EXPECT_EQ(MissingInOrder(
                  Entries(),
                  {"INFO execute : Process successfully created for application " + command + " ",
                   "INFO execute : Terminating the Process for application " + command +
                       " as time is exceeded 0 Minutes ",
                   "INFO execute : The process has been successfully terminated ..! ",
                   "INFO execute : Remarks from the CreateProcess is " + remarks +
                       " for the executable " + command + " "}),
              "");

    // The child itself is gone (at most a zombie awaiting its parent).
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(pidFile) && !ReadFile(pidFile).empty(); }));
    const std::string pid = std::to_string(std::stoi(ReadFile(pidFile)));
    EXPECT_TRUE(WaitUntil([&] {
        const std::string stat = ReadFile("/proc/" + pid + "/stat");
        if (stat.empty()) return true;
        const size_t close = stat.rfind(')');
        return close != std::string::npos && stat.compare(close + 2, 1, "Z") == 0;
    }));
}

TEST_F(RunnerTest, LimitZeroStartsTheChildWithoutWaitingForIt) {
    const fs::path go = elsewhere_.path() / "go";
    const fs::path done = elsewhere_.path() / "done";
    const std::string command =
        Script("wait-for-go.sh",
               "i=0\nwhile [ ! -f \"$1\" ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done\n"
               "touch \"$2\"\n") +
        " " + go.string() + " " + done.string();

    std::string remarks;
    EXPECT_EQ(installer::ExecuteWithLimit("C:\\work", command.c_str(), &remarks, 0, 0), 0u);
    EXPECT_FALSE(fs::exists(done));  // still waiting for us: we did not wait for it
    testsupport::WriteFile(go, "");
    EXPECT_TRUE(WaitUntil([&] { return fs::exists(done); }));
    EXPECT_EQ(CountEntries(Entries(), "INFO execute : Exit code for the application : 0 "), 0);
}

TEST_F(RunnerTest, StartFailuresReportTheSystemErrorAndRestoreTheDirectory) {
    const std::string marker = (elsewhere_.path() / "ran").string();
    const std::string touching = Script("touch.sh", "touch \"$1\"\n") + " " + marker;
    struct Case {
        const char* name;
        const char* workingDirectory;
        std::string command;
        bool returnsAtOnce;  // before the process creation: no closing lines
    };
    const Case cases[] = {
        {"missing program", "C:\\work", "C:\\tools\\no-such-program.exe /quiet", false},
        {"missing program, no directory", nullptr, "C:\\tools\\no-such-program.exe", false},
        {"missing working directory", "C:\\no\\such\\folder", touching, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::current_path(elsewhere_.path());
        std::string remarks;
        const DWORD result = execute(c.workingDirectory, c.command.c_str(), &remarks, 1, 0);
        EXPECT_TRUE(result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND) << result;
        EXPECT_FALSE(remarks.empty());
        EXPECT_EQ(fs::current_path(), elsewhere_.path());
        EXPECT_FALSE(fs::exists(marker));
        const auto entries = Entries();
        if (c.returnsAtOnce) {
            EXPECT_EQ(MissingInOrder(entries, {"ERROR execute : Failed to set the WorkingDirectory "
                                               "C:\\no\\such\\folder "}),
                      "");
            EXPECT_EQ(CountEntries(entries, "INFO execute : Remarks from the CreateProcess is " +
                                                remarks + " for the executable " + c.command + " "),
                      0);
        } else {
            EXPECT_EQ(
                MissingInOrder(entries,
                               {"INFO execute : Failed to Create the Process for the application ",
                                "INFO execute : Remarks from the CreateProcess is " + remarks +
                                    " for the executable " + c.command + " "}),
                "");
        }
    }
}

TEST_F(RunnerTest, ChildRunsInTheWorkingDirectoryAndOursComesBack) {
    const fs::path seen = elsewhere_.path() / "pwd";
    const std::string command = Script("pwd.sh", "pwd > \"$1\"\n") + " " + seen.string();
    fs::create_directories(Host("work/sub"));

    struct Case {
        const char* name;
        fs::path startIn;
        const char* workingDirectory;
        fs::path expectedChildDirectory;
    };
    const Case cases[] = {
        {"absolute Windows path", elsewhere_.path(), "C:\\work", Host("work")},
        {"relative path", Host("work"), "sub", Host("work/sub")},
        {"no working directory", elsewhere_.path(), nullptr, elsewhere_.path()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(seen);
        fs::current_path(c.startIn);
        std::string remarks;
        EXPECT_EQ(execute(c.workingDirectory, command.c_str(), &remarks, 1, 0), 0u);
        std::string childDirectory = ReadFile(seen);
        while (!childDirectory.empty() && childDirectory.back() == '\n') childDirectory.pop_back();
        EXPECT_EQ(fs::canonical(childDirectory), fs::canonical(c.expectedChildDirectory));
        EXPECT_EQ(fs::current_path(), c.startIn);
    }
    // Only the calls with a working directory log the directory lines.
    const auto entries = Entries();
    EXPECT_EQ(MissingInOrder(
                  entries, {"INFO execute : Current Working Directory : " + elsewhere_.str() + " ",
                            "INFO execute : Executing Application Source : " + command + " ",
                            "INFO execute : Set Working Directory : C:\\work "}),
              "");
    EXPECT_EQ(
        installertest::EntriesAfter(entries, "INFO execute : Set Working Directory : ").size(), 2u);
}

TEST_F(RunnerTest, MissingCommandLineStartsNothing) {
    fs::current_path(elsewhere_.path());
    for (const char* command : {static_cast<const char*>(nullptr), ""}) {
        std::string remarks;
        EXPECT_EQ(execute("C:\\work", command, &remarks, 1, 0), ERROR_INVALID_PARAMETER);
        EXPECT_FALSE(remarks.empty());
        EXPECT_EQ(fs::current_path(), elsewhere_.path());
    }
    EXPECT_EQ(
        CountEntries(Entries(), "INFO execute : Process successfully created for application  "),
        0);
}

TEST_F(RunnerTest, CurrentDirectoryTooLongForTheBufferStartsNothing) {
    // Build a directory whose path exceeds the runner's 4096-character buffer.
    fs::current_path(elsewhere_.path());
    const std::string part(200, 'd');
    while (fs::current_path().string().size() <= 4200) {
        fs::create_directory(part);
        fs::current_path(part);
    }
    const fs::path deep = fs::current_path();
    const fs::path marker = elsewhere_.path() / "ran";
    const std::string command = Script("touch2.sh", "touch \"$1\"\n") + " " + marker.string();
    std::string remarks;
    const DWORD result = execute("C:\\work", command.c_str(), &remarks, 1, 0);
    EXPECT_GT(result, 4096u);
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_EQ(fs::current_path(), deep);
    EXPECT_EQ(
        MissingInOrder(Entries(), {"ERROR execute : CurrentWorkingDirectory Buffer overflow. Need "
                                   "to allocate the length for " +
                                   std::to_string(result) + " chars "}),
        "");
}

}  // namespace
