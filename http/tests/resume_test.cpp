// Resumable downloads against real servers: where a download continues for each stored
// state, what a server that ignores or refuses ranges does to the copy, interruption by
// stopping nginx, the access logs, the failure counters, the hand-off from the plain
// operations, and the registry left clean after many mixed downloads.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <thread>

#include "http/src/resume_handler.h"
#include "http/tests/http_client_fixture.h"
#include "platform/win/host.h"
#include "runtime/registry_access.h"
#ifndef _WIN32
#include "tests/support/hostile_user.h"
#endif

namespace {

using httpclient::PartialFileLock;
using testsupport::NginxServer;
using testsupport::PatternBytes;
using testsupport::ReadBytes;
using testsupport::ScriptedServer;
namespace fs = std::filesystem;

// Where a file's bytes live, volume and file number: a rename keeps it, a copy does not.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t file = 0;
    bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> IdentityOf(const fs::path& path) {
#ifdef _WIN32
    const HANDLE handle = CreateFileW(path.wstring().c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL known = GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    if (!known) return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber,
                        (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
#else
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                        static_cast<std::uint64_t>(info.st_ino)};
#endif
}

// A fresh folder on another volume than `machine`, when there is one to write to: tmpfs
// on Linux; under Wine the same tmpfs through Z:, another drive than the machine's C:.
std::optional<fs::path> OtherVolumeFolder(const fs::path& machine) {
#ifdef _WIN32
    static_cast<void>(machine);
    if (!RunningOnWine()) return std::nullopt;
    const fs::path folder =
        fs::path("Z:\\dev\\shm") / ("vantorra-test-" + std::to_string(GetCurrentProcessId()));
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) return std::nullopt;
    return folder;
#else
    struct stat machineInfo {};
    struct stat shmInfo {};
    if (::stat(machine.c_str(), &machineInfo) != 0 || ::stat("/dev/shm", &shmInfo) != 0 ||
        shmInfo.st_dev == machineInfo.st_dev || ::access("/dev/shm", W_OK) != 0) {
        return std::nullopt;
    }
    std::string folder = "/dev/shm/vantorra-test-XXXXXX";
    if (!::mkdtemp(folder.data())) return std::nullopt;
    return fs::path(folder);
#endif
}

constexpr const char* kAccessHeader =
    "DATE\t\t\tSTART_TIME\t                         FILE_NAME\tMODE\t\t\t\tT_BYTES\tSTATUS\tRECEVD_BYTES\tEND_TIME\t"
    "SERVER_NAME\t\tPORT\tURL\n";

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The bytes the scripted server sends for "body_size": 0, 1, ..., 255 over and over.
std::string ServerPatternPrefix(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 256);
    return bytes;
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// zqerror.log is a text file: its lines end in CR LF on Windows.
#ifdef _WIN32
constexpr const char* kLineEnd = "\r\n";
#else
constexpr const char* kLineEnd = "\n";
#endif

class ResumeTest : public HttpClientTest {
protected:
    void SetUp() override {
        HttpClientTest::SetUp();
        // The install folder holds the repository and the logs. On Windows it is on the
        // machine's real drive, shared by every test: each starts with an empty one.
        std::error_code ignored;
        fs::remove_all(machine.drivePath('C', "Agent"), ignored);
        fs::create_directories(machine.drivePath('C', "Agent"));
    }

    static std::string MetaKey() { return gv_agentRootKey + "\\FileMetaData\\"; }
    fs::path Repository() const { return machine.drivePath('C', "Agent/DownloadRepository"); }
    fs::path Partial(const std::string& id) const { return Repository() / id; }

    DWORD Resume(int port, const std::string& path, const fs::path& dest, DWORD mode = DOWNLOAD_FILE,
                 std::optional<std::string>* data = nullptr) {
        const WideString object = W(path);
        const WideString destination = W(dest.string());
        return ResumeGetRequestEx(false, "http", WTEXT("127.0.0.1"), static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                  nullptr, nullptr, object.c_str(), mode == DOWNLOAD_FILE ? destination.c_str() : nullptr,
                                  data, mode, true);
    }
    DWORD ResumeBlocks(int port, const std::string& path, const fs::path& dest, DWORD mode = DOWNLOAD_FILE,
                       std::optional<std::string>* data = nullptr) {
        const WideString object = W(path);
        const WideString destination = W(dest.string());
        return ResumeGetRequestByBitrate(false, "http", WTEXT("127.0.0.1"), static_cast<INTERNET_PORT>(port), nullptr,
                                         nullptr, nullptr, nullptr, object.c_str(),
                                         mode == DOWNLOAD_FILE ? destination.c_str() : nullptr, data, mode, true);
    }

    // The server's Last-Modified text for a path.
    std::string ServerStamp(int port, const std::string& path) {
        HttpRequestHandles handles;
        EXPECT_EQ(Request(port, path, &handles), 0u);
        std::optional<WideString> stamp;
        EXPECT_EQ(GetFilelastmodifiedTime(handles.hRequest, &stamp), 0u);
        CloseRequestHandles(handles);
        std::string text;
        if (stamp) ConvertWideToUtf8(stamp->c_str(), &text);
        return text;
    }

