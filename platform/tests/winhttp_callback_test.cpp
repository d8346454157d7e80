// WinHTTP status callbacks, server certificates and proxy challenges over real servers:
// the certificate a callback sees before anything is sent, cancelling from the callback,
// redirects announced before they are followed, the machine's trusted roots, and proxy
// credentials that go out only after a 407.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <tuple>

#include "platform/tests/winhttp_support.h"
#include "tests/support/http_fixtures.h"

using namespace winhttp_test;
using testsupport::CertificateFiles;
using testsupport::CertificateOptions;
using testsupport::NginxOptions;
using testsupport::NginxServer;
using testsupport::ScriptedServer;
using testsupport::TestCertificates;

namespace {

constexpr DWORD kIgnoreAll = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                             SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;

// What a status callback saw; handed to it as the send's context.
struct Seen {
    std::vector<DWORD> statuses;
    std::vector<std::string> redirects;
    std::string certificate;  // DER
    std::string keyHash;      // SHA-256 of the public key info, hex
    DWORD certificateError = 0;
    DWORD closeOn = 0;  // a status at which the callback closes the request
};

std::string Hex(const BYTE* data, DWORD size) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (DWORD i = 0; i < size; ++i) {
        hex.push_back(kHex[data[i] >> 4]);
        hex.push_back(kHex[data[i] & 0xF]);
    }
    return hex;
}

void CALLBACK Record(HINTERNET request, DWORD_PTR context, DWORD status, LPVOID information, DWORD) {
    auto* seen = reinterpret_cast<Seen*>(context);
    seen->statuses.push_back(status);
    if (status == WINHTTP_CALLBACK_STATUS_REDIRECT) {
        seen->redirects.push_back(Narrow(static_cast<const char16_t*>(information)));
    }
    if (status == WINHTTP_CALLBACK_STATUS_SENDING_REQUEST) {
        PCCERT_CONTEXT certificate = nullptr;
        DWORD size = sizeof certificate;
        if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size)) {
            seen->certificateError = GetLastError();
        } else {
            seen->certificate.assign(reinterpret_cast<const char*>(certificate->pbCertEncoded),
                                     certificate->cbCertEncoded);
            BYTE hash[32];
            DWORD hashSize = sizeof hash;
            if (CryptHashPublicKeyInfo(0, CALG_SHA_256, 0, X509_ASN_ENCODING,
                                       &certificate->pCertInfo->SubjectPublicKeyInfo, hash, &hashSize)) {
                seen->keyHash = Hex(hash, hashSize);
            }
            CertFreeCertificateContext(certificate);
        }
    }
    if (status == seen->closeOn) WinHttpCloseHandle(request);
}

DWORD Send(HINTERNET request, Seen& seen, const std::string& body = {}) {
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data()),
                            static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()),
                            reinterpret_cast<DWORD_PTR>(&seen))) {
        return GetLastError();
    }
    return WinHttpReceiveResponse(request, nullptr) ? 0 : GetLastError();
}

NginxOptions HttpsWith(const CertificateFiles& files, std::string extraConfig = "") {
    NginxOptions options;
    options.https = true;
    options.certificate = files;
    options.extraConfig = std::move(extraConfig);
    return options;
}

