// The host layer's own files against a local user who plants links, files and FIFOs
// where they go: the registry hive, its lock and its temporary file, and the private
// files of OpenOwnFile. Root's files are never written through them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <optional>
#include <thread>
#include <tuple>

#include "platform/platform.h"
#include "platform/src/registry_hive.h"
#include "tests/support/hostile_user.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::AsUnprivilegedUser;
using testsupport::ModeOf;
using testsupport::OpenToUsers;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

// Runs work on a thread of its own and waits for it at most ten seconds, so that a call
// blocked by a planted FIFO fails the test instead of hanging it.
template <typename Work>
std::optional<std::invoke_result_t<Work>> WithinTenSeconds(Work work) {
    std::packaged_task<std::invoke_result_t<Work>()> task(std::move(work));
    auto result = task.get_future();
    std::thread(std::move(task)).detach();
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return std::nullopt;
    return result.get();
}

class HostileUser : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::Nobody().available()) GTEST_SKIP() << "needs root and the account nobody";
        OpenToUsers(root_.path() / "registry");  // as a registry folder left writable by mistake
    }
    fs::path Registry(const std::string& name) const { return root_.path() / "registry" / name; }

    testsupport::MachineRoot root_;
    TempDir private_;  // 0700: root's own files, where nobody can reach
};

LSTATUS WriteAgentValue(const char* data) {
    HKEY key = nullptr;
    LSTATUS rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Halcyra", 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExA(key, "Setting", 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                        static_cast<DWORD>(std::strlen(data) + 1));
    RegCloseKey(key);
    return rc;
}

TEST_F(HostileUser, HiveAndLockAreOwnerOnlyAndTheTemporaryFileIsFresh) {
    const fs::path roots = private_.path() / "precious";
    WriteFile(roots, "root's own text\n");
    // Every name the old writer used in advance, planted as a link to root's file.
    ASSERT_TRUE(AsUnprivilegedUser([&] {
        return ::symlink(roots.c_str(), Registry("HKLM.reg.new").c_str()) == 0 &&
               ::symlink(roots.c_str(), Registry("HKLM.reg.tmp").c_str()) == 0;
    }));

    ASSERT_EQ(WriteAgentValue("first"), ERROR_SUCCESS);
    ASSERT_EQ(WriteAgentValue("second"), ERROR_SUCCESS);
    EXPECT_EQ(ReadFile(roots), "root's own text\n");
    EXPECT_EQ(ModeOf(Registry("HKLM.reg")), 0600);
    EXPECT_EQ(ModeOf(Registry("HKLM.lock")), 0600);
    EXPECT_NE(ReadFile(Registry("HKLM.reg")).find("\"Setting\"=\"second\""), std::string::npos);
    EXPECT_FALSE(AsUnprivilegedUser([&] { return !ReadFile(Registry("HKLM.reg")).empty(); }));
    // Nothing but the hive, its lock and the two planted links is left in the folder.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(Registry(""))) ++entries;
    EXPECT_EQ(entries, 4u);
}

TEST_F(HostileUser, LockPlantedAsALinkOrFifoIsRefusedNotFollowed) {
    const fs::path wouldBeCreated = private_.path() / "created-by-root";
    ASSERT_TRUE(AsUnprivilegedUser(
        [&] { return ::symlink(wouldBeCreated.c_str(), Registry("HKLM.lock").c_str()) == 0; }));
    EXPECT_EQ(WriteAgentValue("value"), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(fs::exists(wouldBeCreated));
    EXPECT_FALSE(fs::exists(Registry("HKLM.reg")));

    // A FIFO fails at once instead of holding every writer up.
    fs::remove(Registry("HKLM.lock"));
    ASSERT_TRUE(AsUnprivilegedUser([&] { return ::mkfifo(Registry("HKLM.lock").c_str(), 0666) == 0; }));
    EXPECT_EQ(WithinTenSeconds([] { return WriteAgentValue("value"); }), ERROR_ACCESS_DENIED);
}

TEST_F(HostileUser, OwnFilesAreCreatedPrivateAndForeignOnesRefused) {
    const fs::path shared = Registry("");  // any folder nobody can write will do
    const fs::path roots = private_.path() / "precious";
    WriteFile(roots, "root's own text\n");
    ASSERT_TRUE(AsUnprivilegedUser([&] {
        WriteFile(shared / "theirs.log", "the user's text\n");
        return ::symlink(roots.c_str(), (shared / "link.log").c_str()) == 0 &&
               ::symlink((private_.path() / "absent").c_str(), (shared / "dangling.log").c_str()) == 0 &&
               ::mkfifo((shared / "fifo.log").c_str(), 0666) == 0 &&
               fs::create_directory(shared / "folder.log");
    }));
    fs::create_hard_link(roots, shared / "second-name.log");

    struct Case {
        const char* name;
        const char* refusal;
    };
    const Case cases[] = {
        {"link.log", "is a symbolic link"},         {"dangling.log", "is a symbolic link"},
        {"theirs.log", "belongs to another user"},   {"second-name.log", "has other names (hard links)"},
        {"fifo.log", "is not a regular file"},
    };
    for (const char* mode : {"a", "a+", "w"}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " " + mode);
            const auto opened = WithinTenSeconds([path = (shared / c.name).string(), mode] {
                std::string refusal;
                std::FILE* file = host::OpenOwnFile(path.c_str(), mode, nullptr, &refusal);
                return std::make_tuple(file, GetLastError(), refusal);
            });
            ASSERT_TRUE(opened.has_value()) << "the open blocked";
            EXPECT_EQ(*opened, std::make_tuple(nullptr, ERROR_ACCESS_DENIED, std::string(c.refusal)));
        }
    }
    std::string refusal;
    EXPECT_EQ(host::OpenOwnFile((shared / "folder.log").c_str(), "a", nullptr, &refusal), nullptr);
    EXPECT_EQ(ReadFile(roots), "root's own text\n");
    EXPECT_FALSE(fs::exists(private_.path() / "absent"));
    EXPECT_EQ(ReadFile(shared / "theirs.log"), "the user's text\n");

    bool created = false;
    std::FILE* file = host::OpenOwnFile((shared / "mine.log").c_str(), "w", &created, &refusal);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(created);
    EXPECT_EQ(refusal, "");
    std::fclose(file);
}

}  // namespace
