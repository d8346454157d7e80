// The hive file across processes: no lost update between concurrent writers, and a
// writer killed in the middle of a write leaves the old or the new hive, never a mix.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "platform/src/registry_hive.h"
#include "platform/win/errors.h"
#include "platform/win/registry.h"
#include "tests/support/test_support.h"

namespace {

using host::reg::Key;

constexpr size_t kBigSize = 16 * 1024;  // one large value per version

DWORD ReadDword(const Key& root, std::u16string_view path, std::u16string_view name) {
    const Key* key = host::reg::FindPath(root, host::reg::SplitPath(path));
    if (!key) return 0xFFFFFFFF;
    const host::reg::Value* value = key->FindValue(name);
    if (!value || value->data.size() != 4) return 0xFFFFFFFF;
    DWORD number;
    std::memcpy(&number, value->data.data(), 4);
    return number;
}

// Adds one to the counter under the hive's lock.
DWORD Increment() {
    return host::reg::UpdateHive([](Key& root, bool& changed) -> DWORD {
        Key& key = root.AddSubkey(u"Software").AddSubkey(u"Counter");
        DWORD number = 0;
        if (const host::reg::Value* value = key.FindValue(u"Count"))
            if (value->data.size() == 4) std::memcpy(&number, value->data.data(), 4);
        ++number;
        std::vector<BYTE> data(4);
        std::memcpy(data.data(), &number, 4);
        key.SetValue(u"Count", REG_DWORD, data);
        changed = true;
        return ERROR_SUCCESS;
    });
}

int WaitChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Runs body(child index) in count forked processes; each child exits 0 when body returns
// true. Expects every child to succeed.
template <typename Body>
void RunInChildProcesses(int count, Body body) {
    std::vector<pid_t> children;
    for (int c = 0; c < count; ++c) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) _exit(body(c) ? 0 : 1);
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = WaitChild(pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

// Kills and reaps a child that runs forever, on every way out of the test.
struct ChildGuard {
    pid_t pid;
    ~ChildGuard() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            WaitChild(pid);
        }
    }
};

TEST(RegistryStore, TwoProcessesIncrementingOneDwordLoseNoUpdate) {
    testsupport::MachineRoot root;
    constexpr int kIncrements = 200;
    RunInChildProcesses(2, [](int) {
        int failures = 0;
        for (int i = 0; i < kIncrements; ++i) failures += Increment() != ERROR_SUCCESS;
        return failures == 0;
    });
    auto hive = host::reg::ReadHive();
    ASSERT_NE(hive, nullptr);
    EXPECT_EQ(ReadDword(*hive, u"Software\\Counter", u"Count"), 2u * kIncrements);
}

TEST(RegistryStore, ProcessesSettingValuesThroughTheApiKeepEachOthersWrites) {
    testsupport::MachineRoot root;
    constexpr int kValues = 60;
    RunInChildProcesses(3, [](int c) {
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr) != ERROR_SUCCESS)
            return false;
        int failures = 0;
        for (int i = 0; i < kValues; ++i) {
            std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
            DWORD value = static_cast<DWORD>(i);
            failures += RegSetValueExA(key, name.c_str(), 0, REG_DWORD,
                                       reinterpret_cast<BYTE*>(&value), 4) != ERROR_SUCCESS;
        }
        return failures == 0;
    });
    auto hive = host::reg::ReadHive();
    ASSERT_NE(hive, nullptr);
    const Key* shared = host::reg::FindPath(*hive, {u"Software", u"Shared"});
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->values.size(), 3u * kValues);
}

