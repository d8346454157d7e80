// Real HTTP servers for tests: nginx (plain and https twin), tinyproxy and the scripted
// server of scripted_http_server.py. Each runs in a temporary folder of its own on a free
// loopback port, is waited for with a bound when it starts, and is stopped by its PID
// when the fixture goes. Constructors throw std::runtime_error when a server cannot start.
//
// A Windows test program under Wine cannot start these Linux programs: there each fixture
// asks test-server-host (server_host.cpp), whose address the environment names, to start
// its server, and reads the server's files through Wine's Z: drive. Tests are the same.
#pragma once

#include <sys/types.h>

#include <csignal>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"

#if defined(_WIN32) && !defined(SIGQUIT)
#define SIGQUIT 3  // the servers stop on Linux: Stop() takes the Linux signal's number
#endif

namespace testsupport {

#ifdef _WIN32
// A server test-server-host started for this program: its key there and its folder, as a
// Windows path.
struct RemoteServer {
    RemoteServer() = default;
    RemoteServer(const RemoteServer&) = delete;
    RemoteServer& operator=(const RemoteServer&) = delete;
    ~RemoteServer();  // asks the host to stop it

    std::string id;
    std::filesystem::path folder;
    int pid = -1;
};
#endif

// A child process started with posix_spawn, stopped by PID.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& output);
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;

    pid_t pid() const { return pid_; }
    bool Running();
    // Sends `signal`, waits up to `bound` for the exit, then kills it for good.
    void Stop(int signal, std::chrono::milliseconds bound = std::chrono::seconds(10));

private:
    pid_t pid_ = -1;
};

// True once a TCP connection to host:port (a loopback address) succeeds: a server is listening.
bool PortAccepts(int port, const char* host = "127.0.0.1");
// A port of the loopback address `host` nobody listens on right now (bound, then released).
int UnusedLoopbackPort(const char* host = "127.0.0.1");

// One request line of the nginx access log.
struct AccessLogEntry {
    std::string method;
    std::string target;
    int status = 0;
    std::string range;            // Range header, empty when absent
    std::uint64_t bytesSent = 0;  // head and body
    std::string ifModifiedSince;
    std::string acceptEncoding;
    std::string connection;
    std::string userAgent;
    std::uint64_t requestLength = 0;  // request line, head and body
    std::string contentType;
    std::string contentLength;
    std::string scheme;  // "http" or "https"
};

// The access log of a server of the test kit, in its tab-separated format, oldest first.
std::vector<AccessLogEntry> ParseAccessLog(const std::filesystem::path& file);

// Certificates for TLS tests, made with OpenSSL in a private folder: one certificate
// authority of its own, and server certificates it signs (or self-signed ones).
enum class KeyKind { Ec, Rsa };

struct CertificateOptions {
    std::vector<std::string> hosts = {"127.0.0.1", "localhost"};  // subjectAltName: IP addresses or DNS names
    int validFromDays = -1;  // relative to now
    int validToDays = 30;
    bool selfSigned = false;
    KeyKind key = KeyKind::Ec;
};

struct CertificateFiles {
    std::filesystem::path certificate;  // PEM
    std::filesystem::path key;          // PEM, readable by its owner only
    std::string der;                    // the certificate
    std::string keyPin;                 // SHA-256 of its SubjectPublicKeyInfo, lower-case hex
};

class TestCertificates {
public:
    TestCertificates();
    ~TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    // The authority's certificate (PEM), to be trusted by the machine under test.
    const std::filesystem::path& authority() const { return authority_; }
    // A certificate named `name` (files name.pem and name.key).
    CertificateFiles Issue(const std::string& name, const CertificateOptions& options = {});

private:
#ifdef _WIN32
    RemoteServer remote_;
#else
    struct Authority;
    TempDir dir_;
    std::unique_ptr<Authority> ca_;
#endif
    std::filesystem::path authority_;
};

struct NginxOptions {
    bool https = false;                          // also listen with TLS on httpsPort()
    std::string sslProtocols = "TLSv1.2 TLSv1.3";
    // More location blocks for both servers; "ROOT" stands for root(), "HTTP_PORT" for port().
    std::string extraConfig;
    std::string sslCiphers{};  // empty: nginx's default
    // Certificate and key of the https twin; unset: a self-signed one made at start.
    std::optional<CertificateFiles> certificate{};
};