TEST(WinHttpCertificate, TheCallbackSeesTheServersCertificateBeforeTheRequestGoesOut) {
    TestCertificates certificates;
    for (const auto kind : {testsupport::KeyKind::Ec, testsupport::KeyKind::Rsa}) {
        SCOPED_TRACE(kind == testsupport::KeyKind::Ec ? "EC key" : "RSA key");
        CertificateOptions options;
        options.selfSigned = true;
        options.key = kind;
        const CertificateFiles files = certificates.Issue(kind == testsupport::KeyKind::Ec ? "ec" : "rsa", options);
        NginxServer nginx(HttpsWith(files));
        nginx.AddFile("s.txt", "secret");
        RequestSetup setup(nginx.httpsPort(), "/s.txt");
        setup.secure = true;
        HandleSet set(setup);
        ASSERT_TRUE(set.SetDword(WINHTTP_OPTION_SECURITY_FLAGS, kIgnoreAll));
        // Before any handshake there is no certificate to show.
        PCCERT_CONTEXT none = nullptr;
        DWORD size = sizeof none;
        EXPECT_FALSE(WinHttpQueryOption(set.request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &none, &size));
        EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_STATE);

        Seen seen;
        ASSERT_NE(WinHttpSetStatusCallback(set.request, &Record, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0),
                  WINHTTP_INVALID_STATUS_CALLBACK);
        ASSERT_EQ(Send(set.request, seen), 0u);
        EXPECT_EQ(set.Status(), 200u);
        EXPECT_EQ(seen.statuses, std::vector<DWORD>{WINHTTP_CALLBACK_STATUS_SENDING_REQUEST});
        EXPECT_EQ(seen.certificate, files.der);
        // The key hash equals OpenSSL's own SHA-256 of the SubjectPublicKeyInfo.
        EXPECT_EQ(seen.keyHash, files.keyPin);

        // A context outlives the request while it is referenced; a foreign pointer is refused.
        PCCERT_CONTEXT context = nullptr;
        size = sizeof context;
        ASSERT_TRUE(WinHttpQueryOption(set.request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &context, &size));
        PCCERT_CONTEXT copy = CertDuplicateCertificateContext(context);
        EXPECT_TRUE(CertFreeCertificateContext(context));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(copy->pbCertEncoded), copy->cbCertEncoded), files.der);
        EXPECT_TRUE(CertFreeCertificateContext(copy));
        EXPECT_FALSE(CertFreeCertificateContext(copy));
        CERT_CONTEXT foreign{};
        EXPECT_FALSE(CertFreeCertificateContext(&foreign));
    }
}

