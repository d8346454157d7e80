// Agent requests against real servers: the path each product edition puts on the wire,
// the fail-over order over refused, 400 and 404 addresses with the last access address
// it leaves in memory and in the registry, and which server the proxy is used for.
#include "http/tests/http_client_fixture.h"

namespace {

using testsupport::NginxOptions;
using testsupport::NginxServer;
using testsupport::TinyProxy;

// What one address of the fail-over list does.
enum class Peer { Ok, Refused, Stalled, BadRequest, NotFound, Short, Null };

// nginx answers on 127.0.0.1 and on extra loopback addresses: 127.0.0.11 answers 400,
// 127.0.0.12 answers 404, 127.0.0.13 stalls after the first bytes of the body,
// 127.0.0.30 + slot serves the document; nothing listens on 127.0.0.20 + slot.
NginxOptions FailoverPeers() {
    NginxOptions options;
    options.extraConfig = R"(
        listen 127.0.0.11:HTTP_PORT; listen 127.0.0.12:HTTP_PORT; listen 127.0.0.13:HTTP_PORT;
        listen 127.0.0.30:HTTP_PORT; listen 127.0.0.31:HTTP_PORT; listen 127.0.0.32:HTTP_PORT;
        listen 127.0.0.33:HTTP_PORT; listen 127.0.0.34:HTTP_PORT;
        location = /fo/doc.txt {
            if ($server_addr = 127.0.0.11) { return 400; }
            if ($server_addr = 127.0.0.12) { return 404; }
            if ($server_addr = 127.0.0.13) { limit_rate_after 4; limit_rate 1; }
        }
)";
    return options;
}

std::optional<std::string> Address(Peer peer, int slot) {
    switch (peer) {
    case Peer::Ok: return "127.0.0." + std::to_string(30 + slot);
    case Peer::Refused: return "127.0.0." + std::to_string(20 + slot);
    case Peer::Stalled: return std::string("127.0.0.13");
    case Peer::BadRequest: return std::string("127.0.0.11");
    case Peer::NotFound: return std::string("127.0.0.12");
    case Peer::Short: return std::string("ab");
    case Peer::Null: return std::nullopt;
    }
    return std::nullopt;
}

