// Hostile servers: a server that stalls in the middle of its header, sends header lines
// without end, announces a body beyond 4 GiB or streams one without end, or closes after
// every byte. Each request ends with an error within its timeouts and its resend rounds,
// and holds no more memory than the agent's limit for a body.
#include <gtest/gtest.h>

#include <chrono>

#include "http/tests/http_client_fixture.h"
#include "tests/campaigns/campaign_support.h"

namespace {

using testsupport::ScriptedServer;

class HostileServerCampaign : public HttpClientTest {};

TEST_F(HostileServerCampaign, EveryRequestEndsWithAnErrorInBoundedTimeAndMemory) {
    struct Case {
        const char* name;
        const char* action;  // the scripted server's answer to every request
    };
    const Case cases[] = {
        {"stalls in the middle of the header", R"({"raw": "HTTP/1.1 200 OK\r\nContent-Le", "then_stall": true})"},
        {"header lines without end", R"({"endless_headers": true})"},
        {"a Content-Length beyond 4 GiB", R"({"content_length": 5000000000, "endless_body": true})"},
        {"the same without a Content-Length", R"({"content_length": null, "endless_body": true})"},
        {"a chunked body that never ends", R"({"chunked": true, "endless_body": true})"},
        {"closes after every byte", R"({"raw": "H"})"},
    };
    gv_httpRequestTimeout = 2000;
    gv_httpConnectionTimeout = 2000;
    gv_httpMaxDataSize = 1u << 20;
    // Resend rounds sleep through the test's seam, so only the transfers take time.
    constexpr double kBoundSeconds = 90;
    constexpr long kBoundGrowthKb = 64 * 1024;
    const long residentBefore = campaign::ResidentKb();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(std::string(R"({"default": )") + c.action + "}");
        std::optional<std::string> data;
        const auto started = std::chrono::steady_clock::now();
        const DWORD result = GetEx(server.port(), "/hostile", std::nullopt, &data, GET_DATA);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const long grownKb = campaign::ResidentKb() - residentBefore;
        EXPECT_NE(result, 0u);
        EXPECT_FALSE(data.has_value() && !data->empty()) << data->size() << " bytes delivered";
        EXPECT_LT(seconds, kBoundSeconds);
        EXPECT_LT(grownKb, kBoundGrowthKb);
        std::printf("[campaign] hostile server, %s: result %lu after %.1f s, %zu requests, resident %+ld kB\n", c.name,
                    static_cast<unsigned long>(result), seconds, server.Requests().size(), grownKb);
    }
}

}  // namespace