TEST(WinHttpCertificate, KeyHashArgumentsAndPlainHttp) {
    CERT_PUBLIC_KEY_INFO info{};
    char oid[] = "1.2.840.10045.2.1";
    BYTE key[] = {4, 1, 2, 3};
    info.Algorithm.pszObjId = oid;
    info.PublicKey = {sizeof key, key, 0};
    DWORD size = 0;
    ASSERT_TRUE(CryptHashPublicKeyInfo(0, CALG_SHA_256, 0, X509_ASN_ENCODING, &info, nullptr, &size));
    EXPECT_EQ(size, 32u);
    BYTE small[8];
    size = sizeof small;
    EXPECT_FALSE(CryptHashPublicKeyInfo(0, CALG_SHA_256, 0, X509_ASN_ENCODING, &info, small, &size));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(size, 32u);
    BYTE hash[32];
    size = sizeof hash;
    EXPECT_FALSE(CryptHashPublicKeyInfo(0, 0x8003 /* MD5 */, 0, X509_ASN_ENCODING, &info, hash, &size));
    EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
    char notAnOid[] = "not an oid";
    info.Algorithm.pszObjId = notAnOid;
    EXPECT_FALSE(CryptHashPublicKeyInfo(0, CALG_SHA_256, 0, X509_ASN_ENCODING, &info, hash, &size));
    EXPECT_FALSE(CryptHashPublicKeyInfo(0, CALG_SHA_256, 0, X509_ASN_ENCODING, nullptr, hash, &size));

    // Plain HTTP: the callback runs, and there is no certificate.
    ScriptedServer server(R"({"default": {"status": 200, "body": "ok"}})");
    HandleSet set(RequestSetup(server.port(), "/"));
    Seen seen;
    WinHttpSetStatusCallback(set.request, &Record, WINHTTP_CALLBACK_STATUS_SENDING_REQUEST, 0);
    ASSERT_EQ(Send(set.request, seen), 0u);
    EXPECT_EQ(seen.certificateError, ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    // Never issued: handle values are multiples of four, and a fixed even value becomes a
    // live handle once enough handles have been made in this process.
    EXPECT_EQ(WinHttpSetStatusCallback(reinterpret_cast<HINTERNET>(0x1233), &Record, 0, 0),
              WINHTTP_INVALID_STATUS_CALLBACK);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(WinHttpStatusCallback, ClosingTheRequestBeforeItIsSentCancelsItAndNothingArrives) {
    ScriptedServer server(R"({"default": {"status": 200, "body": "ok"}})");
    struct Case {
        const char* name;
        std::string verb;
        std::string body;
        bool onSession;  // set on the session: the request takes it over
    };
    for (const Case& c : {Case{"get", "GET", "", false}, Case{"post with a body", "POST", "secret=1", false},
                          Case{"callback of the session", "GET", "", true}}) {
        SCOPED_TRACE(c.name);
        RequestSetup setup(server.port(), "/cancelled", c.verb);
        Seen seen;
        seen.closeOn = WINHTTP_CALLBACK_STATUS_SENDING_REQUEST;
        HINTERNET session = WinHttpOpen(u"VantorraAgent", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
        ASSERT_TRUE(session);
        if (c.onSession) WinHttpSetStatusCallback(session, &Record, WINHTTP_CALLBACK_FLAG_SEND_REQUEST, 0);
        HINTERNET connection = WinHttpConnect(session, u"127.0.0.1", static_cast<INTERNET_PORT>(server.port()), 0);
        const std::u16string verb = Wide(c.verb);
        HINTERNET request = WinHttpOpenRequest(connection, verb.c_str(), u"/cancelled", nullptr, nullptr, nullptr, 0);
        ASSERT_TRUE(request);
        if (!c.onSession) WinHttpSetStatusCallback(request, &Record, WINHTTP_CALLBACK_STATUS_SENDING_REQUEST, 0);
        EXPECT_EQ(Send(request, seen, c.body), ERROR_WINHTTP_OPERATION_CANCELLED);
        EXPECT_EQ(seen.statuses, std::vector<DWORD>{WINHTTP_CALLBACK_STATUS_SENDING_REQUEST});
        EXPECT_FALSE(WinHttpCloseHandle(request)) << "the callback closed it";
        WinHttpCloseHandle(connection);
        WinHttpCloseHandle(session);
    }
    // A request sent afterwards is the first the server ever read.
    HandleSet set(RequestSetup(server.port(), "/after"));
    ASSERT_EQ(set.SendAndReceive(), 0u);
    ASSERT_TRUE(server.WaitForRequests(1));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests.front().target, "/after");
}

TEST(WinHttpStatusCallback, RedirectsAreAnnouncedBeforeTheyAreFollowed) {
    NginxOptions options;
    options.extraConfig = "location = /hop { return 302 /target.txt; }\n"
                          "location = /twice { return 301 http://127.0.0.1:HTTP_PORT/hop; }\n";
    NginxServer nginx(options);
    nginx.AddFile("target.txt", "arrived");
    const std::string base = "http://127.0.0.1:" + std::to_string(nginx.port());
    struct Case {
        const char* name;
        std::string object;
        DWORD closeOn;
        DWORD result;
        std::vector<std::string> redirects;
        std::vector<std::string> served;  // targets nginx saw
    };
    const std::vector<Case> cases = {
        {"followed", "/hop", 0, 0, {base + "/target.txt"}, {"/hop", "/target.txt"}},
        {"followed twice", "/twice", 0, 0, {base + "/hop", base + "/target.txt"}, {"/twice", "/hop", "/target.txt"}},
        {"refused by closing", "/hop", WINHTTP_CALLBACK_STATUS_REDIRECT, ERROR_WINHTTP_OPERATION_CANCELLED,
         {base + "/target.txt"}, {"/hop"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = nginx.AccessLog().size();
        HandleSet set(RequestSetup(nginx.port(), c.object));
        Seen seen;
        seen.closeOn = c.closeOn;
        WinHttpSetStatusCallback(set.request, &Record, WINHTTP_CALLBACK_FLAG_REDIRECT, 0);
        ASSERT_EQ(Send(set.request, seen), c.result);
        EXPECT_EQ(seen.redirects, c.redirects);
        if (c.result == 0) {
            std::string body;
            EXPECT_EQ(ReadBody(set.request, body), 0u);
            EXPECT_EQ(body, "arrived");
            // The URL of the request is now the one it was redirected to.
            std::u16string url(256, u'\0');
            DWORD size = static_cast<DWORD>(url.size() * sizeof(char16_t));
            ASSERT_TRUE(WinHttpQueryOption(set.request, WINHTTP_OPTION_URL, url.data(), &size));
            url.resize(size / sizeof(char16_t));
            EXPECT_EQ(Narrow(url), base + "/target.txt");
        } else {
            set.request = nullptr;  // the callback closed it
        }
        ASSERT_TRUE(nginx.WaitForAccessLog(before + c.served.size()));
        const auto log = nginx.AccessLog();
        std::vector<std::string> served;
        for (size_t i = before; i < log.size(); ++i) served.push_back(log[i].target);
        EXPECT_EQ(served, c.served);
    }
}

TEST(WinHttpTls, TheMachinesTrustedRootsVerifyTheChainAndTheNameAndDatesStillCount) {
    testsupport::MachineRoot machine;
    TestCertificates certificates;
    CertificateOptions wrongHost;
    wrongHost.hosts = {"other.example.test"};
    CertificateOptions expired;
    expired.validFromDays = -20;
    expired.validToDays = -10;
    struct Case {
        const char* name;
        CertificateOptions options;
        bool trusted;  // the authority is in the machine's trusted roots
        DWORD sendError;
    };
    const std::vector<Case> cases = {
        {"valid, authority unknown", {}, false, ERROR_WINHTTP_SECURE_FAILURE},
        {"valid, authority trusted", {}, true, 0},
        {"another host name", wrongHost, true, ERROR_WINHTTP_SECURE_FAILURE},
        {"expired", expired, true, ERROR_WINHTTP_SECURE_FAILURE},
    };
    int serial = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(machine.path() / "trusted-roots.pem");
        if (c.trusted) std::filesystem::copy_file(certificates.authority(), machine.path() / "trusted-roots.pem");
        NginxServer nginx(HttpsWith(certificates.Issue("server" + std::to_string(++serial), c.options)));
        nginx.AddFile("s.txt", "verified");
        RequestSetup setup(nginx.httpsPort(), "/s.txt");
        setup.secure = true;
        HandleSet set(setup);
        ASSERT_EQ(set.SendAndReceive(), c.sendError);
        if (c.sendError == 0) {
            EXPECT_EQ(set.Status(), 200u);
        }
    }
}

// The scripted server stands in for the proxy: it sees every request the layer sends it.
TEST(WinHttpProxy, CredentialsGoOutOnlyAfterTheProxyAskedForThem) {
    const std::string challenge = R"({"status": 407, "reason": "Proxy Authentication Required",
        "headers": [["Proxy-Authenticate", "Basic realm=\"proxy\""]], "body": "who?"})";
    const std::string ok = R"({"status": 200, "body": "through"})";
    ScriptedServer proxy(R"({"routes": {
        "http://origin.test/get": [)" + challenge + "," + ok + R"(],
        "http://origin.test/post": [)" + challenge + "," + ok + R"(],
        "http://origin.test/stream": [)" + challenge + "," + ok + R"(],
        "http://origin.test/wrong": [)" + challenge + R"(],
        "http://origin.test/other": [{"status": 407, "headers": [["Proxy-Authenticate", "Negotiate"]]}]
    }})");
    const std::string proxyAddress = "127.0.0.1:" + std::to_string(proxy.port());
    const auto open = [&](const std::string& object, const std::string& verb, const std::u16string& password) {
        RequestSetup setup(80, object, verb);
        setup.host = "origin.test";
        setup.proxy = proxyAddress;
        auto set = std::make_unique<HandleSet>(setup);
        const std::u16string user = u"user";
        WinHttpSetOption(set->request, WINHTTP_OPTION_PROXY_USERNAME, const_cast<char16_t*>(user.c_str()), 4);
        WinHttpSetOption(set->request, WINHTTP_OPTION_PROXY_PASSWORD, const_cast<char16_t*>(password.c_str()),
                         static_cast<DWORD>(password.size()));
        return set;
    };
    const std::string basic = "Basic dXNlcjpwYXNz";  // user:pass
    size_t seenSoFar = 0;
    // The requests the proxy read since the last call, as (target, Proxy-Authorization, body).
    const auto arrived = [&](size_t count) {
        EXPECT_TRUE(proxy.WaitForRequests(seenSoFar + count));
        std::vector<std::tuple<std::string, std::string, std::string>> out;
        const auto requests = proxy.Requests();
        for (size_t i = seenSoFar; i < requests.size(); ++i) {
            out.emplace_back(requests[i].target, requests[i].Header("Proxy-Authorization").value_or("-"),
                             requests[i].Body());
        }
        seenSoFar = requests.size();
        return out;
    };
    using Seen3 = std::vector<std::tuple<std::string, std::string, std::string>>;

    {  // GET: challenged, then sent again with the credentials on the same call.
        auto set = open("/get", "GET", u"pass");
        ASSERT_EQ(set->SendAndReceive(), 0u);
        EXPECT_EQ(set->Status(), 200u);
        EXPECT_EQ(arrived(2), (Seen3{{"http://origin.test/get", "-", ""}, {"http://origin.test/get", basic, ""}}));
    }
    {  // A body given whole to the send goes out again in full.
        auto set = open("/post", "POST", u"pass");
        ASSERT_TRUE(WinHttpSendRequest(set->request, nullptr, 0, const_cast<char*>("a=1"), 3, 3, 0));
        ASSERT_TRUE(WinHttpReceiveResponse(set->request, nullptr));
        EXPECT_EQ(set->Status(), 200u);
        EXPECT_EQ(arrived(2),
                  (Seen3{{"http://origin.test/post", "-", "a=1"}, {"http://origin.test/post", basic, "a=1"}}));
    }
    {  // A streamed body cannot: the receive asks the caller to send again (12032), which
       // then carries the credentials from the start.
        auto set = open("/stream", "POST", u"pass");
        for (int round = 0; round < 2; ++round) {
            ASSERT_TRUE(WinHttpSendRequest(set->request, nullptr, 0, nullptr, 0, 5, 0));
            DWORD written = 0;
            ASSERT_TRUE(WinHttpWriteData(set->request, "12345", 5, &written));
            const BOOL received = WinHttpReceiveResponse(set->request, nullptr);
            if (round == 0) {
                EXPECT_FALSE(received);
                EXPECT_EQ(GetLastError(), ERROR_WINHTTP_RESEND_REQUEST);
            } else {
                EXPECT_TRUE(received);
                EXPECT_EQ(set->Status(), 200u);
            }
        }
        EXPECT_EQ(arrived(2), (Seen3{{"http://origin.test/stream", "-", "12345"},
                                     {"http://origin.test/stream", basic, "12345"}}));
    }
    {  // Refused credentials are not sent over and over: the second 407 is the answer.
        auto set = open("/wrong", "GET", u"nope");
        ASSERT_EQ(set->SendAndReceive(), 0u);
        EXPECT_EQ(set->Status(), 407u);
        EXPECT_EQ(arrived(2), (Seen3{{"http://origin.test/wrong", "-", ""},
                                     {"http://origin.test/wrong", "Basic dXNlcjpub3Bl", ""}}));
    }
    {  // A proxy that wants another scheme gets no Basic credentials at all.
        auto set = open("/other", "GET", u"pass");
        ASSERT_EQ(set->SendAndReceive(), 0u);
        EXPECT_EQ(set->Status(), 407u);
        EXPECT_EQ(arrived(1), (Seen3{{"http://origin.test/other", "-", ""}}));
    }
}

}  // namespace
