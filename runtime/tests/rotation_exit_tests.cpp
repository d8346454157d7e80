// The rotation timer at shutdown: StopLogRotation waits for a check under way, and a
// process that exits while checks fire at a high rate touches no freed memory (the
// sanitizer build turns such a touch into a failed exit).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "runtime/log.h"
#include "runtime/rotation.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;

namespace {

std::size_t Occurrences(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

// Settings whose strings live on the heap, so a check that reads them after they are
// freed is seen by the sanitizers.
std::unique_ptr<LoggerSettings> FastSettings(const fs::path& dir, DWORD threshold) {
    auto settings = std::make_unique<LoggerSettings>();
    settings->fileName = "a-log-file-name-long-enough-for-the-heap.log";
    settings->directory = (dir / "a-folder-name-long-enough-for-the-heap").string();
    settings->threshold = threshold;
    settings->period = 0;  // every check arms the next one at once
    return settings;
}

}  // namespace

TEST(RotationShutdown, StopWaitsForTheCheckUnderWay) {
    testsupport::MachineRoot root;
    testsupport::TempDir dir;
    CloseLog();
    ReleaseLogSettings();
    auto settings = FastSettings(dir.path(), 0xFFFFFFFF);  // checks only, never a rotation
    const fs::path live = fs::path(settings->directory) / settings->fileName;
    StartLogRotation(settings.get());
    ASSERT_NE(gv_logFilePtr, nullptr);
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return Occurrences(ReadFile(live), "End of LoggerTimerRoutine Method") >= 20; }));
    StopLogRotation();
    settings.reset();  // the check that was running has ended: nothing reads these any more
    std::string text = ReadFile(live);
    // A check cut off by the close would leave its opening line without the closing one.
    // (The first firing may start before the log is open and lose its opening line.)
    text = text.substr(text.find("Inside LoggerTimerRoutine Method"));
    EXPECT_EQ(Occurrences(text, "Inside LoggerTimerRoutine Method"),
              Occurrences(text, "End of LoggerTimerRoutine Method"));
    EXPECT_NE(text.find("Log close time: "), std::string::npos);
    const std::string afterClose = text.substr(text.find("Log close time: "));
    EXPECT_EQ(afterClose.find("[INFO]"), std::string::npos) << "a check logged after the close";
}

namespace {

testsupport::TempDir* gv_exitDir = nullptr;  // the child's folders, removed after the timer stopped
testsupport::MachineRoot* gv_exitRoot = nullptr;

void RemoveExitFolders() {
    std::error_code ignored;
    fs::remove_all(gv_exitDir->path(), ignored);
    fs::remove_all(gv_exitRoot->path(), ignored);
}

[[noreturn]] void ExitWhileChecksFire() {
    // Destroyed at exit like any program's static settings.
    static std::unique_ptr<LoggerSettings> settings;
    gv_exitDir = new testsupport::TempDir;
    gv_exitRoot = new testsupport::MachineRoot;
    std::atexit(RemoveExitFolders);
    CloseLog();
    ReleaseLogSettings();
    settings = FastSettings(gv_exitDir->path(), 1);  // every check rotates
    StartLogRotation(settings.get());
    const fs::path folder = settings->directory;
    testsupport::WaitUntil([&] { return fs::exists(folder / "a-log-file-name-long-enough-for-the-heap3.log"); });
    for (int i = 0; i < 200; ++i) LogError("entry %d while the checks run\n", i);
    std::exit(0);  // no StopLogRotation: the exit itself must stop the timer
}

}  // namespace

TEST(RotationShutdownDeathTest, ExitWhileChecksFireAtAHighRate) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int run = 0; run < 5; ++run) EXPECT_EXIT(ExitWhileChecksFire(), ::testing::ExitedWithCode(0), "") << run;
}
