// WinHTTP failures: each comes back from the call the agent expects it from, with the
// WinHTTP code, whatever the server did; stale and foreign handles never crash.
#include <gtest/gtest.h>

#include "platform/tests/winhttp_support.h"
#include "platform/win/files.h"
#include "platform/win/process.h"
#include "tests/support/http_fixtures.h"

using namespace winhttp_test;
using testsupport::ScriptedServer;

namespace {

enum class Stage { Send, Receive, Body };

struct ErrorCase {
    const char* name;
    std::string action;  // scenario action for the scripted server; empty: see host/port
    std::string host = "127.0.0.1";
    bool refusedPort = false;
    Stage stage;
    DWORD error;
    std::string bodyBeforeError = "";
};

TEST(WinHttpErrors, EachFailureSurfacesWhereTheAgentLooksForIt) {
    std::string manyHeaders;  // about 80 KiB of well-formed header lines
    for (int i = 0; i < 2000; ++i) manyHeaders += "X-Pad-" + std::to_string(i) + ": 0123456789012345678901234567\\r\\n";
    const std::vector<ErrorCase> cases = {
        {"connection refused", "", "127.0.0.1", true, Stage::Send, ERROR_WINHTTP_CANNOT_CONNECT},
        {"name not resolved", "", "no-such-host.invalid", false, Stage::Send, ERROR_WINHTTP_NAME_NOT_RESOLVED},
        {"characters no host name has", "", "bad host!", false, Stage::Send, ERROR_WINHTTP_INVALID_URL},
        {"stall before the head", R"({"stall_before_headers": true})", "127.0.0.1", false, Stage::Receive,
         ERROR_WINHTTP_TIMEOUT},
        {"silence after accepting", R"({"accept_and_hang": true})", "127.0.0.1", false, Stage::Receive,
         ERROR_WINHTTP_TIMEOUT},
        // Windows' WinHTTP: a server that closes before its head is complete gave an invalid
        // response; a reset is a connection error.
        {"closed without a word", R"({"raw": ""})", "127.0.0.1", false, Stage::Receive,
         ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
        {"closed inside the head", R"({"raw": "HTTP/1.1 200 OK\r\nContent-Le"})", "127.0.0.1", false,
         Stage::Receive, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
        {"reset without a word", R"({"raw": "", "then_reset": true})", "127.0.0.1", false, Stage::Receive,
         ERROR_WINHTTP_CONNECTION_ERROR},
        {"reset inside the head", R"({"raw": "HTTP/1.1 200 OK\r\nContent-Le", "then_reset": true})", "127.0.0.1",
         false, Stage::Receive, ERROR_WINHTTP_CONNECTION_ERROR},
        {"malformed status line", R"({"raw": "HTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"})", "127.0.0.1", false,
         Stage::Receive, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
        {"status code not a number", R"({"raw": "HTTP/1.1 2x0 OK\r\nContent-Length: 2\r\n\r\nok"})", "127.0.0.1",
         false, Stage::Receive, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
        {"garbage", R"({"raw": "\u0001\u0002 hello there\r\n\r\n"})", "127.0.0.1", false, Stage::Receive,
         ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
        {"head beyond 64 KiB", R"({"raw": "HTTP/1.1 200 OK\r\n)" + manyHeaders + R"(\r\nok"})", "127.0.0.1", false,
         Stage::Receive, ERROR_WINHTTP_HEADER_SIZE_OVERFLOW},
        {"stall in the body", R"({"body": "0123456789", "stall_after_bytes": 4})", "127.0.0.1", false, Stage::Body,
         ERROR_WINHTTP_TIMEOUT, "0123"},
        {"reset in the body", R"({"body_size": 300000, "reset_after_bytes": 100000})", "127.0.0.1", false,
         Stage::Body, ERROR_WINHTTP_CONNECTION_ERROR},
        {"body shorter than declared", R"({"body": "0123456789", "close_after_bytes": 6})", "127.0.0.1", false,
         Stage::Body, ERROR_WINHTTP_CONNECTION_ERROR, "012345"},
        {"chunked body cut short", R"({"body": "0123456789", "chunked": true, "close_after_bytes": 0, "headers": []})",
         "127.0.0.1", false, Stage::Body, ERROR_WINHTTP_CONNECTION_ERROR},
    };
    ScriptedServer server;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.action.empty()) server.SetScenario(R"({"default": )" + c.action + "}");
        RequestSetup setup(c.refusedPort ? testsupport::UnusedLoopbackPort() : server.port(), "/x");
        setup.host = c.host;
        HandleSet set(setup);
        ASSERT_TRUE(set.request);
        ASSERT_TRUE(set.SetDword(WINHTTP_OPTION_RECEIVE_TIMEOUT, 300));
        ASSERT_TRUE(set.SetDword(WINHTTP_OPTION_CONNECT_TIMEOUT, 2000));
        const BOOL sent = WinHttpSendRequest(set.request, nullptr, 0, nullptr, 0, 0, 0);
        if (c.stage == Stage::Send) {
            EXPECT_FALSE(sent);
            EXPECT_EQ(GetLastError(), c.error);
            // A failed send leaves nothing to receive.
            EXPECT_FALSE(WinHttpReceiveResponse(set.request, nullptr));
            EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
            continue;
        }
        ASSERT_TRUE(sent) << GetLastError();
        const BOOL received = WinHttpReceiveResponse(set.request, nullptr);
        if (c.stage == Stage::Receive) {
            EXPECT_FALSE(received);
            EXPECT_EQ(GetLastError(), c.error);
            continue;
        }
        ASSERT_TRUE(received) << GetLastError();
        EXPECT_EQ(set.Status(), 200u);
        std::string body;
        EXPECT_EQ(ReadBody(set.request, body), c.error);
        if (!c.bodyBeforeError.empty()) {
            EXPECT_EQ(body, c.bodyBeforeError);
        }
        // The failure stays: no later read pretends the body ended well.
        DWORD available = 0;
        EXPECT_FALSE(WinHttpQueryDataAvailable(set.request, &available));
    }
}

TEST(WinHttpErrors, LargeReadsHandBackWhatArrivedBeforeAFailure) {
    // A read far larger than the body takes what is there and returns; the failure comes
    // with the next read, so no byte that arrived is lost with it.
    struct Case {
        const char* name;
        std::string action;
        DWORD error;
        std::string body;  // what arrives before the error; empty: only its size is bounded
        size_t most = 10;
    } const cases[] = {
        {"stall in the body", R"({"body": "0123456789", "stall_after_bytes": 4})", ERROR_WINHTTP_TIMEOUT, "0123"},
        {"body shorter than declared", R"({"body": "0123456789", "close_after_bytes": 6})",
         ERROR_WINHTTP_CONNECTION_ERROR, "012345"},
        {"reset in the body", R"({"body_size": 300000, "reset_after_bytes": 100000})",
         ERROR_WINHTTP_CONNECTION_ERROR, "", 100000},
        {"whole body", R"({"body": "0123456789"})", ERROR_SUCCESS, "0123456789"},
    };
    ScriptedServer server;
    std::vector<char> buffer(1u << 20);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.SetScenario(R"({"default": )" + c.action + "}");
        HandleSet set(RequestSetup(server.port(), "/x"));
        ASSERT_TRUE(set.SetDword(WINHTTP_OPTION_RECEIVE_TIMEOUT, 300));
        ASSERT_EQ(set.SendAndReceive(), 0u);
        std::string body;
        DWORD error = ERROR_SUCCESS;
        for (int reads = 0; reads < 1000; ++reads) {
            DWORD read = 0;
            if (!WinHttpReadData(set.request, buffer.data(), static_cast<DWORD>(buffer.size()), &read)) {
                error = GetLastError();
                EXPECT_EQ(read, 0u);
                break;
            }
            if (read == 0) break;
            body.append(buffer.data(), read);
        }
        EXPECT_EQ(error, c.error);
        if (!c.body.empty()) {
            EXPECT_EQ(body, c.body);
        }
        EXPECT_LE(body.size(), c.most);
    }
}

TEST(WinHttpErrors, ReceiveTimeoutBoundsEachWaitNotTheTransfer) {
    // Pieces that each arrive well within the time-out make a transfer far longer than it.
    testsupport::NginxServer nginx;
    nginx.AddFile("rated.bin", testsupport::PatternBytes(600 * 1024));
    HandleSet set(RequestSetup(nginx.port(), "/throttled/rated.bin"));  // 200 KiB/s: about 3 s
    ASSERT_TRUE(set.SetDword(WINHTTP_OPTION_RECEIVE_TIMEOUT, 1500));
    ASSERT_EQ(set.SendAndReceive(), 0u);
    std::string body;
    EXPECT_EQ(ReadBody(set.request, body), 0u);
    EXPECT_EQ(body.size(), 600u * 1024);
}

TEST(WinHttpErrors, CallsOutOfOrderFailWithIncorrectHandleState) {
    ScriptedServer server(R"({"default": {"body": "abc"}})");
    HandleSet set(RequestSetup(server.port()));
    DWORD available = 0, read = 0;
    char buffer[8];
    EXPECT_FALSE(WinHttpReceiveResponse(set.request, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    EXPECT_FALSE(WinHttpQueryDataAvailable(set.request, &available));
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    EXPECT_FALSE(WinHttpReadData(set.request, buffer, sizeof buffer, &read));
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    ASSERT_TRUE(WinHttpSendRequest(set.request, nullptr, 0, nullptr, 0, 0, 0));
    // Reading before the response head is in is out of order too.
    EXPECT_FALSE(WinHttpQueryDataAvailable(set.request, &available));
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    ASSERT_TRUE(WinHttpReceiveResponse(set.request, nullptr));
    std::string body;
    EXPECT_EQ(ReadBody(set.request, body), 0u);
    EXPECT_EQ(body, "abc");
    // The same request sent again starts afresh.
    ASSERT_EQ(set.SendAndReceive(), 0u);
    body.clear();
    EXPECT_EQ(ReadBody(set.request, body), 0u);
    EXPECT_EQ(body, "abc");
}

TEST(WinHttpHandles, UnsetStaleForeignAndWrongKindHandlesAreRefused) {
    const HINTERNET unset = reinterpret_cast<HINTERNET>(static_cast<intptr_t>(-1));
    HINTERNET session = WinHttpOpen(u"VantorraAgent", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    ASSERT_TRUE(session);
    HINTERNET connection = WinHttpConnect(session, u"127.0.0.1", 80, 0);
    ASSERT_TRUE(connection);
    HINTERNET request = WinHttpOpenRequest(connection, u"GET", u"/", nullptr, nullptr, nullptr, 0);
    ASSERT_TRUE(request);
    // Closing the parents first is allowed; the request keeps what it needs.
    EXPECT_TRUE(WinHttpCloseHandle(session));
    EXPECT_TRUE(WinHttpCloseHandle(connection));
    DWORD value = 0, size = sizeof value;
    EXPECT_TRUE(WinHttpQueryOption(request, WINHTTP_OPTION_HANDLE_TYPE, &value, &size));
    EXPECT_EQ(value, WINHTTP_HANDLE_TYPE_REQUEST);
    EXPECT_TRUE(WinHttpCloseHandle(request));

    const HANDLE file = CreateFileA("/dev/null", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    for (HINTERNET handle : {unset, static_cast<HINTERNET>(nullptr), session, connection, request,
                             static_cast<HINTERNET>(file)}) {
        SCOPED_TRACE(reinterpret_cast<uintptr_t>(handle));
        char buffer[4];
        DWORD count = 0;
        EXPECT_FALSE(WinHttpCloseHandle(handle));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(WinHttpSendRequest(handle, nullptr, 0, nullptr, 0, 0, 0));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(WinHttpReceiveResponse(handle, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(WinHttpReadData(handle, buffer, sizeof buffer, &count));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        size = sizeof value;
        EXPECT_FALSE(WinHttpQueryHeaders(handle, WINHTTP_QUERY_STATUS_CODE, nullptr, buffer, &size, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(WinHttpConnect(handle, u"127.0.0.1", 80, 0));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    EXPECT_TRUE(CloseHandle(file));  // still open: WinHttpCloseHandle left it alone

    // A handle of the wrong kind.
    session = WinHttpOpen(u"VantorraAgent", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    EXPECT_FALSE(WinHttpOpenRequest(session, u"GET", u"/", nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    EXPECT_FALSE(WinHttpSendRequest(session, nullptr, 0, nullptr, 0, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    EXPECT_TRUE(WinHttpCloseHandle(session));
}

TEST(WinHttpOptions, SettingsAreCheckedAndReadBack) {
    HINTERNET session = WinHttpOpen(u"VantorraAgent", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET connection = WinHttpConnect(session, u"127.0.0.1", 80, 0);
    HINTERNET request = WinHttpOpenRequest(connection, u"GET", u"/", nullptr, nullptr, nullptr, WINHTTP_FLAG_SECURE);
    ASSERT_TRUE(request);
    DWORD value = 0, size = sizeof value;
    // WinHTTP's defaults.
    struct Default {
        DWORD option;
        DWORD value;
    };
    for (const Default& d : {Default{WINHTTP_OPTION_CONNECT_TIMEOUT, 60000}, Default{WINHTTP_OPTION_SEND_TIMEOUT, 30000},
                             Default{WINHTTP_OPTION_RECEIVE_TIMEOUT, 30000}, Default{WINHTTP_OPTION_SECURITY_FLAGS, 0}}) {
        size = sizeof value;
        ASSERT_TRUE(WinHttpQueryOption(request, d.option, &value, &size));
        EXPECT_EQ(value, d.value) << d.option;
    }
    // Read, add the agent's four flags, write back.
    value |= SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
             SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    ASSERT_TRUE(WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &value, sizeof value));
    size = sizeof value;
    ASSERT_TRUE(WinHttpQueryOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &value, &size));
    EXPECT_EQ(value, 0x3300u);
    // The size query of a text option.
    size = 0;
    EXPECT_FALSE(WinHttpQueryOption(request, WINHTTP_OPTION_URL, nullptr, &size));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, sizeof(u"https://127.0.0.1:80/"));
    // Wrong handle kind, short buffer, unknown option, read-only option.
    value = 0xA80;
    EXPECT_FALSE(WinHttpSetOption(request, WINHTTP_OPTION_SECURE_PROTOCOLS, &value, sizeof value));
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    EXPECT_TRUE(WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &value, sizeof value));
    EXPECT_FALSE(WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &value, 2));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(WinHttpSetOption(request, 4242, &value, sizeof value));
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INVALID_OPTION);
    EXPECT_FALSE(WinHttpSetOption(request, WINHTTP_OPTION_HANDLE_TYPE, &value, sizeof value));
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_OPTION_NOT_SETTABLE);
    // Timeouts set on the session reach requests opened later.
    ASSERT_TRUE(WinHttpSetTimeouts(session, 0, 1234, 2345, 3456));
    HINTERNET laterConnection = WinHttpConnect(session, u"h", 1, 0);
    HINTERNET later = WinHttpOpenRequest(laterConnection, u"GET", u"/", nullptr, nullptr, nullptr, 0);
    size = sizeof value;
    ASSERT_TRUE(WinHttpQueryOption(later, WINHTTP_OPTION_RECEIVE_TIMEOUT, &value, &size));
    EXPECT_EQ(value, 3456u);
    for (HINTERNET handle : {later, laterConnection, request, connection, session}) EXPECT_TRUE(WinHttpCloseHandle(handle));
}

}  // namespace
