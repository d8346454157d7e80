// The HTTP server fixtures of http_fixtures.h.
#include "tests/support/http_fixtures.h"
#include "tests/support/fixture_files.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {
namespace {

namespace fs = std::filesystem;

std::string PythonInterpreter() {
    return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

// Starts a server whose listening port is known in advance; retries with another port
// when another program took the port in the meantime.
template <typename Launch>
void StartWithRetries(Launch launch, const std::string& what) {
    std::string lastError;
    for (int attempt = 0; attempt < 5; ++attempt) {
        try {
            launch();
            return;
        } catch (const std::exception& error) {
            lastError = error.what();
        }
    }
    throw std::runtime_error(what + " did not start: " + lastError);
}

}  // namespace

// ---------------------------------------------------------------------------------------
ChildProcess::ChildProcess(const std::vector<std::string>& argv, const fs::path& output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const int error = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
    }
}

ChildProcess::~ChildProcess() { Stop(SIGTERM); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        Stop(SIGTERM);
        pid_ = std::exchange(other.pid_, -1);
    }
    return *this;
}

bool ChildProcess::Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::Stop(int signal, std::chrono::milliseconds bound) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    if (!WaitUntil([&] { return !Running(); }, bound) && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

namespace {

sockaddr_in LoopbackAddress(const char* host, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host, &address.sin_addr) != 1)
        throw std::runtime_error(std::string("not an IPv4 address: ") + host);
    return address;
}

}  // namespace