    static void SetText(const std::string& key, const std::string& name, const std::string& value) {
        ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), value.c_str(), REG_SZ), 0u);
    }
    static void SetDword(const std::string& key, const std::string& name, DWORD value) {
        ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), std::to_string(value).c_str(), REG_DWORD),
                  0u);
    }
    static std::optional<std::string> Text(const std::string& key, const std::string& name) {
        std::optional<std::string> value;
        if (ReadRegSZ(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), &value) != ERROR_SUCCESS) return std::nullopt;
        while (value && !value->empty() && value->back() == '\0') value->pop_back();
        return value;
    }
    static std::optional<DWORD> Dword(const std::string& key, const std::string& name) {
        DWORD value = 0;
        if (ReadDwordRegistryData(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), &value) != ERROR_SUCCESS)
            return std::nullopt;
        return value;
    }
    static std::vector<std::string> SubKeys(const std::string& key) {
        std::vector<std::string> names;
        RegistryKey open;
        if (open.open(HKEY_LOCAL_MACHINE, key.c_str(), KEY_READ) != ERROR_SUCCESS) return names;
        for (DWORD index = 0;; ++index) {
            char name[256];
            DWORD size = sizeof name;
            if (RegEnumKeyExA(open.handle(), index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            names.emplace_back(name, size);
        }
        return names;
    }
    static std::vector<std::string> ValueNames(const std::string& key) {
        std::vector<std::string> names;
        RegistryKey open;
        if (open.open(HKEY_LOCAL_MACHINE, key.c_str(), KEY_READ) != ERROR_SUCCESS) return names;
        for (DWORD index = 0;; ++index) {
            char name[1024];
            DWORD size = sizeof name;
            if (RegEnumValueA(open.handle(), index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            names.emplace_back(name, size);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    // Values under FileMetaData that are not the downloader's own settings and counters.
    static std::vector<std::string> UrlValues() {
        std::vector<std::string> urls;
        for (const auto& name : ValueNames(MetaKey()))
            if (name != "IntermediateRepositoryName" && name != "InterSaveByteLimit" && name != "DownloadCount" &&
                name != "DownloadFailureCount")
                urls.push_back(name);
        return urls;
    }

    // Registers url under id with a partial copy, as an earlier attempt would leave it.
    void StoreState(const std::string& url, const std::string& id, DWORD recordedSize, const std::string& stamp,
                    const std::string& partial) {
        SetText(MetaKey(), "IntermediateRepositoryName", "DownloadRepository\\");
        SetText(MetaKey(), url, id);
        SetDword(MetaKey() + id, "PartialFileSize", recordedSize);
        SetText(MetaKey() + id, "LastModifiedTime", stamp);
        SetText(MetaKey() + id, "LastRetryTime", std::to_string(httpclient::CurrentUnixMillis()));
        SetDword(MetaKey() + id, "RetryCount", 2);
        testsupport::WriteFile(Partial(id), partial);
    }

    static std::vector<std::string> RangesOf(const NginxServer& nginx, const std::string& target) {
        std::vector<std::string> ranges;
        for (const auto& entry : nginx.AccessLog())
            if (entry.target == target && !entry.range.empty()) ranges.push_back(entry.range);
        return ranges;
    }
};

// Where a download continues, for each state an earlier attempt may have left.
TEST_F(ResumeTest, StoredStateDecidesWhereTheDownloadContinues) {
    NginxServer nginx;
    const std::string body = PatternBytes(300000, 7);
    nginx.AddFile("pkg/big.bin", body);
    const std::string stamp = ServerStamp(nginx.port(), "/pkg/big.bin");
    ASSERT_FALSE(stamp.empty());
    const std::string size = std::to_string(body.size());
    const std::string wrong(body.size(), 'X');  // a copy that must never reach the destination

    enum class Lock { Free, HeldByOther, Unusable };
    enum class After { Clean, Untouched };
    struct Case {
        const char* name;
        DWORD recorded;
        std::string partial;
        std::string registryStamp;
        bool mark;
        long long retryAgeMs;  // LastRetryTime = now - age
        Lock lock;
        std::string expectedRange;  // "" = no range request at all
        After after;
        std::string bootOfTail = {};  // PartialFileBootId, none when empty
    };
    const long long minute = 60 * 1000;
    const std::string boot = host::BootIdentity();
    ASSERT_FALSE(boot.empty());
    const std::vector<Case> cases = {
        {"match", 100000, body.substr(0, 100000), stamp, false, 0, Lock::Free, "bytes=100000-" + size, After::Clean},
        {"stamp compared without case", 100000, body.substr(0, 100000), Lower(stamp), false, 0,
         Lock::Free, "bytes=100000-" + size, After::Clean},
        {"one byte short", 100000, wrong.substr(0, 99999), stamp, false, 0, Lock::Free, "bytes=0-" + size,
         After::Clean},
        {"copy longer than recorded", 100000, body.substr(0, 100000) + "XXXX", stamp, false, 0, Lock::Free,
         "bytes=100000-" + size, After::Clean},
        {"Last-Modified changed", 100000, wrong.substr(0, 100000), "Mon, 01 Jan 2001 00:00:00 GMT", false, 0,
         Lock::Free, "bytes=0-" + size, After::Clean},
        {"no Last-Modified stored", 100000, wrong.substr(0, 100000), "", false, 0, Lock::Free, "bytes=0-" + size,
         After::Clean},
        {"already complete", static_cast<DWORD>(body.size()), body, stamp, false, 0, Lock::Free, "", After::Clean},
        {"larger than the file", static_cast<DWORD>(body.size() + 10), wrong + "0123456789", stamp, false, 0,
         Lock::Free, "bytes=0-" + size, After::Clean},
        {"live mark", 100000, wrong.substr(0, 100000), stamp, true, 0, Lock::HeldByOther, "bytes=0-" + size,
         After::Untouched},
        {"live owner before its first save", 100000, wrong.substr(0, 100000), stamp, false, 0, Lock::HeldByOther,
         "bytes=0-" + size, After::Untouched},
        {"dead mark", 100000, body.substr(0, 100000), stamp, true, 0, Lock::Free, "bytes=100000-" + size,
         After::Clean},
        {"dead mark older than 90 minutes", 100000, body.substr(0, 100000), stamp, true, 91 * minute, Lock::Free,
         "bytes=100000-" + size, After::Clean},
        {"unjudged mark older than 90 minutes", 100000, wrong.substr(0, 100000), stamp, true, 91 * minute,
         Lock::Unusable, "bytes=0-" + size, After::Clean},
        {"unjudged mark within 90 minutes", 100000, wrong.substr(0, 100000), stamp, true, 89 * minute,
         Lock::Unusable, "bytes=0-" + size, After::Untouched},
        {"unjudged mark stamped in the future", 100000, wrong.substr(0, 100000), stamp, true, -10 * minute,
         Lock::Unusable, "bytes=0-" + size, After::Clean},
        {"dead mark, copy longer written since the machine started", 100000, body.substr(0, 150000), stamp, true, 0,
         Lock::Free, "bytes=150000-" + size, After::Clean, boot},
        {"dead mark, copy longer written before a restart", 100000, body.substr(0, 100000) + "XXXX", stamp, true, 0,
         Lock::Free, "bytes=100000-" + size, After::Clean, "another boot"},
        {"whole copy written since the machine started", 0, body, stamp, true, 0, Lock::Free, "", After::Clean, boot},
        {"copy past the body written since the machine started", 100000, wrong + "XXXX", stamp, true, 0, Lock::Free,
         "bytes=0-" + size, After::Clean, boot},
        {"copy longer, live owner, written since the machine started", 100000, body.substr(0, 150000), stamp, true,
         0, Lock::HeldByOther, "bytes=0-" + size, After::Untouched, boot},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteKeyTree(HKEY_LOCAL_MACHINE, MetaKey().c_str());
        fs::remove_all(Repository());
        const std::string id = "4242";
        StoreState("/pkg/big.bin", id, c.recorded, c.registryStamp, c.partial);
        SetText(MetaKey() + id, "LastRetryTime", std::to_string(httpclient::CurrentUnixMillis() - c.retryAgeMs));
        if (c.mark) SetDword(MetaKey() + id, "downloadInProgress", 1);
        if (!c.bootOfTail.empty()) SetText(MetaKey() + id, "PartialFileBootId", c.bootOfTail);
        PartialFileLock other;
        if (c.lock == Lock::HeldByOther) {
            ASSERT_EQ(other.TryAcquire("C:\\Agent\\DownloadRepository\\" + id + ".lock"), PartialFileLock::State::Held);
        }
        if (c.lock == Lock::Unusable) fs::create_directories(Partial(id + ".lock"));  // no lock can be taken there
        const std::size_t logBefore = nginx.AccessLog().size();

        const fs::path dest = temp.path() / "out" / "big.bin";
        fs::remove(dest);
        ASSERT_EQ(Resume(nginx.port(), "/pkg/big.bin", dest), 0u);
        EXPECT_EQ(ReadBytes(dest), body);
        nginx.WaitForAccessLog(logBefore + (c.expectedRange.empty() ? 1 : 2));

        std::vector<std::string> ranges;
        const auto log = nginx.AccessLog();
        for (std::size_t i = logBefore; i < log.size(); ++i)
            if (!log[i].range.empty()) ranges.push_back(log[i].range);
        EXPECT_EQ(ranges, c.expectedRange.empty() ? std::vector<std::string>{}
                                                  : std::vector<std::string>{c.expectedRange});

        if (c.after == After::Untouched) {
            // The owner's state is exactly as it was; the temporary copy is gone.
            EXPECT_EQ(Text(MetaKey(), "/pkg/big.bin"), id);
            EXPECT_EQ(Dword(MetaKey() + id, "PartialFileSize"), c.recorded);
            EXPECT_EQ(Dword(MetaKey() + id, "RetryCount"), 2u);
            EXPECT_EQ(Dword(MetaKey() + id, "downloadInProgress").has_value(), c.mark);
            EXPECT_EQ(ReadBytes(Partial(id)), c.partial);
            EXPECT_EQ(SubKeys(MetaKey()), std::vector<std::string>{id});
            std::vector<std::string> left;
            for (const auto& entry : fs::directory_iterator(Repository())) left.push_back(entry.path().filename().string());
            std::sort(left.begin(), left.end());
            EXPECT_EQ(left, (std::vector<std::string>{id, id + ".lock"}));
        } else {
            EXPECT_EQ(UrlValues(), std::vector<std::string>{});
            EXPECT_EQ(SubKeys(MetaKey()), std::vector<std::string>{});
            EXPECT_FALSE(fs::exists(Partial(id)));
        }
    }
}

// A resume answered with the whole body (range ignored) restarts the copy instead of
// appending the body behind the stored bytes.
TEST_F(ResumeTest, RangeIgnoringServerRestartsTheCopy) {
    NginxServer nginx;
    const std::string body = PatternBytes(200000, 3);
    nginx.AddFile("file.bin", body);
    const std::string stamp = ServerStamp(nginx.port(), "/norange/file.bin");
    StoreState("/norange/file.bin", "77", 50000, stamp, body.substr(0, 50000));

    const fs::path dest = temp.path() / "file.bin";
    ASSERT_EQ(Resume(nginx.port(), "/norange/file.bin", dest), 0u);
    EXPECT_EQ(ReadBytes(dest), body);
    nginx.WaitForAccessLog(2);
    EXPECT_EQ(RangesOf(nginx, "/norange/file.bin"), std::vector<std::string>{"bytes=50000-200000"});

    // The throttled variant: every block answered with the whole file.
    gv_dataTransferRateKBps = 40;  // 20000-byte blocks
    StoreState("/norange/file.bin", "78", 50000, stamp, body.substr(0, 50000));
    const fs::path second = temp.path() / "second.bin";
    ASSERT_EQ(ResumeBlocks(nginx.port(), "/norange/file.bin", second), 0u);
    EXPECT_EQ(ReadBytes(second), body);
    EXPECT_EQ(SubKeys(MetaKey()), std::vector<std::string>{});
}

// Answers the copy must never take: a 206 from the wrong offset, a failing status, a
// body without Content-Length; and the empty body that must still give a file.
TEST_F(ResumeTest, ServerAnswersThatMustNotReachTheCopy) {
    const std::string stamp = "Tue, 01 Dec 2026 10:00:00 GMT";
    const std::string head = R"("status": 200, "headers": [["Last-Modified", ")" + stamp + R"("]])";
    ScriptedServer scripted(R"({"routes": {
        "/wrong-offset": [{)" + head + R"(, "body_size": 1000},
                          {"status": 206, "headers": [["Content-Range", "bytes 0-999/1000"]], "body_size": 1000}],
        "/refused": [{)" + head + R"(, "body_size": 1000}, {"status": 500, "body": "no"}],
        "/nolength": [{)" + head + R"(, "body": "abc", "content_length": null, "close": true}],
        "/empty": [{)" + head + R"(, "body": ""}]}})");
    struct Case {
        const char* path;
        DWORD result;
        bool destination;
        DWORD recordedAfter;  // PartialFileSize kept (0: no state)
    };
    const Case cases[] = {
        {"/wrong-offset", ERROR_WINHTTP_INVALID_SERVER_RESPONSE, false, 400},
        {"/refused", 500, false, 400},
        {"/nolength", ERROR_WINHTTP_HEADER_NOT_FOUND, false, 0},
        {"/empty", 0, true, 0},
    };
    // A file download without a destination asks nothing of the server.
    EXPECT_EQ(ResumeGetRequestEx(false, "http", WTEXT("127.0.0.1"), static_cast<INTERNET_PORT>(scripted.port()), nullptr,
                                 nullptr, nullptr, nullptr, WTEXT("/empty"), nullptr, nullptr, DOWNLOAD_FILE, true),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(scripted.Requests().empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        DeleteKeyTree(HKEY_LOCAL_MACHINE, MetaKey().c_str());
        fs::remove_all(Repository());
        if (c.recordedAfter) StoreState(c.path, "99", 400, stamp, PatternBytes(400, 1));
        const fs::path dest = temp.path() / (std::string("d") + (c.path + 1));
        EXPECT_EQ(Resume(scripted.port(), c.path, dest), c.result);
        EXPECT_EQ(fs::exists(dest), c.destination);
        if (c.destination) {
            EXPECT_EQ(fs::file_size(dest), 0u);
        }
        if (c.recordedAfter) {
            EXPECT_EQ(Dword(MetaKey() + "99", "PartialFileSize"), c.recordedAfter);
            EXPECT_EQ(ReadBytes(Partial("99")), PatternBytes(400, 1));
        } else {
            EXPECT_EQ(SubKeys(MetaKey()), std::vector<std::string>{});
        }
    }
}

// Ranges refused or ignored halfway: a 416 starts over from byte 0, a recovery answered
// with the whole body restarts the copy, a server without Last-Modified never resumes.
TEST_F(ResumeTest, RefusedOrIgnoredRangesStartOver) {
    const std::string stamp = "Tue, 01 Dec 2026 10:00:00 GMT";
    const std::string lm = R"([["Last-Modified", ")" + stamp + R"("]])";
    ScriptedServer scripted(R"({"routes": {
        "/shrunk": [{"status": 200, "headers": )" + lm + R"(, "body_size": 1000},
                    {"status": 416, "body": ""},
                    {"status": 206, "headers": [["Content-Range", "bytes 0-999/1000"]], "body_size": 1000}],
        "/recovered": [{"status": 200, "headers": )" + lm + R"(, "body_size": 1000},
                       {"status": 206, "headers": [["Content-Range", "bytes 0-999/1000"]], "body_size": 1000,
                        "close_after_bytes": 300},
                       {"status": 200, "headers": )" + lm + R"(, "body_size": 1000}],
        "/unstamped": [{"status": 200, "body_size": 1000},
                       {"status": 206, "headers": [["Content-Range", "bytes 0-999/1000"]], "body_size": 1000}]}})");
    struct Case {
        const char* path;
        bool stored;
        std::vector<std::string> ranges;  // of the requests after the pre-request
    };
    const Case cases[] = {
        {"/shrunk", true, {"bytes=400-1000", "bytes=0-1000"}},
        {"/recovered", false, {"bytes=0-1000", "bytes=300-1000"}},
        {"/unstamped", true, {"bytes=0-1000"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.stored) StoreState(c.path, "31", 400, c.path == std::string("/unstamped") ? "" : stamp,
                                 std::string(400, 'X'));
        const std::size_t before = scripted.Requests().size();
        const fs::path dest = temp.path() / (std::string("d") + (c.path + 1));
        EXPECT_EQ(Resume(scripted.port(), c.path, dest), 0u);
        EXPECT_EQ(ReadBytes(dest), ServerPatternPrefix(1000));
        const auto requests = scripted.Requests();
        std::vector<std::string> ranges;
        for (std::size_t i = before; i < requests.size(); ++i)
            if (auto range = requests[i].Header("Range")) ranges.push_back(*range);
        EXPECT_EQ(ranges, c.ranges);
        EXPECT_EQ(SubKeys(MetaKey()), std::vector<std::string>{});
    }
}

// The handler's own bookkeeping: no mark before the first save, the mark while saving,
// the closing save counts the retry; a second handler on the same URL in the same
// process works on a copy of its own; a copy of the wrong size is never handed over.
TEST_F(ResumeTest, HandlerBookkeepingAcrossSaves) {
    using httpclient::DownloadResumeHandler;
    const std::string stamp = "Tue, 01 Dec 2026 10:00:00 GMT";
    auto owner = std::make_unique<DownloadResumeHandler>();
    owner->Initialize(WTEXT("C:\\Agent\\out\\h.bin"), stamp, WTEXT("/h.bin"));
    owner = std::make_unique<DownloadResumeHandler>();  // the key exists from now on
    owner->Initialize(WTEXT("C:\\Agent\\out\\h.bin"), stamp, WTEXT("/h.bin"));
    const std::string id = owner->uniqueId;
    EXPECT_EQ(Text(MetaKey(), "/h.bin"), id);
    EXPECT_EQ(SubKeys(MetaKey()), std::vector<std::string>{});

    ASSERT_EQ(owner->ProcessDownloadedBuffer("abcd", 4, true), 0u);
    EXPECT_EQ(Dword(MetaKey() + id, "downloadInProgress"), 1u);
    EXPECT_EQ(Dword(MetaKey() + id, "PartialFileSize"), 4u);
    EXPECT_EQ(Text(MetaKey() + id, "LastModifiedTime"), stamp);

    {
        DownloadResumeHandler newcomer;
        newcomer.Initialize(WTEXT("C:\\Agent\\out\\h2.bin"), stamp, WTEXT("/h.bin"));
        EXPECT_TRUE(newcomer.temporaryDownload);
        EXPECT_NE(newcomer.uniqueId, id);
        ASSERT_EQ(newcomer.ProcessDownloadedBuffer("zz", 2, true), 0u);
        EXPECT_EQ(SubKeys(MetaKey()), std::vector<std::string>{id});
        EXPECT_EQ(newcomer.SaveToDestFile(2), 0u);
        EXPECT_EQ(ReadBytes(machine.drivePath('C', "Agent/out/h2.bin")), "zz");
    }
    EXPECT_EQ(Text(MetaKey(), "/h.bin"), id);
    EXPECT_EQ(Dword(MetaKey() + id, "downloadInProgress"), 1u);

    ASSERT_EQ(owner->ProcessDownloadedBuffer("ef", 2, false), 0u);
    EXPECT_EQ(Dword(MetaKey() + id, "PartialFileSize"), 6u);
    EXPECT_EQ(Dword(MetaKey() + id, "RetryCount"), 1u);
    EXPECT_FALSE(Dword(MetaKey() + id, "downloadInProgress").has_value());
    EXPECT_EQ(ReadBytes(Partial(id)), "abcdef");

    testsupport::WriteFile(machine.drivePath('C', "Agent/out/h.bin"), "older");
    EXPECT_EQ(owner->SaveToDestFile(7), HTTP_RESULT_PARTIAL);
    EXPECT_EQ(ReadBytes(machine.drivePath('C', "Agent/out/h.bin")), "older");
    EXPECT_FALSE(fs::exists(Partial(id)));
    EXPECT_EQ(SubKeys(MetaKey()), std::vector<std::string>{});
    EXPECT_EQ(UrlValues(), std::vector<std::string>{});
}

// A download cut short keeps its state, counts the failure and is never handed over;
// the next attempt continues from the saved size.
TEST_F(ResumeTest, ShortAttemptsCountAFailureAndKeepTheirState) {
    const std::string stamp = "Tue, 01 Dec 2026 10:00:00 GMT";
    const std::string lm = R"([["Last-Modified", ")" + stamp + R"("]])";
    ScriptedServer scripted(R"({"routes": {
        "/short": [{"status": 200, "headers": )" + lm + R"(, "body_size": 1000},
                   {"status": 206, "headers": [["Content-Range", "bytes 0-399/1000"]], "body_size": 400},
                   {"status": 200, "headers": )" + lm + R"(, "body_size": 1000},
                   {"status": 206, "headers": [["Content-Range", "bytes 400-999/1000"]], "body_size": 600}],
        "/cut": [{"status": 200, "headers": )" + lm + R"(, "body_size": 1000},
                 {"status": 206, "headers": [["Content-Range", "bytes 0-999/1000"]], "body_size": 1000,
                  "close_after_bytes": 300},
                 {"status": 206, "headers": [["Content-Range", "bytes 300-999/1000"]], "body_size": 700,
                  "close_after_bytes": 0}]}})");
    const std::string tracking = gv_agentRootKey + "\\KRTracking\\";
    struct Case {
        const char* path;
        DWORD result;
        DWORD saved;
        DWORD failureCount;
    };
    const Case cases[] = {{"/short", HTTP_RESULT_PARTIAL, 400, 1}, {"/cut", ERROR_WINHTTP_CONNECTION_ERROR, 300, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const fs::path dest = temp.path() / (std::string("d") + (c.path + 1));
        EXPECT_EQ(Resume(scripted.port(), c.path, dest), c.result);
        EXPECT_FALSE(fs::exists(dest));
        const auto id = Text(MetaKey(), c.path);
        ASSERT_TRUE(id.has_value());
        EXPECT_EQ(Dword(MetaKey() + *id, "PartialFileSize"), c.saved);
        EXPECT_EQ(Dword(MetaKey() + *id, "RetryCount"), 1u);
        EXPECT_FALSE(Dword(MetaKey() + *id, "downloadInProgress").has_value());
        EXPECT_EQ(ReadBytes(Partial(*id)), ServerPatternPrefix(c.saved));
        EXPECT_EQ(Dword(MetaKey(), "DownloadFailureCount"), c.failureCount);
        EXPECT_EQ(Dword(tracking + "ResumeDownloadDetails\\", "RESUME_DOWNLOAD_FAILURE_COUNT"), c.failureCount);
        EXPECT_TRUE(Dword(tracking, "LastKRDataModifiedTime").has_value());
        const std::string entry = "\tResume Download failed with error code : " + std::to_string(c.result) +
                                  " and total failed count value = " + std::to_string(c.failureCount) + kLineEnd;
        EXPECT_NE(ReadBytes(machine.drivePath('C', "Agent/logs/zqerror.log")).find(entry), std::string::npos);
    }
    // The next attempt asks for the rest only.
    const fs::path dest = temp.path() / "dshort";
    EXPECT_EQ(Resume(scripted.port(), "/short", dest), 0u);
    const auto requests = scripted.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().Header("Range"), "bytes=400-1000");
    // Bytes 400.. of the pattern come from a body that restarts the pattern at 0.
    EXPECT_EQ(ReadBytes(dest), ServerPatternPrefix(400) + ServerPatternPrefix(600));
}

// Stopping nginx mid-download keeps what was saved; after the restart the download
// continues from there and the file is whole.
TEST_F(ResumeTest, InterruptionByStoppingTheServerResumesAfterRestart) {
    NginxServer nginx;
    const std::string body = PatternBytes(600 * 1024, 11);
    nginx.AddFile("big.bin", body);
    SetText(MetaKey(), "IntermediateRepositoryName", "DownloadRepository\\");
    SetDword(MetaKey(), "InterSaveByteLimit", 32768);
    const fs::path dest = temp.path() / "big.bin";

    DWORD first = 0;
    std::thread download([&] { first = Resume(nginx.port(), "/throttled/big.bin", dest); });
    // Wait for the first save, then cut every connection.
    const bool saved = testsupport::WaitUntil([&] {
        const auto id = Text(MetaKey(), "/throttled/big.bin");
        return id && Dword(MetaKey() + *id, "PartialFileSize").value_or(0) > 0;
    });
    nginx.Stop(SIGTERM);
    download.join();
    ASSERT_TRUE(saved);
    EXPECT_TRUE(first == ERROR_WINHTTP_CONNECTION_ERROR || first == ERROR_WINHTTP_CANNOT_CONNECT ||
                first == ERROR_WINHTTP_TIMEOUT)
        << first;
    EXPECT_FALSE(fs::exists(dest));
    const std::string id = Text(MetaKey(), "/throttled/big.bin").value_or("");
    const DWORD kept = Dword(MetaKey() + id, "PartialFileSize").value_or(0);
    EXPECT_GT(kept, 0u);
    EXPECT_EQ(fs::file_size(Partial(id)), kept);
    EXPECT_FALSE(Dword(MetaKey() + id, "downloadInProgress").has_value());

    nginx.Start();
    ASSERT_EQ(Resume(nginx.port(), "/throttled/big.bin", dest), 0u);
    EXPECT_EQ(ReadBytes(dest), body);
    nginx.WaitForAccessLog(4);
    const auto ranges = RangesOf(nginx, "/throttled/big.bin");
    ASSERT_FALSE(ranges.empty());
    EXPECT_EQ(ranges.back(), "bytes=" + std::to_string(kept) + "-" + std::to_string(body.size()));
    EXPECT_EQ(SubKeys(MetaKey()), std::vector<std::string>{});
}

// One row per attempt, in the success or the failure log, under the exact header.
TEST_F(ResumeTest, AccessLogsHaveTheHeaderAndOneRowPerAttempt) {
    NginxServer nginx;
    nginx.AddFile("docs/report.pdf", std::string(5000, 'r'));
    EXPECT_EQ(Resume(nginx.port(), "/docs/report.pdf", temp.path() / "report.pdf"), 0u);
    std::optional<std::string> data;
    EXPECT_EQ(Resume(nginx.port(), "/docs/report.pdf", {}, GET_DATA, &data), 0u);
    EXPECT_EQ(data, std::string(5000, 'r'));
    EXPECT_EQ(Resume(nginx.port(), "/docs/missing.pdf", temp.path() / "missing.pdf"), 404u);

    const std::string dashes(142, '-');
    const std::string success = ReadBytes(machine.drivePath('C', "Agent/logs/downloadSuccessAccess.log"));
    const std::string failure = ReadBytes(machine.drivePath('C', "Agent/logs/downloadFailureAccess.log"));
    for (const std::string* text : {&success, &failure}) {
        ASSERT_GE(text->size(), 262u);
        EXPECT_EQ(text->substr(0, 262), std::string(kAccessHeader) + dashes);
    }
    auto rows = [](const std::string& text) {
        std::vector<std::vector<std::string>> rows;
        std::size_t at = 262;
        while (at < text.size()) {
            EXPECT_EQ(text.substr(at, 2), "\n ");
            const std::size_t next = text.find('\n', at + 1);
            rows.push_back(SplitTabs(text.substr(at + 2, next == std::string::npos ? next : next - at - 2)));
            at = next == std::string::npos ? text.size() : next;
        }
        return rows;
    };
    const auto good = rows(success);
    const auto bad = rows(failure);
    ASSERT_EQ(good.size(), 2u);
    ASSERT_EQ(bad.size(), 1u);
    // start text (date, two tabs, time), "", file name, mode, bytes, status, received,
    // end time, "", server, port, URL
    const std::vector<std::string>& row = good[0];
    ASSERT_EQ(row.size(), 14u);
    EXPECT_EQ(row[4].size(), 30u);
    EXPECT_EQ(Trim(row[4]), "report.pdf");
    EXPECT_EQ(row[5], "DownloadFile");
    EXPECT_EQ(row[6], "      5000");
    EXPECT_EQ(row[7], "    0");
    EXPECT_EQ(row[8], "      5000");
    EXPECT_EQ(Trim(row[11]), "127.0.0.1");
    EXPECT_EQ(Trim(row[12]), std::to_string(nginx.port()));
    EXPECT_EQ(row[13], "/docs/report.pdf");
    EXPECT_EQ(Trim(good[1][5]), "GetData");
    EXPECT_EQ(bad[0][7], "  404");
    EXPECT_EQ(Trim(bad[0][6]), "0");
    EXPECT_EQ(Trim(bad[0][4]), "missing.pdf");
}

// DownloadCount counts every initialisation but the one that creates the key;
// InterSaveByteLimit is written when missing and clamped when absurd.
TEST_F(ResumeTest, CountersAndSettingsOfTheMetaDataKey) {
    NginxServer nginx;
    const std::string body = PatternBytes(70000, 5);
    nginx.AddFile("a.bin", body);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Resume(nginx.port(), "/a.bin", temp.path() / "a.bin"), 0u);
    EXPECT_EQ(Dword(MetaKey(), "DownloadCount"), 2u);
    EXPECT_EQ(Dword(MetaKey(), "InterSaveByteLimit"), 1048576u);
    EXPECT_EQ(Text(MetaKey(), "IntermediateRepositoryName"), "DownloadRepository\\");

    // A limit of 0 would save per byte: clamped, and the download still completes.
    SetDword(MetaKey(), "InterSaveByteLimit", 0);
    ASSERT_EQ(Resume(nginx.port(), "/a.bin", temp.path() / "b.bin"), 0u);
    EXPECT_EQ(ReadBytes(temp.path() / "b.bin"), body);
    EXPECT_NE(log->text().find("periodic save limit = 512"), std::string::npos);
}

