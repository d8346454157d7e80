// WinHTTP through a real proxy (tinyproxy) and over TLS (nginx with a certificate made
// for the test): credentials, 407 answers, bypass rules, certificate flags, versions.
#include <gtest/gtest.h>

#include "platform/src/winhttp_internal.h"
#include "platform/tests/winhttp_support.h"
#include "tests/support/http_fixtures.h"

using namespace winhttp_test;
using testsupport::NginxOptions;
using testsupport::NginxServer;
using testsupport::TinyProxy;

namespace {

NginxOptions Https(std::string sslProtocols = "TLSv1.2 TLSv1.3", std::string extraConfig = "") {
    NginxOptions options;
    options.https = true;
    options.sslProtocols = std::move(sslProtocols);
    options.extraConfig = std::move(extraConfig);
    return options;
}

constexpr DWORD kAgentSecurityFlags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                                      SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;

void SetProxyCredentials(HINTERNET request, const std::u16string& user, const std::u16string& password) {
    ASSERT_TRUE(WinHttpSetOption(request, WINHTTP_OPTION_PROXY_USERNAME, const_cast<char16_t*>(user.c_str()),
                                 static_cast<DWORD>(user.size())));
    ASSERT_TRUE(WinHttpSetOption(request, WINHTTP_OPTION_PROXY_PASSWORD, const_cast<char16_t*>(password.c_str()),
                                 static_cast<DWORD>(password.size())));
}

TEST(WinHttpProxy, BasicCredentialsPassAndMissingOnesGet407PlainAndTunnelled) {
    NginxServer nginx(Https());
    nginx.AddFile("through.txt", "came through the proxy");
    TinyProxy proxy("user", "pass");
    struct Case {
        const char* name;
        bool secure;
        bool credentials;
        DWORD status;
    };
    for (const Case& c : {Case{"http with credentials", false, true, 200}, Case{"http without", false, false, 407},
                          Case{"https with credentials", true, true, 200}, Case{"https without", true, false, 407}}) {
        SCOPED_TRACE(c.name);
        RequestSetup setup(c.secure ? nginx.httpsPort() : nginx.port(), "/through.txt");
        setup.secure = c.secure;
        setup.proxy = proxy.address();
        HandleSet set(setup);
        ASSERT_TRUE(set.request);
        if (c.credentials) SetProxyCredentials(set.request, u"user", u"pass");
        if (c.secure) {
            ASSERT_TRUE(set.SetDword(WINHTTP_OPTION_SECURITY_FLAGS, kAgentSecurityFlags));
        }
        // A refused tunnel is an answer, not a transport failure.
        ASSERT_EQ(set.SendAndReceive(), 0u);
        EXPECT_EQ(set.Status(), c.status);
        std::string body;
        EXPECT_EQ(ReadBody(set.request, body), 0u);
        if (c.status == 200) {
            EXPECT_EQ(body, "came through the proxy");
        }
    }
    // The proxy saw the requests: the plain one as a full URL, the https one as CONNECT.
    EXPECT_TRUE(proxy.WaitForLog("GET http://127.0.0.1:" + std::to_string(nginx.port()) + "/through.txt"))
        << proxy.Log();
    EXPECT_TRUE(proxy.WaitForLog("CONNECT 127.0.0.1:" + std::to_string(nginx.httpsPort()))) << proxy.Log();
}

TEST(WinHttpProxy, BypassListSendsMatchingHostsDirect) {
    NginxServer nginx;
    nginx.AddFile("direct.txt", "direct");
    // A proxy address nobody listens on: a request that goes to it fails to connect.
    const std::string deadProxy = "127.0.0.1:" + std::to_string(testsupport::UnusedLoopbackPort());
    struct Case {
        std::string proxyList;
        std::string bypass;
        bool direct;
        std::string host = "127.0.0.1";
    };
    const std::vector<Case> cases = {
        {deadProxy, "<local>", true, "localhost"},  // a name without a dot is local
        {deadProxy, "127.0.0.1", true},
        {deadProxy, "10.*; 127.0.*", true},
        {deadProxy, "<local>", false},  // 127.0.0.1 has dots: not local in WinHTTP's sense
        {deadProxy, "*.example.com", false},
        {deadProxy, "", false},
        {"http=" + deadProxy, "127.0.0.1:" + std::to_string(nginx.port()), true},
        {"https=" + deadProxy, "", true},  // no proxy for http at all
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.proxyList + " / " + c.bypass + " / " + c.host);
        RequestSetup setup(nginx.port(), "/direct.txt");
        setup.host = c.host;
        setup.proxy = c.proxyList;
        setup.bypass = c.bypass;
        HandleSet set(setup);
        ASSERT_TRUE(set.request);
        EXPECT_EQ(set.SendAndReceive(), c.direct ? 0u : ERROR_WINHTTP_CANNOT_CONNECT);
    }
}

