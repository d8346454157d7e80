// Server, distribution-server and proxy settings, the route to the distribution server
// and the CryptoAPI client check.
#include <filesystem>

#include "agent/tests/agent_fixture.h"

TEST_F(AgentTest, PortsAndProtocols) {
    struct Case {
        std::string port;
        std::optional<std::string> securePort;
        std::optional<std::string> protocol;
        int http, secure, effective;
        std::string protocolAfter;
    };
    const Case cases[] = {
        {"8000", std::nullopt, "https", 8000, 8363, 8363, "https"},
        {"8000", std::nullopt, "HTTP", 8000, 8363, 8000, "HTTP"},
        {"8000", std::nullopt, "ftp", 8000, 8363, 8000, "http"},
        {"8000", std::nullopt, std::nullopt, 8000, 8363, 8000, "http"},
        {"8000", "9443", "https", 8000, 9443, 9443, "https"},
        {"80x", "x", "https", 80, 0, 0, "https"},
        {"junk", std::nullopt, "http", 0, 363, 0, "http"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port + " " + c.protocol.value_or("<absent>"));
        TearDown();
        SetUp();
        server["ZQServerPort"] = c.port;
        if (c.securePort) server["ZQServerSecurePort"] = *c.securePort;
        if (c.protocol) server["ZQServerProtocol"] = *c.protocol;
        else server.erase("ZQServerProtocol");
        ASSERT_EQ(Run(), 0);
        EXPECT_EQ(gv_serverHttpPort, c.http);
        EXPECT_EQ(gv_serverSecurePort, c.secure);
        EXPECT_EQ(gv_serverPort, c.effective);
        EXPECT_EQ(gv_serverProtocol, c.protocolAfter);
        EXPECT_EQ(gv_dsPort, c.effective);  // no distribution server: copies
        EXPECT_EQ(gv_dsProtocol, c.protocolAfter);
    }
}

TEST_F(AgentTest, ShortSecondaryAddressesAreDropped) {
    struct Case {
        std::string serverSec, dsSec;
        std::optional<std::string> serverAfter, dsAfter;
    };
    const Case cases[] = {
        {"--", "abc", std::nullopt, std::nullopt},
        {"abc", "abcd", "abc", "abcd"},
        {"10.0.0.2", "10.0.0.3", "10.0.0.2", "10.0.0.3"},
    };
    for (const auto& c : cases) {
        TearDown();
        SetUp();
        root["EnableDistributionServer"] = "YES";
        server["DistributionServerName"] = "ds.example.test";
        server["DistributionServerPort"] = "8080";
        server["ZQServerSecIPAddress"] = c.serverSec;
        server["DistributionServerSecIPAddress"] = c.dsSec;
        ASSERT_EQ(Run(), 0);
        EXPECT_EQ(gv_serverSecIPAddress, c.serverAfter) << c.serverSec;
        EXPECT_EQ(gv_dsSecIPAddress, c.dsAfter) << c.dsSec;
    }
}

TEST_F(AgentTest, DistributionServerUsesTheServerProtocol) {
    root["EnableDistributionServer"] = "yes";
    server["ZQServerProtocol"] = "https";
    server["DistributionServerName"] = "ds.example.test";
    server["DistributionServerFlatName"] = "DS";
    server["DistributionServerPort"] = "8080";
    server["DistributionServerProtocol"] = "http";
    server["DistributionServerIPAddress"] = "192.0.2.20";
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(Registry(gv_serverInfoKey, "DistributionServerProtocol"), "https");
    EXPECT_EQ(gv_dsProtocol, "https");
    EXPECT_EQ(gv_dsHttpPort, 8080);
    EXPECT_EQ(gv_dsSecurePort, 8443);
    EXPECT_EQ(gv_dsPort, 8443);
    EXPECT_TRUE(Logged("ZQ Distribution Server  Name      \t\t\t-> ds.example.test \n"));
    EXPECT_TRUE(Logged("ZQ Distribution Server  Port      \t\t\t-> 8443 \n"));
    EXPECT_TRUE(Logged("ZQ Distribution Server  Last Access Name\t\t-> (null) \n"));
    EXPECT_TRUE(Logged("Remote Office ID                          -> B7 \n"));
    EXPECT_TRUE(Logged("InitializeDSServerDetailsFromRegistry : Error while fetching Reporting server last access name from registry! \n"));
}