// IntermediateRepositoryName names one folder below the install directory; a value that
// climbs out of it, names a drive, a share or nested folders is replaced by the default.
// A local user who could open a partial file's lock could hold it, and every attempt at
// that download would wait on them.
TEST_F(ResumeTest, ThePartialFileLockIsTheOwnersAlone) {
#ifdef _WIN32
    SKIP_ON_WINDOWS("an unprivileged POSIX user (nobody) plants and holds the lock file");
#else
    if (!testsupport::Nobody().available()) GTEST_SKIP() << "needs root and the account nobody";
    enum class Before { Absent, LeftWorldReadable, PlantedByAUser };
    struct Case {
        const char* name;
        Before before;
        PartialFileLock::State expected;
    };
    const Case cases[] = {
        {"a new lock", Before::Absent, PartialFileLock::State::Held},
        {"a lock an older version left 0644", Before::LeftWorldReadable, PartialFileLock::State::Held},
        {"a lock another user planted", Before::PlantedByAUser, PartialFileLock::State::Unavailable},
    };
    fs::create_directories(Repository());
    testsupport::OpenToUsers(Repository());
    const fs::path lockFile = Partial("77.lock");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(lockFile);
        if (c.before == Before::LeftWorldReadable) {
            testsupport::WriteFile(lockFile, "");
            fs::permissions(lockFile, fs::perms(0644));
        }
        if (c.before == Before::PlantedByAUser) {
            ASSERT_TRUE(testsupport::AsUnprivilegedUser([&] {
                const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
                return fd >= 0 && ::fchmod(fd, 0666) == 0 && ::close(fd) == 0;
            }));
        }
        PartialFileLock lock;
        EXPECT_EQ(lock.TryAcquire("C:\\Agent\\DownloadRepository\\77.lock"), c.expected);
        if (c.expected != PartialFileLock::State::Held) continue;
        EXPECT_EQ(testsupport::ModeOf(lockFile), 0600);
        lock.Release();
        // With the lock free, the local user can still neither open it nor hold it.
        EXPECT_FALSE(testsupport::AsUnprivilegedUser([&] {
            const int fd = ::open(lockFile.c_str(), O_RDONLY);
            return fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        }));
    }
