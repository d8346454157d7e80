// WinHTTP uploads (a body given to the send, then WinHttpWriteData chunks) checked at the
// server byte for byte, and the test seam: injected failures, sleep and clock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/tests/winhttp_support.h"
#include "tests/support/http_fixtures.h"

using namespace winhttp_test;
using testsupport::ScriptedServer;

namespace {

struct UploadCase {
    const char* name;
    size_t size;
    size_t inSend;                  // bytes given to WinHttpSendRequest itself
    std::vector<size_t> chunkSizes;  // cycled for WinHttpWriteData
};

TEST(WinHttpUpload, StreamedBodyArrivesEqualToItsSource) {
    ScriptedServer server(R"({"default": {"status": 200, "body": "stored"}})");
    const std::vector<UploadCase> cases = {
        {"all in the send", 1000, 1000, {}},
        {"file in chunks", 3 * 1024 * 1024 + 5, 0, {65536}},
        {"odd chunk sizes", 700000, 0, {1, 100000, 7, 333333}},
        {"start in the send, rest written", 200000, 1234, {50000}},
        {"bytes of every value", 256 * 7, 0, {256}},
        {"empty body", 0, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = testsupport::PatternBytes(c.size, static_cast<unsigned>(c.size));
        const size_t before = server.Requests().size();
        RequestSetup setup(server.port(), "/agentRequest?type=upload", "POST");
        setup.acceptAll = false;
        HandleSet set(setup);
        const std::u16string header = Wide("Content-type: multipart/form-data; filesize=\"" + std::to_string(c.size) + "\"");
        std::string first = source.substr(0, c.inSend);
        ASSERT_TRUE(WinHttpSendRequest(set.request, header.c_str(), static_cast<DWORD>(-1),
                                       first.empty() ? nullptr : first.data(), static_cast<DWORD>(first.size()),
                                       static_cast<DWORD>(c.size), 0))
            << GetLastError();
        first.assign(first.size(), 'X');  // the layer kept its own copy
        size_t offset = c.inSend;
        for (size_t i = 0; offset < c.size; ++i) {
            const size_t length = std::min(c.chunkSizes[i % c.chunkSizes.size()], c.size - offset);
            std::string chunk = source.substr(offset, length);
            DWORD written = 0;
            ASSERT_TRUE(WinHttpWriteData(set.request, chunk.data(), static_cast<DWORD>(length), &written)) << GetLastError();
            ASSERT_EQ(written, length);
            chunk.assign(chunk.size(), 'Y');  // the caller reuses its buffer at once
            offset += length;
        }
        ASSERT_TRUE(WinHttpReceiveResponse(set.request, nullptr)) << GetLastError();
        EXPECT_EQ(set.Status(), 200u);
        std::string reply;
        EXPECT_EQ(ReadBody(set.request, reply), 0u);
        EXPECT_EQ(reply, "stored");
        ASSERT_TRUE(server.WaitForRequests(before + 1));
        const auto recorded = server.Requests().at(before);
        EXPECT_EQ(recorded.bodyLength, c.size);
        EXPECT_EQ(recorded.bodySha256, testsupport::Sha256Hex(source));
        EXPECT_EQ(recorded.Header("Content-Length"), std::to_string(c.size));
        EXPECT_EQ(recorded.Header("Content-type"), "multipart/form-data; filesize=\"" + std::to_string(c.size) + "\"");
        EXPECT_FALSE(recorded.Header("Expect"));
        EXPECT_FALSE(recorded.Header("Transfer-Encoding"));
    }
}

TEST(WinHttpUpload, ABodyShortOfItsDeclaredLengthFailsTheReceiveAndNeverHangs) {
    ScriptedServer server(R"({"default": {"status": 200, "body": "should not be seen"}})");
    for (size_t written : {size_t{0}, size_t{10}, size_t{99999}}) {
        SCOPED_TRACE(written);
        RequestSetup setup(server.port(), "/upload", "POST");
        HandleSet set(setup);
        ASSERT_TRUE(WinHttpSendRequest(set.request, nullptr, 0, nullptr, 0, 100000, 0));
        const std::string part(written, 'a');
        DWORD count = 0;
        if (written) {
            ASSERT_TRUE(WinHttpWriteData(set.request, part.data(), static_cast<DWORD>(written), &count));
        }
        EXPECT_FALSE(WinHttpReceiveResponse(set.request, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
        DWORD status = 0, size = sizeof status;
        EXPECT_FALSE(WinHttpQueryHeaders(set.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr,
                                         &status, &size, nullptr));
    }
    // Writing past the declared length is refused, not sent.
    HandleSet set(RequestSetup(server.port(), "/upload", "POST"));
    ASSERT_TRUE(WinHttpSendRequest(set.request, nullptr, 0, nullptr, 0, 4, 0));
    DWORD count = 0;
    EXPECT_FALSE(WinHttpWriteData(set.request, "12345", 5, &count));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(WinHttpWriteData(set.request, "1234", 4, &count));
    ASSERT_TRUE(WinHttpReceiveResponse(set.request, nullptr));
    EXPECT_EQ(set.Status(), 200u);
}

TEST(WinHttpUpload, LargeBodyToNginxSinkIsAnsweredWhileStillStreaming) {
    // The sink answers at once and discards the body; every write must still go through.
    testsupport::NginxServer nginx;
    constexpr size_t kSize = 8 * 1024 * 1024;
    HandleSet set(RequestSetup(nginx.port(), "/upload", "POST"));
    ASSERT_TRUE(WinHttpSendRequest(set.request, nullptr, 0, nullptr, 0, kSize, 0));
    const std::string chunk = testsupport::PatternBytes(64 * 1024);
    for (size_t sent = 0; sent < kSize; sent += chunk.size()) {
        DWORD written = 0;
        ASSERT_TRUE(WinHttpWriteData(set.request, chunk.data(), static_cast<DWORD>(chunk.size()), &written));
    }
    ASSERT_TRUE(WinHttpReceiveResponse(set.request, nullptr)) << GetLastError();
    EXPECT_EQ(set.Status(), 200u);
    ASSERT_TRUE(nginx.WaitForAccessLog(1));
    const auto entry = nginx.AccessLog().at(0);
    EXPECT_EQ(entry.method, "POST");
    EXPECT_EQ(entry.contentLength, std::to_string(kSize));
}

TEST(WinHttpSeam, InjectedFailuresFireOnceEachFromTheNamedCall) {
    ScriptedServer server(R"({"default": {"body": "fine"}})");
    using winhttp_seam::Call;
    struct Case {
        Call call;
        DWORD error;
    };
    for (const Case& c : {Case{Call::SendRequest, ERROR_WINHTTP_LOGIN_FAILURE},
                          Case{Call::SendRequest, ERROR_WINHTTP_OPERATION_CANCELLED},
                          Case{Call::ReceiveResponse, ERROR_WINHTTP_RESEND_REQUEST},
                          Case{Call::ReceiveResponse, ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW},
                          Case{Call::QueryHeaders, ERROR_WINHTTP_INTERNAL_ERROR},
                          Case{Call::AddRequestHeaders, ERROR_NOT_ENOUGH_MEMORY},
                          Case{Call::SetOption, ERROR_WINHTTP_INVALID_OPTION}}) {
        SCOPED_TRACE(c.error);
        HandleSet set(RequestSetup(server.port()));
        winhttp_seam::InjectFailure(c.call, c.error);
        EXPECT_EQ(winhttp_seam::PendingFailures(c.call), 1u);
        BOOL ok = TRUE;
        switch (c.call) {
        case Call::SendRequest: ok = WinHttpSendRequest(set.request, nullptr, 0, nullptr, 0, 0, 0); break;
        case Call::ReceiveResponse:
            ASSERT_TRUE(WinHttpSendRequest(set.request, nullptr, 0, nullptr, 0, 0, 0));
            ok = WinHttpReceiveResponse(set.request, nullptr);
            break;
        case Call::QueryHeaders:
            ASSERT_EQ(set.SendAndReceive(), 0u);
            ok = set.Status() != 0;
            break;
        case Call::AddRequestHeaders: ok = set.AddHeader("X-A: 1"); break;
        case Call::SetOption: ok = set.SetDword(WINHTTP_OPTION_RECEIVE_TIMEOUT, 1000); break;
        default: break;
        }
        EXPECT_FALSE(ok);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(winhttp_seam::PendingFailures(c.call), 0u);
        // Once fired, the same request goes through as the agent's resend would send it.
        EXPECT_EQ(set.SendAndReceive(), 0u);
        EXPECT_EQ(set.Status(), 200u);
    }

    winhttp_seam::InjectFailure(Call::Open, ERROR_NOT_ENOUGH_MEMORY, 2);
    EXPECT_FALSE(WinHttpOpen(u"a", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    EXPECT_FALSE(WinHttpOpen(u"a", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    HINTERNET session = WinHttpOpen(u"a", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    ASSERT_TRUE(session);
    winhttp_seam::InjectFailure(Call::Connect, ERROR_WINHTTP_INTERNAL_ERROR);
    EXPECT_FALSE(WinHttpConnect(session, u"h", 80, 0));
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INTERNAL_ERROR);
    // A close that failed leaves the handle open, so it can be closed again.
    winhttp_seam::InjectFailure(Call::CloseHandle, ERROR_WINHTTP_INTERNAL_ERROR);
    EXPECT_FALSE(WinHttpCloseHandle(session));
    EXPECT_TRUE(WinHttpCloseHandle(session));
    // Clearing disarms everything.
    winhttp_seam::InjectFailure(Call::OpenRequest, ERROR_NOT_ENOUGH_MEMORY, 5);
    winhttp_seam::ClearInjectedFailures();
    EXPECT_EQ(winhttp_seam::PendingFailures(Call::OpenRequest), 0u);
}

TEST(WinHttpSeam, SleepAndClockCanBeReplacedAndRestored) {
    std::atomic<DWORD> slept{0};
    winhttp_seam::SetSleepFunction([&](DWORD ms) { slept += ms; });
    winhttp_seam::SetLocalTimeFunction([](LPSYSTEMTIME time) {
        *time = SYSTEMTIME{1999, 12, 5, 31, 23, 59, 59, 999};
    });
    winhttp_seam::Sleep(5000);  // returns at once: the test runs at test speed
    winhttp_seam::Sleep(600);
    EXPECT_EQ(slept.load(), 5600u);
    SYSTEMTIME now{};
    winhttp_seam::GetLocalTime(&now);
    EXPECT_EQ(now.wHour, 23);
    EXPECT_EQ(now.wMilliseconds, 999);

    // Seam calls from several threads at once see the replacement.
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([] { for (int k = 0; k < 100; ++k) winhttp_seam::Sleep(1); });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(slept.load(), 5600u + 400u);

    winhttp_seam::SetSleepFunction({});
    winhttp_seam::SetLocalTimeFunction({});
    winhttp_seam::Sleep(1);
    EXPECT_EQ(slept.load(), 6000u);  // the host's own sleep again
    winhttp_seam::GetLocalTime(&now);
    EXPECT_NE(now.wYear, 1999);
}

}  // namespace