TEST(RegistryStore, WriterKilledMidWriteLeavesAWholeHive) {
    testsupport::MachineRoot root;
    const std::string path = host::reg::HivePath();
    // Each write replaces a large value and a generation number together; a torn
    // file would show one without the other, or fail to parse.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (DWORD generation = 1;; ++generation) {
            host::reg::UpdateHive([generation](Key& rootKey, bool& changed) -> DWORD {
                Key& key = rootKey.AddSubkey(u"Software").AddSubkey(u"Torn");
                std::vector<BYTE> big(kBigSize, static_cast<BYTE>(generation));
                key.SetValue(u"Big", REG_BINARY, big);
                std::vector<BYTE> number(4);
                std::memcpy(number.data(), &generation, 4);
                key.SetValue(u"Generation", REG_DWORD, number);
                changed = true;
                return ERROR_SUCCESS;
            });
        }
    }
    ChildGuard guard{pid};

    auto checkFile = [&](DWORD* generationOut) -> bool {
        const std::string text = testsupport::ReadFile(path);
        if (text.empty()) return false;  // not written yet
        host::reg::ParseReport report;
        Key parsed{std::u16string(host::reg::kRootName)};
        host::reg::ParseRegText(text, parsed, &report);
        EXPECT_TRUE(report.hasHeader);
        EXPECT_TRUE(report.skipped.empty());
        DWORD generation = ReadDword(parsed, u"Software\\Torn", u"Generation");
        const Key* key = host::reg::FindPath(parsed, {u"Software", u"Torn"});
        EXPECT_NE(key, nullptr);
        if (!key) return false;
        const host::reg::Value* big = key->FindValue(u"Big");
        EXPECT_NE(big, nullptr);
        if (!big) return false;
        EXPECT_EQ(big->data, std::vector<BYTE>(kBigSize, static_cast<BYTE>(generation)));
        *generationOut = generation;
        return true;
    };

    // Watch a number of complete versions go by, then kill the writer at a random point.
    DWORD last = 0;
    int versions = 0;
    ASSERT_TRUE(testsupport::WaitUntil([&] {
        DWORD generation = 0;
        if (checkFile(&generation) && generation != last) {
            last = generation;
            ++versions;
        }
        return versions >= 3 || HasFailure();
    }, std::chrono::seconds(60)));
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    WaitChild(pid);
    guard.pid = 0;

    DWORD final = 0;
    ASSERT_TRUE(checkFile(&final));
    EXPECT_GE(final, last);
    // The lock died with the writer: the next write goes through and sees the hive.
    ASSERT_EQ(Increment(), ERROR_SUCCESS);
    auto hive = host::reg::ReadHive();
    ASSERT_NE(hive, nullptr);
    EXPECT_EQ(ReadDword(*hive, u"Software\\Counter", u"Count"), 1u);
    EXPECT_EQ(ReadDword(*hive, u"Software\\Torn", u"Generation"), final);
}

TEST(RegistryStore, FailedUpdateLeavesTheFileAlone) {
    testsupport::MachineRoot root;
    ASSERT_EQ(Increment(), ERROR_SUCCESS);
    const std::string before = testsupport::ReadFile(host::reg::HivePath());
    DWORD rc = host::reg::UpdateHive([](Key& rootKey, bool& changed) -> DWORD {
        rootKey.AddSubkey(u"Partial");
        changed = true;
        return ERROR_ACCESS_DENIED;  // the change is abandoned
    });
    EXPECT_EQ(rc, ERROR_ACCESS_DENIED);
    EXPECT_EQ(testsupport::ReadFile(host::reg::HivePath()), before);
}

TEST(RegistryStore, UnusableRegistryFolderIsReportedNotCrashed) {
    // A file where the registry folder belongs: neither the lock nor the hive can be
    // created, whoever runs the test (root ignores folder permissions).
    testsupport::MachineRoot root;
    testsupport::WriteFile(root.path() / "registry", "not a folder");
    HKEY key = nullptr;
    const LSTATUS created = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, nullptr, 0,
                                            KEY_ALL_ACCESS, nullptr, &key, nullptr);
    EXPECT_NE(created, static_cast<LSTATUS>(ERROR_SUCCESS));
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(testsupport::ReadFile(root.path() / "registry"), "not a folder");
}

}  // namespace