#endif
}

TEST_F(ResumeTest, RepositoryFolderIsOneFolderBelowTheInstallDirectory) {
    NginxServer nginx;
    nginx.AddFile("r.bin", "payload");
    struct Case {
        const char* stored;
        const char* used;
    };
    const Case cases[] = {
        {"MyRepository\\", "MyRepository\\"},
        {"MyRepository", "MyRepository\\"},
        {"..\\..\\escape\\", "DownloadRepository\\"},
        {"..", "DownloadRepository\\"},
        {"C:\\escape\\", "DownloadRepository\\"},
        {"\\\\host\\share\\", "DownloadRepository\\"},
        {"a\\b\\", "DownloadRepository\\"},
        {"/escape/", "DownloadRepository\\"},
        {"line\nbreak", "DownloadRepository\\"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        const std::size_t start = log->text().size();
        SetText(MetaKey(), "IntermediateRepositoryName", c.stored);
        ASSERT_EQ(Resume(nginx.port(), "/r.bin", temp.path() / "r.bin"), 0u);
        EXPECT_EQ(ReadBytes(temp.path() / "r.bin"), "payload");
        const std::string logged = log->text().substr(start);
        EXPECT_NE(logged.find(std::string("Download folder = ") + c.used + "\t"), std::string::npos);
        const bool refused = std::string(c.used) == "DownloadRepository\\";
        EXPECT_EQ(logged.find("IntermediateRepositoryName is not one folder name") != std::string::npos, refused);
        if (refused) {
            EXPECT_EQ(Text(MetaKey(), "IntermediateRepositoryName"), "DownloadRepository\\");
        }
        EXPECT_FALSE(fs::exists(machine.drivePath('C', "escape")));
        EXPECT_FALSE(fs::exists(machine.path() / "escape"));
    }
}

// A URL value that is not one of our ids is never used as a path nor cleaned as one.
TEST_F(ResumeTest, ForeignUrlValueIsReplacedNotFollowed) {
    NginxServer nginx;
    nginx.AddFile("v.bin", "payload");
    for (const std::string value : {"..\\victim", "", "12ab"}) {
        SCOPED_TRACE(value);
        testsupport::WriteFile(machine.drivePath('C', "Agent/victim"), "keep me");
        SetText(MetaKey(), "IntermediateRepositoryName", "DownloadRepository\\");
        SetText(MetaKey(), "/v.bin", value);
        SetDword(MetaKey() + "keep", "PartialFileSize", 5);  // someone else's subkey
        ASSERT_EQ(Resume(nginx.port(), "/v.bin", temp.path() / "v.bin"), 0u);
        EXPECT_EQ(ReadBytes(temp.path() / "v.bin"), "payload");
        EXPECT_EQ(ReadBytes(machine.drivePath('C', "Agent/victim")), "keep me");
        EXPECT_EQ(SubKeys(MetaKey()), std::vector<std::string>{"keep"});
        EXPECT_EQ(UrlValues(), std::vector<std::string>{});
    }
}

// With DownloadMode 1 the plain operations hand file downloads (and every throttled
// download) to the resumable downloader; data files never go there.
TEST_F(ResumeTest, DownloadModeOneHandsOff) {
    NginxServer nginx;
    nginx.AddFile("f.bin", "binary");
    nginx.AddFile("f.xml", "<a/>");
    SetDword(gv_agentRootKey + "\\Settings", "DownloadMode", 1);
    struct Case {
        const char* path;
        bool throttled;
        DWORD mode;
        bool resumable;
    };
    const Case cases[] = {
        {"/f.bin", false, DOWNLOAD_FILE, true},  {"/f.bin", false, GET_DATA, false},
        {"/f.xml", false, DOWNLOAD_FILE, false}, {"/f.bin", true, GET_DATA, true},
        {"/f.bin", true, DOWNLOAD_FILE, true},   {"/f.xml", true, DOWNLOAD_FILE, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + (c.throttled ? " throttled " : " ") + std::to_string(c.mode));
        const int before = CountInLog("Inside DownloadResumeHandler::Initialize");
        std::optional<std::string> data;
        const auto dest = c.mode == DOWNLOAD_FILE ? std::optional<std::string>((temp.path() / "dest").string())
                                                  : std::nullopt;
        const DWORD result = c.throttled ? GetByBitrate(nginx.port(), c.path, dest, &data, c.mode)
                                         : GetEx(nginx.port(), c.path, dest, &data, c.mode);
        EXPECT_EQ(result, 0u);
        EXPECT_EQ(CountInLog("Inside DownloadResumeHandler::Initialize") == before + 1, c.resumable);
        const std::string expected = std::string(c.path) == "/f.bin" ? "binary" : "<a/>";
        EXPECT_EQ(c.mode == GET_DATA ? data.value_or("") : ReadBytes(temp.path() / "dest"), expected);
    }
}

// The throttled variant: a block that fails before any status keeps the state and
// reports its own code; with a save limit far below what arrives at once, every save
// still holds at most the limit.
TEST_F(ResumeTest, ThrottledBlocksKeepStateWithinTheSaveLimit) {
    NginxServer nginx;
    const std::string body = PatternBytes(120000, 9);
    nginx.AddFile("t.bin", body);
    SetText(MetaKey(), "IntermediateRepositoryName", "DownloadRepository\\");
    SetDword(MetaKey(), "InterSaveByteLimit", 1000);
    gv_dataTransferRateKBps = 40;  // 20000-byte blocks
    int blocks = 0;
    // Stop the server after the second block's pause.
    winhttp_seam::SetSleepFunction([&](DWORD) {
        if (++blocks == 2) nginx.Stop(SIGQUIT);
    });
    const fs::path dest = temp.path() / "t.bin";
    EXPECT_EQ(ResumeBlocks(nginx.port(), "/t.bin", dest), static_cast<DWORD>(ERROR_WINHTTP_CANNOT_CONNECT));
    EXPECT_FALSE(fs::exists(dest));
    // 40000 bytes in saves of at most 1000 (recorded behind the transfer, several saves
    // to a record when the recorder lags); the last record holds them all.
    EXPECT_GE(CountInLog("File updated with data."), 40);
    EXPECT_GE(CountInLog("updated registry entries  "), 1);
    const std::string id = Text(MetaKey(), "/t.bin").value_or("");
    EXPECT_EQ(Dword(MetaKey() + id, "PartialFileSize"), 40000u);
    EXPECT_EQ(ReadBytes(Partial(id)), body.substr(0, 40000));

    winhttp_seam::SetSleepFunction([](DWORD) {});
    nginx.Start();
    EXPECT_EQ(ResumeBlocks(nginx.port(), "/t.bin", dest), 0u);
    EXPECT_EQ(ReadBytes(dest), body);
    const auto ranges = RangesOf(nginx, "/t.bin");
    EXPECT_EQ(std::count(ranges.begin(), ranges.end(), "bytes=0-19999"), 1);
    EXPECT_EQ(std::count(ranges.begin(), ranges.end(), "bytes=40000-59999"), 1);
}

// A hundred downloads of every kind leave no registry entry and no file behind.
TEST_F(ResumeTest, NoOrphansAfterManyMixedDownloads) {
    NginxServer nginx;
    std::vector<std::string> bodies;
    for (int i = 0; i < 5; ++i) {
        bodies.push_back(PatternBytes(1000 + 7919 * i, i));
        nginx.AddFile("m/" + std::to_string(i), bodies.back());
    }
    nginx.AddFile("m/empty", "");
    const std::string stamp = ServerStamp(nginx.port(), "/m/0");
    gv_dataTransferRateKBps = 8;
    for (int n = 0; n < 100; ++n) {
        SCOPED_TRACE(n);
        const int file = n % 5;
        const std::string path = "/m/" + std::to_string(file);
        const fs::path dest = temp.path() / ("d" + std::to_string(n));
        std::optional<std::string> data;
        switch (n % 10) {
        case 0:
            EXPECT_EQ(Resume(nginx.port(), "/m/missing", dest), 404u);
            break;
        case 1: {  // a live owner elsewhere: temporary download
            const std::string id = "9" + std::to_string(n);
            StoreState(path, id, 500, stamp, bodies[file].substr(0, 500));
            PartialFileLock other;
            ASSERT_EQ(other.TryAcquire("C:\\Agent\\DownloadRepository\\" + id + ".lock"), PartialFileLock::State::Held);
            EXPECT_EQ(Resume(nginx.port(), path, dest), 0u);
            other.Release();
            EXPECT_EQ(ReadBytes(dest), bodies[file]);
            // The owner comes back and finishes.
            EXPECT_EQ(Resume(nginx.port(), path, dest), 0u);
            break;
        }
        case 2:
            EXPECT_EQ(ResumeBlocks(nginx.port(), path, {}, GET_DATA, &data), 0u);
            EXPECT_EQ(data, AsText(bodies[file]));
            break;
        case 3:
            EXPECT_EQ(Resume(nginx.port(), "/m/empty", dest), 0u);
            EXPECT_EQ(fs::file_size(dest), 0u);
            break;
        case 4:
            StoreState("/norange" + path, "5" + std::to_string(n), 500, stamp, bodies[file].substr(0, 500));
            EXPECT_EQ(Resume(nginx.port(), "/norange" + path, dest), 0u);
            break;
        case 5:
            StoreState(path, "6" + std::to_string(n), 500, "Mon, 01 Jan 2001 00:00:00 GMT", std::string(500, 'X'));
            EXPECT_EQ(ResumeBlocks(nginx.port(), path, dest), 0u);
            break;
        default:
            EXPECT_EQ(Resume(nginx.port(), path, dest), 0u);
            break;
        }
        if (n % 10 != 0 && n % 10 != 2 && n % 10 != 3) {
            EXPECT_EQ(ReadBytes(dest), bodies[file]);
        }
    }
    EXPECT_EQ(UrlValues(), std::vector<std::string>{});
    EXPECT_EQ(SubKeys(MetaKey()), std::vector<std::string>{});
    EXPECT_TRUE(fs::is_empty(Repository()));
}


// ---- Saves behind the transfer ----

class WriteBehindTest : public ResumeTest {
protected:
    static constexpr DWORD kLimit = 4096;
    void SetUp() override {
        ResumeTest::SetUp();
        SetText(MetaKey(), "IntermediateRepositoryName", "DownloadRepository\\");
        SetDword(MetaKey(), "InterSaveByteLimit", kLimit);
    }
    void TearDown() override {
        httpclient::SetWriteBehindFlushForTests(nullptr);
        ResumeTest::TearDown();
    }
    // The recorded size of a URL's copy, then the size of the file itself (read in
    // that order: the file only grows while a download runs); the file's size is
    // nullopt once the finished copy has been moved away.
    std::pair<DWORD, std::optional<ULONGLONG>> RecordedAndOnDisk(const std::string& url) const {
        const auto id = Text(MetaKey(), url);
        if (!id) return {0, 0};
        const DWORD recorded = Dword(MetaKey() + *id, "PartialFileSize").value_or(0);
        std::error_code error;
        const auto size = fs::file_size(Partial(*id), error);
        if (error) return {recorded, std::nullopt};
        return {recorded, size};
    }

    // The flush of the write-behind saves fails from its `failingCall`-th call on; the
    // file's size when the last good flush began bounds what it made durable.
    static inline std::atomic<int> flushCalls{0};
    static inline int failingCall = 0;
    static inline std::atomic<LONGLONG> flushedBound{0};
    static BOOL FailingFlush(HANDLE file) {
        if (++flushCalls >= failingCall) {
            SetLastError(ERROR_DISK_FULL);
            return FALSE;
        }
        LARGE_INTEGER size{};
        if (GetFileSizeEx(file, &size)) flushedBound = size.QuadPart;
        return FlushFileBuffers(file);
    }
};

// A registry writer that holds the hive's lock (as another process writing the registry
// does) holds the record back. The recorded size never runs ahead of the file, and the
// transfer stops a window of buffers past the record until the record moves on.
TEST_F(WriteBehindTest, RecordStaysWithinTheFileAndTheTransferWithinTheWindowOfIt) {
#ifdef _WIN32
    SKIP_ON_WINDOWS("holds the partial file's lock from outside with flock");
#else
    NginxServer nginx;
    // nginx lets the first second's worth (200 KiB) out at once.
    const std::string body = PatternBytes(600 * 1024, 31);
    nginx.AddFile("wb.bin", body);
    const std::string url = "/throttled/wb.bin";
    const fs::path dest = temp.path() / "wb.bin";
    std::atomic<DWORD> result{~0u};
    std::thread download([&] { result = Resume(nginx.port(), url, dest); });

    bool recordAheadOfFile = false;
    auto sample = [&] {
        const auto [recorded, onDisk] = RecordedAndOnDisk(url);
        if (onDisk && recorded > *onDisk) recordAheadOfFile = true;
        return std::make_pair(recorded, onDisk.value_or(0));
    };
    ASSERT_TRUE(testsupport::WaitUntil([&] { return sample().first >= 3 * kLimit; }, std::chrono::seconds(20)));

    const fs::path lockPath = machine.path() / "registry" / "HKLM.lock";
    const int lock = ::open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    const DWORD held = sample().first;
    const DWORD window = httpclient::kBuffersAheadOfRecord * kLimit;
    ASSERT_LT(held + window, body.size());
    EXPECT_TRUE(testsupport::WaitUntil([&] { return sample().second >= held + window - kLimit / 2; },
                                       std::chrono::seconds(20)));
    EXPECT_FALSE(testsupport::WaitUntil([&] { return sample().second > held + window; },
                                        std::chrono::milliseconds(400)))
        << "the transfer ran more than the window ahead of the record";
    EXPECT_EQ(sample().first, held);
    ::flock(lock, LOCK_UN);
    ::close(lock);

    while (result == ~0u) sample();
    download.join();
    EXPECT_EQ(result, 0u);
    EXPECT_FALSE(recordAheadOfFile);
    EXPECT_EQ(ReadBytes(dest), body);
    EXPECT_EQ(UrlValues(), std::vector<std::string>{});
    EXPECT_EQ(SubKeys(MetaKey()), std::vector<std::string>{});
#endif
}

// A flush behind the transfer that fails ends the attempt with its code, as a failed
// save does: counted, nothing handed over, the record left at what was flushed before,
// and the next attempt goes on from there.
TEST_F(WriteBehindTest, FailedFlushBehindTheTransferEndsTheAttemptAndKeepsTheRecord) {
    NginxServer nginx;
    // Long enough for more flushes than the failing one: each window needs its own.
    const std::string body = PatternBytes(8 * httpclient::kBuffersAheadOfRecord * kLimit, 32);
    nginx.AddFile("f.bin", body);
    for (const int failing : {1, 3}) {
        SCOPED_TRACE(failing);
        const std::string url = "/f.bin?" + std::to_string(failing);
        const fs::path dest = temp.path() / ("f" + std::to_string(failing));
        const DWORD failuresBefore = Dword(MetaKey(), "DownloadFailureCount").value_or(0);
        flushCalls = 0;
        flushedBound = 0;
        failingCall = failing;
        httpclient::SetWriteBehindFlushForTests(&WriteBehindTest::FailingFlush);
        EXPECT_EQ(Resume(nginx.port(), url, dest), static_cast<DWORD>(ERROR_DISK_FULL));
        httpclient::SetWriteBehindFlushForTests(nullptr);
        EXPECT_FALSE(fs::exists(dest));
        EXPECT_EQ(Dword(MetaKey(), "DownloadFailureCount"), failuresBefore + 1);
        EXPECT_NE(CountInLog("Error in WriteFile --> 112"), 0);

        const auto id = Text(MetaKey(), url);
        ASSERT_TRUE(id.has_value());
        const DWORD recorded = Dword(MetaKey() + *id, "PartialFileSize").value_or(0);
        // Only what flushes before the failing one covered was recorded.
        EXPECT_LE(recorded, flushedBound.load());
        if (failing == 1) {
            EXPECT_EQ(recorded, 0u);
        }
        EXPECT_EQ(ReadBytes(Partial(*id)).substr(0, recorded), body.substr(0, recorded));
        // The bytes the disk refused are not kept, though the file cache still has them.
        EXPECT_FALSE(Text(MetaKey() + *id, "PartialFileBootId").has_value());

        EXPECT_EQ(Resume(nginx.port(), url, dest), 0u);
        EXPECT_EQ(ReadBytes(dest), body);
        const auto ranges = RangesOf(nginx, url);
        ASSERT_FALSE(ranges.empty());
        EXPECT_EQ(ranges.back(), "bytes=" + std::to_string(recorded) + "-" + std::to_string(body.size()));
    }
}

// A copy restarted from byte 0 (a range ignored) is recorded before its first new byte:
// the old copy's size never counts bytes of the new one, even before a flush of them.
TEST_F(WriteBehindTest, RestartedCopyIsRecordedBeforeItsFirstByte) {
    static std::atomic<bool> holdFlush{true};
    httpclient::SetWriteBehindFlushForTests([](HANDLE file) -> BOOL {
        while (holdFlush) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return FlushFileBuffers(file);
    });
    const std::string stamp = "Tue, 01 Dec 2026 10:00:00 GMT";
    StoreState("/restart.bin", "88", 3000, stamp, std::string(3000, 'o'));
    httpclient::DownloadResumeHandler handler;
    handler.Initialize(WTEXT("C:\\Agent\\out\\restart.bin"), stamp, WTEXT("/restart.bin"));
    ASSERT_EQ(handler.resumeOffset, 3000u);
    holdFlush = false;
    ASSERT_EQ(handler.QueueSave(std::string(1000, 'o').data(), 1000), 0u);

    handler.PreDownloadCleaningOfPartialFile();  // what a 200 answer to the range does
    EXPECT_EQ(Dword(MetaKey() + "88", "PartialFileSize"), 4000u);
    holdFlush = true;
    ASSERT_EQ(handler.QueueSave(std::string(500, 'n').data(), 500), 0u);
    EXPECT_EQ(Dword(MetaKey() + "88", "PartialFileSize"), 0u);
    EXPECT_EQ(ReadBytes(Partial("88")), std::string(500, 'n'));
    holdFlush = false;
    EXPECT_EQ(handler.WaitForSaves(), 0u);
    EXPECT_EQ(Dword(MetaKey() + "88", "PartialFileSize"), 500u);
    handler.CleanFileAndRegistry();
}

// The finished copy is renamed onto the destination when both lie on one file system and
// copied when they do not; either way the destination holds the whole body and the state
// is gone.
TEST_F(ResumeTest, FinishedCopyIsMovedOrCopiedOntoTheDestination) {
    using httpclient::DownloadResumeHandler;
    struct Case {
        const char* name;
        fs::path folder;
        bool moved;
    };
    std::vector<Case> cases = {{"same volume", temp.path() / "out", true}};
    // Real Windows has no second volume to count on: there the copy case is left out.
    const std::optional<fs::path> otherVolume = OtherVolumeFolder(machine.path());
    if (otherVolume) cases.push_back({"other volume", *otherVolume, false});
    const std::string body = PatternBytes(300000, 33);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dest = c.folder / "moved.bin";
        fs::create_directories(c.folder);
        testsupport::WriteFile(dest, "an older copy");
        {
            DownloadResumeHandler handler;
            handler.Initialize(W(dest.string()), "Tue, 01 Dec 2026 10:00:00 GMT", W(std::string("/m/") + c.name));
            ASSERT_EQ(handler.ProcessDownloadedBuffer(body.data(), static_cast<DWORD>(body.size()), false), 0u);
            const std::optional<FileIdentity> partial = IdentityOf(Partial(handler.uniqueId));
            ASSERT_TRUE(partial.has_value());
            EXPECT_EQ(handler.SaveToDestFile(static_cast<DWORD>(body.size())), 0u);
            const std::optional<FileIdentity> result = IdentityOf(dest);
            ASSERT_TRUE(result.has_value());
            EXPECT_EQ(*result == *partial, c.moved);
            EXPECT_FALSE(fs::exists(Partial(handler.uniqueId)));
        }
        EXPECT_EQ(ReadBytes(dest), body);
        std::vector<std::string> left;
        for (const auto& entry : fs::directory_iterator(c.folder))
            left.push_back(entry.path().filename().string());
        EXPECT_EQ(left, std::vector<std::string>{"moved.bin"}) << "no staging copy stays behind";
        EXPECT_EQ(UrlValues(), std::vector<std::string>{});
        EXPECT_EQ(SubKeys(MetaKey()), std::vector<std::string>{});
    }
    if (otherVolume) fs::remove_all(*otherVolume);
}

