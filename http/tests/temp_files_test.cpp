// The temporary files of downloads against a local user who plants files and links where
// the privileged agent writes: the process's private folder, exclusive creation, and the
// downloads that must neither read planted data nor write through a planted link.
#ifndef _WIN32
#include <fnmatch.h>
#include <unistd.h>
#endif

#include <fstream>

#include "http/src/temp_files.h"
#include "http/tests/http_client_fixture.h"
#include "platform/win/host.h"
#ifndef _WIN32
#include "tests/support/hostile_user.h"
#endif

namespace {

namespace fs = std::filesystem;
using httpclient::ExclusiveFile;
using httpclient::PrivateTempFolder;
using testsupport::NginxServer;
using testsupport::ReadBytes;

#ifndef _WIN32
#define SKIP_WITHOUT_UNPRIVILEGED_USER()                                                   \
    if (!testsupport::Nobody().available()) GTEST_SKIP() << "needs root and the account nobody"
#endif

std::string W8(const WideString& wide) {
    std::string text;
    ConvertWideToUtf8(wide.c_str(), &text);
    return text;
}

// Private folders this process made in `folder`.
std::vector<fs::path> PrivateFoldersIn(const fs::path& folder) {
    std::vector<fs::path> found;
#ifdef _WIN32
    const std::string prefix = "zq" + std::to_string(GetCurrentProcessId()) + "-";
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_directory() && entry.path().filename().string().rfind(prefix, 0) == 0)
            found.push_back(entry.path());
#else
    const std::string pattern = "zq" + std::to_string(getpid()) + "-*";
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_directory() && fnmatch(pattern.c_str(), entry.path().filename().c_str(), 0) == 0)
            found.push_back(entry.path());
#endif
    return found;
}

// A root-owned file in a folder only root may write: what a planted link points at.
struct Victim {
    testsupport::TempDir dir;
    fs::path file = dir.path() / "root-owned";
    Victim() { testsupport::WriteFile(file, "precious"); }
    std::string content() const { return ReadBytes(file); }
};

#ifndef _WIN32
bool PlantLink(const fs::path& where, const fs::path& target) {
    return testsupport::AsUnprivilegedUser([&] { return ::symlink(target.c_str(), where.c_str()) == 0; });
}
bool PlantFile(const fs::path& where, const std::string& content) {
    return testsupport::AsUnprivilegedUser([&] {
        std::ofstream out(where, std::ios::binary);
        out << content;
        out.close();
        return out.good() && ::chmod(where.c_str(), 0666) == 0;
    });
}
#endif

// The three ways a file download writes beside its destination: plain, through the gzip
// decoder (which writes a second temporary file) and throttled.
struct DownloadWay {
    const char* name;
    bool gzip;
    bool throttled;
};
constexpr DownloadWay kDownloadWays[] = {{"plain", false, false}, {"gzip", true, false}, {"throttled", false, true}};

class TempFilesTest : public HttpClientTest {
protected:
    // Downloads the server's /patch.bin to dest the given way.
    DWORD DownloadFile(const NginxServer& nginx, const DownloadWay& way, const fs::path& dest) {
        gv_dataTransferRateKBps = 40;
        return way.throttled ? GetByBitrate(nginx.port(), "/patch.bin", dest.string(), nullptr, DOWNLOAD_FILE)
                             : GetEx(nginx.port(), "/patch.bin", dest.string(), nullptr, DOWNLOAD_FILE, way.gzip);
    }
};

TEST_F(TempFilesTest, ThePrivateFolderIsTheOwnersAloneAndFollowsTemp) {
    std::string folder;
    ASSERT_EQ(PrivateTempFolder(&folder), 0u);
    folder = host::MapPath(folder);
    ASSERT_EQ(PrivateFoldersIn(temp.path()), std::vector<fs::path>{fs::path(folder)});
#ifndef _WIN32
    EXPECT_EQ(testsupport::ModeOf(folder), 0700);
    EXPECT_EQ(testsupport::OwnerOf(folder), ::geteuid());
#endif
    std::string again;
    ASSERT_EQ(PrivateTempFolder(&again), 0u);
    EXPECT_EQ(host::MapPath(again), folder);

    // Gone (or replaced by a link to elsewhere): a new one under a new name.
    fs::remove(folder);
#ifndef _WIN32
    const fs::path elsewhere = temp.path() / "elsewhere";
    fs::create_directory(elsewhere);
    fs::create_directory_symlink(elsewhere, folder);
#endif
    ASSERT_EQ(PrivateTempFolder(&again), 0u);
    again = host::MapPath(again);
    EXPECT_NE(again, folder);
    EXPECT_TRUE(fs::is_directory(again));
#ifndef _WIN32
    EXPECT_EQ(testsupport::ModeOf(again), 0700);
#endif

    // Another TEMP, another folder.
    testsupport::TempDir otherTemp;
    gv_tempDir = otherTemp.str();
    ASSERT_EQ(PrivateTempFolder(&again), 0u);
    EXPECT_EQ(fs::path(host::MapPath(again)).parent_path(), otherTemp.path());
}

