// A full disk: the store's SQLite database and the registry hive on a small tmpfs that a
// filler file has filled. Each write fails with a clear error, what was stored before
// stays readable and whole, and the same write succeeds once space is back.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include "http/tests/http_client_fixture.h"
#include "platform/src/registry_hive.h"
#include "platform/win/errors.h"
#include "platform/win/registry.h"
#include "tests/campaigns/campaign_databases.h"
#include "tests/campaigns/campaign_support.h"
#include "tests/support/standin_server.h"

namespace {

using campaign::Number;
namespace fs = std::filesystem;

// A tmpfs of its own (mounting needs root, as CI has).
class SmallDisk {
public:
    // On a folder of its own, or over the folder given.
    explicit SmallDisk(const std::string& size, fs::path at = {}) : path_(at.empty() ? dir_.path() / "disk" : at) {
        fs::create_directories(path_);
        mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", 0, ("size=" + size + ",mode=0700").c_str()) == 0;
        if (!mounted_) error_ = std::strerror(errno);
    }
    ~SmallDisk() {
        if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    // More room on the same file system, its files kept.
    bool Grow(const std::string& size) {
        return mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT, ("size=" + size + ",mode=0700").c_str()) == 0;
    }
    const std::string& error() const { return error_; }
    const fs::path& path() const { return path_; }

