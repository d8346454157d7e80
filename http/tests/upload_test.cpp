// Uploads against the scripted server and tinyproxy: bodies byte-exact at the server,
// replies, statuses, the refusals before anything is sent, time-outs and resends.

#include "http/tests/http_client_fixture.h"

namespace {

using testsupport::ScriptedServer;
using testsupport::Sha256Hex;
using Call = winhttp_seam::Call;

class UploadTest : public HttpClientTest {};

TEST_F(UploadTest, PostsArriveByteExactWithTheirReply) {
    ScriptedServer server(R"({"default": {"status": 200, "body": "0123456789"}})");
    const std::string binary = std::string("bin\0ary\r\n\xff\x00tail", 15);
    const std::string longer = "ABCDEFGHIJKLMNOP";
    struct Case {
        const char* name;
        const char* data;
        DWORD mode;
        DWORD length;
        std::string body;
        bool multipart;
    } const cases[] = {
        {"text", "type=inventory&count=2", POST_DATA, 0, "type=inventory&count=2", false},
        {"untimed text", "untimed", POST_DATA_UNTIMED, 0, "untimed", false},
        {"binary buffer", binary.data(), POST_MULTIPART, 15, binary, true},
        {"multipart of the text length", "multi text", POST_MULTIPART, 0, "multi text", true},
        {"part of a buffer", longer.c_str(), POST_MULTIPART, 10, "ABCDEFGHIJ", true},
    };
    std::size_t seen = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::string> reply;
        EXPECT_EQ(Post(server.port(), "/agentRequest?type=inventory", c.data, &reply, c.mode, c.length), 0u);
        // A 10-byte reply with Content-Length 10 is exactly those ten characters.
        EXPECT_EQ(reply.value_or("missing"), "0123456789");
        ASSERT_TRUE(server.WaitForRequests(++seen));
        const auto request = server.Requests().back();
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.target, "/agentRequest?type=inventory");
        EXPECT_EQ(request.Body(), c.body);
        EXPECT_EQ(request.Header("Content-Length").value_or(""), std::to_string(c.body.size()));
        EXPECT_EQ(request.CountHeader("Content-Type"), c.multipart ? 1 : 0);
        if (c.multipart) {
            EXPECT_EQ(*request.Header("Content-Type"), "multipart/form-data");
        }
        EXPECT_FALSE(request.Header("Accept").has_value());
        EXPECT_EQ(request.Header("User-Agent").value_or(""), "VantorraAgent");
    }
    // A binary buffer is logged within its length only.
    EXPECT_TRUE(log->has("InternetSendRequestEx : Data to Send -> \n ABCDEFGHIJ \n"));
    EXPECT_TRUE(log->has("InternetSendRequestEx : Data to Send -> \n bin \n"));
    EXPECT_TRUE(log->has("InternetSendRequestEx : Received response from server 127.0.0.1: \n 0123456789 \n"));
    EXPECT_TRUE(log->has("InternetSendRequestEx :  No Of Bytes -> 10 \n"));
}

TEST_F(UploadTest, AnswersOtherThan200AreTheResult) {
    ScriptedServer server(R"({"routes": {
        "/bad": {"status": 400, "body": "bad"},
        "/broken": {"status": 500, "body": "broken"},
        "/no-length": {"status": 200, "body": "reply without length", "content_length": null},
        "/short-reply": {"status": 200, "body": "short", "content_length": 4000000000, "close": true}}})");
    struct Case {
        const char* path;
        DWORD result;
        std::optional<std::string> reply;
    } const cases[] = {
        {"/bad", 400, std::nullopt},
        {"/broken", 500, std::nullopt},
        // Posted, but the reply cannot be sized: 12150 all the same.
        {"/no-length", ERROR_WINHTTP_HEADER_NOT_FOUND, std::nullopt},
        // A huge announced length never sizes the buffer: the reply is what arrived.
        {"/short-reply", 0, std::string("short")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::optional<std::string> reply;
        EXPECT_EQ(Post(server.port(), c.path, "payload", &reply, POST_DATA), c.result);
        EXPECT_EQ(reply, c.reply);
    }
    ASSERT_TRUE(server.WaitForRequests(4));
    for (const auto& request : server.Requests()) EXPECT_EQ(request.Body(), "payload");
    EXPECT_TRUE(log->has(
        "InternetSendRequestEx : Failed to post the data to the server 127.0.0.1 with http status code 400 \n"));
    EXPECT_TRUE(log->has(
        "InternetSendRequestEx :  WinHttpQueryHeaders failed with the error code while getting content length -> "
        "12150 \n"));
}

