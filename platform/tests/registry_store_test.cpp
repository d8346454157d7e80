// The hive file across processes: no lost update between concurrent writers, and a
// writer killed in the middle of a write leaves the old or the new hive, never a mix.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <thread>

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

// How another process replaces the hive in the visibility test below.
enum class Rewrite {
    Locked,            // through the registry's own locked write
    RenameOldTimes,    // a new file given the old file's time stamps, renamed over it
    InPlaceOldTimes,   // overwritten in place, same size, old time stamps put back
};

std::string RoundText(int round) {
    char text[16];
    std::snprintf(text, sizeof text, "v%04d", round);
    return text;
}

std::vector<BYTE> Utf16Z(const std::string& text) {
    std::vector<BYTE> out;
    for (char c : text) out.insert(out.end(), {static_cast<BYTE>(c), 0});
    out.insert(out.end(), {0, 0});
    return out;
}

std::u16string Utf16Number(int number) {
    const std::string text = std::to_string(number);
    return std::u16string(text.begin(), text.end());
}

// Sets a REG_DWORD through the API, creating the key when needed.
LSTATUS SetDword(const std::string& keyPath, const std::string& name, DWORD value) {
    HKEY key = nullptr;
    LSTATUS rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                 nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
    return rc;
}

DWORD WriteRound(int round) {
    return host::reg::UpdateHive([round](Key& rootKey, bool& changed) -> DWORD {
        rootKey.AddSubkey(u"Software").AddSubkey(u"Seen").SetValue(u"Round", REG_SZ, Utf16Z(RoundText(round)));
        changed = true;
        return ERROR_SUCCESS;
    });
}

// The round the hive holds as this process reads it; -1 when it has none.
int ReadRound() {
    auto hive = host::reg::ReadHive();
    if (!hive) return -1;
    const Key* key = host::reg::FindPath(*hive, {u"Software", u"Seen"});
    const host::reg::Value* value = key ? key->FindValue(u"Round") : nullptr;
    if (!value || value->data.size() != 12) return -1;
    std::string text;
    for (size_t i = 0; i + 2 < value->data.size(); i += 2) text.push_back(static_cast<char>(value->data[i]));
    return std::atoi(text.c_str() + 1);
}

// Replaces the hive the way kind says, with the text of round in place of the one before.
bool RewriteRound(Rewrite kind, int round) {
    if (kind == Rewrite::Locked) return WriteRound(round) == ERROR_SUCCESS;
    const std::string path = host::reg::HivePath();
    std::string text = testsupport::ReadFile(path);
    const std::string before = "\"" + RoundText(round - 1) + "\"";
    const size_t at = text.find(before);
    if (at == std::string::npos) return false;
    text.replace(at, before.size(), "\"" + RoundText(round) + "\"");
    struct stat old {};
    if (::stat(path.c_str(), &old) != 0) return false;
    const timespec times[2] = {old.st_atim, old.st_mtim};
    const std::string target = kind == Rewrite::InPlaceOldTimes ? path : path + ".other";
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = ::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
                         ::futimens(fd, times) == 0;
    ::close(fd);
    if (!written) return false;
    return kind == Rewrite::InPlaceOldTimes || ::rename(target.c_str(), path.c_str()) == 0;
}

// Seconds since the hive file last changed, by its own change time.
double HiveAgeSeconds() {
    struct stat info {};
    if (::stat(host::reg::HivePath().c_str(), &info) != 0) return 0;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec - info.st_ctim.tv_sec) + (now.tv_nsec - info.st_ctim.tv_nsec) / 1e9;
}