// A range request that itself fails ends the attempt at once: no failure counted, no
// zqerror.log entry, no access-log row; the stored copy stays for the next attempt.
TEST_F(ResumeTest, AFailedRangeRequestEndsTheAttemptAtOnce) {
    const std::string stamp = "Tue, 01 Dec 2026 10:00:00 GMT";
    const std::string pre = R"({"status": 200, "headers": [["Last-Modified", ")" + stamp + R"("]], "body_size": 1000})";
    ScriptedServer scripted(R"({"routes": {
        "/refused": [)" + pre + R"(, {"status": 503, "body": "busy"}],
        "/stalled": [)" + pre + R"(, {"stall_before_headers": true}],
        "/wrong-offset": [)" + pre + R"(, {"status": 206, "headers": [["Content-Range", "bytes 0-999/1000"]],
                                          "body_size": 1000}]}})");
    gv_httpRequestTimeout = 300;  // GET_DATA requests wait this long for an answer
    const std::string tracking = gv_agentRootKey + "\\KRTracking\\";
    struct Case {
        const char* path;
        DWORD result;
    } const cases[] = {
        {"/refused", 503},
        {"/stalled", ERROR_WINHTTP_TIMEOUT},
        {"/wrong-offset", ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        StoreState(c.path, "61", 400, stamp, PatternBytes(400, 2));
        std::optional<std::string> data;
        EXPECT_EQ(Resume(scripted.port(), c.path, {}, GET_DATA, &data), c.result);
        EXPECT_FALSE(data.has_value());
        EXPECT_FALSE(Dword(MetaKey(), "DownloadFailureCount").has_value());
        EXPECT_FALSE(Dword(tracking + "ResumeDownloadDetails\\", "RESUME_DOWNLOAD_FAILURE_COUNT").has_value());
        EXPECT_FALSE(fs::exists(machine.drivePath('C', "Agent/logs/zqerror.log")));
        EXPECT_FALSE(fs::exists(machine.drivePath('C', "Agent/logs/downloadFailureAccess.log")));
        EXPECT_EQ(Dword(MetaKey() + "61", "PartialFileSize"), 400u);
        EXPECT_EQ(ReadBytes(Partial("61")), PatternBytes(400, 2));
        EXPECT_EQ(CountInLog("Proceeding for PostDownloadHandling"), 0);
    }
}