TEST_F(AgentTest, ProxyValuesAndPasswords) {
    struct Case {
        std::string enabled;
        std::optional<std::string> stored;
        bool read;
        std::string password;
    };
    const Case cases[] = {
        {"YES", "cGFzcw==", true, "pass"},
        {"yes", "", true, ""},
        {"yes", "cGFzcw", true, ""},  // length not a multiple of four
        {"yes", std::nullopt, true, ""},
        {"yes ", "cGFzcw==", false, ""},
        {"NO", "cGFzcw==", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.enabled + " / " + c.stored.value_or("<absent>"));
        TearDown();
        SetUp();
        root["ProxyEnabled"] = c.enabled;
        root["ProxyServerName"] = "proxy.example.test:3128";
        root["ProxyUserName"] = "alice";
        root["ProxyByPass"] = "*.corp";
        if (c.stored) root["ProxyPassword"] = *c.stored;
        ASSERT_EQ(Run(), 0);
        EXPECT_EQ(gv_proxyEnabled, c.enabled);
        if (c.read) {
            EXPECT_EQ(gv_proxyServerName, "proxy.example.test:3128");
            EXPECT_EQ(gv_proxyUserName, "alice");
            EXPECT_EQ(gv_proxyBypass, "*.corp");
            EXPECT_EQ(gv_proxyPassword, c.password);
            EXPECT_TRUE(Logged("Proxy UserName    -> alice \n"));
            if (c.stored) {
                EXPECT_TRUE(Logged("Password from registry: ********\n"));
            }
            EXPECT_TRUE(Logged("Decrypted password is: ********\n"));
        } else {
            EXPECT_FALSE(gv_proxyServerName.has_value());
            EXPECT_EQ(gv_proxyUserName, "");
            EXPECT_EQ(gv_proxyBypass, "<local>");
        }
        // Neither the stored nor the decoded password reaches the log.
        EXPECT_EQ(LogText().find("cGFzcw"), std::string::npos);
        EXPECT_EQ(LogText().find(": pass"), std::string::npos);
    }
}

TEST_F(AgentTest, DistributionServerRouteSwapsAfterTheSummary) {
    root["EnableDistributionServer"] = "yes";
    root["EnableDSRoute"] = "yes";
    root["ProxyEnabled"] = "yes";
    root["ProxyServerName"] = "proxy.example.test";
    server["DistributionServerName"] = "ds.example.test";
    server["DistributionServerFlatName"] = "DSFLAT";
    server["DistributionServerPort"] = "8080";
    server["DistributionServerIPAddress"] = "192.0.2.20";
    server["DistributionLastAccessName"] = "192.0.2.20";
    ASSERT_EQ(Run(), 0);
    EXPECT_TRUE(Logged("Vantorra Server Name                -> server.example.test \n"));
    EXPECT_TRUE(Logged("Enable Distribution Server Route                       -> 1 \n"));
    EXPECT_EQ(gv_serverName, "ds.example.test");
    EXPECT_EQ(gv_serverFlatName, "ds.example.test");
    EXPECT_EQ(gv_serverIPAddress, "192.0.2.20");
    EXPECT_FALSE(gv_serverSecIPAddress.has_value());
    EXPECT_EQ(gv_lastAccessName, "192.0.2.20");
    EXPECT_EQ(gv_proxyEnabled, "NO");
    EXPECT_EQ(gv_proxyServerName, "proxy.example.test");  // proxy values stay
    EXPECT_EQ(gv_serverPort, 8000);
    EXPECT_EQ(gv_serverProtocol, "http");
}

TEST_F(AgentTest, RouteWithoutDistributionServerDoesNothing) {
    root["EnableDSRoute"] = "yes";
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(gv_dsRouteEnabled, 1);
    EXPECT_EQ(gv_serverName, "server.example.test");
    EXPECT_FALSE(Logged("Enable Distribution Server Route                       -> 1 \n"));
}