// A name someone else holds is never opened: the next free name is used instead and the
// planted file or link's target stays as it was.
TEST_F(TempFilesTest, ExclusiveFilesTakeTheNextFreeName) {
    Victim victim;
    const fs::path stem = temp.path() / "data";
    struct Case {
        const char* name;
        std::function<void()> plant;
        std::string expected;  // file name taken
    } const cases[] = {
        {"free", [] {}, "data.tmp"},
        {"a file in the way", [&] { testsupport::WriteFile(stem.string() + ".tmp", "theirs"); }, "data.1.tmp"},
#ifndef _WIN32
        // Wine has no symbolic links to plant.
        {"a link in the way", [&] { fs::create_symlink(victim.file, stem.string() + ".tmp"); }, "data.1.tmp"},
        {"a dangling link in the way", [&] { fs::create_symlink(temp.path() / "nowhere", stem.string() + ".tmp"); },
         "data.1.tmp"},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(stem.string() + ".tmp");
        c.plant();
        ExclusiveFile file;
        ASSERT_EQ(file.Create(W(stem.string())), 0u);
        EXPECT_EQ(fs::path(W8(file.path())).filename(), c.expected);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.handle(), "ours", 4, &written, nullptr));
        file.Discard();
        EXPECT_FALSE(fs::exists(temp.path() / c.expected));
        EXPECT_EQ(victim.content(), "precious");
        EXPECT_FALSE(fs::exists(temp.path() / "nowhere"));
        if (std::string(c.name) == "a file in the way") {
            EXPECT_EQ(ReadBytes(stem.string() + ".tmp"), "theirs");
        }
    }
    fs::remove(stem.string() + ".tmp");
    ExclusiveFile kept;
    ASSERT_EQ(kept.Create(W(stem.string())), 0u);
    const std::string path = W8(kept.path());
    kept.Forget();
    EXPECT_TRUE(fs::exists(path));
}

// The old GET_DATA name in TEMP ("zq<thread id>.tmp") holds a user's link to a root-owned
// file or a user's own file, which the user rewrites while the download runs: the agent
// neither overwrites the target nor reads the user's data.
#ifdef _WIN32
// Without another account to plant as, a file of the same user under the old GET_DATA
// name still shows that the download never opens a name it did not create.
TEST_F(TempFilesTest, GetDataNeverUsesWhatALocalUserPlantedInTemp) {
    NginxServer nginx;
    const std::string body = std::string(100000, 's') + "server data";
    nginx.AddFile("data.xml", body);
    const fs::path oldName = temp.path() / ("zq" + std::to_string(GetCurrentThreadId()) + ".tmp");
    for (const bool throttled : {false, true}) {
        SCOPED_TRACE(throttled ? "throttled" : "plain");
        testsupport::WriteFile(oldName, "planted");
        gv_dataTransferRateKBps = 40;
        std::optional<std::string> data;
        const DWORD result = throttled ? GetByBitrate(nginx.port(), "/data.xml", std::nullopt, &data, GET_DATA)
                                       : GetEx(nginx.port(), "/data.xml", std::nullopt, &data, GET_DATA);
        EXPECT_EQ(result, 0u);
        EXPECT_EQ(data.value_or(""), body);
        EXPECT_EQ(ReadBytes(oldName), "planted");
    }
    for (const auto& folder : PrivateFoldersIn(temp.path())) EXPECT_TRUE(fs::is_empty(folder));
}
#else
TEST_F(TempFilesTest, GetDataNeverUsesWhatALocalUserPlantedInTemp) {
    SKIP_WITHOUT_UNPRIVILEGED_USER();
    NginxServer nginx;
    const std::string body = std::string(100000, 's') + "server data";
    nginx.AddFile("data.xml", body);
    testsupport::OpenToUsers(temp.path());
    const fs::path oldName = temp.path() / ("zq" + std::to_string(GetCurrentThreadId()) + ".tmp");
    const std::string evil = std::string(body.size(), 'E');
    Victim victim;

    enum class Plant { Link, FileRewrittenDuringTheDownload };
    for (const bool throttled : {false, true}) {
        for (const Plant plant : {Plant::Link, Plant::FileRewrittenDuringTheDownload}) {
            SCOPED_TRACE(testing::Message() << (throttled ? "throttled " : "plain ") << static_cast<int>(plant));
            fs::remove(oldName);
            ASSERT_TRUE(plant == Plant::Link ? PlantLink(oldName, victim.file) : PlantFile(oldName, "planted"));
            bool privateChecked = false;
            SetTransferProgressObserver([&](ULONGLONG done, ULONGLONG total) {
                if (done != total || total == 0) return;
                // The user rewrites the file they planted as the last bytes arrive...
                if (plant == Plant::FileRewrittenDuringTheDownload)
                    testsupport::AsUnprivilegedUser([&] {
                        std::fstream out(oldName, std::ios::in | std::ios::out | std::ios::binary);
                        out << evil;
                        return true;
                    });
                // ...and cannot even look into the folder the body really is in.
                const auto folders = PrivateFoldersIn(temp.path());
                privateChecked = folders.size() == 1 && testsupport::ModeOf(folders[0]) == 0700 &&
                                 !testsupport::AsUnprivilegedUser([&] {
                                     std::error_code error;
                                     fs::directory_iterator listing(folders[0], error);
                                     return !error;
                                 });
            });
            gv_dataTransferRateKBps = 40;
            std::optional<std::string> data;
            const DWORD result = throttled ? GetByBitrate(nginx.port(), "/data.xml", std::nullopt, &data, GET_DATA)
                                           : GetEx(nginx.port(), "/data.xml", std::nullopt, &data, GET_DATA);
            SetTransferProgressObserver(nullptr);
            EXPECT_EQ(result, 0u);
            EXPECT_EQ(data.value_or(""), body);
            EXPECT_TRUE(privateChecked);
            EXPECT_EQ(victim.content(), "precious");
            EXPECT_EQ(testsupport::OwnerOf(oldName), testsupport::Nobody().uid) << "the planted name stays theirs";
        }
    }
    // Nothing of the downloads is left in the private folder.
    for (const auto& folder : PrivateFoldersIn(temp.path())) EXPECT_TRUE(fs::is_empty(folder));
}
#endif