namespace {

// A socket connected to host:port, or -1.
int ConnectTo(const char* host, int port) {
    sockaddr_in address = LoopbackAddress(host, port);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// Whether nginx's worker answers on the port: the master accepts connections as soon as it
// listens, before its worker has started, and a first request with a short timeout would
// fail on a loaded machine. The request is not in the access log.
bool WorkerAnswers(int port) {
    const int fd = ConnectTo("127.0.0.1", port);
    if (fd < 0) return false;
    timeval timeout{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const std::string request = "GET /fixture-ready HTTP/1.0\r\n\r\n";
    char answer[5] = {};
    const auto sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    const bool answered = sent == static_cast<ssize_t>(request.size()) &&
                          recv(fd, answer, sizeof answer, MSG_WAITALL) == sizeof answer &&
                          std::memcmp(answer, "HTTP/", sizeof answer) == 0;
    close(fd);
    return answered;
}

}  // namespace

bool PortAccepts(int port, const char* host) {
    const int fd = ConnectTo(host, port);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

int UnusedLoopbackPort(const char* host) {
    sockaddr_in address = LoopbackAddress(host, 0);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        throw std::runtime_error("cannot bind a loopback port");
    }
    close(fd);
    return ntohs(address.sin_port);
}

// ---------------------------------------------------------------------------------------
NginxServer::NginxServer(NginxOptions options) : options_(std::move(options)) {
    MakeReadableByAll(dir_.path());
    root_ = dir_.path() / "root";
    fs::create_directories(root_);
    MakeReadableByAll(root_);
    if (options_.https && !options_.certificate) {
        const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
                                    " -subj /CN=localhost -days 2 -keyout '" +
                                    (dir_.path() / "key.pem").string() + "' -out '" + certificate().string() +
                                    "' >'" + (dir_.path() / "openssl.out").string() + "' 2>&1";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make a certificate");
    }
    StartWithRetries(
        [&] {
            port_ = UnusedLoopbackPort();
            if (options_.https) httpsPort_ = UnusedLoopbackPort();
            Start();
        },
        "nginx");
}

NginxServer::~NginxServer() { process_.Stop(SIGTERM); }

const fs::path& NginxServer::folder() const { return dir_.path(); }

pid_t NginxServer::pid() const { return process_.pid(); }

void NginxServer::WriteConfig() const {
    const std::string dir = dir_.path().string();
    const std::string root = root_.string();
    std::string locations = R"(
        location / { }
        location = /fixture-ready { access_log off; return 204; }
        location /norange/ { alias ROOT/; max_ranges 0; }
        location /slow/ { alias ROOT/; limit_rate_after 64k; limit_rate 1; }
        location /throttled/ { alias ROOT/; limit_rate 200k; }
        location /deflate/ { alias ROOT/; add_header Content-Encoding deflate; }
        location /zq/ { alias ROOT/; }
        location /upload { client_max_body_size 0; return 200 "ok"; }
        location = /clientdatarequest { try_files /$arg_fileName =404; }
        location ~ ^/(agentRequest|agentSlot|agenttrayicon|agentinfo) { client_max_body_size 0; return 200 "ok"; }
)";
    for (int status : {400, 401, 403, 404, 406, 407, 500, 502, 503}) {
        locations += "        location = /status/" + std::to_string(status) + " { return " + std::to_string(status) +
                     "; }\n";
    }
    locations += options_.extraConfig;
    for (size_t at; (at = locations.find("ROOT")) != std::string::npos;) locations.replace(at, 4, root);
    const std::string port = std::to_string(port_);
    for (size_t at; (at = locations.find("HTTP_PORT")) != std::string::npos;) locations.replace(at, 9, port);

    std::ostringstream config;
    config << "daemon off;\nmaster_process on;\nworker_processes 1;\n"
           << "pid " << dir << "/nginx.pid;\nerror_log " << dir << "/error.log notice;\n"
           << "events { worker_connections 512; }\n"
           << "http {\n"
           << "    default_type application/octet-stream;\n"
           << "    log_format vantorra '$request\\t$status\\t$http_range\\t$bytes_sent\\t"
              "$http_if_modified_since\\t$http_accept_encoding\\t$http_connection\\t$http_user_agent\\t"
              "$request_length\\t$content_type\\t$content_length\\t$scheme';\n"
           << "    access_log " << dir << "/access.log vantorra;\n"
           << "    client_body_temp_path " << dir << "/client_body;\n"
           << "    proxy_temp_path " << dir << "/proxy;\n"
           << "    fastcgi_temp_path " << dir << "/fastcgi;\n"
           << "    uwsgi_temp_path " << dir << "/uwsgi;\n"
           << "    scgi_temp_path " << dir << "/scgi;\n"
           << "    sendfile on;\n    keepalive_requests 100000;\n"
           << "    gzip off;\n    gzip_static on;\n    if_modified_since before;\n"
           << "    server {\n        listen 127.0.0.1:" << port_ << ";\n        root " << root << ";\n"
           << locations << "    }\n";
    if (options_.https) {
        config << "    server {\n        listen 127.0.0.1:" << httpsPort_ << " ssl;\n        root " << root << ";\n"
               << "        ssl_certificate " << certificate().string() << ";\n"
               << "        ssl_certificate_key " << key().string() << ";\n"
               << "        ssl_protocols " << options_.sslProtocols << ";\n"
               << (options_.sslCiphers.empty() ? "" : "        ssl_ciphers " + options_.sslCiphers + ";\n")
               << locations << "    }\n";
    }
    config << "}\n";
    WriteText(dir_.path() / "nginx.conf", config.str());
}

void NginxServer::Start() {
    WriteConfig();
    const std::string dir = dir_.path().string();
    process_ = ChildProcess({"nginx", "-p", dir + "/", "-c", dir + "/nginx.conf", "-e", dir + "/error.log"},
                            dir_.path() / "nginx.out");
    const bool up = WaitUntil([&] {
        return !process_.Running() || (WorkerAnswers(port_) && (!options_.https || PortAccepts(httpsPort_)));
    });
    if (!up || !process_.Running()) {
        process_.Stop(SIGTERM);
        throw std::runtime_error("nginx: " + ErrorLog() + ReadFile(dir_.path() / "nginx.out"));
    }
}

void NginxServer::Stop(int signal) { process_.Stop(signal); }

// ---------------------------------------------------------------------------------------
TinyProxy::TinyProxy(const std::string& user, const std::string& password) {
    MakeReadableByAll(dir_.path());
    const fs::path log = dir_.path() / "tinyproxy.log";
    WriteText(log, "");
    chmod(log.c_str(), 0666);
    StartWithRetries(
        [&] {
            port_ = UnusedLoopbackPort(kProxyHost);
            std::ostringstream config;
            if (geteuid() == 0) config << "User nobody\nGroup nogroup\n";
            // Clients on loopback reach it from 127.0.0.1, whichever loopback address it has.
            config << "Port " << port_ << "\nListen " << kProxyHost
                   << "\nTimeout 600\nAllow 127.0.0.1\n"
                   << "LogFile \"" << log.string()
                   << "\"\nLogLevel Info\nMaxClients 100\nDisableViaHeader Yes\n";
            if (!user.empty()) config << "BasicAuth " << user << " " << password << "\n";
            WriteText(dir_.path() / "tinyproxy.conf", config.str());
            process_ = ChildProcess({"tinyproxy", "-d", "-c", (dir_.path() / "tinyproxy.conf").string()},
                                    dir_.path() / "tinyproxy.out");
            if (!WaitUntil([&] { return !process_.Running() || PortAccepts(port_, kProxyHost); }) ||
                !process_.Running()) {
                process_.Stop(SIGTERM);
                throw std::runtime_error("tinyproxy: " + Log() + ReadFile(dir_.path() / "tinyproxy.out"));
            }
        },
        "tinyproxy");
}

TinyProxy::~TinyProxy() { process_.Stop(SIGTERM); }

const fs::path& TinyProxy::folder() const { return dir_.path(); }

// ---------------------------------------------------------------------------------------
ScriptedServer::ScriptedServer(const std::string& scenarioJson) {
    SetScenario(scenarioJson);
    const fs::path script = SourceDir() / "tests/support/scripted_http_server.py";
    process_ = ChildProcess({PythonInterpreter(), script.string(), dir_.str()}, dir_.path() / "server.out");
    const fs::path portFile = dir_.path() / "port";
    if (!WaitUntil([&] { return fs::exists(portFile) || !process_.Running(); }) || !fs::exists(portFile)) {
        process_.Stop(SIGTERM);
        throw std::runtime_error("scripted server did not start: " + ReadFile(dir_.path() / "server.out"));
    }
    port_ = std::stoi(ReadFile(portFile));
}

ScriptedServer::~ScriptedServer() { process_.Stop(SIGTERM); }

const fs::path& ScriptedServer::folder() const { return dir_.path(); }

// ---------------------------------------------------------------------------------------
namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Certificate = std::unique_ptr<X509, CertificateFree>;

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("OpenSSL: ") + what);
}

