// WinHTTP entry points: handle checks, options and headers; the exchange itself is in
// winhttp_transfer.cpp.
#include <strings.h>

#include <algorithm>
#include <cstring>

#include "platform/src/internal.h"
#include "platform/src/winhttp_internal.h"
#include "platform/src/winhttp_transfer.h"
#include "platform/win/errors.h"

using host::winhttp::Connection;
using host::winhttp::InternetObject;
using host::winhttp::Request;
using host::winhttp::Session;
using winhttp_seam::Call;

namespace {

template <typename Result>
Result FailWith(DWORD error, Result failure) {
    SetLastError(error);
    return failure;
}

bool Injected(Call call) {
    if (auto error = host::winhttp::TakeInjectedFailure(call)) {
        SetLastError(*error);
        return true;
    }
    return false;
}

// The object behind a handle, or null with the last error set: 6 for a handle that is
// not in the table (unset, stale, closed, foreign), 12018 for one of the wrong kind.
template <typename T>
std::shared_ptr<T> Lookup(HINTERNET handle) {
    auto object = host::LookupHandleAs<InternetObject>(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto typed = std::dynamic_pointer_cast<T>(object);
    if (!typed) SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    return typed;
}

// Text of a wide argument with an explicit length; (DWORD)-1 means zero-terminated.
std::u16string_view WideArg(LPCWSTR text, DWORD length) {
    if (!text) return {};
    if (length == static_cast<DWORD>(-1)) return std::u16string_view(text);
    return std::u16string_view(text, length);
}

bool ApplyHeaders(std::vector<host::winhttp::HeaderLine>& headers, std::u16string_view text, DWORD modifiers) {
    std::vector<host::winhttp::HeaderLine> lines;
    if (!host::winhttp::SplitRequestHeaders(host::Utf16ToUtf8(text), lines)) {
        SetLastError(ERROR_WINHTTP_INVALID_HEADER);
        return false;
    }
    const auto sameName = [](const std::string& a, const std::string& b) {
        return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
    };
    for (auto& line : lines) {
        auto existing = headers.end();
        for (auto it = headers.begin(); it != headers.end(); ++it) {
            if (sameName(it->name, line.name)) {
                existing = it;
                break;
            }
        }
        if (modifiers & WINHTTP_ADDREQ_FLAG_REPLACE) {
            // REPLACE alone changes or removes a header that is there; with ADD it may add one.
            if (existing == headers.end() && !(modifiers & WINHTTP_ADDREQ_FLAG_ADD)) {
                SetLastError(ERROR_WINHTTP_HEADER_NOT_FOUND);
                return false;
            }
            std::erase_if(headers, [&](const auto& h) { return sameName(h.name, line.name); });
            if (!line.value.empty()) headers.push_back(std::move(line));
        } else if (modifiers & WINHTTP_ADDREQ_FLAG_ADD_IF_NEW) {
            if (existing != headers.end()) {
                SetLastError(ERROR_WINHTTP_HEADER_ALREADY_EXISTS);
                return false;
            }
            headers.push_back(std::move(line));
        } else if (existing != headers.end() &&
                   (modifiers & (WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA | WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON))) {
            existing->value += (modifiers & WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON) ? "; " : ", ";
            existing->value += line.value;
        } else {
            headers.push_back(std::move(line));
        }
    }
    return true;
}

bool ReadDword(LPVOID buffer, DWORD length, DWORD& value) {
    if (!buffer || length < sizeof(DWORD)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::memcpy(&value, buffer, sizeof(DWORD));
    return true;
}

BOOL WriteOut(const void* data, DWORD size, LPVOID buffer, LPDWORD length) {
    if (!length) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    if (!buffer || *length < size) {
        *length = size;
        return FailWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    std::memcpy(buffer, data, size);
    *length = size;
    return TRUE;
}

}  // namespace

HINTERNET WinHttpOpen(LPCWSTR pszAgentW, DWORD dwAccessType, LPCWSTR pszProxyW, LPCWSTR pszProxyBypassW,
                      DWORD dwFlags) {
    if (Injected(Call::Open)) return nullptr;
    if (dwFlags & WINHTTP_FLAG_ASYNC) return FailWith<HINTERNET>(ERROR_NOT_SUPPORTED, nullptr);
    auto session = std::make_shared<Session>();
    session->userAgent = host::NarrowArg(pszAgentW);
    switch (dwAccessType) {
    case WINHTTP_ACCESS_TYPE_NAMED_PROXY:
        session->proxies = host::winhttp::ParseProxyList(host::NarrowArg(pszProxyW));
        if (session->proxies.empty()) return FailWith<HINTERNET>(ERROR_INVALID_PARAMETER, nullptr);
        session->bypassList = host::winhttp::ParseBypassList(host::NarrowArg(pszProxyBypassW));
        break;
    case WINHTTP_ACCESS_TYPE_NO_PROXY:
    case WINHTTP_ACCESS_TYPE_DEFAULT_PROXY:    // no system proxy configured on the host
    case WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY:  // nor a proxy script
        break;
    default:
        return FailWith<HINTERNET>(ERROR_INVALID_PARAMETER, nullptr);
    }
    return host::RegisterHandle(std::move(session));
}

HINTERNET WinHttpConnect(HINTERNET hSession, LPCWSTR pswzServerName, INTERNET_PORT nServerPort,
                         DWORD dwReserved) {
    if (Injected(Call::Connect)) return nullptr;
    auto session = Lookup<Session>(hSession);
    if (!session) return nullptr;
    if (!pswzServerName || dwReserved != 0) return FailWith<HINTERNET>(ERROR_INVALID_PARAMETER, nullptr);
    auto connection = std::make_shared<Connection>();
    connection->InheritFrom(*session);
    connection->session = std::move(session);
    connection->host = host::Utf16ToUtf8(pswzServerName);
    if (connection->host.empty()) return FailWith<HINTERNET>(ERROR_WINHTTP_INVALID_URL, nullptr);
    connection->port = nServerPort;
    return host::RegisterHandle(std::move(connection));
}

HINTERNET WinHttpOpenRequest(HINTERNET hConnect, LPCWSTR pwszVerb, LPCWSTR pwszObjectName, LPCWSTR pwszVersion,
                             LPCWSTR pwszReferrer, LPCWSTR* ppwszAcceptTypes, DWORD dwFlags) {
    if (Injected(Call::OpenRequest)) return nullptr;
    auto connection = Lookup<Connection>(hConnect);
    if (!connection) return nullptr;
    // Only HTTP/1.1 goes out; an explicit older version is refused rather than faked.
    const std::string version = host::NarrowArg(pwszVersion);
    if (!version.empty() && version != "HTTP/1.1") return FailWith<HINTERNET>(ERROR_NOT_SUPPORTED, nullptr);

    auto request = std::make_shared<Request>();
    request->InheritFrom(*connection);
    request->connection = connection;
    request->verb = pwszVerb && *pwszVerb ? host::Utf16ToUtf8(pwszVerb) : "GET";
    for (char c : request->verb) {
        if (c <= ' ' || c >= 0x7F) return FailWith<HINTERNET>(ERROR_INVALID_PARAMETER, nullptr);
    }
    request->target = host::winhttp::EscapeObjectName(host::NarrowArg(pwszObjectName));
    if (ppwszAcceptTypes) {
        for (LPCWSTR* type = ppwszAcceptTypes; *type; ++type) {
            if (!**type) continue;
            if (!request->acceptTypes.empty()) request->acceptTypes += ", ";
            request->acceptTypes += host::Utf16ToUtf8(*type);
        }
    }
    // WINHTTP_FLAG_REFRESH asks caches to step aside; there is no cache here, and no
    // header is sent for it (the caller's headers are all that goes out).
    request->openFlags = dwFlags;
    if (const std::string referrer = host::NarrowArg(pwszReferrer); !referrer.empty()) {
        request->headers.push_back({"Referer", referrer});
    }
    const HINTERNET handle = host::RegisterHandle(request);
    request->handle = handle;
    return handle;
}

BOOL WinHttpAddRequestHeaders(HINTERNET hRequest, LPCWSTR lpszHeaders, DWORD dwHeadersLength,
                              DWORD dwModifiers) {
    if (Injected(Call::AddRequestHeaders)) return FALSE;
    auto request = Lookup<Request>(hRequest);
    if (!request) return FALSE;
    if (!lpszHeaders) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    std::lock_guard lock(request->mutex);
    return ApplyHeaders(request->headers, WideArg(lpszHeaders, dwHeadersLength), dwModifiers) ? TRUE : FALSE;
}

BOOL WinHttpSetOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD dwBufferLength) {
    if (Injected(Call::SetOption)) return FALSE;
    auto object = Lookup<InternetObject>(hInternet);
    if (!object) return FALSE;
    auto* request = dynamic_cast<Request*>(object.get());
    auto* session = dynamic_cast<Session*>(object.get());
    std::lock_guard lock(object->mutex);
    DWORD value = 0;
    switch (dwOption) {
    case WINHTTP_OPTION_RESOLVE_TIMEOUT:
    case WINHTTP_OPTION_CONNECT_TIMEOUT:
    case WINHTTP_OPTION_SEND_TIMEOUT:
    case WINHTTP_OPTION_RECEIVE_TIMEOUT:
    case WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT:
        if (!ReadDword(lpBuffer, dwBufferLength, value)) return FALSE;
        if (dwOption == WINHTTP_OPTION_RESOLVE_TIMEOUT) object->timeouts.resolve = value;
        else if (dwOption == WINHTTP_OPTION_CONNECT_TIMEOUT) object->timeouts.connect = value;
        else if (dwOption == WINHTTP_OPTION_SEND_TIMEOUT) object->timeouts.send = value;
        else object->timeouts.receive = value;  // one inactivity bound for headers and body
        return TRUE;
    case WINHTTP_OPTION_REDIRECT_POLICY:
        if (!ReadDword(lpBuffer, dwBufferLength, value)) return FALSE;
        if (value > WINHTTP_OPTION_REDIRECT_POLICY_ALWAYS) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        object->redirectPolicy = value;
        return TRUE;
    case WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS:
        if (!ReadDword(lpBuffer, dwBufferLength, value)) return FALSE;
        object->maxRedirects = value;
        return TRUE;
    case WINHTTP_OPTION_SECURE_PROTOCOLS:
        if (!session) return FailWith(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE, FALSE);
        if (!ReadDword(lpBuffer, dwBufferLength, value)) return FALSE;
        if (value & ~(WINHTTP_FLAG_SECURE_PROTOCOL_ALL | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
                      WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3)) {
            return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        }
        session->secureProtocols = value;
        return TRUE;
    case WINHTTP_OPTION_SECURITY_FLAGS:
        if (!request) return FailWith(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE, FALSE);
        if (!ReadDword(lpBuffer, dwBufferLength, value)) return FALSE;
        request->securityFlags = value;
        return TRUE;
    case WINHTTP_OPTION_DISABLE_FEATURE:
        if (!request) return FailWith(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE, FALSE);
        if (!ReadDword(lpBuffer, dwBufferLength, value)) return FALSE;
        if (value & WINHTTP_DISABLE_REDIRECTS) request->redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        if (value & WINHTTP_DISABLE_KEEP_ALIVE) request->disableKeepAlive = true;
        return TRUE;
    case WINHTTP_OPTION_PROXY_USERNAME:
    case WINHTTP_OPTION_PROXY_PASSWORD: {
        if (!request) return FailWith(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE, FALSE);
        if (!lpBuffer && dwBufferLength) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        // The length counts characters.
        const std::string text =
            lpBuffer ? host::Utf16ToUtf8(WideArg(static_cast<LPCWSTR>(lpBuffer), dwBufferLength)) : std::string();
        (dwOption == WINHTTP_OPTION_PROXY_USERNAME ? request->proxyUser : request->proxyPassword) = text;
        return TRUE;
    }
    case WINHTTP_OPTION_HANDLE_TYPE:
    case WINHTTP_OPTION_PARENT_HANDLE:
    case WINHTTP_OPTION_URL:
        return FailWith(ERROR_WINHTTP_OPTION_NOT_SETTABLE, FALSE);
    default:
        return FailWith(ERROR_WINHTTP_INVALID_OPTION, FALSE);
    }
}

BOOL WinHttpQueryOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, LPDWORD lpdwBufferLength) {
    if (Injected(Call::QueryOption)) return FALSE;
    auto object = Lookup<InternetObject>(hInternet);
    if (!object) return FALSE;
    auto* request = dynamic_cast<Request*>(object.get());
    auto* session = dynamic_cast<Session*>(object.get());
    std::lock_guard lock(object->mutex);
    DWORD value = 0;
    switch (dwOption) {
    case WINHTTP_OPTION_RESOLVE_TIMEOUT: value = object->timeouts.resolve; break;
    case WINHTTP_OPTION_CONNECT_TIMEOUT: value = object->timeouts.connect; break;
    case WINHTTP_OPTION_SEND_TIMEOUT: value = object->timeouts.send; break;
    case WINHTTP_OPTION_RECEIVE_TIMEOUT:
    case WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT: value = object->timeouts.receive; break;
    case WINHTTP_OPTION_REDIRECT_POLICY: value = object->redirectPolicy; break;
    case WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS: value = object->maxRedirects; break;
    case WINHTTP_OPTION_HANDLE_TYPE: value = object->HandleType(); break;
    case WINHTTP_OPTION_SECURE_PROTOCOLS:
        if (!session) return FailWith(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE, FALSE);
        value = session->secureProtocols;
        break;
    case WINHTTP_OPTION_SECURITY_FLAGS:
        if (!request) return FailWith(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE, FALSE);
        value = request->securityFlags;
        break;
    case WINHTTP_OPTION_SERVER_CERT_CONTEXT: {
        if (!request) return FailWith(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE, FALSE);
        if (!lpdwBufferLength) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        if (!lpBuffer || *lpdwBufferLength < sizeof(PCCERT_CONTEXT)) {
            *lpdwBufferLength = sizeof(PCCERT_CONTEXT);
            return FailWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
        }
        // Known once a TLS handshake is done, until the next send.
        const std::vector<BYTE>& encoded = request->transfer->ServerCertificate();
        if (encoded.empty()) return FailWith(ERROR_WINHTTP_INCORRECT_HANDLE_STATE, FALSE);
        PCCERT_CONTEXT context = host::winhttp::NewCertificateContext(encoded);
        if (!context) return FALSE;
        std::memcpy(lpBuffer, &context, sizeof context);
        *lpdwBufferLength = sizeof context;
        return TRUE;
    }
    case WINHTTP_OPTION_URL: {
        if (!request) return FailWith(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE, FALSE);
        // After a redirect, the URL the request went on to.
        const std::string current = request->transfer->CurrentUrl();
        const std::u16string url = host::Utf8ToUtf16(current.empty() ? request->Url() : current);
        if (!lpdwBufferLength) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        const DWORD needed = static_cast<DWORD>((url.size() + 1) * sizeof(WCHAR));
        if (!lpBuffer || *lpdwBufferLength < needed) {
            *lpdwBufferLength = needed;
            return FailWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
        }
        std::memcpy(lpBuffer, url.c_str(), needed);
        *lpdwBufferLength = needed - sizeof(WCHAR);
        return TRUE;
    }
    default:
        return FailWith(ERROR_WINHTTP_INVALID_OPTION, FALSE);
    }
    return WriteOut(&value, sizeof value, lpBuffer, lpdwBufferLength);
}

BOOL WinHttpSetTimeouts(HINTERNET hInternet, int nResolveTimeout, int nConnectTimeout, int nSendTimeout,
                        int nReceiveTimeout) {
    auto object = Lookup<InternetObject>(hInternet);
    if (!object) return FALSE;
    for (int value : {nResolveTimeout, nConnectTimeout, nSendTimeout, nReceiveTimeout}) {
        if (value < -1) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    }
    std::lock_guard lock(object->mutex);
    // -1 is "infinite", which DWORD INFINITE spells the same way.
    object->timeouts = {static_cast<DWORD>(nResolveTimeout), static_cast<DWORD>(nConnectTimeout),
                        static_cast<DWORD>(nSendTimeout), static_cast<DWORD>(nReceiveTimeout)};
    return TRUE;
}

BOOL WinHttpSendRequest(HINTERNET hRequest, LPCWSTR lpszHeaders, DWORD dwHeadersLength, LPVOID lpOptional,
                        DWORD dwOptionalLength, DWORD dwTotalLength, DWORD_PTR dwContext) {
    if (Injected(Call::SendRequest)) return FALSE;
    auto request = Lookup<Request>(hRequest);
    if (!request) return FALSE;
    if (!lpOptional && dwOptionalLength) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    std::lock_guard lock(request->mutex);
    std::vector<host::winhttp::HeaderLine> extra;
    if (lpszHeaders && !ApplyHeaders(extra, WideArg(lpszHeaders, dwHeadersLength), WINHTTP_ADDREQ_FLAG_ADD)) {
        return FALSE;
    }
    const DWORD total = std::max(dwTotalLength, dwOptionalLength);
    const DWORD error =
        request->transfer->Send(extra, static_cast<const BYTE*>(lpOptional), dwOptionalLength, total, dwContext);
    return error ? FailWith(error, FALSE) : TRUE;
}

BOOL WinHttpWriteData(HINTERNET hRequest, LPCVOID lpBuffer, DWORD dwNumberOfBytesToWrite,
                      LPDWORD lpdwNumberOfBytesWritten) {
    if (Injected(Call::WriteData)) return FALSE;
    auto request = Lookup<Request>(hRequest);
    if (!request) return FALSE;
    if (!lpBuffer && dwNumberOfBytesToWrite) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    std::lock_guard lock(request->mutex);
    DWORD written = 0;
    const DWORD error =
        request->transfer->Write(static_cast<const BYTE*>(lpBuffer), dwNumberOfBytesToWrite, written);
    if (lpdwNumberOfBytesWritten) *lpdwNumberOfBytesWritten = written;
    return error ? FailWith(error, FALSE) : TRUE;
}

BOOL WinHttpReceiveResponse(HINTERNET hRequest, LPVOID lpReserved) {
    if (Injected(Call::ReceiveResponse)) return FALSE;
    auto request = Lookup<Request>(hRequest);
    if (!request) return FALSE;
    if (lpReserved) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    std::lock_guard lock(request->mutex);
    const DWORD error = request->transfer->Receive();
    return error ? FailWith(error, FALSE) : TRUE;
}

BOOL WinHttpQueryDataAvailable(HINTERNET hRequest, LPDWORD lpdwNumberOfBytesAvailable) {
    if (Injected(Call::QueryDataAvailable)) return FALSE;
    auto request = Lookup<Request>(hRequest);
    if (!request) return FALSE;
    std::lock_guard lock(request->mutex);
    DWORD available = 0;
    const DWORD error = request->transfer->QueryAvailable(available);
    if (lpdwNumberOfBytesAvailable) *lpdwNumberOfBytesAvailable = error ? 0 : available;
    return error ? FailWith(error, FALSE) : TRUE;
}

BOOL WinHttpReadData(HINTERNET hRequest, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                     LPDWORD lpdwNumberOfBytesRead) {
    if (Injected(Call::ReadData)) return FALSE;
    auto request = Lookup<Request>(hRequest);
    if (!request) return FALSE;
    if (!lpBuffer && dwNumberOfBytesToRead) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    std::lock_guard lock(request->mutex);
    DWORD read = 0;
    const DWORD error = request->transfer->Read(static_cast<BYTE*>(lpBuffer), dwNumberOfBytesToRead, read);
    if (lpdwNumberOfBytesRead) *lpdwNumberOfBytesRead = read;
    return error ? FailWith(error, FALSE) : TRUE;
}

BOOL WinHttpCloseHandle(HINTERNET hInternet) {
    if (Injected(Call::CloseHandle)) return FALSE;
    // Only WinHTTP handles close here; a file or process handle is not ours to close.
    auto object = host::LookupHandleAs<InternetObject>(hInternet);
    if (!object || !host::UnregisterHandle(hInternet)) return FailWith(ERROR_INVALID_HANDLE, FALSE);
    object->closed = true;  // a call still running on it (a status callback's caller) stops
    return TRUE;
}

WINHTTP_STATUS_CALLBACK WinHttpSetStatusCallback(HINTERNET hInternet, WINHTTP_STATUS_CALLBACK lpfnInternetCallback,
                                                 DWORD dwNotificationFlags, DWORD_PTR /*dwReserved*/) {
    auto object = Lookup<InternetObject>(hInternet);
    if (!object) return WINHTTP_INVALID_STATUS_CALLBACK;
    std::lock_guard lock(object->mutex);
    const WINHTTP_STATUS_CALLBACK previous = object->callback;
    object->callback = lpfnInternetCallback;
    object->callbackFlags = lpfnInternetCallback ? dwNotificationFlags : 0;
    return previous;
}

namespace host::winhttp {

void InternetObject::InheritFrom(InternetObject& parent) {
    std::lock_guard lock(parent.mutex);
    timeouts = parent.timeouts;
    redirectPolicy = parent.redirectPolicy;
    maxRedirects = parent.maxRedirects;
    callback = parent.callback;
    callbackFlags = parent.callbackFlags;
}

}  // namespace host::winhttp
