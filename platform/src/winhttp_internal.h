// Private pieces of the WinHTTP layer: the objects behind HINTERNET handles, the
// response header store, the proxy and bypass rules and the curl transfer driver.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/src/handles.h"
#include "platform/win/winhttp.h"

namespace host::winhttp {

// Timeouts in milliseconds; 0 and INFINITE both mean "no limit", as in WinHTTP.
struct Timeouts {
    DWORD resolve = 0;
    DWORD connect = 60000;
    DWORD send = 30000;
    DWORD receive = 30000;
};

class InternetObject : public KernelObject {
public:
    explicit InternetObject(DWORD type) : type_(type) {}
    DWORD HandleType() const { return type_; }

    // Guards the object's settings and, for requests, the transfer. Recursive: a status
    // callback runs inside the call that holds it and may query the same request.
    std::recursive_mutex mutex;
    Timeouts timeouts;
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    DWORD maxRedirects = 10;
    WINHTTP_STATUS_CALLBACK callback = nullptr;
    DWORD callbackFlags = 0;
    // Set by WinHttpCloseHandle, also when a status callback closes the handle while a
    // call on it is running: that call then ends with 12017.
    std::atomic<bool> closed{false};

    // Settings a new child handle takes over from its parent.
    void InheritFrom(InternetObject& parent);

private:
    DWORD type_;
};

// One proxy entry of a named-proxy list: "http=host:port" or "host:port".
struct ProxyEntry {
    std::string scheme;  // empty: any scheme
    std::string hostPort;
};

class Session : public InternetObject {
public:
    Session() : InternetObject(WINHTTP_HANDLE_TYPE_SESSION) {}
    std::string userAgent;
    std::vector<ProxyEntry> proxies;       // empty: direct
    std::vector<std::string> bypassList;   // lower-case patterns
    DWORD secureProtocols = 0;             // 0: the TLS library's defaults
    // A proxy of this session asked for Basic credentials (407): from then on requests
    // of the session send them at once, as WinHTTP does.
    bool proxyChallenged = false;
};

class Connection : public InternetObject {
public:
    Connection() : InternetObject(WINHTTP_HANDLE_TYPE_CONNECT) {}
    std::shared_ptr<Session> session;
    std::string host;  // as given, UTF-8
    INTERNET_PORT port = INTERNET_DEFAULT_PORT;
};

struct HeaderLine {
    std::string name;
    std::string value;
};

// Headers of one response as they arrive from the server.
struct ResponseHeaders {
    std::string statusLine;  // without the line end
    std::string version;     // "HTTP/1.1"
    DWORD statusCode = 0;
    std::string statusText;
    std::vector<HeaderLine> headers;
    bool complete = false;  // the empty line has arrived

    // Feeds one header line as curl hands it over (with its line end). Returns false for
    // a line that cannot belong to an HTTP response head.
    bool AddLine(std::string_view line);
    // First value of `name` (case-insensitive) at occurrence `index`.
    const HeaderLine* Find(std::string_view name, DWORD index) const;
    // Status line and headers, CRLF-separated, ending in an empty line.
    std::string RawCrlf() const;
};

// The header name a WINHTTP_QUERY_* level stands for; empty for levels without one.
std::string_view QueryLevelHeaderName(DWORD level);

// Proxy list and bypass rules of WinHttpOpen.
std::vector<ProxyEntry> ParseProxyList(std::string_view list);
std::vector<std::string> ParseBypassList(std::string_view list);
bool BypassesProxy(const std::vector<std::string>& bypassList, std::string_view host, INTERNET_PORT port);
// The proxy URL for a request of `scheme` ("http"/"https"); empty: go direct.
std::string ChooseProxy(const Session& session, std::string_view scheme, std::string_view host,
                        INTERNET_PORT port);

// The request target as it goes on the wire: leading "/" added, unsafe bytes escaped.
std::string EscapeObjectName(std::string_view utf8Object);
// Host part of a URL; nullopt when the name holds characters no host name can hold.
std::optional<std::string> UrlHost(std::string_view host);

// Validates and splits header text ("Name: value" lines separated by CRLF). Returns
// false (the caller answers 12153) for a bare CR or LF or a line without a name.
bool SplitRequestHeaders(std::string_view text, std::vector<HeaderLine>& out);

class Transfer;

class Request : public InternetObject {
public:
    Request();
    ~Request() override;

    std::shared_ptr<Connection> connection;
    std::string verb;
    std::string target;  // escaped object name with leading "/"
    std::string acceptTypes;  // joined with ", "; empty: no Accept header
    DWORD openFlags = 0;
    DWORD securityFlags = 0;
    bool disableKeepAlive = false;
    std::string proxyUser;
    std::string proxyPassword;
    std::vector<HeaderLine> headers;  // in the order they were added

    HINTERNET handle = nullptr;  // as registered, for status callbacks

    bool Secure() const { return (openFlags & WINHTTP_FLAG_SECURE) != 0; }
    std::string Url() const;

    std::unique_ptr<Transfer> transfer;
};

// Consumes one injected failure of `call`, if a test armed one.
std::optional<DWORD> TakeInjectedFailure(winhttp_seam::Call call);

// The server certificate behind WINHTTP_OPTION_SERVER_CERT_CONTEXT: a new context for
// the DER bytes, or null (with the last error set) when they do not parse.
PCCERT_CONTEXT NewCertificateContext(const std::vector<BYTE>& encoded);

}  // namespace host::winhttp