class AgentRequestTest : public HttpClientTest {
protected:
    void SetUp() override {
        HttpClientTest::SetUp();
        ResetAgentParameters();
        gv_agentInstallDir = std::string("C:\\Agent\\");
        gv_tempDir = temp.str();
        gv_httpConnectionTimeout = 5000;
        gv_serverProtocol = "http";
        gv_dsProtocol = "http";
        gv_zqProductCode = "RQNA";
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
    static std::vector<std::string> Targets(const NginxServer& nginx, std::size_t from) {
        std::vector<std::string> targets;
        const auto log = nginx.AccessLog();
        for (std::size_t i = from; i < log.size(); ++i) targets.push_back(log[i].target);
        return targets;
    }
};

TEST_F(AgentRequestTest, FailoverFollowsTheAddressOrderAndRemembersTheAddressThatAnswered) {
    NginxServer nginx(FailoverPeers());
    nginx.AddFile("fo/doc.txt", "the document");
    gv_serverPort = nginx.port();
    gv_httpRequestTimeout = 300;  // a stalled body times out (12002) quickly
    using P = Peer;
    struct Case {
        const char* name;
        Peer peers[5];  // last access, IP, secondary IP, name, flat name
        DWORD result;
        std::vector<int> statuses;  // what the live servers answered, in order
        int answered;               // slot that becomes the last access address, -1 none
    } cases[] = {
        {"last access answers", {P::Ok, P::Ok, P::Ok, P::Ok, P::Ok}, 0, {200}, 0},
        {"refused last access, IP answers", {P::Refused, P::Ok, P::Ok, P::Ok, P::Ok}, 0, {200}, 1},
        {"404 from the last access ends the chain", {P::NotFound, P::Ok, P::Ok, P::Ok, P::Ok}, 404, {404}, -1},
        {"400 from the last access fails over", {P::BadRequest, P::Ok, P::Ok, P::Ok, P::Ok}, 0, {400, 200}, 1},
        {"any failure of the IP moves on", {P::Refused, P::NotFound, P::Ok, P::Ok, P::Ok}, 0, {404, 200}, 2},
        {"404 from the secondary ends the chain", {P::Refused, P::Refused, P::NotFound, P::Ok, P::Ok}, 404, {404}, -1},
        {"flat name answers last", {P::Refused, P::Refused, P::Refused, P::BadRequest, P::Ok}, 0, {400, 200}, 4},
        {"404 from the name ends the chain", {P::Refused, P::Refused, P::Refused, P::NotFound, P::Ok}, 404, {404}, -1},
        {"short addresses are skipped", {P::Short, P::Short, P::Ok, P::Ok, P::Ok}, 0, {200}, 2},
        {"a skipped secondary keeps the refusal", {P::Refused, P::Refused, P::Null, P::Ok, P::Ok}, 0, {200}, 3},
        {"no usable address", {P::Null, P::Short, P::Null, P::Short, P::Null}, 12007, {}, -1},
        {"a stalled last access fails over", {P::Stalled, P::Ok, P::Ok, P::Ok, P::Ok}, 0, {200, 200}, 1},
        {"stalled name, flat name answers", {P::Refused, P::Refused, P::Stalled, P::Stalled, P::Ok}, 0,
         {200, 200, 200}, 4},
        {"every address refused", {P::Refused, P::Refused, P::Refused, P::Refused, P::Refused}, 12029, {}, -1},
        {"every address 400",
         {P::BadRequest, P::BadRequest, P::BadRequest, P::BadRequest, P::BadRequest}, 400, {400, 400, 400, 400, 400},
         -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::string> addresses[5];
        for (int slot = 0; slot < 5; ++slot) addresses[slot] = Address(c.peers[slot], slot);
        gv_lastAccessName = addresses[0];
        gv_serverIPAddress = addresses[1];
        gv_serverSecIPAddress = addresses[2];
        gv_serverName = addresses[3];
        gv_serverFlatName = addresses[4];
        SetRegistry("ZQLastAccessName", "before");
        const std::size_t before = nginx.AccessLog().size();

        std::optional<std::string> body;
        EXPECT_EQ(AgentSendRequest("/fo/doc.txt", "", &body, GET_DATA, true, true, 0, 0), c.result);
        ASSERT_TRUE(nginx.WaitForAccessLog(before + c.statuses.size()));
        std::vector<int> statuses;
        const auto entries = nginx.AccessLog();
        for (std::size_t i = before; i < entries.size(); ++i) statuses.push_back(entries[i].status);
        // A stalled answer is logged when the client gives up, which may come after the
        // next address's entry: the order of equal statuses cannot tell them apart anyway.
        if (std::count(std::begin(c.peers), std::end(c.peers), Peer::Stalled) > 0)
            std::sort(statuses.begin(), statuses.end());
        EXPECT_EQ(statuses, c.statuses);
        if (c.answered >= 0) {
            EXPECT_EQ(body, "the document");
            EXPECT_EQ(gv_lastAccessName, addresses[c.answered]);
            EXPECT_EQ(Registry("ZQLastAccessName"), addresses[c.answered]);
            EXPECT_NE(log->text().find("AgentSendRequest : Last Access Address is " + *addresses[c.answered]),
                      std::string::npos);
        } else {
            EXPECT_FALSE(body.has_value());
            EXPECT_EQ(gv_lastAccessName, addresses[0]);
            EXPECT_EQ(Registry("ZQLastAccessName"), "before");
        }
    }
}

TEST_F(AgentRequestTest, EachEditionPutsItsPathOnTheWire) {
    NginxServer nginx;
    nginx.AddFile("client-data/x/y.xml", "<doc/>");
    nginx.AddFile("files/a.txt", "a");
    gv_serverPort = gv_dsPort = nginx.port();
    gv_lastAccessName = "127.0.0.1";
    gv_dsLastAccessName = "127.0.0.1";
    struct Case {
        const char* edition;
        DWORD mode;
        bool toMainServer;
        const char* path;
        std::string target;
        DWORD result;
    } cases[] = {
        {"RQNB", GET_DATA, true, "client-data\\x\\y.xml", "/clientdatarequest?fileName=client-data/x/y.xml", 0},
        {"RQNB", DOWNLOAD_FILE, true, "client-data/x/y.xml", "/clientdatarequest?fileName=client-data/x/y.xml", 0},
        {"RQNB", GET_DATA, true, "/agentSlot?id=1", "/agentSlot?id=1", 0},
        {"RQNB", GET_DATA, true, "/AGENTREQUEST?id=2", "/AGENTREQUEST?id=2", 404},
        {"RQNB", POST_DATA, true, "/upload", "/upload", 0},
        {"RQNB", GET_DATA, false, "files\\a.txt", "/files/a.txt", 0},  // the distribution server
        {"RQNCX", GET_DATA, true, "files/a.txt", "/zq/files/a.txt", 0},
        {"RQNCX", GET_DATA, true, "/agentSlot?id=1", "/zq//agentSlot?id=1", 404},
        {"RQNCX", POST_DATA, true, "/upload", "/zq//upload", 404},
        {"RQNA", GET_DATA, true, "files\\a.txt", "/files/a.txt", 0},
        {"rqnb", GET_DATA, true, "files/a.txt", "/files/a.txt", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.edition) + " " + c.path);
        gv_zqProductCode = c.edition;
        gv_dsEnabled = c.toMainServer ? "NO" : "yes";
        const std::size_t before = nginx.AccessLog().size();
        std::optional<std::string> out;
        const std::string destination = (temp.path() / "download.bin").string();
        const char* localData = c.mode == DOWNLOAD_FILE ? destination.c_str() : (c.mode == POST_DATA ? "hello" : "");
        EXPECT_EQ(AgentSendRequest(c.path, localData, &out, c.mode, true, false, 0, 0), c.result);
        ASSERT_TRUE(nginx.WaitForAccessLog(before + 1));
        EXPECT_EQ(Targets(nginx, before), std::vector<std::string>{c.target});
    }
    EXPECT_EQ(testsupport::ReadBytes(temp.path() / "download.bin"), "<doc/>");
}

TEST_F(AgentRequestTest, TheProxyCarriesOnlyMainServerRequests) {
    NginxServer nginx;
    nginx.AddFile("main.txt", "main");
    nginx.AddFile("ds.txt", "distribution");
    TinyProxy proxy;
    gv_serverPort = gv_dsPort = nginx.port();
    gv_lastAccessName = "127.0.0.1";
    gv_dsLastAccessName = "127.0.0.1";
    gv_dsEnabled = "YES";
    gv_proxyEnabled = "yes";
    gv_proxyServerName = proxy.address();
    gv_proxyBypass = "";
    gv_proxyUserName = "user";
    gv_proxyPassword = "pass";
    SetRegistry("ZQLastAccessName", "before");
    SetRegistry("DistributionLastAccessName", "before");

    std::optional<std::string> body;
    ASSERT_EQ(AgentSendRequest("/ds.txt", "", &body, GET_DATA, true, false, 0, 0), 0u);
    EXPECT_EQ(body, "distribution");
    EXPECT_EQ(Registry("DistributionLastAccessName"), "127.0.0.1");
    EXPECT_EQ(Registry("ZQLastAccessName"), "before");

    body.reset();
    ASSERT_EQ(AgentSendRequest("/main.txt", "", &body, GET_DATA, true, true, 0, 0), 0u);
    EXPECT_EQ(body, "main");
    EXPECT_EQ(Registry("ZQLastAccessName"), "127.0.0.1");
    ASSERT_TRUE(proxy.WaitForLog("/main.txt"));
    EXPECT_EQ(proxy.Log().find("/ds.txt"), std::string::npos);
    EXPECT_EQ(Targets(nginx, 0), (std::vector<std::string>{"/ds.txt", "/main.txt"}));
}

TEST_F(AgentRequestTest, DownloadStylesAndBadArguments) {
    NginxServer nginx;
    nginx.AddFile("files/a.txt", "abc");
    gv_serverPort = nginx.port();
    gv_lastAccessName = "127.0.0.1";
    std::optional<std::string> out;
    // Style 1 is the throttled download; any other style makes no request.
    EXPECT_EQ(AgentSendRequest("/files/a.txt", "", &out, GET_DATA, true, true, 0, 1), 0u);
    EXPECT_EQ(out, "abc");
    out.reset();
    EXPECT_EQ(AgentSendRequest("/files/a.txt", "", &out, GET_DATA, true, true, 0, 2), 12007u);
    EXPECT_EQ(AgentSendRequest(nullptr, "", &out, GET_DATA, true, true, 0, 0), 13u);
    ASSERT_TRUE(nginx.WaitForAccessLog(1));
    const auto log = nginx.AccessLog();
    EXPECT_EQ(log.front().method, "HEAD");
    EXPECT_EQ(log.back().range.rfind("bytes=0-", 0), 0u);  // a ranged GET
    EXPECT_FALSE(out.has_value());
}

}  // namespace
