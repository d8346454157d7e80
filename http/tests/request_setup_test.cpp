// Request setup against real servers: the request as the server sees it, statuses,
// https, the proxy, and the resend and restart rules with injected WinHTTP failures.
#include "http/tests/http_client_fixture.h"

namespace {

using testsupport::NginxOptions;
using testsupport::NginxServer;
using testsupport::ScriptedServer;
using testsupport::TinyProxy;
using Call = winhttp_seam::Call;

class RequestSetupTest : public HttpClientTest {};

TEST_F(RequestSetupTest, RequestCarriesTheHeadersTheCallerChose) {
    ScriptedServer server(R"({"default": {"status": 200, "body": "ok"}})");
    const auto existing = temp.path() / "present.bin";
    testsupport::WriteFile(existing, "old");
    const WideString existingWide = W(existing.string());
    const WideString missingWide = W((temp.path() / "missing.bin").string());
    const WideString range = WTEXT("Range: bytes=0-9");
    struct Case {
        const char* name;
        int kind;
        bool keepAlive;
        bool gzip;
        DWORD mode;
        int imsSwitch;
        const WCHAR* destination;
        const char* method;
        const char* connection;
        bool range, acceptGzip, ims;
    } const cases[] = {
        {"plain GET", 0, true, false, DOWNLOAD_FILE, 0, nullptr, "GET", "Keep-Alive", false, false, false},
        {"close and gzip", 0, false, true, DOWNLOAD_FILE, 0, nullptr, "GET", "close", false, true, false},
        {"HEAD", 2, true, false, DOWNLOAD_FILE, 0, nullptr, "HEAD", "Keep-Alive", false, false, false},
        {"range skips If-Modified-Since", 1, true, false, DOWNLOAD_FILE, 1, existingWide.c_str(), "GET", "Keep-Alive",
         true, false, false},
        {"GET_DATA sends If-Modified-Since without a file", 0, true, false, GET_DATA, 1, nullptr, "GET", "Keep-Alive",
         false, false, true},
        {"DOWNLOAD_FILE without the file skips it", 0, true, false, DOWNLOAD_FILE, 1, missingWide.c_str(), "GET",
         "Keep-Alive", false, false, false},
        {"DOWNLOAD_FILE with the file sends it", 0, true, false, DOWNLOAD_FILE, 1, existingWide.c_str(), "GET",
         "Keep-Alive", false, false, true},
        {"switch off", 0, true, false, GET_DATA, 0, nullptr, "GET", "Keep-Alive", false, false, false},
    };
    std::size_t seen = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ifModifiedSinceEnabled = c.imsSwitch;
        lastModifiedTime = WTEXT("Tue, 01 Dec 2026 10:00:00 GMT");
        HttpRequestHandles handles;
        handles.requestKind = c.kind;
        handles.extraHeader = range.c_str();
        ASSERT_EQ(Request(server.port(), "/composition", &handles, c.mode, c.keepAlive, c.gzip, "http", c.destination),
                  0u);
        EXPECT_EQ(handles.httpStatus, 200u);
        CloseRequestHandles(handles);
        ASSERT_TRUE(server.WaitForRequests(++seen));
        const testsupport::RecordedRequest request = server.Requests().back();
        EXPECT_EQ(request.method, c.method);
        EXPECT_EQ(request.target, "/composition");
        EXPECT_EQ(request.Header("Connection").value_or(""), c.connection);
        EXPECT_EQ(request.Header("User-Agent").value_or(""), "VantorraAgent");
        EXPECT_EQ(request.Header("Accept").value_or(""), "*/*");
        EXPECT_EQ(request.Header("Range").has_value(), c.range);
        if (c.range) {
            EXPECT_EQ(*request.Header("Range"), "bytes=0-9");
        }
        EXPECT_EQ(request.Header("Accept-Encoding").value_or(""), c.acceptGzip ? "gzip" : "");
        EXPECT_EQ(request.Header("If-Modified-Since").value_or(""), c.ims ? "Tue, 01 Dec 2026 10:00:00 GMT" : "");
    }
    EXPECT_EQ(CountInLog("GetInternetRequestHandle: destination file is not present, hence if-modified-since header is "
                         "not applied\n"),
              1);
}

