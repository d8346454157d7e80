// The client against the stand-in Vantorra server (tools/standin-server): every answer the
// agent relies on, asked for the way the agent asks - downloads whole, throttled and
// conditional, gzip siblings, the edition's paths and servlets, posts and uploads the
// server confirms by size and checksum, and a server that goes away mid-transfer and
// comes back on the same port.
#include <sys/stat.h>
#include <utime.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "http/tests/http_client_fixture.h"
#include "tests/support/standin_server.h"

namespace {

namespace fs = std::filesystem;
using testsupport::AccessLogEntry;
using testsupport::ReadBytes;
using testsupport::Sha256Hex;
using testsupport::StandinServer;

class StandinServerTest : public HttpClientTest {
protected:
    void SetUp() override {
        HttpClientTest::SetUp();
        ResetAgentParameters();
        gv_agentInstallDir = std::string("C:\\Agent\\");
        gv_tempDir = temp.str();
        gv_serverProtocol = "http";
        gv_dsProtocol = "http";
        gv_zqProductCode = "RQNA";
        gv_serverPort = server.port();
        gv_lastAccessName = "127.0.0.1";
    }
    void TearDown() override {
        ResetAgentParameters();
        HttpClientTest::TearDown();
    }
    std::vector<AccessLogEntry> LogSince(std::size_t from) const {
        auto log = server.AccessLog();
        log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(std::min(from, log.size())));
        return log;
    }
    // The echo's "name: value" line.
    static std::string Echoed(const std::optional<std::string>& reply, const std::string& name) {
        if (!reply) return {};
        const std::string key = name + ": ";
        const auto at = reply->find(key);
        if (at == std::string::npos) return {};
        return reply->substr(at + key.size(), reply->find('\n', at) - at - key.size());
    }
    static void SetFileTime(const fs::path& path, time_t when) {
        utimbuf times{when, when};
        ASSERT_EQ(utime(path.string().c_str(), &times), 0);
    }

    StandinServer server;
};

