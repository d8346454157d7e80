// Server checks of the HTTP client. A request first goes out with the system's full
// certificate check. When that fails on the certificate, it is sent once more with the
// certificate errors ignored, and the status callback accepts the server only when the
// SHA-256 of its public key matches the pin recorded for it; before the request goes
// out, so a refused server receives nothing. The first key seen from a configured
// server with no pin is recorded (trust on first use). The same callback logs every
// redirect and refuses one to another host.
#include "http/src/server_trust.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>

#include "agent/agent.h"
#include "http/src/internal.h"
#include "runtime/log.h"

namespace httpclient {
namespace {

std::mutex& GuardsMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::map<HINTERNET, ServerGuard*>& Guards() {
    static auto* guards = new std::map<HINTERNET, ServerGuard*>;
    return *guards;
}

// Requests on several threads decide on the pins one at a time: two first keys seen at
// once are never both trusted.
std::mutex& PinMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

void CALLBACK OnStatus(HINTERNET request, DWORD_PTR /*context*/, DWORD status, LPVOID information,
                       DWORD /*length*/) {
    ServerGuard* guard = nullptr;
    {
        std::lock_guard lock(GuardsMutex());
        const auto found = Guards().find(request);
        if (found != Guards().end()) guard = found->second;
    }
    // The callback runs on the thread whose call it interrupts, which owns the guard.
    if (!guard) return;
    if (status == WINHTTP_CALLBACK_STATUS_SENDING_REQUEST) {
        guard->OnSendingRequest(request);
    } else if (status == WINHTTP_CALLBACK_STATUS_REDIRECT && information) {
        guard->OnRedirect(request, WideString(static_cast<const WCHAR*>(information)));
    }
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A host name or address as given, compared without case and without IPv6 brackets.
std::string NormalizedHost(std::string host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return Lower(std::move(host));
}

enum class ServerRole { None, Main, Distribution };

bool IsAddress(const std::optional<std::string>& address, const std::string& host) {
    return address && !address->empty() && NormalizedHost(*address) == host;
}

// Which configured server a host is, by the addresses the agent knows for each.
ServerRole RoleOf(const std::string& host) {
    if (gv_dsEnabled && Lower(*gv_dsEnabled) == "yes") {
        for (const auto* address : {&gv_dsServerName, &gv_dsFlatName, &gv_dsLastAccessName, &gv_dsIPAddress,
                                    &gv_dsSecIPAddress}) {
            if (IsAddress(*address, host)) return ServerRole::Distribution;
        }
    }
    for (const auto* address : {&gv_serverName, &gv_serverFlatName, &gv_lastAccessName, &gv_serverIPAddress,
                                &gv_serverSecIPAddress}) {
        if (IsAddress(*address, host)) return ServerRole::Main;
    }
    return ServerRole::None;
}

// SHA-256 of the server certificate's public key info as lower-case hex; empty when the
// request has no certificate to show.
std::string KeyFingerprint(HINTERNET request) {
    PCCERT_CONTEXT certificate = nullptr;
    DWORD size = sizeof certificate;
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size) || !certificate) {
        return {};
    }
    BYTE hash[32];
    DWORD hashSize = sizeof hash;
    const bool hashed = certificate->pCertInfo &&
                        CryptHashPublicKeyInfo(0, CALG_SHA_256, 0, X509_ASN_ENCODING,
                                               &certificate->pCertInfo->SubjectPublicKeyInfo, hash, &hashSize) &&
                        hashSize == sizeof hash;
    CertFreeCertificateContext(certificate);
    if (!hashed) return {};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const BYTE b : hash) {
        hex.push_back(kHex[b >> 4]);
        hex.push_back(kHex[b & 0xF]);
    }
    return hex;
}

// The host the request is at now: after a redirect, not the one it was opened for. Empty
// when the request does not tell its URL.
std::string CurrentHost(HINTERNET request) {
    // A buffer that fits most URLs at once: Wine's WinHTTP gives no size to a query
    // without a buffer.
    WideString url(1024, WTEXT('\0'));
    DWORD size = static_cast<DWORD>(url.size() * sizeof(WCHAR));
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_URL, url.data(), &size)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return {};
        url.assign(size / sizeof(WCHAR) + 1, WTEXT('\0'));
        size = static_cast<DWORD>(url.size() * sizeof(WCHAR));
        if (!WinHttpQueryOption(request, WINHTTP_OPTION_URL, url.data(), &size)) return {};
    }
    url.resize(std::min<std::size_t>(size / sizeof(WCHAR), url.size()));
    url.resize(std::char_traits<WCHAR>::length(url.c_str()));
    return UrlHostOf(ToUtf8(url.c_str()));
}

std::string Text(const std::string& operation, const char* rest) { return operation + rest; }