Key NewKey(KeyKind kind) {
    Key key(kind == KeyKind::Rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"));
    Check(key != nullptr, "key generation");
    return key;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    Check(extension != nullptr, "extension");
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

// A certificate for `key` named `commonName`, signed by issuer/issuerKey (itself when null).
Certificate NewCertificate(EVP_PKEY* key, const std::string& commonName, const CertificateOptions& options,
                           bool authority, X509* issuer, EVP_PKEY* issuerKey) {
    static long serial = 1;
    Certificate certificate(X509_new());
    Check(certificate != nullptr, "X509_new");
    X509* x = certificate.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), ++serial + static_cast<long>(getpid()) * 1000);
    X509_gmtime_adj(X509_getm_notBefore(x), static_cast<long>(options.validFromDays) * 86400);
    X509_gmtime_adj(X509_getm_notAfter(x), static_cast<long>(options.validToDays) * 86400);
    X509_set_pubkey(x, key);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name);
    X509* signer = issuer ? issuer : x;
    if (authority) {
        AddExtension(x, signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(x, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(x, signer, NID_basic_constraints, "CA:FALSE");
        std::string names;
        for (const auto& host : options.hosts) {
            const bool address = host.find_first_not_of("0123456789.") == std::string::npos;
            names += (names.empty() ? "" : ",") + std::string(address ? "IP:" : "DNS:") + host;
        }
        if (!names.empty()) AddExtension(x, signer, NID_subject_alt_name, names);
        AddExtension(x, signer, NID_ext_key_usage, "serverAuth");
    }
    AddExtension(x, signer, NID_subject_key_identifier, "hash");
    Check(X509_sign(x, issuerKey ? issuerKey : key, EVP_sha256()) > 0, "X509_sign");
    return certificate;
}

void WritePem(const fs::path& path, X509* certificate, EVP_PKEY* key) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    Check(file != nullptr, "open for writing");
    const bool ok = certificate ? PEM_write_X509(file, certificate) == 1
                                : PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    std::fclose(file);
    Check(ok, "PEM write");
}

}  // namespace

struct TestCertificates::Authority {
    Key key;
    Certificate certificate;
};

TestCertificates::TestCertificates() : ca_(std::make_unique<Authority>()) {
    ca_->key = NewKey(KeyKind::Ec);
    CertificateOptions options;
    options.validToDays = 60;
    ca_->certificate = NewCertificate(ca_->key.get(), "Vantorra Test Authority", options, true, nullptr, nullptr);
    authority_ = dir_.path() / "authority.pem";
    WritePem(authority_, ca_->certificate.get(), nullptr);
}

TestCertificates::~TestCertificates() = default;

CertificateFiles TestCertificates::Issue(const std::string& name, const CertificateOptions& options) {
    Key key = NewKey(options.key);
    const std::string commonName = options.hosts.empty() ? name : options.hosts.front();
    Certificate certificate =
        options.selfSigned
            ? NewCertificate(key.get(), commonName, options, false, nullptr, nullptr)
            : NewCertificate(key.get(), commonName, options, false, ca_->certificate.get(), ca_->key.get());
    CertificateFiles files;
    files.certificate = dir_.path() / (name + ".pem");
    files.key = dir_.path() / (name + ".key");
    WritePem(files.certificate, certificate.get(), nullptr);
    const int descriptor = open(files.key.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    Check(descriptor >= 0, "create key file");
    close(descriptor);
    WritePem(files.key, nullptr, key.get());
    unsigned char* der = nullptr;
    const int derLength = i2d_X509(certificate.get(), &der);
    Check(derLength > 0, "i2d_X509");
    files.der.assign(reinterpret_cast<const char*>(der), static_cast<size_t>(derLength));
    OPENSSL_free(der);
    unsigned char* publicKey = nullptr;
    const int publicKeyLength = i2d_PUBKEY(key.get(), &publicKey);
    Check(publicKeyLength > 0, "i2d_PUBKEY");
    files.keyPin = Sha256Hex(std::string(reinterpret_cast<const char*>(publicKey), static_cast<size_t>(publicKeyLength)));
    OPENSSL_free(publicKey);
    return files;
}

// ---------------------------------------------------------------------------------------
std::string Sha256Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 0xF]);
    }
    return hex;
}

}  // namespace testsupport