// A file download writes beside its destination: a link planted under the temporary
// name there is never written through, and the destination becomes the body, not a link.
#ifdef _WIN32
// Wine has no symbolic links to plant: files of the same user under both temporary names
// beside the destination are left as they were.
TEST_F(TempFilesTest, FileDownloadsNeverWriteThroughALinkBesideTheDestination) {
    NginxServer nginx;
    const std::string body(70000, 'b');
    nginx.AddFile("patch.bin", body);
    nginx.AddFile("patch.bin.gz", Gzip(body));
    const fs::path dest = temp.path() / "patch.bin";
    const fs::path planted = temp.path() / ("patch.bin" + std::to_string(GetCurrentThreadId()) + ".tmp");
    const fs::path second = temp.path() / ("patch.bin" + std::to_string(GetCurrentThreadId()) + ".1.tmp");
    for (const DownloadWay& way : kDownloadWays) {
        SCOPED_TRACE(way.name);
        fs::remove(dest);
        testsupport::WriteFile(planted, "planted");
        testsupport::WriteFile(second, "planted too");
        EXPECT_EQ(DownloadFile(nginx, way, dest), 0u);
        EXPECT_EQ(ReadBytes(dest), body);
        EXPECT_EQ(ReadBytes(planted), "planted");
        EXPECT_EQ(ReadBytes(second), "planted too");
    }
}
#else
TEST_F(TempFilesTest, FileDownloadsNeverWriteThroughALinkBesideTheDestination) {
    SKIP_WITHOUT_UNPRIVILEGED_USER();
    NginxServer nginx;
    const std::string body(70000, 'b');
    nginx.AddFile("patch.bin", body);
    nginx.AddFile("patch.bin.gz", Gzip(body));
    const fs::path shared = temp.path() / "shared";
    testsupport::OpenToUsers(shared);
    const fs::path dest = shared / "patch.bin";
    const fs::path planted = shared / ("patch.bin" + std::to_string(GetCurrentThreadId()) + ".tmp");
    Victim victim;
    for (const DownloadWay& way : kDownloadWays) {
        SCOPED_TRACE(way.name);
        fs::remove(dest);
        fs::remove(planted);
        ASSERT_TRUE(PlantLink(planted, victim.file));
        // The gzip body is decoded into a second file: the next name is planted as well.
        const fs::path second = shared / ("patch.bin" + std::to_string(GetCurrentThreadId()) + ".1.tmp");
        fs::remove(second);
        ASSERT_TRUE(PlantLink(second, victim.file));
        EXPECT_EQ(DownloadFile(nginx, way, dest), 0u);
        EXPECT_FALSE(fs::is_symlink(dest));
        EXPECT_EQ(ReadBytes(dest), body);
        EXPECT_EQ(victim.content(), "precious");
        EXPECT_TRUE(fs::is_symlink(planted));
        fs::remove(second);
    }
}
#endif

}  // namespace