TEST_F(StandinServerTest, DownloadsGetTheAnswersTheAgentReliesOn) {
    const std::string binary = testsupport::PatternBytes(300'000, 11);
    std::string text;
    while (text.size() < 200'000) text += "line of a compressible document\n";
    server.AddFile("files/patch.bin", binary);
    server.AddFile("files/doc.txt", text);
    server.AddFile("files/doc.txt.gz", Gzip(text));  // served instead when gzip is accepted
    server.AddFile("files/only-plain.txt", "plain");
    const auto dest = temp.path() / "out.bin";
    struct Case {
        const char* name;
        std::string path;
        bool toFile;
        bool gzip;
        DWORD result;
        std::string body;
        int status;
        std::string contentEncodingProof;  // "gz" when fewer bytes than the file went
    } cases[] = {
        {"file into a file", "/files/patch.bin", true, false, 0, binary, 200, ""},
        {"file into memory", "/files/only-plain.txt", false, true, 0, "plain", 200, ""},
        {"gzip sibling decoded", "/files/doc.txt", true, true, 0, text, 200, "gz"},
        {"no gzip asked, plain file", "/files/doc.txt", false, false, 0, text, 200, ""},
        {"edition prefix", "/zq/files/only-plain.txt", false, false, 0, "plain", 200, ""},
        {"clientdatarequest", "/clientdatarequest?fileName=files/patch.bin", true, false, 0, binary, 200, ""},
        {"clientdatarequest gzip", "/clientdatarequest?fileName=files/doc.txt", false, true, 0, text, 200, "gz"},
        {"clientdatarequest outside the root", "/clientdatarequest?fileName=../state/nginx.conf", false, false, 400,
         "", 400, ""},
        {"missing", "/files/none.bin", true, false, 404, "", 404, ""},
        {"server failure", "/status/500", false, false, 500, "", 500, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dest);
        const std::size_t before = server.AccessLog().size();
        std::optional<std::string> body;
        const DWORD mode = c.toFile ? DOWNLOAD_FILE : GET_DATA;
        EXPECT_EQ(GetEx(server.port(), c.path, c.toFile ? std::optional(dest.string()) : std::nullopt, &body, mode,
                        c.gzip),
                  c.result);
        if (c.result != 0) {
            EXPECT_FALSE(fs::exists(dest));
        } else if (c.toFile) {
            EXPECT_EQ(ReadBytes(dest), c.body);
        } else {
            EXPECT_EQ(AsText(body.value_or("")), AsText(c.body));
        }
        ASSERT_TRUE(server.WaitForAccessLog(before + 1));
        const auto entry = LogSince(before).front();
        EXPECT_EQ(entry.status, c.status);
        EXPECT_EQ(entry.userAgent, "VantorraAgent");
        if (c.contentEncodingProof == "gz") {
            EXPECT_LT(entry.bytesSent, c.body.size() / 10);
        } else if (c.result == 0) {
            EXPECT_GT(entry.bytesSent, c.body.size());
        }
    }
}

TEST_F(StandinServerTest, ThrottledDownloadsProbeWithHeadAndFetchExactRanges) {
    const std::string binary = testsupport::PatternBytes(100'000, 3);
    server.AddFile("files/t.bin", binary);
    server.AddFile("files/empty.bin", "");
    gv_dataTransferRateKBps = 64;  // 32,000-byte blocks
    const auto dest = temp.path() / "t.bin";
    ASSERT_EQ(GetByBitrate(server.port(), "/files/t.bin", dest.string(), nullptr, DOWNLOAD_FILE), 0u);
    EXPECT_EQ(ReadBytes(dest), binary);
    ASSERT_TRUE(server.WaitForAccessLog(5));
    std::vector<std::string> seen;
    for (const auto& entry : server.AccessLog())
        seen.push_back(entry.method + " " + entry.range + " " + std::to_string(entry.status));
    // The last block ends one past the last byte; the server clamps it instead of answering 416.
    EXPECT_EQ(seen, (std::vector<std::string>{"HEAD  200", "GET bytes=0-31999 206", "GET bytes=32000-63999 206",
                                              "GET bytes=64000-95999 206", "GET bytes=96000-100000 206"}));

    // An empty file: the probe says 0 and the download creates an empty file.
    const auto empty = temp.path() / "empty.bin";
    EXPECT_EQ(GetByBitrate(server.port(), "/files/empty.bin", empty.string(), nullptr, DOWNLOAD_FILE), 0u);
    EXPECT_TRUE(fs::exists(empty));
    EXPECT_EQ(fs::file_size(empty), 0u);
}

TEST_F(StandinServerTest, ConditionalRequestsAreAnsweredNotModifiedUntilTheFileChanges) {
    const auto file = server.AddFile("files/c.txt", "version 1");
    SetFileTime(file, time(nullptr) - 3600);
    ifModifiedSinceEnabled = 1;
    std::optional<std::string> body;
    ASSERT_EQ(GetEx(server.port(), "/files/c.txt", std::nullopt, &body, GET_DATA), 0u);
    EXPECT_EQ(body, "version 1");
    ASSERT_TRUE(lastModifiedTime.has_value());  // captured from the answer

    body.reset();
    EXPECT_EQ(GetEx(server.port(), "/files/c.txt", std::nullopt, &body, GET_DATA), 90001u);
    EXPECT_FALSE(body.has_value());

    testsupport::WriteFile(file, "version 2");
    SetFileTime(file, time(nullptr));
    EXPECT_EQ(GetEx(server.port(), "/files/c.txt", std::nullopt, &body, GET_DATA), 0u);
    EXPECT_EQ(body, "version 2");

    ASSERT_TRUE(server.WaitForAccessLog(3));
    const auto log = server.AccessLog();
    EXPECT_TRUE(log[0].ifModifiedSince.empty());
    EXPECT_EQ(log[1].status, 304);
    EXPECT_FALSE(log[1].ifModifiedSince.empty());
    EXPECT_EQ(log[2].status, 200);
}

TEST_F(StandinServerTest, AgentRequestsReachTheServletsAndTheEchoUnderEveryEdition) {
    server.AddFile("client-data/x/y.xml", "<doc/>");
    struct Case {
        const char* edition;
        DWORD mode;
        const char* path;
        const char* data;
        std::string target;
        std::string reply;  // the body, or "echo" for the endpoint's answer to `data`
    } cases[] = {
        {"RQNB", GET_DATA, "client-data\\x\\y.xml", "", "/clientdatarequest?fileName=client-data/x/y.xml", "<doc/>"},
        {"RQNB", GET_DATA, "/agentSlot?id=1", "", "/agentSlot?id=1", "ok agentSlot\n"},
        {"RQNB", GET_DATA, "/AGENTREQUEST?id=2", "", "/AGENTREQUEST?id=2", "ok agentRequest\n"},
        {"RQNB", POST_DATA, "/agentRequest?type=inventory", "a=1&b=2", "/agentRequest?type=inventory", "echo"},
        {"RQNCX", GET_DATA, "client-data/x/y.xml", "", "/zq/client-data/x/y.xml", "<doc/>"},
        {"RQNCX", GET_DATA, "/agenttrayicon?x=1", "", "/zq//agenttrayicon?x=1", "ok agenttrayicon\n"},
        {"RQNCX", POST_DATA, "/upload", "payload", "/zq//upload", "echo"},
        {"RQNCX", POST_DATA_UNTIMED, "/agentinfo?id=3", "z", "/zq//agentinfo?id=3", "echo"},
        {"RQNA", GET_DATA, "/client-data/x/y.xml", "", "/client-data/x/y.xml", "<doc/>"},
        {"RQNA", POST_DATA, "/any/where", "q", "/any/where", "echo"},
    };
    std::size_t posts = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.edition) + " " + c.path);
        gv_zqProductCode = c.edition;
        const std::size_t before = server.AccessLog().size();
        std::optional<std::string> reply;
        EXPECT_EQ(AgentSendRequest(c.path, c.data, &reply, c.mode, true, true, 0, 0), 0u);
        ASSERT_TRUE(server.WaitForAccessLog(before + 1));
        EXPECT_EQ(LogSince(before).front().target, c.target);
        if (c.reply == "echo") {
            ++posts;
            EXPECT_EQ(Echoed(reply, "status"), "received") << reply.value_or("(none)");
            EXPECT_EQ(Echoed(reply, "bytes"), std::to_string(std::strlen(c.data)));
            EXPECT_EQ(Echoed(reply, "sha256"), Sha256Hex(c.data));
            ASSERT_EQ(server.Posts().size(), posts);
            EXPECT_EQ(server.Posts().back().target, c.target);
        } else {
            EXPECT_EQ(reply, c.reply);
        }
    }
}

