// The server fixtures of http_fixtures.h for a Windows test program under Wine: each
// server is started on the Linux side by test-server-host (server_host.cpp), whose
// address VANTORRA_TEST_SERVER_HOST names, and its files are reached through Wine's Z:
// drive, which is the Linux root.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>

#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "tests/support/http_fixtures.h"
#include "tests/support/server_host_protocol.h"
#include "tests/support/standin_server.h"

namespace testsupport {
namespace {

namespace fs = std::filesystem;
using serverhost::Fields;

void StartWinsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
    });
}

class Socket {
public:
    Socket() {
        StartWinsock();
        handle_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (handle_ == INVALID_SOCKET) throw std::runtime_error("socket failed");
    }
    ~Socket() { closesocket(handle_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    SOCKET get() const { return handle_; }

private:
    SOCKET handle_;
};

sockaddr_in Loopback(int port, const char* host = "127.0.0.1") {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = inet_addr(host);
    return address;
}

// One request to test-server-host; throws with the host's message when it refuses.
Fields Ask(const std::string& verb, const Fields& in) {
    const char* address = std::getenv(serverhost::kAddressVariable);
    if (!address || !*address) {
        throw std::runtime_error(std::string(serverhost::kAddressVariable) +
                                 " is not set: scripts/windows-test starts test-server-host and sets it");
    }
    const std::string text(address);
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) throw std::runtime_error("bad server host address " + text);
    Socket connection;
    const sockaddr_in target = Loopback(std::stoi(text.substr(colon + 1)));
    if (connect(connection.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        throw std::runtime_error("cannot reach test-server-host at " + text);
    }
    const std::string request = serverhost::Format(verb, in);
    for (size_t sent = 0; sent < request.size();) {
        const int n = send(connection.get(), request.data() + sent, static_cast<int>(request.size() - sent), 0);
        if (n <= 0) throw std::runtime_error("test-server-host: the request could not be sent");
        sent += static_cast<size_t>(n);
    }
    std::string answer;
    char buffer[4096];
    for (int n; (n = recv(connection.get(), buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<size_t>(n));
    std::string status;
    Fields out = serverhost::Parse(answer, &status);
    if (status != "ok") throw std::runtime_error("test-server-host: " + verb + ": " + out["message"]);
    return out;
}

// "/tmp/x" as the Windows program sees it, and back.
fs::path FromHost(const std::string& path) { return fs::path("Z:" + path); }

std::string ToHost(const fs::path& path) {
    std::string text = path.string();
    for (char& c : text) {
        if (c == '\\') c = '/';
    }
    if (text.size() >= 2 && (text[0] == 'Z' || text[0] == 'z') && text[1] == ':') return text.substr(2);
    throw std::runtime_error("not on the Linux side (Z:): " + path.string());
}

void Keep(RemoteServer* remote, Fields& out, const std::string& folderKey) {
    remote->id = out["id"];
    if (!folderKey.empty()) remote->folder = FromHost(out[folderKey]);
    if (out.count("pid")) remote->pid = std::stoi(out["pid"]);
}

}  // namespace

serverhost::Fields serverhost::AskHost(const std::string& verb, const Fields& in) { return Ask(verb, in); }

RemoteServer::~RemoteServer() {
    if (id.empty()) return;
    try {
        Ask("release", {{"id", id}});
    } catch (const std::exception&) {
        // the host stops what is left when the run ends
    }
}

bool PortAccepts(int port, const char* host) {
    Socket probe;
    const sockaddr_in target = Loopback(port, host);
    return connect(probe.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
}

int UnusedLoopbackPort(const char* host) {
    Socket probe;
    sockaddr_in address = Loopback(0, host);
    int length = sizeof address;
    if (bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot bind a loopback port");
    }
    return ntohs(address.sin_port);
}

// ---------------------------------------------------------------------------------------
NginxServer::NginxServer(NginxOptions options) : options_(std::move(options)) {
    Fields in{{"https", options_.https ? "1" : "0"},
              {"sslProtocols", options_.sslProtocols},
              {"extraConfig", options_.extraConfig},
              {"sslCiphers", options_.sslCiphers}};
    if (options_.certificate) {
        in["certificate"] = ToHost(options_.certificate->certificate);
        in["key"] = ToHost(options_.certificate->key);
    }
    Fields out = Ask("nginx", in);
    Keep(&remote_, out, "folder");
    port_ = std::stoi(out["port"]);
    httpsPort_ = std::stoi(out["httpsPort"]);
    root_ = FromHost(out["root"]);
}

NginxServer::~NginxServer() = default;

const fs::path& NginxServer::folder() const { return remote_.folder; }

pid_t NginxServer::pid() const { return remote_.pid; }

void NginxServer::Stop(int signal) {
    Fields out = Ask("stop", {{"id", remote_.id}, {"signal", signal == SIGTERM ? "term" : "quit"}});
    remote_.pid = std::stoi(out["pid"]);
}

void NginxServer::Start() {
    Fields out = Ask("start", {{"id", remote_.id}});
    remote_.pid = std::stoi(out["pid"]);
}

// ---------------------------------------------------------------------------------------
TinyProxy::TinyProxy(const std::string& user, const std::string& password) {
    Fields out = Ask("tinyproxy", {{"user", user}, {"password", password}});
    Keep(&remote_, out, "folder");
    port_ = std::stoi(out["port"]);
}

TinyProxy::~TinyProxy() = default;

const fs::path& TinyProxy::folder() const { return remote_.folder; }

// ---------------------------------------------------------------------------------------
ScriptedServer::ScriptedServer(const std::string& scenarioJson) {
    Fields out = Ask("scripted", {{"scenario", scenarioJson}});
    Keep(&remote_, out, "folder");
    port_ = std::stoi(out["port"]);
}

ScriptedServer::~ScriptedServer() = default;

const fs::path& ScriptedServer::folder() const { return remote_.folder; }

// ---------------------------------------------------------------------------------------
StandinServer::StandinServer() {
    Fields out = Ask("standin", {});
    Keep(&remote_, out, "");
    port_ = std::stoi(out["port"]);
    root_ = FromHost(out["root"]);
    state_ = FromHost(out["state"]);
}

StandinServer::~StandinServer() = default;

void StandinServer::Stop() { Ask("stop", {{"id", remote_.id}}); }

void StandinServer::Start() { Ask("start", {{"id", remote_.id}}); }

// ---------------------------------------------------------------------------------------
TestCertificates::TestCertificates() {
    Fields out = Ask("certificates", {});
    Keep(&remote_, out, "");
    authority_ = FromHost(out["authority"]);
}

TestCertificates::~TestCertificates() = default;

CertificateFiles TestCertificates::Issue(const std::string& name, const CertificateOptions& options) {
    std::string hosts;
    for (const auto& host : options.hosts) hosts += (hosts.empty() ? "" : ",") + host;
    Fields out = Ask("issue", {{"id", remote_.id},
                               {"name", name},
                               {"hosts", hosts},
                               {"validFromDays", std::to_string(options.validFromDays)},
                               {"validToDays", std::to_string(options.validToDays)},
                               {"selfSigned", options.selfSigned ? "1" : "0"},
                               {"key", options.key == KeyKind::Rsa ? "rsa" : "ec"}});
    return {FromHost(out["certificate"]), FromHost(out["key"]), out["der"], out["keyPin"]};
}

// ---------------------------------------------------------------------------------------
std::string Sha256Hex(const std::string& data) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE digest[32];
    DWORD length = sizeof digest;
    const bool done = CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
                      CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
                      CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0) &&
                      CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0);
    if (hash) CryptDestroyHash(hash);
    if (provider) CryptReleaseContext(provider, 0);
    if (!done) throw std::runtime_error("SHA-256 through CryptoAPI failed");
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (DWORD i = 0; i < length; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 0xF]);
    }
    return hex;
}

}  // namespace testsupport