TEST_F(UploadTest, NothingIsSentWithoutDataOrWithAFileThatCannotGo) {
    ScriptedServer server(R"({"default": {"status": 200, "body": "ok"}})");
    const auto empty = temp.path() / "empty.bin";
    testsupport::WriteFile(empty, "");
    // A sparse file just over 4 GiB: its size does not fit the request's 32-bit total.
    const auto huge = temp.path() / "huge.bin";
    testsupport::WriteFile(huge, "");
    std::filesystem::resize_file(huge, 5ULL << 30);
    EXPECT_EQ(Post(server.port(), "/", nullptr, nullptr, POST_DATA), HTTP_RESULT_NOTHING_TO_SEND);
    EXPECT_EQ(PostFile(server.port(), "/", nullptr, nullptr), HTTP_RESULT_NOTHING_TO_SEND);
    EXPECT_EQ(PostFile(server.port(), "/", empty.string().c_str(), nullptr), HTTP_RESULT_NOTHING_TO_SEND);
    EXPECT_EQ(PostFile(server.port(), "/", (temp.path() / "missing").string().c_str(), nullptr), HTTP_RESULT_NOTHING_TO_SEND);
    EXPECT_EQ(PostFile(server.port(), "/", huge.string().c_str(), nullptr), HTTP_RESULT_FILE_TOO_LARGE);
    EXPECT_EQ(CountInLog("InternetSendRequestByBitRate: File Size is zero: 0\n"), 2);
    EXPECT_EQ(CountInLog("***************** End Of InternetSendRequestByBitRate Method ***************** \n"), 4);
    EXPECT_EQ(CountInLog("@@@@@@@@ End Of InternetSendRequestEx Method @@@@@@@@ \n"), 1);
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(UploadTest, FilesAreStreamedWhole) {
    ScriptedServer server(R"({"default": {"status": 200, "body": "stored"}})");
    const std::string content = testsupport::PatternBytes(3'000'001, 5);
    const auto file = temp.path() / "upload.bin";
    testsupport::WriteFile(file, content);
    std::size_t seen = 0;
    for (DWORD chunk : {65536u, 1u << 20, 7777u, 100'000'000u}) {
        SCOPED_TRACE(chunk);
        std::optional<std::string> reply;
        EXPECT_EQ(PostFile(server.port(), "/upload", file.string().c_str(), &reply, chunk), 0u);
        EXPECT_EQ(reply.value_or(""), "stored");
        ASSERT_TRUE(server.WaitForRequests(++seen));
        const auto request = server.Requests().back();
        EXPECT_EQ(request.bodyLength, content.size());
        EXPECT_EQ(request.bodySha256, Sha256Hex(content));
        EXPECT_EQ(request.Header("Content-type").value_or(""), "multipart/form-data; filesize=\"3000001\"");
        EXPECT_EQ(request.CountHeader("Content-Type"), 1);
        EXPECT_EQ(request.Header("Connection").value_or(""), "Keep-Alive");
    }
    EXPECT_TRUE(log->has("InternetSendRequestByBitRate: Header buffer: Content-type: multipart/form-data; "
                         "filesize=\"3000001\""));
}

TEST_F(UploadTest, AShortUploadFailsAndNeverHangs) {
    // Wine's WinHTTP waits for the server's answer to a request whose body fell short
    // (http/README.md, "Differences found against the system's WinHTTP").
    SKIP_ON_WINDOWS("Wine's WinHttpReceiveResponse waits for the answer to a short body instead of failing with 12019");
    ScriptedServer server(R"({"default": {"status": 200, "body": "ok"}})");
    const auto file = temp.path() / "data.bin";
    testsupport::WriteFile(file, std::string(5000, 'x'));
    // A chunk size of 0 writes nothing of the declared 5000 bytes.
    const DWORD result = PostFile(server.port(), "/", file.string().c_str(), nullptr, 0);
    EXPECT_NE(result, 0u);
    EXPECT_TRUE(log->has("InternetSendRequestByBitRate :  Error - WinHttpReceiveResponse --> " + std::to_string(result)));
}

TEST_F(UploadTest, PostDataTimesOutWhereUntimedKeepsTheDefaults) {
    SKIP_ON_WINDOWS(kNeedsInjectedFailures);
    ScriptedServer stalled(R"({"default": {"stall_before_headers": true}})");
    gv_httpRequestTimeout = 300;
    EXPECT_EQ(Post(stalled.port(), "/", "data", nullptr, POST_DATA), ERROR_WINHTTP_TIMEOUT);
    EXPECT_TRUE(log->has("InternetSendRequestEx :  Error - WinHttpReceiveResponse --> 12002 \n"));

    // The untimed post sets no option at all: an option failure waiting to fire stays.
    ScriptedServer server(R"({"default": {"status": 200, "body": "ok"}})");
    winhttp_seam::InjectFailure(Call::SetOption, ERROR_WINHTTP_INVALID_OPTION, 1);
    EXPECT_EQ(Post(server.port(), "/", "data", nullptr, POST_DATA_UNTIMED), 0u);
    EXPECT_EQ(winhttp_seam::PendingFailures(Call::SetOption), 1u);
    // The timed post sets its connect time-out first, and a failure there ends it.
    EXPECT_EQ(Post(server.port(), "/", "data", nullptr, POST_DATA), ERROR_WINHTTP_INVALID_OPTION);
    EXPECT_TRUE(log->has("InternetSendRequestEx :  Error in WinHttpSetOption --> 12009 \n"));
}

TEST_F(UploadTest, ResendsRepeatTheWholeBodyOnTheSameRequest) {
    SKIP_ON_WINDOWS(kNeedsInjectedFailures);
    ScriptedServer server(R"({"default": {"status": 200, "body": "ok"}})");
    const std::string content = testsupport::PatternBytes(200'000, 9);
    const auto file = temp.path() / "again.bin";
    testsupport::WriteFile(file, content);
    winhttp_seam::InjectFailure(Call::ReceiveResponse, ERROR_WINHTTP_RESEND_REQUEST, 1);
    EXPECT_EQ(PostFile(server.port(), "/upload", file.string().c_str(), nullptr), 0u);
    EXPECT_EQ(Sleeps(), std::vector<DWORD>{5000});
    ASSERT_TRUE(server.WaitForRequests(2));
    for (const auto& request : server.Requests()) EXPECT_EQ(request.bodySha256, Sha256Hex(content));

    // A multipart buffer sent again carries its Content-Type once.
    winhttp_seam::InjectFailure(Call::ReceiveResponse, ERROR_WINHTTP_RESEND_REQUEST, 1);
    EXPECT_EQ(Post(server.port(), "/multi", "abc", nullptr, POST_MULTIPART, 3), 0u);
    ASSERT_TRUE(server.WaitForRequests(4));
    for (const auto& request : server.Requests()) {
        if (request.target == "/multi") {
            EXPECT_EQ(request.CountHeader("Content-Type"), 1);
        }
    }

    // A login failure from the send replaces the request once; a second one ends the post.
    winhttp_seam::InjectFailure(Call::SendRequest, ERROR_WINHTTP_LOGIN_FAILURE, 1);
    EXPECT_EQ(Post(server.port(), "/", "x", nullptr, POST_DATA), 0u);
    winhttp_seam::InjectFailure(Call::SendRequest, ERROR_WINHTTP_LOGIN_FAILURE, 2);
    EXPECT_EQ(Post(server.port(), "/", "x", nullptr, POST_DATA), ERROR_WINHTTP_LOGIN_FAILURE);
    EXPECT_TRUE(log->has("InternetSendRequestEx :  Error in WinHttpSendRequest -> 12015 \n"));
}

TEST_F(UploadTest, ProxyCredentialsAndTheProxyAnswer) {
    // Wine's WinHTTP resends the credentials on the connection tinyproxy closed after its
    // 407 (http/README.md, "Differences found against the system's WinHTTP").
    SKIP_ON_WINE(
        "Wine's WinHTTP answers the resend of a post after a proxy's 407 with the socket error "
        "10054");
    ScriptedServer server(R"({"default": {"status": 200, "body": "via proxy"}})");
    testsupport::TinyProxy proxy("user", "pass");
    const WideString address = W(proxy.address());
    struct Case {
        const WCHAR* user;
        DWORD result;
    } const cases[] = {{WTEXT("user"), 0}, {WTEXT("u"), 407}};
    for (const Case& c : cases) {
        std::optional<std::string> reply;
        const DWORD result = InternetSendRequestEx(true, "http", WTEXT("127.0.0.1"), static_cast<INTERNET_PORT>(server.port()),
                                                   address.c_str(), nullptr, c.user, WTEXT("pass"), WTEXT("/post"), "body", &reply,
                                                   POST_DATA, true, 0);
        EXPECT_EQ(result, c.result);
        if (c.result == 0) {
            EXPECT_EQ(reply.value_or(""), "via proxy");
        }
    }
    EXPECT_TRUE(log->has("InternetSendRequestEx : Proxy Credentials are failed to authenticate 407 \n"));
    EXPECT_TRUE(log->has("InternetSendRequestEx : Proxy Server Name : " + proxy.address() + " \n"));
}

// A reply is read into memory only up to the agent's limit; bodies on both ways reach
// the log at TRACE only, with their passwords masked.
TEST_F(UploadTest, RepliesStopAtTheLimitAndBodiesAreLoggedWithoutPasswords) {
    ScriptedServer server(R"({"routes": {"/big": {"status": 200, "body_size": 200000},
                                         "/small": {"status": 200, "body": "token=abc&Password=hunter22"}}})");
    gv_httpMaxDataSize = 100000;
    // The reply's bytes stay out of the log (no TRACE): the capture is read back in text
    // mode on Windows, where the pattern's 0x1A would end it.
    log.reset();
    log = std::make_unique<LogCapture>(3);
    std::optional<std::string> reply;
    EXPECT_EQ(Post(server.port(), "/big", "ask", &reply, POST_DATA), HTTP_RESULT_FILE_TOO_LARGE);
    EXPECT_FALSE(reply.has_value());
    EXPECT_TRUE(log->has("InternetSendRequestEx : the reply of 200000 bytes is over the limit of 100000 bytes for data "
                         "in memory (HTTPMaxDataSize)\n"));

    const std::optional<std::string> savedProxyPassword = gv_proxyPassword;
    gv_proxyPassword = "Zx9-proxy";
    for (const BYTE level : {BYTE{3}, BYTE{4}}) {
        SCOPED_TRACE(static_cast<int>(level));
        log.reset();
        log = std::make_unique<LogCapture>(level);
        reply.reset();
        EXPECT_EQ(Post(server.port(), "/small", "user=a&password=hunter2&note=Zx9-proxy", &reply, POST_DATA), 0u);
        EXPECT_EQ(reply.value_or(""), "token=abc&Password=hunter22");
        for (const char* secret : {"hunter2", "Zx9-proxy"}) EXPECT_FALSE(log->has(secret)) << secret;
        EXPECT_EQ(log->has("[TRACE] InternetSendRequestEx : Data to Send -> \n user=a&password=****&note=**** \n"),
                  level == 4);
        EXPECT_EQ(log->has("[TRACE] InternetSendRequestEx : Received response from server 127.0.0.1: \n "
                           "token=abc&Password=**** \n"),
                  level == 4);
    }
    gv_proxyPassword = savedProxyPassword;
}

}  // namespace
