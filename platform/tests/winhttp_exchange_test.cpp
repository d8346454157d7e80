// WinHTTP over real servers: what goes out on the wire, what the header queries answer,
// and bodies read back byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "platform/tests/winhttp_support.h"
#include "tests/support/http_fixtures.h"

using namespace winhttp_test;
using testsupport::NginxServer;
using testsupport::ScriptedServer;

namespace {

TEST(WinHttpRequestComposition, OnlyTheCallersHeadersGoOutBesideHostLengthAndAgent) {
    ScriptedServer server(R"({"default": {"status": 200, "body": "ok"}})");
    struct Case {
        const char* name;
        std::string verb;
        std::string object;
        bool acceptAll;
        std::vector<std::string> added;
        std::string body;
        std::string expectedTarget;
        std::vector<std::pair<std::string, std::string>> expectedHeaders;  // in this order
    };
    const std::vector<Case> cases = {
        {"get with accept types", "GET", "/files/a.zip", true, {"Connection: Keep-Alive"}, "", "/files/a.zip",
         {{"Host", "127.0.0.1:" + std::to_string(server.port())}, {"User-Agent", "VantorraAgent"}, {"Accept", "*/*"},
          {"Connection", "Keep-Alive"}}},
        {"object without leading slash, query kept", "GET", "clientdatarequest?fileName=a b&x=%41", true, {},
         "", "/clientdatarequest?fileName=a%20b&x=%41",
         {{"Host", "127.0.0.1:" + std::to_string(server.port())}, {"User-Agent", "VantorraAgent"}, {"Accept", "*/*"}}},
        {"doubled slash kept", "GET", "/zq//client-data/x.xml", true, {}, "", "/zq//client-data/x.xml", {}},
        {"head", "HEAD", "/f", true, {"Range: bytes=0-99"}, "", "/f", {{"Range", "bytes=0-99"}}},
        {"post without accept types", "POST", "/agentRequest?type=inventory", false,
         {"Connection: close", "Content-Type: multipart/form-data"}, "a=1&b=2", "/agentRequest?type=inventory",
         {{"Host", "127.0.0.1:" + std::to_string(server.port())}, {"User-Agent", "VantorraAgent"},
          {"Connection", "close"}, {"Content-Type", "multipart/form-data"}, {"Content-Length", "7"}}},
        {"post without a content type of the caller's", "POST", "/p", false, {}, "x", "/p", {}},
        {"several headers in one text", "GET", "/m", true, {"If-Modified-Since: Tue, 01 Dec 2026 10:00:00 GMT\r\nX-One: 1"},
         "", "/m", {{"If-Modified-Since", "Tue, 01 Dec 2026 10:00:00 GMT"}, {"X-One", "1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = server.Requests().size();
        RequestSetup setup(server.port(), c.object, c.verb);
        setup.acceptAll = c.acceptAll;
        HandleSet set(setup);
        ASSERT_TRUE(set.request);
        for (const auto& line : c.added) ASSERT_TRUE(set.AddHeader(line));
        std::string body = c.body;
        ASSERT_TRUE(WinHttpSendRequest(set.request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, body.empty() ? nullptr : body.data(),
                                       static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), 0))
            << GetLastError();
        ASSERT_TRUE(WinHttpReceiveResponse(set.request, nullptr)) << GetLastError();
        std::string reply;
        ASSERT_EQ(ReadBody(set.request, reply), 0u);
        ASSERT_TRUE(server.WaitForRequests(before + 1));
        const auto recorded = server.Requests().at(before);
        EXPECT_EQ(recorded.method, c.verb);
        EXPECT_EQ(recorded.target, c.expectedTarget);
        EXPECT_EQ(recorded.version, "HTTP/1.1");
        EXPECT_EQ(recorded.Body(), c.body);
        // Nothing curl would add on its own.
        for (const char* unwanted : {"Expect", "Accept-Encoding", "Pragma", "Cache-Control", "Transfer-Encoding"}) {
            EXPECT_FALSE(recorded.Header(unwanted)) << unwanted;
        }
        if (!c.acceptAll) {
            EXPECT_FALSE(recorded.Header("Accept"));
        }
        const bool typed = std::any_of(c.added.begin(), c.added.end(),
                                       [](const std::string& h) { return h.starts_with("Content-Type"); });
        if (!typed) {
            EXPECT_FALSE(recorded.Header("Content-Type"));
        }
        if (c.body.empty() && c.verb != "POST") {
            EXPECT_FALSE(recorded.Header("Content-Length"));
        }
        if (!c.expectedHeaders.empty()) {
            std::vector<std::pair<std::string, std::string>> seen;
            for (const auto& header : recorded.headers) {
                for (const auto& wanted : c.expectedHeaders) {
                    if (strcasecmp(wanted.first.c_str(), header.first.c_str()) == 0) seen.push_back(header);
                }
            }
            EXPECT_EQ(seen, c.expectedHeaders);
        }
    }
}

TEST(WinHttpRequestComposition, HeadersThatWouldSmuggleAreRefused) {
    ScriptedServer server;
    HandleSet set(RequestSetup(server.port()));
    ASSERT_TRUE(set.request);
    for (const char* bad : {"X-A: 1\nX-B: 2", "X-A: 1\rX-B: 2", "NoColonHere", ": empty name", "Bad Name: x"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(set.AddHeader(bad));
        EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INVALID_HEADER);
    }
    // Refused text added nothing: the request still goes out clean.
    ASSERT_EQ(set.SendAndReceive(), 0u);
    ASSERT_TRUE(server.WaitForRequests(1));
    const auto recorded = server.Requests().at(0);
    EXPECT_FALSE(recorded.Header("X-A"));
    EXPECT_FALSE(recorded.Header("X-B"));
}

TEST(WinHttpHeaderQueries, AnswerAsWinHttpDoes) {
    ScriptedServer server(R"({"routes": {
        "/h": {"status": 200, "reason": "Fine", "headers": [["X-Twice", "one"], ["X-Twice", "two"],
               ["Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT"]], "body": "hello"},
        "/huge": {"status": 200, "content_length": 5000000000, "stall_after_bytes": 0},
        "/nolength": {"status": 200, "content_length": null, "body": "until close"},
        "/notnumber": {"status": 200, "headers": [["X-Count", "12ab"]], "body": ""}}})");

    HandleSet set(RequestSetup(server.port(), "/h"));
    ASSERT_TRUE(set.request);
    // Before any response there is nothing to ask about.
    DWORD status = 0, size = sizeof status;
    EXPECT_FALSE(WinHttpQueryHeaders(set.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr,
                                     &status, &size, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    ASSERT_EQ(set.SendAndReceive(), 0u);

    EXPECT_EQ(set.Status(), 200u);
    // Size query: 122 with the bytes needed, terminator included.
    size = 0;
    EXPECT_FALSE(WinHttpQueryHeaders(set.request, WINHTTP_QUERY_RAW_HEADERS_CRLF, nullptr, nullptr, &size, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    const std::string raw = set.Header(WINHTTP_QUERY_RAW_HEADERS_CRLF);
    EXPECT_EQ(size, (raw.size() + 1) * sizeof(WCHAR));
    EXPECT_TRUE(raw.starts_with("HTTP/1.1 200 Fine\r\n")) << raw;
    EXPECT_TRUE(raw.ends_with("\r\n\r\n")) << raw;
    EXPECT_NE(raw.find("\r\nX-Twice: two\r\n"), std::string::npos) << raw;
    // One byte short of the text is still too small.
    std::u16string text(size / 2, u'\0');
    DWORD shortSize = size - 2;
    EXPECT_FALSE(WinHttpQueryHeaders(set.request, WINHTTP_QUERY_RAW_HEADERS_CRLF, nullptr, text.data(), &shortSize, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(shortSize, size);

    EXPECT_EQ(set.Header(WINHTTP_QUERY_STATUS_TEXT), "Fine");
    EXPECT_EQ(set.Header(WINHTTP_QUERY_LAST_MODIFIED), "Tue, 01 Dec 2026 10:00:00 GMT");
    EXPECT_EQ(set.Header(WINHTTP_QUERY_CUSTOM, "x-twice"), "one");
    DWORD length = 0;
    size = sizeof length;
    ASSERT_TRUE(WinHttpQueryHeaders(set.request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER, nullptr,
                                    &length, &size, nullptr));
    EXPECT_EQ(length, 5u);
    // Occurrences by index; past the last one: not found.
    DWORD index = 1;
    WCHAR value[32];
    size = sizeof value;
    ASSERT_TRUE(WinHttpQueryHeaders(set.request, WINHTTP_QUERY_CUSTOM, u"X-Twice", value, &size, &index));
    EXPECT_EQ(std::u16string(value, size / 2), u"two");
    EXPECT_EQ(index, 2u);
    size = sizeof value;
    EXPECT_FALSE(WinHttpQueryHeaders(set.request, WINHTTP_QUERY_CUSTOM, u"X-Twice", value, &size, &index));
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_HEADER_NOT_FOUND);
    size = 0;
    EXPECT_FALSE(WinHttpQueryHeaders(set.request, WINHTTP_QUERY_CUSTOM, u"Content-Encoding", nullptr, &size, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_HEADER_NOT_FOUND);
    SYSTEMTIME modified{};
    size = sizeof modified;
    ASSERT_TRUE(WinHttpQueryHeaders(set.request, WINHTTP_QUERY_LAST_MODIFIED | WINHTTP_QUERY_FLAG_SYSTEMTIME, nullptr,
                                    &modified, &size, nullptr));
    EXPECT_EQ(modified.wYear, 2026);
    EXPECT_EQ(modified.wMonth, 12);
    EXPECT_EQ(modified.wDayOfWeek, 2);
    EXPECT_EQ(modified.wHour, 10);

    // Numbers that do not fit 32 bits, or are no numbers, fail instead of being cut.
    struct NumberCase {
        const char* object;
        DWORD level;
        const char16_t* name;
    };
    for (const NumberCase& c : {NumberCase{"/huge", WINHTTP_QUERY_CONTENT_LENGTH, nullptr},
                                NumberCase{"/notnumber", WINHTTP_QUERY_CUSTOM, u"X-Count"}}) {
        SCOPED_TRACE(c.object);
        HandleSet other(RequestSetup(server.port(), c.object));
        ASSERT_EQ(other.SendAndReceive(), 0u);
        DWORD number = 0;
        size = sizeof number;
        EXPECT_FALSE(WinHttpQueryHeaders(other.request, c.level | WINHTTP_QUERY_FLAG_NUMBER, c.name, &number, &size, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INVALID_QUERY_REQUEST);
    }
    HandleSet huge(RequestSetup(server.port(), "/huge"));
    ASSERT_EQ(huge.SendAndReceive(), 0u);
    ULONGLONG wide = 0;
    size = sizeof wide;
    ASSERT_TRUE(WinHttpQueryHeaders(huge.request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER64, nullptr,
                                    &wide, &size, nullptr));
    EXPECT_EQ(wide, 5000000000ull);

    HandleSet noLength(RequestSetup(server.port(), "/nolength"));
    ASSERT_EQ(noLength.SendAndReceive(), 0u);
    size = sizeof length;
    EXPECT_FALSE(WinHttpQueryHeaders(noLength.request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER, nullptr,
                                     &length, &size, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_HEADER_NOT_FOUND);
    std::string body;
    EXPECT_EQ(ReadBody(noLength.request, body), 0u);
    EXPECT_EQ(body, "until close");
}

TEST(WinHttpBody, FiveMegabytesArriveWholeThroughABoundedBuffer) {
    NginxServer nginx;
    const std::string content = testsupport::PatternBytes(5 * 1024 * 1024 + 17, 1);
    nginx.AddFile("big.bin", content);
    struct Case {
        const char* name;
        std::vector<DWORD> readSizes;  // cycled; 0: the size QueryDataAvailable gave
        bool queryFirst = false;       // ask what is available before each read
    };
    // Reads smaller and far larger than what the layer holds, with and without asking
    // first: no byte may be lost, repeated or reordered across the pauses.
    const Case cases[] = {
        {"as the agent reads", {0}},
        {"odd small reads", {1, 4096, 7, 65537}},
        {"reads of megabytes", {4u << 20, 1u << 20, 300000}},
        {"a query, then a read of one byte or of more than it offered", {4u << 20, 1}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HandleSet set(RequestSetup(nginx.port(), "/big.bin"));
        ASSERT_EQ(set.SendAndReceive(), 0u);
        EXPECT_EQ(set.Status(), 200u);
        std::string body;
        size_t largest = 0;
        if (c.readSizes == std::vector<DWORD>{0}) {
            ASSERT_EQ(ReadBody(set.request, body, &largest), 0u);
        } else {
            std::vector<char> buffer(*std::max_element(c.readSizes.begin(), c.readSizes.end()));
            for (size_t i = 0;; ++i) {
                if (c.queryFirst) {
                    DWORD available = 0;
                    ASSERT_TRUE(WinHttpQueryDataAvailable(set.request, &available));
                    if (available == 0) break;
                    largest = std::max<size_t>(largest, available);
                }
                const DWORD size = c.readSizes[i % c.readSizes.size()];
                DWORD read = 0;
                ASSERT_TRUE(WinHttpReadData(set.request, buffer.data(), size, &read));
                ASSERT_LE(read, size);
                if (read == 0) break;
                body.append(buffer.data(), read);
            }
        }
        ASSERT_EQ(body.size(), content.size());
        EXPECT_TRUE(body == content);
        // What one wait offers is bounded, whatever the file size.
        EXPECT_LE(largest, 512u * 1024);
        // After the end: zero, and again zero.
        DWORD available = 1;
        EXPECT_TRUE(WinHttpQueryDataAvailable(set.request, &available));
        EXPECT_EQ(available, 0u);
    }
}

TEST(WinHttpBody, AnAbandonedBodyIsNotFetched) {
    NginxServer nginx;
    nginx.AddFile("big.bin", testsupport::PatternBytes(64 * 1024 * 1024));
    {
        HandleSet set(RequestSetup(nginx.port(), "/big.bin"));
        ASSERT_EQ(set.SendAndReceive(), 0u);
        EXPECT_EQ(set.Status(), 200u);
    }  // closed without reading
    ASSERT_TRUE(nginx.WaitForAccessLog(1));
    // nginx logs what it managed to send before the client went: far less than the file.
    EXPECT_LT(nginx.AccessLog().at(0).bytesSent, 16u * 1024 * 1024);
}

TEST(WinHttpRedirects, FollowedUpToTheLimitAndNeverFromHttpsToHttp) {
    ScriptedServer server(R"({"routes": {
        "/start": {"status": 302, "headers": [["Location", "/middle"]], "body": "moved"},
        "/middle": {"status": 301, "headers": [["Location", "/end?x=1"]]},
        "/end": {"status": 200, "body": "arrived"},
        "/loop": {"status": 302, "headers": [["Location", "/loop"]]}}})");
    HandleSet set(RequestSetup(server.port(), "/start"));
    ASSERT_EQ(set.SendAndReceive(), 0u);
    EXPECT_EQ(set.Status(), 200u);
    std::string body;
    ASSERT_EQ(ReadBody(set.request, body), 0u);
    EXPECT_EQ(body, "arrived");
    ASSERT_TRUE(server.WaitForRequests(3));
    EXPECT_EQ(server.Requests().at(2).target, "/end?x=1");

    HandleSet loop(RequestSetup(server.port(), "/loop"));
    EXPECT_EQ(loop.SendAndReceive(), ERROR_WINHTTP_REDIRECT_FAILED);

    HandleSet never(RequestSetup(server.port(), "/start"));
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    ASSERT_TRUE(WinHttpSetOption(never.request, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy));
    ASSERT_EQ(never.SendAndReceive(), 0u);
    EXPECT_EQ(never.Status(), 302u);
    EXPECT_EQ(never.Header(WINHTTP_QUERY_LOCATION), "/middle");
}

}  // namespace

namespace {

TEST(WinHttpResponses, ShapesOfAnswersReadAsTheServerMeantThem) {
    struct Case {
        const char* name;
        std::string action;
        std::string verb;
        DWORD status;
        std::string body;
        std::string header;  // "Name: value" expected through the custom query
    };
    const std::vector<Case> cases = {
        {"chunked body", R"({"body": "chunk by chunk", "chunked": true})", "GET", 200, "chunk by chunk", ""},
        {"interim 100 before the answer",
         R"({"raw": "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nX-Final: yes\r\nContent-Length: 2\r\n\r\nok"})",
         "GET", 201, "ok", "X-Final: yes"},
        {"bare LF line ends", R"({"raw": "HTTP/1.1 200 OK\nX-Lf: 1\nContent-Length: 3\n\nabc"})", "GET", 200, "abc",
         "X-Lf: 1"},
        {"folded header", R"({"raw": "HTTP/1.1 200 OK\r\nX-Fold: a\r\n b\r\nContent-Length: 1\r\n\r\nz"})", "GET", 200,
         "z", "X-Fold: a b"},
        {"no blank after colon", R"({"raw": "HTTP/1.1 200 OK\r\nX-Tight:v\r\nContent-Length: 0\r\n\r\n"})", "GET", 200,
         "", "X-Tight: v"},
        {"close-delimited", R"({"body": "to the end", "content_length": null})", "GET", 200, "to the end", ""},
        {"head has a length but no body", R"({"body": "not sent", "headers": [["Content-Length", "8"]]})", "HEAD",
         200, "", "Content-Length: 8"},
        {"no content", R"({"status": 204, "reason": "No Content", "headers": [["Content-Length", "0"]]})", "GET", 204,
         "", ""},
        {"server error with a body", R"({"status": 500, "reason": "Internal", "body": "oops"})", "GET", 500, "oops", ""},
        {"gzip body stays encoded",
         R"({"body_hex": "1f8b0800000000000003cb48cdc9c9070086a6103605000000", "headers": [["Content-Encoding", "gzip"]]})",
         "GET", 200, std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\xcb\x48\xcd\xc9\xc9\x07\x00\x86\xa6\x10\x36\x05\x00\x00\x00", 25),
         "Content-Encoding: gzip"},
    };
    ScriptedServer server;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.SetScenario(R"({"default": )" + c.action + "}");
        HandleSet set(RequestSetup(server.port(), "/shape", c.verb));
        ASSERT_EQ(set.SendAndReceive(), 0u);
        EXPECT_EQ(set.Status(), c.status);
        std::string body;
        EXPECT_EQ(ReadBody(set.request, body), 0u);
        EXPECT_EQ(body, c.body);
        if (!c.header.empty()) {
            const size_t colon = c.header.find(": ");
            EXPECT_EQ(set.Header(WINHTTP_QUERY_CUSTOM, c.header.substr(0, colon)), c.header.substr(colon + 2));
        }
    }
}

TEST(WinHttpResponses, NginxRangesConditionalsAndGzipAsServed) {
    NginxServer nginx;
    const std::string content = testsupport::PatternBytes(10000, 3);
    nginx.AddFile("f.bin", content);
    nginx.AddFile("g.txt", "plain text");
    nginx.AddFile("g.txt.gz", "pretend gzip bytes");
    struct Case {
        const char* name;
        std::string object;
        std::vector<std::string> headers;
        DWORD status;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"range", "/f.bin", {"Range: bytes=100-199"}, 206, content.substr(100, 100)},
        {"range end past the size is clamped", "/f.bin", {"Range: bytes=9990-20000"}, 206, content.substr(9990)},
        {"range past the end", "/f.bin", {"Range: bytes=10000-10001"}, 416, ""},
        {"ranges ignored", "/norange/f.bin", {"Range: bytes=0-9"}, 200, content},
        {"not modified", "/f.bin", {"If-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT"}, 304, ""},
        {"gzip sibling served raw", "/g.txt", {"Accept-Encoding: gzip"}, 200, "pretend gzip bytes"},
        {"plain without asking for gzip", "/g.txt", {}, 200, "plain text"},
        {"missing", "/none", {}, 404, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HandleSet set(RequestSetup(nginx.port(), c.object));
        for (const auto& header : c.headers) ASSERT_TRUE(set.AddHeader(header));
        ASSERT_EQ(set.SendAndReceive(), 0u);
        EXPECT_EQ(set.Status(), c.status);
        std::string body;
        EXPECT_EQ(ReadBody(set.request, body), 0u);
        if (c.status != 404 && c.status != 416) {
            EXPECT_TRUE(body == c.body) << body.size();
        }
    }
}

TEST(WinHttpResponses, RequestsOnSeveralThreadsAtOnceStaySeparate) {
    NginxServer nginx;
    std::vector<std::string> contents;
    for (unsigned i = 0; i < 4; ++i) {
        contents.push_back(testsupport::PatternBytes(1024 * 1024 + i, i));
        nginx.AddFile("t" + std::to_string(i), contents.back());
    }
    std::vector<std::string> results(4);
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < 3; ++round) {
                HandleSet set(RequestSetup(nginx.port(), "/t" + std::to_string(i)));
                std::string body;
                if (set.SendAndReceive() == 0 && ReadBody(set.request, body) == 0) results[i] = body;
                else results[i] = "failed";
                if (results[i] != contents[i]) return;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (unsigned i = 0; i < 4; ++i) EXPECT_TRUE(results[i] == contents[i]) << i;
}

}  // namespace

namespace {

// The nginx fixture's locations, as the HTTP module's tests rely on them.
TEST(WinHttpResponses, NginxFixtureLocationsAnswerAsDocumented) {
    NginxServer nginx;
    nginx.AddFile("dir/g.txt", "fixture");
    nginx.AddFile("big.bin", testsupport::PatternBytes(256 * 1024));
    struct Case {
        std::string object;
        DWORD status;
        std::string body;
        std::string contentEncoding;
    };
    for (const Case& c : {Case{"/status/500", 500, "", ""}, Case{"/status/406", 406, "", ""},
                          Case{"/clientdatarequest?fileName=dir/g.txt", 200, "fixture", ""},
                          Case{"/zq//dir/g.txt", 200, "fixture", ""}, Case{"/deflate/dir/g.txt", 200, "fixture", "deflate"},
                          Case{"/agentRequest?type=x", 200, "ok", ""}, Case{"/throttled/dir/g.txt", 200, "fixture", ""}}) {
        SCOPED_TRACE(c.object);
        HandleSet set(RequestSetup(nginx.port(), c.object));
        ASSERT_EQ(set.SendAndReceive(), 0u);
        EXPECT_EQ(set.Status(), c.status);
        std::string body;
        EXPECT_EQ(ReadBody(set.request, body), 0u);
        if (!c.body.empty()) {
            EXPECT_EQ(body, c.body);
        }
        EXPECT_EQ(set.Header(WINHTTP_QUERY_CUSTOM, "Content-Encoding"), c.contentEncoding);
    }
    // /slow/ sends 64 KiB, then stalls: the read after it times out.
    HandleSet slow(RequestSetup(nginx.port(), "/slow/big.bin"));
    ASSERT_TRUE(slow.SetDword(WINHTTP_OPTION_RECEIVE_TIMEOUT, 300));
    ASSERT_EQ(slow.SendAndReceive(), 0u);
    std::string body;
    EXPECT_EQ(ReadBody(slow.request, body), ERROR_WINHTTP_TIMEOUT);
    EXPECT_GE(body.size(), 64u * 1024);
    EXPECT_LT(body.size(), 256u * 1024);
    // Stopped and started again on the same port, it serves as before.
    nginx.Stop(SIGTERM);
    EXPECT_FALSE(testsupport::PortAccepts(nginx.port()));
    nginx.Start();
    HandleSet again(RequestSetup(nginx.port(), "/dir/g.txt"));
    ASSERT_EQ(again.SendAndReceive(), 0u);
    EXPECT_EQ(again.Status(), 200u);
}

}  // namespace