TEST_F(RequestSetupTest, StatusesOtherThan407AreLeftToTheCaller) {
    NginxServer nginx;
    nginx.AddFile("file.txt", "content");
    struct Case {
        std::string path;
        DWORD status;
    } const cases[] = {{"/file.txt", 200}, {"/missing.txt", 404}, {"/status/500", 500}, {"/status/406", 406}};
    for (const Case& c : cases) {
        HttpRequestHandles handles;
        EXPECT_EQ(Request(nginx.port(), c.path, &handles), 0u) << c.path;
        EXPECT_EQ(handles.httpStatus, c.status) << c.path;
        CloseRequestHandles(handles);
    }
    // Not modified since the file's own time: 304, still a result of 0.
    HttpRequestHandles first;
    ASSERT_EQ(Request(nginx.port(), "/file.txt", &first), 0u);
    ASSERT_EQ(GetFilelastmodifiedTime(first.hRequest, &lastModifiedTime), 0u);
    CloseRequestHandles(first);
    ifModifiedSinceEnabled = 1;
    HttpRequestHandles second;
    EXPECT_EQ(Request(nginx.port(), "/file.txt", &second, GET_DATA), 0u);
    EXPECT_EQ(second.httpStatus, 304u);
    CloseRequestHandles(second);
    EXPECT_TRUE(log->has("End of GetInternetRequestHandle Method"));
}

TEST_F(RequestSetupTest, LastModifiedIsCopiedOrItsAbsenceReported) {
    NginxServer nginx;
    nginx.AddFile("dated.txt", "x");
    HttpRequestHandles handles;
    ASSERT_EQ(Request(nginx.port(), "/dated.txt", &handles), 0u);
    std::optional<WideString> value;
    EXPECT_EQ(GetFilelastmodifiedTime(handles.hRequest, &value), 0u);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->size(), 29u) << "an HTTP date such as \"Tue, 08 Dec 2026 19:29:21 GMT\"";
    EXPECT_EQ(value->substr(value->size() - 4), WTEXT(" GMT"));
    CloseRequestHandles(handles);

    ScriptedServer undated(R"({"default": {"status": 200, "body": "no date"}})");
    HttpRequestHandles other;
    ASSERT_EQ(Request(undated.port(), "/", &other), 0u);
    std::optional<WideString> none;
    EXPECT_EQ(GetFilelastmodifiedTime(other.hRequest, &none), ERROR_WINHTTP_HEADER_NOT_FOUND);
    EXPECT_FALSE(none.has_value());
    EXPECT_TRUE(log->has("GetFilelastmodifiedTime: Could n't query HEADER for last modified time\n"));
    EXPECT_EQ(CountInLog("End of GetFilelastmodifiedTime Method   @@@@@@@@@@@@@\n"), 2);
    CloseRequestHandles(other);
}

TEST_F(RequestSetupTest, HttpsIsRecognisedWhateverItsCase) {
    NginxOptions options;
    options.https = true;
    NginxServer nginx(options);
    nginx.AddFile("secure.txt", "secret");
    gv_serverIPAddress = "127.0.0.1";  // the configured server: its self-signed key is trusted on first use
    for (const char* protocol : {"https", "HTTPS", "Https"}) {
        HttpRequestHandles handles;
        EXPECT_EQ(Request(nginx.httpsPort(), "/secure.txt", &handles, DOWNLOAD_FILE, true, false, protocol), 0u)
            << protocol;
        EXPECT_EQ(handles.httpStatus, 200u) << protocol;
        CloseRequestHandles(handles);
    }
    EXPECT_EQ(CountInLog("GetInternetRequestHandle :  The request is updated with the internet option security "
                         "flags. \n"),
              3);
    // Any other text is plain HTTP, which the TLS port refuses with 400.
    for (const char* protocol : {"http", "ftp", "", "httpss"}) {
        HttpRequestHandles handles;
        EXPECT_EQ(Request(nginx.httpsPort(), "/secure.txt", &handles, DOWNLOAD_FILE, true, false, protocol), 0u);
        EXPECT_EQ(handles.httpStatus, 400u) << protocol;
        CloseRequestHandles(handles);
    }
}