TEST(RegistryStore, EveryChangeByAnotherProcessIsSeenByTheNextRead) {
    struct Case {
        const char* label;
        Rewrite kind;
    } const cases[] = {
        {"locked write", Rewrite::Locked},
        {"renamed over with the old time stamps", Rewrite::RenameOldTimes},
        {"overwritten in place with the old size and time stamps", Rewrite::InPlaceOldTimes},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        testsupport::MachineRoot root;
        ASSERT_EQ(WriteRound(0), ERROR_SUCCESS);
        ASSERT_EQ(ReadRound(), 0);
        // Rounds in quick succession: the same size, mostly within one time stamp tick,
        // and the inodes freed by one rename are handed out again to a later one.
        constexpr int kQuickRounds = 40;
        for (int round = 1; round <= kQuickRounds; ++round) {
            RunInChildProcesses(1, [&](int) { return RewriteRound(c.kind, round); });
            ASSERT_EQ(ReadRound(), round) << "round " << round;
            ASSERT_EQ(ReadRound(), round) << "round " << round << ", read again";
        }
        // Once the version in the cache is old enough for its stamp to vouch for it,
        // a change must still be seen.
        ASSERT_TRUE(testsupport::WaitUntil([] { return ReadRound() >= 0 && HiveAgeSeconds() > 0.2; },
                                           std::chrono::seconds(10)));
        ASSERT_EQ(ReadRound(), kQuickRounds);
        for (int round = kQuickRounds + 1; round <= kQuickRounds + 2; ++round) {
            RunInChildProcesses(1, [&](int) { return RewriteRound(c.kind, round); });
            ASSERT_EQ(ReadRound(), round) << "round " << round << " of an aged hive";
        }
    }
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
    // A change reported as none is not written either.
    rc = host::reg::UpdateHive([](Key& rootKey, bool& changed) -> DWORD {
        rootKey.AddSubkey(u"Unreported").SetValue(u"v", REG_DWORD, std::vector<BYTE>(4, 1));
        changed = false;
        return ERROR_SUCCESS;
    });
    EXPECT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(testsupport::ReadFile(host::reg::HivePath()), before);
    // Nor does the next write, or a read, bring back what was abandoned.
    ASSERT_EQ(Increment(), ERROR_SUCCESS);
    auto hive = host::reg::ReadHive();
    ASSERT_NE(hive, nullptr);
    EXPECT_EQ(hive->FindSubkey(u"Partial"), nullptr);
    EXPECT_EQ(hive->FindSubkey(u"Unreported"), nullptr);
    EXPECT_EQ(ReadDword(*hive, u"Software\\Counter", u"Count"), 2u);
    const std::string after = testsupport::ReadFile(host::reg::HivePath());
    EXPECT_EQ(after.find("Partial"), std::string::npos);
    EXPECT_EQ(after.find("Unreported"), std::string::npos);
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

// A write in this process between changes another process makes in every way the
// visibility test above knows: each write keeps the other's change, and what it writes
// is what a fresh parse of the file gives.
TEST(RegistryStore, EveryWriteKeepsWhatAnotherProcessChangedBeforeIt) {
    const struct {
        const char* label;
        Rewrite kind;
    } cases[] = {
        {"locked write", Rewrite::Locked},
        {"renamed over with the old time stamps", Rewrite::RenameOldTimes},
        {"overwritten in place with the old size and time stamps", Rewrite::InPlaceOldTimes},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        testsupport::MachineRoot root;
        ASSERT_EQ(WriteRound(0), ERROR_SUCCESS);
        for (int round = 1; round <= 25; ++round) {
            ASSERT_EQ(Increment(), ERROR_SUCCESS);
            RunInChildProcesses(1, [&](int) { return RewriteRound(c.kind, round); });
            ASSERT_EQ(Increment(), ERROR_SUCCESS);
            const std::string text = testsupport::ReadFile(host::reg::HivePath());
            Key parsed{std::u16string(host::reg::kRootName)};
            host::reg::ParseRegText(text, parsed);
            ASSERT_NE(text.find("\"" + RoundText(round) + "\""), std::string::npos) << "round " << round;
            ASSERT_EQ(ReadDword(parsed, u"Software\\Counter", u"Count"), 2u * round) << "round " << round;
            ASSERT_EQ(host::reg::FormatRegText(parsed, host::reg::kRootName), text) << "round " << round;
        }
    }
}

// A reader's snapshot stays as it was while writes go on; the writer changes its own.
TEST(RegistryStore, ASnapshotInHandIsNotChangedByLaterWrites) {
    testsupport::MachineRoot root;
    ASSERT_EQ(Increment(), ERROR_SUCCESS);
    ASSERT_EQ(Increment(), ERROR_SUCCESS);
    auto held = host::reg::ReadHive();
    ASSERT_NE(held, nullptr);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Increment(), ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(*held, u"Software\\Counter", u"Count"), 2u);
    auto now = host::reg::ReadHive();
    ASSERT_NE(now, nullptr);
    EXPECT_EQ(ReadDword(*now, u"Software\\Counter", u"Count"), 5u);
}