TEST_F(StandinServerTest, UploadsAreConfirmedByTheirSizeAndChecksum) {
    // A multipart buffer with NUL bytes: exactly postLength bytes arrive.
    std::string buffer = testsupport::PatternBytes(5000, 7);
    std::optional<std::string> reply;
    ASSERT_EQ(Post(server.port(), "/upload", buffer.data(), &reply, POST_MULTIPART, 4000), 0u);
    EXPECT_EQ(Echoed(reply, "bytes"), "4000");
    EXPECT_EQ(Echoed(reply, "sha256"), Sha256Hex(buffer.substr(0, 4000)));

    // A file streamed in chunks: the declared size matches what arrived.
    const std::string content = testsupport::PatternBytes(3 * 1024 * 1024 + 17, 9);
    const auto file = temp.path() / "upload.bin";
    testsupport::WriteFile(file, content);
    reply.reset();
    ASSERT_EQ(PostFile(server.port(), "/agentRequest?type=upload", file.string().c_str(), &reply, 65536), 0u);
    EXPECT_EQ(Echoed(reply, "status"), "received");
    EXPECT_EQ(Echoed(reply, "bytes"), std::to_string(content.size()));
    EXPECT_EQ(Echoed(reply, "declared-size"), std::to_string(content.size()));
    EXPECT_EQ(Echoed(reply, "sha256"), Sha256Hex(content));

    // Statuses the endpoint is told to answer come back as the result.
    reply.reset();
    EXPECT_EQ(Post(server.port(), "/upload?status=503", "x", &reply, POST_DATA), 503u);
    EXPECT_EQ(PostFile(server.port(), "/upload?status=500", file.string().c_str(), nullptr), 500u);

    const auto posts = server.Posts();
    ASSERT_EQ(posts.size(), 4u);
    EXPECT_FALSE(posts[0].declaredSize.has_value());
    EXPECT_NE(posts[0].contentType.find("multipart/form-data"), std::string::npos);
    EXPECT_EQ(posts[1].declaredSize, content.size());
    EXPECT_EQ(posts[1].sha256, Sha256Hex(content));
    EXPECT_EQ(posts[2].status, 503);
    EXPECT_EQ(posts[3].bytes, content.size());
}

