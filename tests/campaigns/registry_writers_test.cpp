// Registry under SIGKILL: eight writer processes set values through the host layer's Reg*
// calls, each its own value and all of them one shared value, and acknowledge every
// write that returned success on their standard output. Writers are killed at random
// moments and replaced. The hive file parses whole at every moment the test looks, and
// every acknowledged write is there (or a later one of the same writer).
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "platform/src/registry_hive.h"
#include "platform/win/errors.h"
#include "platform/win/registry.h"
#include "tests/campaigns/campaign_support.h"

// Child mode: --registry-writer ID FIRST COUNT. Writes its sequence numbers FIRST.. to
// Software\Campaign\Writer<ID> "seq" (REG_DWORD) and "w<ID>-<n>" to Software\Campaign
// "last" (REG_SZ), and prints "<n>\n" once both returned success.
int RunRegistryWriter(int argc, char** argv) {
    if (argc != 5) return 2;
    const std::string id = argv[2];
    const DWORD first = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
    const DWORD count = static_cast<DWORD>(std::strtoul(argv[4], nullptr, 10));
    HKEY own = nullptr, shared = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("Software\\Campaign\\Writer" + id).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &own, nullptr) != ERROR_SUCCESS ||
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Campaign", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &shared,
                        nullptr) != ERROR_SUCCESS)
        return 3;
    for (DWORD n = first; n < first + count; ++n) {
        const std::string text = "w" + id + "-" + std::to_string(n);
        if (RegSetValueExA(own, "seq", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), sizeof n) != ERROR_SUCCESS ||
            RegSetValueExA(shared, "last", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1)) != ERROR_SUCCESS)
            return 4;
        const std::string ack = std::to_string(n) + "\n";
        if (write(1, ack.data(), ack.size()) != static_cast<ssize_t>(ack.size())) return 5;
    }
    RegCloseKey(own);
    RegCloseKey(shared);
    return 0;
}