// nginx serving root() with ranges, If-Modified-Since "before", gzip_static and these
// locations (each a view of the same root unless noted):
//   /norange/...      ranges ignored (max_ranges 0): always 200 with the whole file
//   /slow/...         64 KiB at full speed, then one byte a second (a stall)
//   /throttled/...    200 KiB/s
//   /deflate/...      adds "Content-Encoding: deflate"
//   /zq/...           the root again (server path prefix of one edition)
//   /status/NNN       answers NNN with no file (400 401 403 404 406 407 500 502 503)
//   /upload           accepts a POST body of any size and answers 200 "ok" at once (nginx
//                     discards the body as it comes, so the access log's request length
//                     counts only the head; the scripted server records whole bodies)
//   = /clientdatarequest?fileName=PATH   the file PATH of the root
//   /agentRequest, /agentSlot, /agenttrayicon, /agentinfo   200 "ok"
class NginxServer {
public:
    explicit NginxServer(NginxOptions options = {});
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    int port() const { return port_; }
    int httpsPort() const { return httpsPort_; }
    std::string host() const { return "127.0.0.1"; }
    std::string url(const std::string& path) const;
    std::string httpsUrl(const std::string& path) const;
    const std::filesystem::path& root() const { return root_; }
    const std::filesystem::path& folder() const;
    std::filesystem::path certificate() const {
        return options_.certificate ? options_.certificate->certificate : folder() / "cert.pem";
    }
    std::filesystem::path key() const { return options_.certificate ? options_.certificate->key : folder() / "key.pem"; }
    pid_t pid() const;

    // Writes a file under root() readable by nginx's workers; returns its host path.
    std::filesystem::path AddFile(const std::string& relativePath, const std::string& content);
    // The access log so far, oldest first.
    std::vector<AccessLogEntry> AccessLog() const;
    // Waits until the access log holds at least `count` entries.
    bool WaitForAccessLog(size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10)) const;
    std::string ErrorLog() const;

    // Stops nginx (SIGQUIT: graceful; SIGTERM: cuts live connections) and starts it
    // again on the same ports.
    void Stop(int signal = SIGQUIT);
    void Start();

private:
    void WriteConfig() const;

#ifdef _WIN32
    RemoteServer remote_;
#else
    TempDir dir_;
    ChildProcess process_;
#endif
    NginxOptions options_;
    std::filesystem::path root_;
    int port_ = 0;
    int httpsPort_ = 0;
};

// The loopback address tinyproxy listens on. A proxy is another host than the servers it
// leads to, and a WinHTTP may tell them apart by host name alone: Wine's sends a request for
// 127.0.0.1 to a proxy on 127.0.0.1 in the origin form ("GET /path"), as if it went direct.
inline constexpr const char* kProxyHost = "127.0.0.2";

// tinyproxy on loopback (kProxyHost). With a user name, it asks for Basic credentials (BasicAuth).
class TinyProxy {
public:
    explicit TinyProxy(const std::string& user = "user", const std::string& password = "pass");
    ~TinyProxy();
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;

    int port() const { return port_; }
    // "127.0.0.2:PORT", the form WinHttpOpen takes.
    std::string address() const;
    std::string Log() const;
    // Waits until the log contains `text`.
    bool WaitForLog(const std::string& text, std::chrono::milliseconds bound = std::chrono::seconds(10)) const;

    const std::filesystem::path& folder() const;

private:
#ifdef _WIN32
    RemoteServer remote_;
#else
    TempDir dir_;
    ChildProcess process_;
#endif
    int port_ = 0;
};

// One request as the scripted server received it.
struct RecordedRequest {
    int number = 0;
    std::string method;
    std::string target;
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers;  // in order, as sent
    std::string head;  // the request head as received, up to the empty line
    std::uint64_t bodyLength = 0;
    std::string bodySha256;  // lower-case hex
    std::filesystem::path bodyFile;

    // First value of a header (case-insensitive), nullopt when absent.
    std::optional<std::string> Header(const std::string& name) const;
    int CountHeader(const std::string& name) const;
    std::string Body() const { return ReadBytes(bodyFile); }
};

// The scripted server (scripted_http_server.py); the scenario is JSON as described there.
class ScriptedServer {
public:
    explicit ScriptedServer(const std::string& scenarioJson = "{}");
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    std::string host() const { return "127.0.0.1"; }
    std::string url(const std::string& path) const;
    // Takes effect from the next request on.
    void SetScenario(const std::string& scenarioJson);
    // Requests read in full so far, in arrival order.
    std::vector<RecordedRequest> Requests() const;
    bool WaitForRequests(size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10)) const;
    const std::filesystem::path& folder() const;

private:
#ifdef _WIN32
    RemoteServer remote_;
#else
    TempDir dir_;
    ChildProcess process_;
#endif
    int port_ = 0;
};

// SHA-256 of a byte string, lower-case hex (for comparing bodies with the records).
std::string Sha256Hex(const std::string& data);
// Deterministic bytes of every value 0..255, for bodies that must survive byte for byte.
std::string PatternBytes(size_t size, unsigned seed = 0);

}  // namespace testsupport