TEST(WinHttpProxy, BypassAndProxyListRules) {
    using host::winhttp::BypassesProxy;
    using host::winhttp::ParseBypassList;
    struct Case {
        const char* list;
        const char* host;
        INTERNET_PORT port;
        bool bypassed;
    };
    for (const Case& c : {
             Case{"<local>", "intranet", 80, true},
             Case{"<local>", "INTRANET", 80, true},
             Case{"<local>", "server.corp", 80, false},
             Case{"<local>", "::1", 80, false},
             Case{"*.example.com", "www.Example.com", 80, true},
             Case{"*.example.com", "example.com", 80, false},
             Case{"*example.com", "example.com", 80, true},
             Case{"10.1.*.*", "10.1.2.3", 80, true},
             Case{"10.1.*.*", "10.2.2.3", 80, false},
             Case{"a;b c\tserver", "server", 80, true},
             Case{"server:8080", "server", 8080, true},
             Case{"server:8080", "server", 80, false},
             Case{"http://server", "server", 80, true},
             Case{"", "server", 80, false},
             Case{";;", "server", 80, false},
         }) {
        SCOPED_TRACE(std::string(c.list) + " vs " + c.host);
        EXPECT_EQ(BypassesProxy(ParseBypassList(c.list), c.host, c.port), c.bypassed);
    }

    host::winhttp::Session session;
    session.proxies = host::winhttp::ParseProxyList("https=secure:8443; http=plain:3128  fallback");
    EXPECT_EQ(host::winhttp::ChooseProxy(session, "https", "h", 443), "http://secure:8443");
    EXPECT_EQ(host::winhttp::ChooseProxy(session, "http", "h", 80), "http://plain:3128");
    session.proxies = host::winhttp::ParseProxyList("http://proxy.corp");
    EXPECT_EQ(host::winhttp::ChooseProxy(session, "https", "h", 443), "http://proxy.corp:80");
    EXPECT_TRUE(host::winhttp::ParseProxyList(" ; ").empty());
    EXPECT_FALSE(WinHttpOpen(u"a", WINHTTP_ACCESS_TYPE_NAMED_PROXY, u" ", nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(WinHttpTls, CertificateChecksFollowTheSecurityFlags) {
    NginxServer nginx(Https("TLSv1.2 TLSv1.3", "location = /tohttp { return 302 http://127.0.0.1:HTTP_PORT/s.txt; }\n"));
    nginx.AddFile("s.txt", "secret");
    struct Case {
        const char* name;
        DWORD flags;
        DWORD sendError;
    };
    for (const Case& c : {Case{"verified: self-signed is refused", 0, ERROR_WINHTTP_SECURE_FAILURE},
                          Case{"name ignored but chain still checked", SECURITY_FLAG_IGNORE_CERT_CN_INVALID,
                               ERROR_WINHTTP_SECURE_FAILURE},
                          Case{"the agent's four flags", kAgentSecurityFlags, 0}}) {
        SCOPED_TRACE(c.name);
        RequestSetup setup(nginx.httpsPort(), "/s.txt");
        setup.secure = true;
        HandleSet set(setup);
        ASSERT_TRUE(set.SetDword(WINHTTP_OPTION_SECURITY_FLAGS, c.flags));
        const BOOL sent = WinHttpSendRequest(set.request, nullptr, 0, nullptr, 0, 0, 0);
        if (c.sendError) {
            EXPECT_FALSE(sent);
            EXPECT_EQ(GetLastError(), c.sendError);
            continue;
        }
        ASSERT_TRUE(sent) << GetLastError();
        ASSERT_TRUE(WinHttpReceiveResponse(set.request, nullptr));
        std::string body;
        EXPECT_EQ(ReadBody(set.request, body), 0u);
        EXPECT_EQ(body, "secret");
    }
    // From https to http is never followed: the redirect itself is the answer.
    RequestSetup setup(nginx.httpsPort(), "/tohttp");
    setup.secure = true;
    HandleSet set(setup);
    ASSERT_TRUE(set.SetDword(WINHTTP_OPTION_SECURITY_FLAGS, kAgentSecurityFlags));
    ASSERT_EQ(set.SendAndReceive(), 0u);
    EXPECT_EQ(set.Status(), 302u);
}

TEST(WinHttpTls, SecureProtocolsLimitTheVersions) {
    constexpr DWORD kModern = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    struct Server {
        const char* protocols;
        const char* ciphers;
        std::vector<std::pair<DWORD, DWORD>> cases;  // protocols (0: not set) and the send's error
    };
    const std::vector<Server> servers = {
        {"TLSv1.3", "",
         {{0, 0}, {0xA80, ERROR_WINHTTP_SECURE_FAILURE}, {kModern, 0},
          {WINHTTP_FLAG_SECURE_PROTOCOL_SSL3, ERROR_WINHTTP_SECURE_FAILURE}}},
        // OpenSSL serves and speaks TLS 1.0 and 1.1 only at security level 0; a session that
        // names them gets them all the same, as from Windows.
        {"TLSv1 TLSv1.1", "DEFAULT:@SECLEVEL=0",
         {{0, ERROR_WINHTTP_SECURE_FAILURE}, {kModern, ERROR_WINHTTP_SECURE_FAILURE}, {0xA80, 0},
          {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1, 0}}},
    };
    for (const Server& server : servers) {
        NginxOptions options = Https(server.protocols);
        options.sslCiphers = server.ciphers;
        NginxServer nginx(options);
        nginx.AddFile("s.txt", "versions");
        for (const auto& [protocols, sendError] : server.cases) {
            SCOPED_TRACE(std::string(server.protocols) + " / " + std::to_string(protocols));
            RequestSetup setup(nginx.httpsPort(), "/s.txt");
            setup.secure = true;
            HandleSet set(setup);
            if (protocols) {
                DWORD value = protocols;
                ASSERT_TRUE(WinHttpSetOption(set.session, WINHTTP_OPTION_SECURE_PROTOCOLS, &value, sizeof value));
            }
            ASSERT_TRUE(set.SetDword(WINHTTP_OPTION_SECURITY_FLAGS, kAgentSecurityFlags));
            EXPECT_EQ(set.SendAndReceive(), sendError);
        }
    }
}

}  // namespace
