// The checks the HTTP client makes on the server of each request, through WinHTTP's
// status callback: the certificate (a chain the system verifies, else the server's
// recorded key pin, else trust on first use for the configured servers) and redirects
// (logged; another host is refused unless the agent allows it).
#pragma once

#include <string>
#include <vector>

#include "http/http.h"

namespace httpclient {

// Certificate errors after which the key may still be accepted through its pin. Wine's
// WinHTTP reports every certificate that does not verify as a secure-channel error
// (12157), so that code counts too: the second attempt still needs the key's pin.
bool IsCertificateError(DWORD error);

// SHA-256 key pins of an agent value ("ab:cd..." or "ABCD..."; several separated by ";",
// "," or blanks), as lower-case hex. Entries that are no SHA-256 are left out.
std::vector<std::string> ParseKeyPins(const std::string& text);

// The host of a URL ("https://Host:8363/x" -> "host"), lower case, without brackets.
std::string UrlHostOf(const std::string& url);

// Limits a session to TLS 1.2 and later (1.0 and 1.1 too when AllowLegacyTlsVersions is
// set, with an ERROR line). 0, or the option's error code when the versions could not
// be limited.
DWORD LimitTlsVersions(HINTERNET session);

// One per request being set up. Not copyable: the status callback finds it by the
// request handle it prepared.
class ServerGuard {
public:
    ServerGuard() = default;
    ~ServerGuard();
    ServerGuard(const ServerGuard&) = delete;
    ServerGuard& operator=(const ServerGuard&) = delete;

    // Sets up a request just opened for `serverName`: the certificate flags and the
    // status callback. `operation` starts the log lines. 0 or the failing call's code.
    DWORD Prepare(HINTERNET request, const char* operation, const WCHAR* serverName, bool secure);
    // After a failed send: true when the certificate did not verify and the send is to be
    // made once more on the same request, now accepting the key only through its pin.
    bool RetryUnverified(HINTERNET request, DWORD error);
    // The code to report for a failed send or receive: 12175 for a refused certificate,
    // 12156 for a refused redirect, else `error`. A request handle the guard closed to
    // cancel the request is marked unset in *request.
    DWORD Outcome(DWORD error, HINTERNET* request);
    // True once the status callback closed the request to refuse its server or redirect.
    // Some WinHTTP (Wine's) goes on sending on a request closed in the callback and
    // reports success: the caller must then treat the call as failed and send no body.
    bool Cancelled() const { return cancelled_; }

    // Called by the status callback.
    void OnSendingRequest(HINTERNET request);
    void OnRedirect(HINTERNET request, const WideString& target);

private:
    enum class Mode { Plain, Verified, Pinned, Unchecked };

    void Register(HINTERNET request);
    void Unregister();
    void Cancel(HINTERNET request);
    bool AcceptKey(const std::string& host, const std::string& fingerprint);

    std::string operation_;
    WideString serverName_;
    std::string redirectedHost_;  // of the last redirect followed
    HINTERNET request_ = nullptr;  // registered for the status callback
    HINTERNET cancelledRequest_ = nullptr;
    Mode mode_ = Mode::Plain;
    bool certificateRefused_ = false;
    bool redirectRefused_ = false;
    bool cancelled_ = false;
};

}  // namespace httpclient