    // Writes a filler file until the disk refuses more; the bytes written.
    std::size_t Fill() {
        const std::string chunk(4096, 'f');
        const int fd = ::open((path_ / "filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        std::size_t written = 0;
        for (;;) {
            const ssize_t n = ::write(fd, chunk.data(), chunk.size());
            if (n <= 0) break;
            written += static_cast<std::size_t>(n);
        }
        ::close(fd);
        return written;
    }
    void Free() { fs::remove(path_ / "filler"); }

private:
    testsupport::TempDir dir_;
    fs::path path_;
    bool mounted_ = false;
    std::string error_;
};

std::vector<std::string> InsertBigRows(const fs::path& root, int rows) {
    std::vector<std::string> args{"--root", root.string()};
    const std::string notes(2000, 'n');
    for (int i = 0; i < rows; ++i)
        args.push_back("insert Orders NAME='big-" + std::to_string(i) + "' NOTES='" + notes + "' CUSTOMER_ID=1");
    args.push_back("save all");
    return args;
}

TEST(FullDiskCampaign, AStoreSaveOnAFullDiskFailsAndKeepsTheDatabaseWhole) {
    SmallDisk disk("2m");
    if (!disk.mounted()) GTEST_SKIP() << "no tmpfs: " << disk.error();
    testsupport::OdbcSandbox sandbox;
    startuptest::StoreRoot layout;
    testsupport::TempDir work;
    // The whole store root, its database and log on the small disk.
    const fs::path root = disk.path() / "root";
    fs::create_directories(root);
    fs::copy(layout.data(), root / "data", fs::copy_options::recursive);
    sandbox.AddDsn("fulldisk", "SQLite3", {{"Database", (root / "store.db").string()}, {"Timeout", "20000"}});
    testsupport::WriteFile(root / "data" / "connparams.txt", "agent 0 fulldisk sa NULL 0 main ODBC SQLITE NO\n");
    auto sqlite = [&](const std::string& sql) {
        auto run = testsupport::RunProgram("/usr/bin/sqlite3", {(root / "store.db").string(), sql}, work.path());
        return campaign::Trimmed(run.out + run.err);
    };
    // The first run creates the database and its default rows (identifiers 10 and 11 of
    // the first batch, which it uses up); later runs take identifiers from 301 on.
    auto created = testsupport::RunProgram("store-shell", {"--root", root.string(), "count Orders"}, work.path());
    ASSERT_EQ(created.code, 0) << created.err;
    auto made = testsupport::RunProgram("store-shell", InsertBigRows(root, 20), work.path());
    ASSERT_EQ(made.code, 0) << made.err;
    ASSERT_EQ(sqlite("select count(*) from Orders"), "22");

    const std::size_t filled = disk.Fill();
    auto full = testsupport::RunProgram("store-shell", InsertBigRows(root, 300), work.path());
    EXPECT_NE(full.code, 0) << "a save on a full disk reported success";
    EXPECT_NE(full.err.find("store-shell: "), std::string::npos) << "no error message: " << full.err;
    // What was saved before stays, whole.
    EXPECT_EQ(sqlite("pragma integrity_check"), "ok");
    EXPECT_EQ(sqlite("select count(*) from Orders"), "22");

    disk.Free();
    auto again = testsupport::RunProgram("store-shell", InsertBigRows(root, 300), work.path());
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_EQ(sqlite("select count(*) from Orders"), "322");
    std::printf("[campaign] full disk, store: %zu filler bytes, the save failed with: %s", filled, full.err.c_str());
}

// The registry hive file parsed, every line readable.
std::unique_ptr<host::reg::Key> HiveOnDisk(const fs::path& file) {
    auto root = std::make_unique<host::reg::Key>(WideString(host::reg::kRootName));
    host::reg::ParseReport report;
    host::reg::ParseRegText(testsupport::ReadFile(file), *root, &report);
    EXPECT_TRUE(report.hasHeader);
    EXPECT_TRUE(report.skipped.empty());
    return root;
}

TEST(FullDiskCampaign, ARegistryWriteOnAFullDiskFailsAndKeepsTheHive) {
    SmallDisk disk("1m");
    if (!disk.mounted()) GTEST_SKIP() << "no tmpfs: " << disk.error();
    const char* previous = std::getenv("VANTORRA_MACHINE_ROOT");
    const std::string before = previous ? previous : "";
    setenv("VANTORRA_MACHINE_ROOT", disk.path().c_str(), 1);
    struct Restore {
        std::string value;
        ~Restore() {
            if (value.empty()) unsetenv("VANTORRA_MACHINE_ROOT");
            else setenv("VANTORRA_MACHINE_ROOT", value.c_str(), 1);
        }
    } restore{before};

    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Full", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    for (DWORD i = 0; i < 10; ++i)
        ASSERT_EQ(RegSetValueExA(key, ("v" + std::to_string(i)).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i),
                                 sizeof i),
                  ERROR_SUCCESS);
    const fs::path hive = disk.path() / "registry" / "HKLM.reg";
    const std::string stored = testsupport::ReadFile(hive);

    disk.Fill();
    const std::vector<BYTE> big(64 * 1024, 0x5a);
    const LSTATUS full = RegSetValueExA(key, "big", 0, REG_BINARY, big.data(), static_cast<DWORD>(big.size()));
    EXPECT_NE(full, ERROR_SUCCESS) << "a write on a full disk reported success";
    // The hive on disk is the one before, whole; nothing is left beside it.
    EXPECT_EQ(testsupport::ReadFile(hive), stored);
    std::unique_ptr<host::reg::Key> root = HiveOnDisk(hive);
    const host::reg::Key* written = host::reg::FindPath(*root, host::reg::SplitPath(u"Software\\Full"));
    ASSERT_NE(written, nullptr);
    EXPECT_EQ(written->values.size(), 10u);
    EXPECT_EQ(written->FindValue(u"big"), nullptr);
    std::vector<std::string> leftovers;
    for (const auto& entry : fs::directory_iterator(disk.path() / "registry"))
        if (entry.path().filename() != "HKLM.reg" && entry.path().filename() != "HKLM.lock")
            leftovers.push_back(entry.path().filename().string());
    EXPECT_TRUE(leftovers.empty()) << leftovers.front();

    disk.Free();
    EXPECT_EQ(RegSetValueExA(key, "big", 0, REG_BINARY, big.data(), static_cast<DWORD>(big.size())), ERROR_SUCCESS);
    std::vector<BYTE> back(big.size() + 16);
    DWORD size = static_cast<DWORD>(back.size()), type = 0;
    ASSERT_EQ(RegQueryValueExA(key, "big", nullptr, &type, back.data(), &size), ERROR_SUCCESS);
    back.resize(size);
    EXPECT_EQ(back, big);
    EXPECT_EQ(HiveOnDisk(hive)->values.size(), 0u);
    RegCloseKey(key);
    std::printf("[campaign] full disk, registry: the write failed with error %ld\n", static_cast<long>(full));
}

// A resumable download whose partial copy fills the disk: it fails with an error, keeps
// what it has, and once there is room again continues from its last record (a range
// request) to the whole body.
class FullDiskDownloadCampaign : public HttpClientTest {};

TEST_F(FullDiskDownloadCampaign, AResumableDownloadOnAFullDiskFailsAndResumesOnceThereIsRoom) {
    const fs::path install = machine.drivePath('C', "Agent");
    SmallDisk disk("1m", install);
    if (!disk.mounted()) GTEST_SKIP() << "no tmpfs: " << disk.error();
    testsupport::NginxServer nginx;
    const std::string body = testsupport::PatternBytes(3 * 1024 * 1024);
    nginx.AddFile("pkg/big.bin", body);
    const fs::path destination = temp.path() / "big.bin";
    const WideString object = W("/pkg/big.bin");
    const WideString target = W(destination.string());
    auto download = [&] {
        return ResumeGetRequestEx(false, "http", WTEXT("127.0.0.1"), static_cast<INTERNET_PORT>(nginx.port()), nullptr,
                                  nullptr, nullptr, nullptr, object.c_str(), target.c_str(), nullptr, DOWNLOAD_FILE,
                                  true);
    };
    const DWORD full = download();
    EXPECT_NE(full, 0u) << "a download onto a full disk reported success";
    EXPECT_FALSE(fs::exists(destination) && fs::file_size(destination) == body.size());

    ASSERT_TRUE(disk.Grow("16m"));
    ASSERT_EQ(download(), 0u);
    EXPECT_EQ(testsupport::ReadFile(destination), body);
    // The second attempt asked for the rest only: a range from where the first one's
    // record ended.
    std::string resumedFrom;
    testsupport::WaitUntil([&] {
        for (const auto& entry : nginx.AccessLog())
            if (entry.range.rfind("bytes=", 0) == 0 && entry.range.rfind("bytes=0-", 0) != 0) resumedFrom = entry.range;
        return !resumedFrom.empty();
    });
    EXPECT_FALSE(resumedFrom.empty()) << "the download started again instead of resuming";
    std::printf("[campaign] full disk, download: the first attempt ended with %lu, the next resumed with %s\n",
                static_cast<unsigned long>(full), resumedFrom.c_str());
}

}  // namespace