// With conditional requests on, an answer without Last-Modified records an empty stamp,
// whatever lastModifiedTime held: the copy is never spliced onto another version.
TEST_F(ResumeTest, AnAnswerWithoutLastModifiedRecordsAnEmptyStamp) {
    ScriptedServer scripted(R"({"routes": {"/unstamped": [
        {"status": 200, "body_size": 1000},
        {"status": 206, "headers": [["Content-Range", "bytes 0-999/1000"]], "body_size": 1000, "close_after_bytes": 300},
        {"status": 206, "headers": [["Content-Range", "bytes 300-999/1000"]], "body_size": 700, "close_after_bytes": 0},
        {"status": 200, "body_size": 1000},
        {"status": 206, "headers": [["Content-Range", "bytes 0-999/1000"]], "body_size": 1000}]}})");
    ifModifiedSinceEnabled = 1;
    lastModifiedTime = WTEXT("Sat, 01 Jan 2000 10:00:00 GMT");  // from an earlier download, or the caller's
    const fs::path dest = temp.path() / "unstamped.bin";
    EXPECT_EQ(Resume(scripted.port(), "/unstamped", dest), static_cast<DWORD>(ERROR_WINHTTP_CONNECTION_ERROR));
    const auto id = Text(MetaKey(), "/unstamped");
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(Text(MetaKey() + *id, "LastModifiedTime"), "");
    EXPECT_EQ(Dword(MetaKey() + *id, "PartialFileSize"), 300u);
    EXPECT_EQ(lastModifiedTime, WTEXT("Sat, 01 Jan 2000 10:00:00 GMT")) << "nothing captured replaces it";

    // The next attempt starts over: its answer is as unstamped as the copy.
    EXPECT_EQ(Resume(scripted.port(), "/unstamped", dest), 0u);
    const auto requests = scripted.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().Header("Range"), "bytes=0-1000");
    EXPECT_EQ(ReadBytes(dest), ServerPatternPrefix(1000));
}

