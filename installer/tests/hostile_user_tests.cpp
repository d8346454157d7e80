// zqprereqhandler, run as root, against a local user (nobody) who plants programs on
// the search path and links in the logs folder: nothing planted is run or written through.
#include <gtest/gtest.h>

#ifndef _WIN32  // accounts and links of POSIX; under Wine the handler runs as one user
#include <cstdlib>

#include "installer/tests/handler_machine.h"
#include "tests/support/hostile_user.h"

namespace installertest {
namespace {

using testsupport::AsUnprivilegedUser;
using testsupport::ModeOf;
using testsupport::OpenToUsers;

class HandlerAgainstALocalUser : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::Nobody().available()) GTEST_SKIP() << "needs root and the account nobody";
    }
};

TEST_F(HandlerAgainstALocalUser, ProgramNamedLikeTheInstallerOnThePathIsNeverRun) {
    HandlerMachine machine;
    machine.Prepare("itunes64");
    fs::remove(machine.PatchDir() / machine.Archive());  // the archive went missing
    testsupport::TempDir planted;
    OpenToUsers(planted.path());
    const fs::path marker = planted.path() / "ran";
    ASSERT_TRUE(AsUnprivilegedUser([&] {
        for (const std::string name : {machine.Archive(), std::string("msiexec.exe"), std::string("7za.exe")}) {
            testsupport::WriteFile(planted.path() / name,
                                   "#!/bin/sh\necho \"$0 $*\" >> " + ShellQuote(marker.string()) + "\nexit 0\n");
            fs::permissions(planted.path() / name, fs::perms(0755));
        }
        return true;
    }));
    machine.SetEnvironment("PATH", planted.str() + ":.:" + std::getenv("PATH"));

    const HandlerRun run = machine.Run({"-n", "itunes64", "-p", machine.Archive()}, planted.path());
    EXPECT_FALSE(fs::exists(marker)) << testsupport::ReadFile(marker);
    EXPECT_EQ(run.exitCode, ERROR_FILE_NOT_FOUND);  // the failure, not the planted program's 0
    EXPECT_EQ(MissingInOrder(run.log, {"INFO execute : Failed to Create the Process for the application ",
                                       "INFO Main Application Execution completed... exit code : 2 "}),
              "");
}

TEST_F(HandlerAgainstALocalUser, LinksInTheLogsFolderAreNotWrittenThroughAndTheRunGoesOn) {
    HandlerMachine machine;
    machine.Prepare("itunes64", {"--packages", "none"});
    const fs::path logs = machine.InstallDir() / "logs";
    OpenToUsers(logs);
    testsupport::TempDir privateFolder;  // 0700: root's own
    const fs::path roots = privateFolder.path() / "precious";
    testsupport::WriteFile(roots, "root's own text\n");
    ASSERT_TRUE(AsUnprivilegedUser([&] {
        return ::symlink(roots.c_str(), (logs / "zqprereqhandler.log").c_str()) == 0 &&
               ::symlink(roots.c_str(), (logs / "zqprereqhandler1.log").c_str()) == 0;
    }));

    const HandlerRun run = machine.Run({"-n", "itunes64", "-p", machine.Archive()});
    EXPECT_EQ(testsupport::ReadFile(roots), "root's own text\n");
    EXPECT_EQ(run.exitCode, 0u);  // installed without its log
    ASSERT_FALSE(run.installs.empty());
    EXPECT_EQ(run.installs.back(), machine.Archive() + " /passive /quiet /norestart => 0");
    EXPECT_NE(run.stderrText.find("zqprereqhandler.log: it is a symbolic link"), std::string::npos)
        << run.stderrText;
}

TEST_F(HandlerAgainstALocalUser, TheLogIsReadableByItsOwnerAndGroupOnly) {
    HandlerMachine machine;
    machine.Prepare("itunes64", {"--packages", "none"});
    const HandlerRun run = machine.Run({"-n", "itunes64", "-p", machine.Archive()});
    EXPECT_EQ(run.exitCode, 0u);
    const fs::path log = machine.InstallDir() / "logs/zqprereqhandler.log";
    EXPECT_EQ(ModeOf(log), 0640);
    OpenToUsers(log.parent_path(), false);
    EXPECT_FALSE(AsUnprivilegedUser([&] { return !testsupport::ReadFile(log).empty(); }));
}

}  // namespace
}  // namespace installertest
#endif  // _WIN32