// Records the first key seen from a configured server as its pin, with the WARNING line
// naming it, and gives the pin now in force: another process may have recorded a
// different key first. The caller holds the pin lock.
std::string TrustOnFirstUse(const std::string& operation, bool distribution, const std::string& host,
                            const std::string& fingerprint) {
    std::string recorded = RecordServerKeyPin(distribution, fingerprint);
    if (recorded == fingerprint) {
        LogInfo(Text(operation, " : WARNING : no key pin was recorded for the server %s, so its key is trusted "
                                "on first use and recorded: SHA-256 %s \n")
                    .c_str(),
                host, fingerprint);
    }
    return recorded;
}

}  // namespace

bool IsCertificateError(DWORD error) {
    return error == ERROR_WINHTTP_SECURE_FAILURE || error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR ||
           error == ERROR_WINHTTP_SECURE_INVALID_CA ||
           error == ERROR_WINHTTP_SECURE_CERT_CN_INVALID || error == ERROR_WINHTTP_SECURE_CERT_DATE_INVALID ||
           error == ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE;
}

std::vector<std::string> ParseKeyPins(const std::string& text) {
    std::vector<std::string> pins;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = std::min(text.find_first_of(";, \t\r\n", pos), text.size());
        std::string pin;
        for (std::size_t i = pos; i < end; ++i) {
            if (text[i] != ':') pin.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(text[i]))));
        }
        if (pin.size() == 64 && std::all_of(pin.begin(), pin.end(), [](char c) { return std::isxdigit(c); })) {
            pins.push_back(std::move(pin));
        }
        pos = end + 1;
    }
    return pins;
}

std::string UrlHostOf(const std::string& url) {
    std::string_view rest = url;
    if (const std::size_t scheme = rest.find("://"); scheme != std::string_view::npos) rest.remove_prefix(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        return Lower(std::string(rest.substr(1, close == std::string_view::npos ? rest.size() - 1 : close - 1)));
    }
    return Lower(std::string(rest.substr(0, rest.find(':'))));
}

DWORD LimitTlsVersions(HINTERNET session) {
    LogInfo("SetSecureProtocols : Configuring security protocols \n");
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    if (gv_allowLegacyTlsVersions) {
        LogError("SetSecureProtocols : TLS 1.0 and TLS 1.1 are allowed, as the agent value AllowLegacyTlsVersions "
                 "asks \n");
        protocols |= WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1;
    }
    // WinHTTP of Windows 7 and 8 knows no TLS 1.3; other systems may not either, and
    // refuse the flag: then TLS 1.2 alone.
    const bool withTls13 = !isWin7orWin8();
    DWORD value = protocols | (withTls13 ? WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 : 0);
    bool limited = WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &value, sizeof value);
    if (!limited && withTls13) {
        value = protocols;
        limited = WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &value, sizeof value);
    }
    if (limited) {
        LogInfo("SetSecureProtocols :  Security protocols configured successfully \n");
        return ERROR_SUCCESS;
    }
    const DWORD error = LastErrorOr(ERROR_WINHTTP_INTERNAL_ERROR);
    LogError("SetSecureProtocols :  Error in WinHttpSetOption for security protocols --> %d \n", error);
    HttpGetLastError(error);
    // The system's own defaults are no older than what the legacy setting allows anyway.
    return gv_allowLegacyTlsVersions ? ERROR_SUCCESS : error;
}

ServerGuard::~ServerGuard() { Unregister(); }

void ServerGuard::Register(HINTERNET request) {
    Unregister();
    std::lock_guard lock(GuardsMutex());
    Guards()[request] = this;
    request_ = request;
}

void ServerGuard::Unregister() {
    if (!request_) return;
    std::lock_guard lock(GuardsMutex());
    const auto found = Guards().find(request_);
    if (found != Guards().end() && found->second == this) Guards().erase(found);
    request_ = nullptr;
}