TEST_F(RequestSetupTest, WindowsSevenLimitsTheTlsVersions) {
    SKIP_ON_WINE("Wine's WinHTTP offers no TLS 1.3 (the server refuses its client hello as an unsupported protocol)");
    NginxOptions options;
    options.https = true;
    options.sslProtocols = "TLSv1.3";
    NginxServer nginx(options);
    nginx.AddFile("secure.txt", "secret");
    gv_serverIPAddress = "127.0.0.1";
    HttpRequestHandles modern;
    EXPECT_EQ(Request(nginx.httpsPort(), "/secure.txt", &modern, DOWNLOAD_FILE, true, false, "https"), 0u);
    EXPECT_EQ(modern.httpStatus, 200u);
    CloseRequestHandles(modern);
    EXPECT_TRUE(log->has("SetSecureProtocols :  Security protocols configured successfully \n"));

    testsupport::WriteFile(machine.path() / "machine.ini", "[os]\nmajor = 6\nminor = 1\n");
    HttpRequestHandles legacy;
    const DWORD result = Request(nginx.httpsPort(), "/secure.txt", &legacy, DOWNLOAD_FILE, true, false, "https");
    CloseRequestHandles(legacy);
    EXPECT_TRUE(log->has("SetSecureProtocols :  Security protocols configured successfully \n"));
    EXPECT_NE(result, 0u) << "WinHTTP of Windows 7 knows no TLS 1.3: TLS 1.2 only cannot talk to a TLS 1.3 server";
    EXPECT_TRUE(log->has("GetInternetRequestHandle :  Error in WinHttpSendRequest -> " + std::to_string(result)));
}

TEST_F(RequestSetupTest, ProxyCredentialsOfOneCharacterAreNotSent) {
    NginxServer nginx;
    nginx.AddFile("via-proxy.txt", "proxied");
    TinyProxy proxy("user", "pass");
    const WideString address = W(proxy.address());
    const WideString object = WTEXT("/via-proxy.txt");
    const auto request = [&](const WCHAR* proxyAddress, const WCHAR* server, INTERNET_PORT port,
                             const WCHAR* user, const WCHAR* password,
                             HttpRequestHandles* handles) {
        return GetInternetRequestHandle(true, "http", server, port, proxyAddress, nullptr, user,
                                        password, object.c_str(), nullptr, DOWNLOAD_FILE, true,
                                        handles, false);
    };
    struct Case {
        const WCHAR* user;
        const WCHAR* password;
        DWORD result;
        DWORD status;
    } const cases[] = {
        {WTEXT("user"), WTEXT("pass"), 0, 200},
        {WTEXT("u"), WTEXT("pass"), 407, 407},  // user not set: no credentials at all
        {nullptr, nullptr, 407, 407},
    };
    for (const Case& c : cases) {
        HttpRequestHandles handles;
        EXPECT_EQ(request(address.c_str(), WTEXT("127.0.0.1"),
                          static_cast<INTERNET_PORT>(nginx.port()), c.user, c.password, &handles),
                  c.result);
        EXPECT_EQ(handles.httpStatus, c.status);
        CloseRequestHandles(handles);
    }
    EXPECT_TRUE(log->has("GetInternetRequestHandle : Proxy Server Name : " + proxy.address() + " \n"));

    // A password of one character is not set, the user alone is. Whether a WinHTTP answers
    // the challenge with the user and an empty password is its own affair (the host layer
    // does, Wine's does not): a proxy that refuses every answer shows that "p" never went out.
    ScriptedServer refusing(
        R"({"default": {"status": 407, "headers": [["Proxy-Authenticate", "Basic realm=\"x\""]]}})");
    const WideString refusingAddress = W("127.0.0.1:" + std::to_string(refusing.port()));
    HttpRequestHandles handles;
    EXPECT_EQ(request(refusingAddress.c_str(), WTEXT("origin.test"), 80, WTEXT("user"), WTEXT("p"),
                      &handles),
              407u);
    EXPECT_EQ(handles.httpStatus, 407u);
    CloseRequestHandles(handles);
    ASSERT_TRUE(refusing.WaitForRequests(1));
    for (const auto& seen : refusing.Requests()) {
        EXPECT_NE(seen.Header("Proxy-Authorization"), "Basic dXNlcjpw") << "user:p went out";
    }
    EXPECT_EQ(CountInLog(
                  "GetInternetRequestHandle : Proxy Credentials are failed to authenticate 407 \n"),
              3);
}