// Without an install folder the access logs and zqerror.log go where the repository goes,
// below the temporary folder, never into the current directory.
TEST_F(ResumeTest, WithoutAnInstallFolderTheLogsLieBesideTheRepository) {
    const std::string stamp = "Tue, 01 Dec 2026 10:00:00 GMT";
    ScriptedServer scripted(R"({"routes": {"/short": [
        {"status": 200, "headers": [["Last-Modified", ")" + stamp + R"("]], "body_size": 1000},
        {"status": 206, "headers": [["Content-Range", "bytes 0-399/1000"]], "body_size": 400}]}})");
    testsupport::TempDir workingDirectory;
    const fs::path savedDirectory = fs::current_path();
    fs::current_path(workingDirectory.path());
    gv_agentInstallDir.reset();
    EXPECT_EQ(Resume(scripted.port(), "/short", temp.path() / "short.bin"), HTTP_RESULT_PARTIAL);
    fs::current_path(savedDirectory);
    const auto id = Text(MetaKey(), "/short");
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(fs::file_size(temp.path() / "DownloadRepository" / *id), 400u);
    EXPECT_TRUE(fs::exists(temp.path() / "logs" / "downloadFailureAccess.log"));
    EXPECT_NE(ReadBytes(temp.path() / "logs" / "zqerror.log").find("\tResume Download failed with error code : 707"),
              std::string::npos);
    EXPECT_TRUE(fs::is_empty(workingDirectory.path()));
}