DWORD ServerGuard::Prepare(HINTERNET request, const char* operation, const WCHAR* serverName, bool secure) {
    operation_ = operation;
    serverName_ = serverName ? serverName : WTEXT("");
    certificateRefused_ = redirectRefused_ = cancelled_ = false;
    redirectedHost_.clear();
    mode_ = !secure ? Mode::Plain : gv_allowAnyServerCertificate ? Mode::Unchecked : Mode::Verified;
    if (mode_ == Mode::Unchecked) {
        LogError(Text(operation_, " : Server certificates are not checked, as the agent value "
                                  "AllowAnyServerCertificate asks \n")
                     .c_str());
        DWORD error = ERROR_SUCCESS;
        if (!IgnoreCertificateErrors(request, &error)) return error;
        LogDebug(Text(operation_, " :  The request is updated with the internet option security flags. \n").c_str());
    }
    if (WinHttpSetStatusCallback(request, &OnStatus,
                                 WINHTTP_CALLBACK_STATUS_SENDING_REQUEST | WINHTTP_CALLBACK_STATUS_REDIRECT,
                                 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
        return LastErrorOr(ERROR_INVALID_HANDLE);
    }
    Register(request);
    return ERROR_SUCCESS;
}

bool ServerGuard::RetryUnverified(HINTERNET request, DWORD error) {
    if (mode_ != Mode::Verified || request != request_ || !IsCertificateError(error)) return false;
    DWORD flagsError = ERROR_SUCCESS;
    if (!IgnoreCertificateErrors(request, &flagsError)) {
        LogError(Text(operation_, " :  Error in WinHttpSetOption --> %d \n").c_str(), flagsError);
        HttpGetLastError(flagsError);
        return false;
    }
    mode_ = Mode::Pinned;
    LogInfo(Text(operation_, " : The certificate of the server %S does not verify (%d): its key is checked against "
                             "the pin \n")
                .c_str(),
            serverName_, error);
    LogDebug(Text(operation_, " :  The request is updated with the internet option security flags. \n").c_str());
    return true;
}

DWORD ServerGuard::Outcome(DWORD error, HINTERNET* request) {
    if (cancelled_ && request && *request != HTTP_UNSET_HANDLE && *request == cancelledRequest_) {
        *request = HTTP_UNSET_HANDLE;  // closed by the guard: nothing left for the caller to close
    }
    if (certificateRefused_) return ERROR_WINHTTP_SECURE_FAILURE;
    if (redirectRefused_) return ERROR_WINHTTP_REDIRECT_FAILED;
    // The certificate did not verify and the second handshake failed as well: the server
    // was never accepted, whichever code the system gives the failed handshake.
    if (mode_ == Mode::Pinned && error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR) return ERROR_WINHTTP_SECURE_FAILURE;
    return error;
}

void ServerGuard::Cancel(HINTERNET request) {
    cancelled_ = true;
    cancelledRequest_ = request;
    Unregister();
    WinHttpCloseHandle(request);
}

bool ServerGuard::AcceptKey(const std::string& host, const std::string& fingerprint) {
    const ServerRole role = RoleOf(host);
    if (role == ServerRole::None) {
        LogError(Text(operation_, " : Refused the server %s: its certificate does not verify and it is not a "
                                  "configured server, so no key pin applies (key SHA-256 %s) \n")
                     .c_str(),
                 host, fingerprint);
        return false;
    }
    const bool distribution = role == ServerRole::Distribution;
    std::lock_guard lock(PinMutex());
    std::optional<std::string> pin = distribution ? gv_dsKeyPin : gv_serverKeyPin;
    if (!pin) {
        pin = TrustOnFirstUse(operation_, distribution, host, fingerprint);
        if (*pin == fingerprint) return true;
    }
    const std::vector<std::string> pins = ParseKeyPins(*pin);
    if (std::find(pins.begin(), pins.end(), fingerprint) != pins.end()) return true;
    LogError(Text(operation_, " : Refused the server %s: its certificate does not verify and its key SHA-256 %s "
                              "does not match the pin %s \n")
                 .c_str(),
             host, fingerprint, *pin);
    return false;
}

void ServerGuard::OnSendingRequest(HINTERNET request) {
    if (mode_ != Mode::Verified && mode_ != Mode::Pinned) return;
    const std::string fingerprint = KeyFingerprint(request);
    std::string host = CurrentHost(request);
    // Wine's WinHTTP knows no WINHTTP_OPTION_URL: the host of the last redirect followed,
    // else the one the request was opened for.
    if (host.empty()) host = redirectedHost_.empty() ? NormalizedHost(ToUtf8(serverName_.c_str())) : redirectedHost_;
    if (mode_ == Mode::Verified) {
        // The system verified the chain. A configured server without a pin gets its key
        // recorded all the same, so that a later unverifiable certificate must match it.
        const ServerRole role = RoleOf(host);
        const bool distribution = role == ServerRole::Distribution;
        std::lock_guard lock(PinMutex());
        if (!fingerprint.empty() && role != ServerRole::None && !(distribution ? gv_dsKeyPin : gv_serverKeyPin))
            TrustOnFirstUse(operation_, distribution, host, fingerprint);
        return;
    }
    if (fingerprint.empty()) {
        LogError(Text(operation_, " : Refused the server %s: its certificate could not be read \n").c_str(), host);
    } else if (AcceptKey(host, fingerprint)) {
        return;
    }
    certificateRefused_ = true;
    Cancel(request);
}

void ServerGuard::OnRedirect(HINTERNET request, const WideString& target) {
    const std::string to = UrlHostOf(ToUtf8(target.c_str()));
    if (to == NormalizedHost(ToUtf8(serverName_.c_str()))) {
        LogInfo(Text(operation_, " : Following the redirect to %S \n").c_str(), target);
        redirectedHost_ = to;
        return;
    }
    if (gv_allowRedirectToOtherHosts) {
        redirectedHost_ = to;
        LogError(Text(operation_, " : Following the redirect to %S on another host than %S, as the agent value "
                                  "AllowRedirectToOtherHosts asks \n")
                     .c_str(),
                 target, serverName_);
        return;
    }
    LogError(Text(operation_, " : Refused the redirect to %S: another host than %S \n").c_str(), target,
             serverName_);
    redirectRefused_ = true;
    Cancel(request);
}

}  // namespace httpclient