// Threads of several processes, each counting on one shared value under the lock and
// writing values of its own key and of a key all of them share.
TEST(RegistryStore, ThreadsOfSeveralProcessesLoseNoWriteToTheSameOrOtherKeys) {
    testsupport::MachineRoot root;
    constexpr int kProcesses = 2, kThreads = 3, kWrites = 25;
    RunInChildProcesses(kProcesses, [](int process) {
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                const std::string own = "p" + std::to_string(process) + "t" + std::to_string(t);
                for (int i = 0; i < kWrites; ++i) {
                    failures += Increment() != ERROR_SUCCESS;
                    const std::string name = own + "_" + std::to_string(i);
                    const DWORD value = static_cast<DWORD>(i);
                    for (const std::string& key : {"Software\\Own\\" + own, std::string("Software\\Same")}) {
                        failures += SetDword(key, name, value) != ERROR_SUCCESS;
                    }
                }
            });
        }
        for (auto& thread : threads) thread.join();
        return failures == 0;
    });
    // A fresh parse of the file, not this process's cache.
    Key parsed{std::u16string(host::reg::kRootName)};
    host::reg::ParseRegText(testsupport::ReadFile(host::reg::HivePath()), parsed);
    EXPECT_EQ(ReadDword(parsed, u"Software\\Counter", u"Count"), static_cast<DWORD>(kProcesses * kThreads * kWrites));
    const Key* same = host::reg::FindPath(parsed, {u"Software", u"Same"});
    ASSERT_NE(same, nullptr);
    EXPECT_EQ(same->values.size(), static_cast<size_t>(kProcesses * kThreads * kWrites));
    for (int p = 0; p < kProcesses; ++p) {
        for (int t = 0; t < kThreads; ++t) {
            const std::u16string own = u"p" + Utf16Number(p) + u"t" + Utf16Number(t);
            const Key* key = host::reg::FindPath(parsed, {u"Software", u"Own", own});
            ASSERT_NE(key, nullptr);
            EXPECT_EQ(key->values.size(), static_cast<size_t>(kWrites));
            for (int i = 0; i < kWrites; ++i)
                EXPECT_EQ(ReadDword(*key, u"", own + u"_" + Utf16Number(i)), static_cast<DWORD>(i));
        }
    }
}

// A writer killed at a random moment, many times over, on a hive large enough that
// the kill often lands inside a write: the hive always parses whole, and every write
// the writer had seen succeed is in it.
TEST(RegistryStore, WriterKilledAtAnyMomentKeepsEveryAcknowledgedWrite) {
    testsupport::MachineRoot root;
    ASSERT_EQ(host::reg::UpdateHive([](Key& rootKey, bool& changed) -> DWORD {
        Key& filler = rootKey.AddSubkey(u"Software").AddSubkey(u"Filler");
        for (int i = 0; i < 3000; ++i) filler.SetValue(u"f" + Utf16Number(i), REG_SZ, Utf16Z("filler text"));
        changed = true;
        return ERROR_SUCCESS;
    }), ERROR_SUCCESS);
    std::mt19937 random(7);
    int next = 0;
    std::vector<int> acknowledged;
    for (int life = 0; life < 6; ++life) {
        int acks[2];
        ASSERT_EQ(pipe(acks), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(acks[0]);
            for (int i = next;; ++i) {
                const DWORD value = static_cast<DWORD>(i);
                const std::string name = "ack" + std::to_string(i);
                if (SetDword("Software\\Acked", name, value) != ERROR_SUCCESS)
                    _exit(1);
                // Told only once the write returned.
                if (write(acks[1], &i, sizeof i) != sizeof i) _exit(1);
            }
        }
        close(acks[1]);
        ChildGuard guard{pid};
        // Let it acknowledge a few writes, then kill it a little later.
        int got = 0;
        for (int seen = 0; seen < 3 && read(acks[0], &got, sizeof got) == sizeof got; ++seen) acknowledged.push_back(got);
        // Not a wait for anything: the moment of the kill, drawn at random.
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        WaitChild(pid);
        guard.pid = 0;
        while (read(acks[0], &got, sizeof got) == sizeof got) acknowledged.push_back(got);
        close(acks[0]);
        next = acknowledged.empty() ? 0 : acknowledged.back() + 1;

        host::reg::ParseReport report;
        Key parsed{std::u16string(host::reg::kRootName)};
        host::reg::ParseRegText(testsupport::ReadFile(host::reg::HivePath()), parsed, &report);
        ASSERT_TRUE(report.hasHeader);
        ASSERT_TRUE(report.skipped.empty());
        const Key* acked = host::reg::FindPath(parsed, {u"Software", u"Acked"});
        ASSERT_NE(acked, nullptr);
        for (int i : acknowledged)
            ASSERT_EQ(ReadDword(*acked, u"", u"ack" + Utf16Number(i)), static_cast<DWORD>(i)) << "life " << life;
        ASSERT_EQ(host::reg::FindPath(parsed, {u"Software", u"Filler"})->values.size(), 3000u);
    }
}