// A resumable GET_DATA body over the limit for data in memory is refused before any
// range of it is asked for.
TEST_F(ResumeTest, ResumableDataStopsAtTheLimit) {
    NginxServer nginx;
    nginx.AddFile("big.xml.bin", std::string(2000, 'd'));
    gv_httpMaxDataSize = 1000;
    for (const bool throttled : {false, true}) {
        SCOPED_TRACE(throttled);
        std::optional<std::string> data;
        const DWORD result = throttled ? ResumeBlocks(nginx.port(), "/big.xml.bin", {}, GET_DATA, &data)
                                       : Resume(nginx.port(), "/big.xml.bin", {}, GET_DATA, &data);
        EXPECT_EQ(result, HTTP_RESULT_FILE_TOO_LARGE);
        EXPECT_FALSE(data.has_value());
    }
    EXPECT_TRUE(RangesOf(nginx, "/big.xml.bin").empty());
    EXPECT_TRUE(log->has("PreDownloadHandling : the body of 2000 bytes is over the limit of 1000 bytes"));
    EXPECT_EQ(SubKeys(MetaKey()), std::vector<std::string>{});
}

// When the state of a download cannot be recorded no partial file is ever set up: an
// empty body is not "delivered" with nothing at the destination.
TEST_F(ResumeTest, NoPartialFileMeansNothingDelivered) {
    SKIP_ON_WINDOWS("makes the registry unwritable by blocking the lock file of the POSIX layer's hive");
    NginxServer nginx;
    nginx.AddFile("empty.bin", "");
    // A registry nobody can write: the lock of the hive cannot be opened.
    fs::create_directories(machine.path() / "registry" / "HKLM.lock");
    std::optional<std::string> data;
    EXPECT_EQ(Resume(nginx.port(), "/empty.bin", temp.path() / "empty.bin"), HTTP_RESULT_NOTHING_TO_SEND);
    EXPECT_FALSE(fs::exists(temp.path() / "empty.bin"));
    EXPECT_EQ(Resume(nginx.port(), "/empty.bin", {}, GET_DATA, &data), HTTP_RESULT_NOTHING_TO_SEND);
    EXPECT_FALSE(data.has_value());
    fs::remove(machine.path() / "registry" / "HKLM.lock");
}

// The copy is read back only from the partial file itself: not through a link planted in
// its place, and not as an empty body when something that cannot be read holds its name.
TEST_F(ResumeTest, DataIsReadBackOnlyFromThePartialFileItself) {
    using httpclient::DownloadResumeHandler;
    const fs::path secret = temp.path() / "secret";
    testsupport::WriteFile(secret, "root's secret");
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> plant;
    } const cases[] = {
        {"a folder", [](const fs::path& at) { fs::create_directory(at); }},
#ifndef _WIN32
        // Wine has neither links to plant nor Unix sockets.
        {"a link to another file", [&](const fs::path& at) { fs::create_symlink(secret, at); }},
        {"a socket",
         [](const fs::path& at) {
             const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             std::snprintf(address.sun_path, sizeof address.sun_path, "%s", at.c_str());
             ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
             ::close(fd);
         }},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DownloadResumeHandler handler;
        handler.Initialize(WTEXT(""), "Tue, 01 Dec 2026 10:00:00 GMT", W(std::string("/data/") + c.name));
        const fs::path partial = Partial(handler.uniqueId);
        c.plant(partial);
        std::optional<std::string> data;
        EXPECT_FALSE(handler.LoadDatafromFile(&data));
        EXPECT_FALSE(data.has_value());
        EXPECT_EQ(ReadBytes(secret), "root's secret");
        fs::remove(partial);
        handler.CleanFileAndRegistry();
    }
}

}  // namespace
