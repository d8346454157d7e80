// The log, its rotation and the error log against a local user who plants links and
// files where they will be written: root's files are never written through them, and
// what the runtime creates is readable by its owner (and group) only.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "runtime/helpers.h"
#include "runtime/log.h"
#include "runtime/rotation.h"
#include "runtime/tests/log_capture.h"
#include "tests/support/hostile_user.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using testsupport::AsUnprivilegedUser;
using testsupport::ModeOf;
using testsupport::OpenToUsers;
using testsupport::OwnerOf;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

constexpr int kOwnFileMode = 0640;

// A root-owned file in a folder only root can enter: what a planted link points at.
struct RootsFile {
    TempDir folder;  // 0700
    fs::path path = folder.path() / "precious";
    explicit RootsFile(const std::string& content) { WriteFile(path, content); }
    std::string content() const { return ReadFile(path); }
};

// As nobody, plants a symbolic link at `at` pointing to `target`.
bool PlantLink(const fs::path& target, const fs::path& at) {
    return AsUnprivilegedUser([&] { return ::symlink(target.c_str(), at.c_str()) == 0; });
}

class HostileUser : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::Nobody().available()) GTEST_SKIP() << "needs root and the account nobody";
        OpenToUsers(shared_.path());  // a folder a local user can write, as a misconfigured logs folder
        CloseLog();
        ReleaseLogSettings();
    }
    void TearDown() override {
        CloseLog();
        ReleaseLogSettings();
    }
    fs::path Shared(const std::string& name) const { return shared_.path() / name; }

    TempDir shared_;
};

TEST_F(HostileUser, LogOpenedThroughAPlantedLinkIsRefusedAndRootsFileKept) {
    for (const bool dangling : {false, true}) {
        SCOPED_TRACE(dangling ? "link to a file that does not exist yet" : "link to an existing file");
        RootsFile roots("root's own text\n");
        if (dangling) fs::remove(roots.path);
        fs::remove(Shared("agent.log"));
        ASSERT_TRUE(PlantLink(roots.path, Shared("agent.log")));

        SetLogDefaults();
        ConfigureLog("agent.log", shared_.str().c_str(), 4);
        ::testing::internal::CaptureStderr();
        const bool opened = OpenLogAppend();
        LogInfo("an entry that must go nowhere\n");
        const std::string stderrText = ::testing::internal::GetCapturedStderr();

        EXPECT_FALSE(opened);
        EXPECT_EQ(gv_logFilePtr, nullptr);
        EXPECT_NE(stderrText.find("agent.log: it is a symbolic link"), std::string::npos) << stderrText;
        if (dangling) EXPECT_FALSE(fs::exists(roots.path)) << "root's file was created through the link";
        else EXPECT_EQ(roots.content(), "root's own text\n");
        CloseLog();
        ReleaseLogSettings();
    }
}

TEST_F(HostileUser, LogIsCreatedPrivateAndAnOldWorldReadableLogIsNarrowed) {
    SetLogDefaults();
    ConfigureLog("new.log", shared_.str().c_str(), 4);
    ASSERT_TRUE(OpenLogAppend());
    LogInfo("first\n");
    CloseLog();
    EXPECT_EQ(ModeOf(Shared("new.log")), kOwnFileMode);
    EXPECT_FALSE(AsUnprivilegedUser([&] { return !ReadFile(Shared("new.log")).empty(); }));

    WriteFile(Shared("old.log"), "kept line\n");
    fs::permissions(Shared("old.log"), fs::perms(0666));
    ConfigureLog("old.log", shared_.str().c_str(), 4);
    ASSERT_TRUE(OpenLogAppend());
    LogInfo("second\n");
    CloseLog();
    EXPECT_EQ(ModeOf(Shared("old.log")), kOwnFileMode);
    const std::string text = ReadFile(Shared("old.log"));
    EXPECT_EQ(text.rfind("kept line\n", 0), 0u) << text;
    EXPECT_NE(text.find("[INFO] second"), std::string::npos);
}

TEST_F(HostileUser, ErrorAndAccessLogsAreNeverWrittenThroughALink) {
    RootsFile roots("root's own text\n");
    ASSERT_TRUE(PlantLink(roots.path, Shared("zqerror.log")));
    ASSERT_TRUE(PlantLink(roots.path, Shared("downloadFailureAccess.log")));

    LogCapture log;
    ::testing::internal::CaptureStderr();
    AppendLineToFile(Shared("zqerror.log").c_str(), "an error entry");
    AppendTextToFile(Shared("downloadFailureAccess.log").c_str(), "%s\n", "an access entry");
    const std::string stderrText = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(roots.content(), "root's own text\n");
    EXPECT_NE(stderrText.find("zqerror.log: it is a symbolic link"), std::string::npos) << stderrText;
    EXPECT_NE(stderrText.find("downloadFailureAccess.log: it is a symbolic link"), std::string::npos);

    // Where nothing was planted they are created for their owner (and group) only.
    // A Windows path, whose folder the helper creates first.
    EXPECT_EQ(AppendLineToFile((shared_.str() + "\\fresh\\zqerror.log").c_str(), "an error entry"), 0u);
    AppendTextToFile(Shared("downloadSuccessAccess.log").c_str(), "%s\n", "an access entry");
    EXPECT_EQ(ReadFile(Shared("fresh/zqerror.log")), "an error entry\n");
    EXPECT_EQ(ModeOf(Shared("fresh/zqerror.log")), kOwnFileMode);
    EXPECT_EQ(ModeOf(Shared("downloadSuccessAccess.log")), kOwnFileMode);
}

TEST_F(HostileUser, RotationNeitherTruncatesNorOverwritesWhatLinksPointAt) {
    // The live file is a link to root's large file: not measured, copied or emptied.
    RootsFile large(std::string(2000000, 'r'));
    ASSERT_TRUE(PlantLink(large.path, Shared("agent.log")));
    RotateLoggerForEverRunningProcess(shared_.str().c_str(), "agent.log", 5, 2000000);
    EXPECT_EQ(fs::file_size(large.path), 2000000u);
    EXPECT_FALSE(fs::exists(Shared("agent1.log")));

    // A backup name is a link: the backup replaces the link, root's file stays.
    RootsFile roots("root's own text\n");
    fs::remove(Shared("agent.log"));
    WriteFile(Shared("agent.log"), std::string(2000000, 'l'));
    fs::permissions(Shared("agent.log"), fs::perms(kOwnFileMode));
    ASSERT_TRUE(PlantLink(roots.path, Shared("agent1.log")));
    ASSERT_TRUE(PlantLink(roots.path, Shared("agent2.log")));
    RotateLoggerForEverRunningProcess(shared_.str().c_str(), "agent.log", 5, 2000000);
    EXPECT_EQ(roots.content(), "root's own text\n");
    EXPECT_FALSE(fs::exists(Shared("agent3.log"))) << "root's text was copied among the logs";
    EXPECT_EQ(fs::file_size(Shared("agent.log")), 0u);
    ASSERT_FALSE(fs::is_symlink(Shared("agent1.log")));
    EXPECT_EQ(fs::file_size(Shared("agent1.log")), 2000000u);
    EXPECT_EQ(OwnerOf(Shared("agent1.log")), ::geteuid());
    EXPECT_EQ(ModeOf(Shared("agent1.log")), kOwnFileMode);
}

}  // namespace
#endif  // _WIN32
