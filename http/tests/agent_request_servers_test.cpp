// Agent requests between a main server and a distribution server, both stand-in servers:
// the distribution server's own fail-over and last access address, reached directly
// while the main server goes through the proxy, and a proxy refusal that ends the chain.
#include "http/tests/http_client_fixture.h"
#include "tests/support/standin_server.h"

namespace {

using testsupport::StandinServer;
using testsupport::TinyProxy;

class AgentRequestServersTest : public HttpClientTest {
protected:
    void SetUp() override {
        HttpClientTest::SetUp();
        ResetAgentParameters();
        gv_agentInstallDir = std::string("C:\\Agent\\");
        gv_tempDir = temp.str();
        gv_serverProtocol = "http";
        gv_dsProtocol = "http";
        gv_zqProductCode = "RQNB";
        gv_dsEnabled = "Yes";
        gv_serverPort = main.port();
        gv_dsPort = distribution.port();
        main.AddFile("files/a.txt", "from the main server");
        distribution.AddFile("files/a.txt", "from the distribution server");
    }
    void TearDown() override {
        ResetAgentParameters();
        HttpClientTest::TearDown();
    }
    static std::optional<std::string> Registry(const char* name) {
        std::optional<std::string> value;
        ReadRegSZ(HKEY_LOCAL_MACHINE, gv_serverInfoKey.c_str(), name, &value);
        return value;
    }
    static void SetRegistry(const char* name, const char* value) {
        ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, gv_serverInfoKey.c_str(), name, value, REG_SZ), 0u);
    }
    void UseProxy(const TinyProxy& proxy, const char* user) {
        gv_proxyEnabled = "yes";
        gv_proxyServerName = proxy.address();
        gv_proxyBypass = "";
        gv_proxyUserName = user;
        gv_proxyPassword = "pass";
    }

    StandinServer main;
    StandinServer distribution;
};

TEST_F(AgentRequestServersTest, TheDistributionServerFailsOverOnItsOwnAddressesAndSkipsTheProxy) {
    TinyProxy proxy;
    UseProxy(proxy, "user");
    gv_lastAccessName = "127.0.0.1";
    gv_dsLastAccessName = "127.0.0.3";  // refused
    gv_dsIPAddress = "x";                // too short: skipped
    gv_dsSecIPAddress = "127.0.0.1";
    SetRegistry("ZQLastAccessName", "127.0.0.1");
    SetRegistry("DistributionLastAccessName", "127.0.0.3");

    std::optional<std::string> body;
    ASSERT_EQ(AgentSendRequest("files\\a.txt", "", &body, GET_DATA, true, false, 0, 0), 0u);
    EXPECT_EQ(body, "from the distribution server");
    // Not wrapped: the edition's prefix is for the main server only.
    ASSERT_TRUE(distribution.WaitForAccessLog(1));
    EXPECT_EQ(distribution.AccessLog().front().target, "/files/a.txt");
    EXPECT_EQ(gv_dsLastAccessName, "127.0.0.1");
    EXPECT_EQ(Registry("DistributionLastAccessName"), "127.0.0.1");
    EXPECT_EQ(Registry("ZQLastAccessName"), "127.0.0.1");

    // The main server, asked for explicitly, goes through the proxy.
    body.reset();
    ASSERT_EQ(AgentSendRequest("files\\a.txt", "", &body, GET_DATA, true, true, 0, 0), 0u);
    EXPECT_EQ(body, "from the main server");
    ASSERT_TRUE(proxy.WaitForLog("clientdatarequest?fileName=files/a.txt"));
    EXPECT_EQ(proxy.Log().find("/files/a.txt"), std::string::npos) << proxy.Log();
    EXPECT_EQ(main.AccessLog().size(), 1u);
    EXPECT_EQ(distribution.AccessLog().size(), 1u);
}

// 407 is no fail-over code: a proxy that refuses ends the chain at the first address.
TEST_F(AgentRequestServersTest, AProxyRefusalEndsTheChainWithoutTouchingTheLastAccessAddress) {
    TinyProxy proxy;
    UseProxy(proxy, "");  // no credentials sent
    gv_lastAccessName = "127.0.0.1";
    gv_serverIPAddress = "127.0.0.1";
    gv_serverSecIPAddress = "127.0.0.1";
    SetRegistry("ZQLastAccessName", "before");
    std::optional<std::string> body;
    EXPECT_EQ(AgentSendRequest("files/a.txt", "", &body, GET_DATA, true, true, 0, 0), 407u);
    EXPECT_FALSE(body.has_value());
    EXPECT_EQ(Registry("ZQLastAccessName"), "before");
    EXPECT_TRUE(main.AccessLog().empty());
    EXPECT_EQ(CountInLog("AgentSendRequest : Last Access Address is"), 0);
}

// A post answered 400 is sent again to the next address: the server may get it twice
// (kept as the fail-over rules say); the echo shows each arrival whole.
TEST_F(AgentRequestServersTest, APostAnswered400GoesToTheNextAddressWhole) {
    gv_dsEnabled = "no";
    gv_zqProductCode = "RQNA";
    gv_lastAccessName = "127.0.0.1";
    gv_serverIPAddress = "127.0.0.1";
    gv_serverSecIPAddress = "ab";  // too short: skipped
    gv_serverName = "127.0.0.1";
    gv_serverFlatName = "127.0.0.1";
    std::optional<std::string> reply;
    // The endpoint is told to answer 400 to every post of this path: each address is tried.
    EXPECT_EQ(AgentSendRequest("/upload?status=400", "report", &reply, POST_DATA, true, true, 0, 0), 400u);
    EXPECT_EQ(gv_lastAccessName, "127.0.0.1");
    const auto posts = main.Posts();
    ASSERT_EQ(posts.size(), 4u);  // last access, IP, name, flat name
    for (const auto& post : posts) {
        EXPECT_EQ(post.bytes, 6u);
        EXPECT_EQ(post.sha256, testsupport::Sha256Hex("report"));
    }
}

}  // namespace