namespace {

using host::reg::Key;

// The hive file parsed: fails the test when any line could not be read.
std::unique_ptr<Key> ParsedHive(const std::filesystem::path& file) {
    auto root = std::make_unique<Key>(WideString(host::reg::kRootName));
    host::reg::ParseReport report;
    const std::string text = testsupport::ReadFile(file);
    host::reg::ParseRegText(text, *root, &report);
    EXPECT_TRUE(report.hasHeader) << text.substr(0, 200);
    EXPECT_TRUE(report.skipped.empty()) << "line " << report.skipped.front().first << ": "
                                        << report.skipped.front().second;
    return root;
}

TEST(RegistryCampaign, EightWritersKilledAtRandomLoseNoAcknowledgedWrite) {
    testsupport::MachineRoot machine;
    testsupport::TempDir work;
    const std::filesystem::path hive = std::filesystem::path(std::getenv("VANTORRA_MACHINE_ROOT")) / "registry" / "HKLM.reg";
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    constexpr int kWriters = 8;
    const int wantedKills = campaign::Size(16, 60);
    const DWORD kPerRun = 400;

    struct Writer {
        std::unique_ptr<campaign::Child> child;
        DWORD first = 1;       // first sequence number of the running child
        DWORD acknowledged = 0;
        DWORD attempted = 0;   // the highest number a child was allowed to write
        int runs = 0;
    };
    std::vector<Writer> writers(kWriters);
    long acknowledgedWrites = 0;
    auto start = [&](int w) {
        Writer& writer = writers[w];
        writer.first = writer.attempted + 1;
        writer.attempted = writer.first + kPerRun - 1;
        writer.child = std::make_unique<campaign::Child>(
            self, std::vector<std::string>{"--registry-writer", std::to_string(w), std::to_string(writer.first), std::to_string(kPerRun)},
            work.path(), "writer" + std::to_string(w) + "-" + std::to_string(writer.runs++));
    };
    // What a child acknowledged; its numbers must run on without a gap.
    auto collect = [&](int w) {
        Writer& writer = writers[w];
        DWORD expected = writer.first;
        for (const std::string& line : campaign::Lines(writer.child->out())) {
            const DWORD n = static_cast<DWORD>(std::stoul(line));
            EXPECT_EQ(n, expected) << "writer " << w;
            expected = n + 1;
            writer.acknowledged = n;
            ++acknowledgedWrites;
        }
    };
    for (int w = 0; w < kWriters; ++w) start(w);
    // The kills begin once every writer has written.
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            for (const Writer& writer : writers)
                if (writer.child->out().empty()) return false;
            return true;
        },
        std::chrono::seconds(60)));

    int kills = 0, checks = 0;
    while (kills < wantedKills && !testing::Test::HasFailure()) {
        // Let the writers run a moment, then kill one or two and start them again.
        std::this_thread::sleep_for(std::chrono::milliseconds(campaign::RandomBetween(0, 40)));
        const int victims = campaign::RandomBetween(1, 2);
        for (int v = 0; v < victims; ++v) {
            const int w = campaign::RandomBetween(0, kWriters - 1);
            kills += writers[w].child->Kill() ? 1 : 0;
            if (writers[w].child->code() > 0) ADD_FAILURE() << "writer " << w << ": " << writers[w].child->err();
            collect(w);
            start(w);
        }
        // With writers running, the file parses and holds every acknowledged write.
        std::unique_ptr<Key> root = ParsedHive(hive);
        ++checks;
        for (int w = 0; w < kWriters; ++w) {
            if (writers[w].acknowledged == 0) continue;
            const Key* key = host::reg::FindPath(
                *root, host::reg::SplitPath(u"Software\\Campaign\\Writer" +
                                            WideString(1, static_cast<WCHAR>(u'0' + w))));
            ASSERT_NE(key, nullptr) << "writer " << w;
            const host::reg::Value* seq = key->FindValue(u"seq");
            ASSERT_TRUE(seq && seq->data.size() == 4) << "writer " << w;
            DWORD stored;
            std::memcpy(&stored, seq->data.data(), 4);
            EXPECT_GE(stored, writers[w].acknowledged) << "writer " << w << " lost an acknowledged write";
            EXPECT_LE(stored, writers[w].attempted) << "writer " << w;
        }
    }
    for (int w = 0; w < kWriters; ++w) {
        writers[w].child->Kill();
        if (writers[w].child->code() > 0) ADD_FAILURE() << "writer " << w << ": " << writers[w].child->err();
        collect(w);
    }
    // Through the Reg* calls as well: each writer's last acknowledged number or a later one,
    // and the shared value written by one of them.
    for (int w = 0; w < kWriters; ++w) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("Software\\Campaign\\Writer" + std::to_string(w)).c_str(), 0,
                                KEY_READ, &key),
                  ERROR_SUCCESS);
        DWORD stored = 0, size = sizeof stored, type = 0;
        ASSERT_EQ(RegQueryValueExA(key, "seq", nullptr, &type, reinterpret_cast<BYTE*>(&stored), &size), ERROR_SUCCESS);
        RegCloseKey(key);
        EXPECT_GE(stored, writers[w].acknowledged);
    }
    HKEY shared = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Campaign", 0, KEY_READ, &shared), ERROR_SUCCESS);
    char text[64] = {};
    DWORD size = sizeof text, type = 0;
    ASSERT_EQ(RegQueryValueExA(shared, "last", nullptr, &type, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
    RegCloseKey(shared);
    const std::string last = text;
    ASSERT_EQ(last[0], 'w') << last;
    const int writer = last[1] - '0';
    ASSERT_TRUE(writer >= 0 && writer < kWriters && last[2] == '-') << last;
    EXPECT_LE(std::stoul(last.substr(3)), writers[writer].attempted) << last;
    EXPECT_GE(kills, wantedKills);
    std::printf("[campaign] registry: %d writers, %d kills, %d checks of the hive file, %ld writes acknowledged, "
                "hive %ju bytes\n",
                kWriters, kills, checks, acknowledgedWrites, static_cast<std::uintmax_t>(std::filesystem::file_size(hive)));
}

}  // namespace