// Values at the edges of the text form, written by one process, replaced in place by
// its next writes and read back by a process that has never seen them.
TEST(RegistryStore, BoundaryValuesRoundTripThroughTheFile) {
    std::vector<BYTE> longBinary(5000);
    for (size_t i = 0; i < longBinary.size(); ++i) longBinary[i] = static_cast<BYTE>(i * 31);
    const std::vector<std::pair<DWORD, std::vector<BYTE>>> data = {
        {REG_SZ, Utf16Z("")},
        {REG_SZ, {'x', 0}},                   // no terminator
        {REG_SZ, {'a', 0, 0}},                // odd length
        {REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0}},  // a NUL inside
        {REG_SZ, Utf16Z("line\r\nbreak \"quoted\" \\ [not a key]")},
        {REG_SZ, Utf16Z(std::string(40000, 'w'))},
        {REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}},
        {REG_DWORD, {1, 2, 3}},  // the wrong size
        {REG_BINARY, {}},
        {REG_BINARY, longBinary},
        {REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {0xFFFFFFFF, {0xAB}},
    };
    const std::u16string names[] = {u"", u"plain", u"q\"uo\\te", u"[Section]", u"Größe",
                                    std::u16string(host::reg::kMaxValueNameChars, u'n')};
    testsupport::MachineRoot root;
    // Each pass gives every name the next kind of data, so each write replaces a value of
    // one kind with another.
    for (size_t pass = 0; pass < data.size(); ++pass) {
        SCOPED_TRACE("pass " + std::to_string(pass));
        for (size_t n = 0; n < std::size(names); ++n) {
            const auto& [type, bytes] = data[(pass + n) % data.size()];
            ASSERT_EQ(host::reg::UpdateHive([&](Key& rootKey, bool& changed) -> DWORD {
                Key& key = n % 2 ? rootKey : rootKey.AddSubkey(u"Software").AddSubkey(u"Edges");
                key.SetValue(names[n], type, bytes);
                changed = true;
                return ERROR_SUCCESS;
            }), ERROR_SUCCESS);
        }
        RunInChildProcesses(1, [&](int) {
            auto hive = host::reg::ReadHive();
            if (!hive) return false;
            for (size_t n = 0; n < std::size(names); ++n) {
                const Key* key = n % 2 ? hive.get() : host::reg::FindPath(*hive, {u"Software", u"Edges"});
                const host::reg::Value* value = key ? key->FindValue(names[n]) : nullptr;
                const auto& [type, bytes] = data[(pass + n) % data.size()];
                if (!value || value->type != type || value->data != bytes) return false;
            }
            return true;
        });
        if (HasFailure()) return;
    }
}