TEST_F(RequestSetupTest, ARefusedConnectionFailsTheSend) {
    HttpRequestHandles handles;
    EXPECT_EQ(Request(testsupport::UnusedLoopbackPort(), "/", &handles), ERROR_WINHTTP_CANNOT_CONNECT);
    EXPECT_TRUE(log->has("GetInternetRequestHandle :  Error in WinHttpSendRequest -> 12029 \n"));
    EXPECT_TRUE(log->has("HttpGetLastError: The attempt to connect to the server failed.\n"));
    CloseRequestHandles(handles);
}

TEST_F(RequestSetupTest, InjectedFailuresFollowTheResendAndRestartRules) {
    SKIP_ON_WINDOWS(kNeedsInjectedFailures);
    ScriptedServer server(R"({"default": {"status": 200, "body": "ok"}})");
    struct Case {
        const char* name;
        Call call;
        DWORD error;
        unsigned times;
        DWORD mode;
        DWORD result;  // 0 with status 200, else the code
        std::size_t sleeps;
        int restarts;  // "Going to close the request handle" lines
    } const cases[] = {
        {"login failure on send restarts once", Call::SendRequest, 12015, 1, DOWNLOAD_FILE, 0, 0, 1},
        {"cancelled send restarts once", Call::SendRequest, 12017, 1, DOWNLOAD_FILE, 0, 0, 1},
        {"second login failure on send ends", Call::SendRequest, 12015, 2, DOWNLOAD_FILE, 12015, 0, 2},
        {"other send failure ends", Call::SendRequest, 12030, 1, DOWNLOAD_FILE, 12030, 0, 0},
        {"resend twice after five seconds", Call::ReceiveResponse, 12032, 2, DOWNLOAD_FILE, 0, 2, 0},
        {"invalid response restarts", Call::ReceiveResponse, 12152, 1, DOWNLOAD_FILE, 0, 0, 1},
        {"login failure on receive restarts", Call::ReceiveResponse, 12015, 3, DOWNLOAD_FILE, 0, 0, 3},
        {"other receive failure ends", Call::ReceiveResponse, 12184, 1, DOWNLOAD_FILE, 12184, 0, 0},
        {"open fails", Call::Open, 12001, 1, DOWNLOAD_FILE, 12001, 0, 0},
        {"connect fails", Call::Connect, 12005, 1, DOWNLOAD_FILE, 12005, 0, 0},
        {"open request fails", Call::OpenRequest, 12004, 1, DOWNLOAD_FILE, 12004, 0, 0},
        {"a header that cannot be added is not fatal", Call::AddRequestHeaders, 12153, 1, DOWNLOAD_FILE, 0, 0, 0},
        {"a failing option ends the call", Call::SetOption, 12009, 1, GET_DATA, 12009, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.reset();  // the old capture closes the log it shares with the new one
        log = std::make_unique<LogCapture>(4);
        sleeps.clear();
        winhttp_seam::ClearInjectedFailures();
        winhttp_seam::InjectFailure(c.call, c.error, c.times);
        HttpRequestHandles handles;
        const DWORD result = Request(server.port(), "/", &handles, c.mode);
        EXPECT_EQ(result, c.result);
        if (c.result == 0) {
            EXPECT_EQ(handles.httpStatus, 200u);
        }
        EXPECT_EQ(Sleeps(), std::vector<DWORD>(c.sleeps, 5000));
        EXPECT_EQ(CountInLog("Going to close the request handle and going to resending the data to the server 127.0.0.1"),
                  c.restarts);
        winhttp_seam::ClearInjectedFailures();
        CloseRequestHandles(handles);
    }
}

TEST_F(RequestSetupTest, FiveResendRoundsEndWithTheFailedHeaderQuery) {
    SKIP_ON_WINDOWS(kNeedsInjectedFailures);
    ScriptedServer server(R"({"default": {"status": 200, "body": "ok"}})");
    winhttp_seam::InjectFailure(Call::ReceiveResponse, 12032, 5);
    HttpRequestHandles handles;
    const DWORD result = Request(server.port(), "/", &handles);
    EXPECT_EQ(Sleeps(), std::vector<DWORD>(5, 5000));
    EXPECT_NE(result, 0u);
    EXPECT_TRUE(log->has("GetInternetRequestHandle :  Error in WinHttpQueryHeaders --> " + std::to_string(result)));
    EXPECT_EQ(CountInLog("GetInternetRequestHandle : Resending the data to the server 127.0.0.1 \n"), 5);
    CloseRequestHandles(handles);
}

TEST_F(RequestSetupTest, ARestartClosesTheAbandonedSessionAndConnection) {
    SKIP_ON_WINDOWS(kNeedsInjectedFailures);
    ScriptedServer server(R"({"default": {"status": 200, "body": "ok"}})");
    winhttp_seam::InjectFailure(Call::SendRequest, 12015, 1);
    // Each close consumes one injected close failure: count how many the restart made.
    winhttp_seam::InjectFailure(Call::CloseHandle, 6, 10);
    HttpRequestHandles handles;
    EXPECT_EQ(Request(server.port(), "/", &handles), 0u);
    EXPECT_EQ(winhttp_seam::PendingFailures(Call::CloseHandle), 7u) << "request, connection and session";
    winhttp_seam::ClearInjectedFailures();
    CloseRequestHandles(handles);
}

// What Windows' WinHTTP reports as an invalid response (12152): no status line, nothing at
// all. Each restarts the request once, then counts five rounds on the same request.
TEST_F(RequestSetupTest, AnInvalidAnswerRestartsOnceThenCountsRounds) {
    struct Case {
        const char* name;
        const char* action;
    } const cases[] = {
        {"closed without a word", R"({"raw": ""})"},
        {"no status line", R"({"raw": "<html><body>not a response</body></html>\r\n\r\n"})"},
    };
    ScriptedServer server;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.SetScenario(std::string(R"({"default": )") + c.action + "}");
        const int before = CountInLog("as the error code received is 12152 \n");
        HttpRequestHandles handles;
        EXPECT_NE(Request(server.port(), "/", &handles), 0u);
        // One restart, then five counted rounds: six answers of 12152. (How many reach the
        // server depends on whether the WinHTTP keeps the connection after an invalid answer.)
        EXPECT_EQ(CountInLog("as the error code received is 12152 \n") - before, 6);
        EXPECT_TRUE(Sleeps().empty());
        CloseRequestHandles(handles);
    }
}