TEST_F(AgentTest, LastAccessNamesAreRecorded) {
    Prepare();
    EXPECT_EQ(SaveLastAccessName("192.0.2.11"), 0u);
    EXPECT_EQ(SaveDSLastAccessName("ds2.example.test"), 0u);
    EXPECT_EQ(Registry(gv_serverInfoKey, "ZQLastAccessName"), "192.0.2.11");
    EXPECT_EQ(Registry(gv_serverInfoKey, "DistributionLastAccessName"), "ds2.example.test");
}

TEST_F(AgentTest, CryptographicClientCreatesContainerOnceThenFindsIt) {
    SKIP_WITHOUT_MACHINE_PROFILE();
    Prepare();
    const auto folder = machine.path() / "crypto" / MS_DEF_PROV_A / "default";
    ASSERT_FALSE(std::filesystem::exists(folder));
    EXPECT_EQ(CheckCryptographicClient(), 1);
    ASSERT_TRUE(std::filesystem::exists(folder / "signature.pem"));
    ASSERT_TRUE(std::filesystem::exists(folder / "exchange.pem"));
    const std::string signature = testsupport::ReadFile(folder / "signature.pem");
    const std::string exchange = testsupport::ReadFile(folder / "exchange.pem");
    EXPECT_EQ(CheckCryptographicClient(), 1);
    EXPECT_EQ(testsupport::ReadFile(folder / "signature.pem"), signature);  // found, not regenerated
    EXPECT_EQ(testsupport::ReadFile(folder / "exchange.pem"), exchange);

    testsupport::WriteFile(folder / "exchange.pem", "not a key");
    EXPECT_EQ(CheckCryptographicClient(), 0);  // a damaged key is not silently replaced
}

TEST_F(AgentTest, ServerTrustValuesAreReadBeforeTheFirstRequestAndPinsAreRecordedOnce) {
    // Nothing set: no pins, every check on.
    ASSERT_EQ(Run(), 0);
    EXPECT_FALSE(gv_serverKeyPin.has_value());
    EXPECT_FALSE(gv_dsKeyPin.has_value());
    EXPECT_EQ(gv_allowAnyServerCertificate + gv_allowLegacyTlsVersions + gv_allowRedirectToOtherHosts, 0);

    TearDown();
    SetUp();
    root["AllowAnyServerCertificate"] = "YES";
    root["AllowLegacyTlsVersions"] = "1";          // only "yes" relaxes a check
    root["AllowRedirectToOtherHosts"] = "yes ";
    server["ZQServerPublicKeyPin"] = std::string(64, 'a');
    server["DistributionServerPublicKeyPin"] = "";  // empty: no pin
    systemDetails.clear();
    int seenByTheLookup = -1;
    SetResourceIdLookup([&](const std::string&, std::optional<std::string>*) {
        seenByTheLookup = gv_allowAnyServerCertificate;
        return DWORD{12029};
    });
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(seenByTheLookup, 1) << "the resource id lookup already talks to the server";
    EXPECT_EQ(gv_allowAnyServerCertificate, 1);
    EXPECT_EQ(gv_allowLegacyTlsVersions, 0);
    EXPECT_EQ(gv_allowRedirectToOtherHosts, 0);
    EXPECT_EQ(gv_serverKeyPin, std::string(64, 'a'));
    EXPECT_FALSE(gv_dsKeyPin.has_value());

    // The first key recorded stays, also when another process recorded it meanwhile.
    EXPECT_EQ(RecordServerKeyPin(true, "d1"), "d1");
    EXPECT_EQ(Registry(gv_serverInfoKey, "DistributionServerPublicKeyPin"), "d1");
    EXPECT_EQ(RecordServerKeyPin(true, "d2"), "d1");
    gv_serverKeyPin.reset();  // this process has not seen the pin another one wrote
    EXPECT_EQ(RecordServerKeyPin(false, "b"), std::string(64, 'a'));
    EXPECT_EQ(gv_serverKeyPin, std::string(64, 'a'));
    EXPECT_EQ(Registry(gv_serverInfoKey, "ZQServerPublicKeyPin"), std::string(64, 'a'));
}