// A hive of more keys than one vectored write takes: written whole and in order, by the
// first write (which formats every section) and by the writes after it (which reuse them).
TEST(RegistryStore, HiveOfThousandsOfKeysIsWrittenWhole) {
    testsupport::MachineRoot root;
    constexpr int kKeys = 2600;
    auto keyName = [](int k) {
        const std::string digits = std::to_string(k);
        return u"Key" + std::u16string(digits.begin(), digits.end());
    };
    auto setAll = [keyName](DWORD base) {
        return host::reg::UpdateHive([base, keyName](Key& rootKey, bool& changed) -> DWORD {
            Key& parent = rootKey.AddSubkey(u"Software").AddSubkey(u"Many");
            for (int k = 0; k < kKeys; ++k) {
                std::vector<BYTE> data(4);
                const DWORD number = base + static_cast<DWORD>(k);
                std::memcpy(data.data(), &number, 4);
                parent.AddSubkey(keyName(k)).SetValue(u"n", REG_DWORD, data);
            }
            changed = true;
            return ERROR_SUCCESS;
        });
    };
    for (DWORD base : {0u, 100000u}) {
        ASSERT_EQ(setAll(base), ERROR_SUCCESS);
        ASSERT_EQ(Increment(), ERROR_SUCCESS);  // one changed line among thousands of sections
        const std::string text = testsupport::ReadFile(host::reg::HivePath());
        Key parsed{std::u16string(host::reg::kRootName)};
        host::reg::ParseRegText(text, parsed);
        ASSERT_EQ(host::reg::FormatRegText(parsed, host::reg::kRootName), text) << "base " << base;
        for (int k : {0, 1023, 1024, 2047, kKeys - 1})
            EXPECT_EQ(ReadDword(parsed, u"Software\\Many\\" + keyName(k), u"n"), base + static_cast<DWORD>(k))
                << "key " << k << ", base " << base;
    }
}

// A write the file system cuts short (here the file size limit, as a full disk would)
// fails, leaves the hive and its folder as they were, and the next write succeeds.
TEST(RegistryStore, WriteCutShortFailsAndLeavesTheHiveAlone) {
    testsupport::MachineRoot root;
    ASSERT_EQ(Increment(), ERROR_SUCCESS);
    const std::string before = testsupport::ReadFile(host::reg::HivePath());
    RunInChildProcesses(1, [&](int) {
        signal(SIGXFSZ, SIG_IGN);
        // Room for part of the new hive only: the first write goes out short, the next fails.
        const rlimit limit{before.size() + 1000, RLIM_INFINITY};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
        const DWORD rc = host::reg::UpdateHive([](Key& rootKey, bool& changed) -> DWORD {
            rootKey.AddSubkey(u"Software").AddSubkey(u"Big").SetValue(u"v", REG_BINARY, std::vector<BYTE>(kBigSize, 7));
            changed = true;
            return ERROR_SUCCESS;
        });
        if (rc == ERROR_SUCCESS) return false;
        if (testsupport::ReadFile(host::reg::HivePath()) != before) return false;
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        if (setrlimit(RLIMIT_FSIZE, &unlimited) != 0) return false;
        // This process goes on from the file, not from the tree of the failed write.
        if (Increment() != ERROR_SUCCESS) return false;
        auto hive = host::reg::ReadHive();
        return hive && ReadDword(*hive, u"Software\\Counter", u"Count") == 2u &&
               host::reg::FindPath(*hive, {u"Software", u"Big"}) == nullptr;
    });
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(root.path() / "registry"))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"HKLM.lock", "HKLM.reg"}));
}

// A change in place right after this process's own write, within the same time stamp
// tick, with the size and modification time put back: the next read and the next write
// see it, though the stamp of the file looks like the one written.
TEST(RegistryStore, AnInPlaceChangeRightAfterAnOwnWriteIsSeen) {
    testsupport::MachineRoot root;
    for (int round = 1; round <= 20; ++round) {
        ASSERT_EQ(WriteRound(round - 1), ERROR_SUCCESS);
        ASSERT_EQ(ReadRound(), round - 1);
        ASSERT_TRUE(RewriteRound(Rewrite::InPlaceOldTimes, round));
        ASSERT_EQ(ReadRound(), round) << "round " << round;
        ASSERT_EQ(Increment(), ERROR_SUCCESS);
        ASSERT_NE(testsupport::ReadFile(host::reg::HivePath()).find("\"" + RoundText(round) + "\""),
                  std::string::npos)
            << "round " << round;
    }
}

}  // namespace