// Invalid responses on Windows too, which Wine's WinHTTP takes for a 200: a status line with
// a misspelt protocol name, a head the server closed before its end.
TEST_F(RequestSetupTest, AMisspeltStatusLineOrAHeadCutShortIsAnInvalidAnswer) {
    SKIP_ON_WINE(
        "Wine's WinHTTP takes \"HTP/1.1 200 OK\" and a head the server closed before its end for a "
        "200");
    ScriptedServer server;
    for (const char* raw : {"HTP/1.1 200 OK\\r\\n\\r\\n", "HTTP/1.1 200 OK\\r\\nContent-Le"}) {
        SCOPED_TRACE(raw);
        server.SetScenario(std::string(R"({"default": {"raw": ")") + raw + "\"}}");
        const int before = CountInLog("as the error code received is 12152 \n");
        HttpRequestHandles handles;
        EXPECT_NE(Request(server.port(), "/", &handles), 0u);
        EXPECT_EQ(CountInLog("as the error code received is 12152 \n") - before, 6);
        CloseRequestHandles(handles);
    }
}

// A reset before any answer is a lost connection (12030): no restart, no round.
TEST_F(RequestSetupTest, AResetBeforeTheAnswerEndsTheRequest) {
    SKIP_ON_WINE(
        "Wine's WinHTTP reports a reset before the answer now as 12152, now as the socket error "
        "10054");
    ScriptedServer server(R"({"default": {"raw": "", "then_reset": true}})");
    HttpRequestHandles handles;
    EXPECT_EQ(Request(server.port(), "/", &handles),
              static_cast<DWORD>(ERROR_WINHTTP_CONNECTION_ERROR));
    EXPECT_TRUE(
        log->has("GetInternetRequestHandle :  Error - WinHttpReceiveResponse --> 12030 \n"));
    EXPECT_EQ(CountInLog("as the error code received is"), 0);
    CloseRequestHandles(handles);
    EXPECT_TRUE(server.WaitForRequests(1));
    EXPECT_EQ(server.Requests().size(), 1u);
}

}  // namespace