// The demo's interruption: stopping the server cuts a live download, and a server started
// again on the same port answers the next request with the same logs.
TEST_F(StandinServerTest, StoppingCutsLiveTransfersAndARestartKeepsPortAndLogs) {
    SKIP_ON_WINDOWS("under Wine the download cut by the stop did not end (not yet explained: it needs a look on real "
                    "Windows)");
    const std::string binary = testsupport::PatternBytes(4 * 1024 * 1024, 13);
    server.AddFile("files/big.bin", binary);
    std::atomic<ULONGLONG> received{0};
    SetTransferProgressObserver([&](ULONGLONG done, ULONGLONG) { received = done; });
    const auto dest = temp.path() / "big.bin";
    std::atomic<DWORD> result{1};
    std::thread download([&] {
        result = GetEx(server.port(), "/throttled/files/big.bin", dest.string(), nullptr, DOWNLOAD_FILE);
    });
    const bool started = testsupport::WaitUntil([&] { return received > 0; });
    const int port = server.port();
    server.Stop();
    download.join();
    SetTransferProgressObserver(nullptr);
    ASSERT_TRUE(started);
    EXPECT_NE(result, 0u);
    EXPECT_LT(received.load(), binary.size());
    EXPECT_FALSE(fs::exists(dest)) << "a cut download never becomes the destination";

    server.Start();
    EXPECT_EQ(server.port(), port);
    ASSERT_EQ(GetEx(server.port(), "/files/big.bin", dest.string(), nullptr, DOWNLOAD_FILE), 0u);
    EXPECT_EQ(ReadBytes(dest), binary);
    ASSERT_TRUE(server.WaitForAccessLog(1));
    const auto log = server.AccessLog();
    EXPECT_EQ(log.back().target, "/files/big.bin");
    EXPECT_EQ(log.back().status, 200);
}

}  // namespace

namespace {

// What the launcher says about a start it cannot make; it never leaves a server behind.
TEST(StandinServerLauncher, RefusesWhatItCannotServe) {
#ifdef _WIN32
    GTEST_SKIP() << "runs the Linux launcher script of the stand-in server through a shell";
#else
    StandinServer running;
    testsupport::TempDir work;
    const std::string launcher = (testsupport::SourceDir() / "tools/standin-server/run").string();
    const std::string root = running.root().string();
    const std::string state = " --state " + work.str() + "/state";
    struct Case {
        std::string arguments;
        std::string message;
    } cases[] = {
        {"--root " + root + " --port " + std::to_string(running.port()) + state, "(the port is taken)"},
        {"--root " + work.str() + "/missing" + state, "no such folder"},
        {"--root " + root + " --port 70000" + state, "--port takes a number from 1 to 65535"},
        {"--root " + root + " --slow-rate fast" + state, "--slow-rate takes a byte rate"},
        {"--stop --state " + work.str() + "/nothing", "no server runs with state"},
        {"--root " + root + " --background", "--background needs --state"},
        {"--port 1234" + state, "--root is required"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const auto err = work.path() / "err";
        const int raw = std::system((launcher + " " + c.arguments + " >/dev/null 2>" + err.string()).c_str());
        EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1) << raw;
        EXPECT_NE(ReadBytes(err).find(c.message), std::string::npos) << ReadBytes(err);
        EXPECT_FALSE(fs::exists(work.path() / "state" / "launcher.pid"));
        EXPECT_FALSE(fs::exists(work.path() / "state" / "endpoint.sock"));
    }
    // The running server was not disturbed.
    EXPECT_TRUE(testsupport::PortAccepts(running.port()));
    EXPECT_TRUE(fs::exists(running.state() / "launcher.pid"));
#endif
}

}  // namespace
