// Response headers: collecting them as they arrive and WinHttpQueryHeaders.
#include <curl/curl.h>
#include <strings.h>

#include <charconv>
#include <cstring>
#include <ctime>

#include "platform/src/internal.h"
#include "platform/src/winhttp_internal.h"
#include "platform/src/winhttp_transfer.h"
#include "platform/win/errors.h"

namespace host::winhttp {
namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

bool ResponseHeaders::AddLine(std::string_view line) {
    if (line.ends_with("\r\n")) line.remove_suffix(2);
    else if (line.ends_with("\n")) line.remove_suffix(1);

    if (line.starts_with("HTTP/")) {
        // A new response head: an interim 1xx, a redirect, or the final one.
        *this = ResponseHeaders{};
        statusLine = std::string(line);
        const size_t space = line.find(' ');
        version = std::string(line.substr(0, space));
        if (space == std::string_view::npos) return false;
        std::string_view rest = line.substr(space + 1);
        const size_t end = rest.find(' ');
        std::string_view code = rest.substr(0, end);
        if (code.size() != 3 || std::from_chars(code.data(), code.data() + 3, statusCode).ec != std::errc{}) {
            statusCode = 0;
            return false;
        }
        if (end != std::string_view::npos) statusText = std::string(rest.substr(end + 1));
        return true;
    }
    if (statusLine.empty() || complete) return false;  // stray text, or trailers after the body
    if (line.empty()) {
        complete = true;
        return true;
    }
    if (line.front() == ' ' || line.front() == '\t') {
        // An obsolete folded continuation of the previous header.
        if (headers.empty()) return false;
        headers.back().value += ' ';
        headers.back().value += Trim(line);
        return true;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    headers.push_back({std::string(Trim(line.substr(0, colon))), std::string(Trim(line.substr(colon + 1)))});
    return true;
}

const HeaderLine* ResponseHeaders::Find(std::string_view name, DWORD index) const {
    for (const auto& header : headers) {
        if (SameName(header.name, name) && index-- == 0) return &header;
    }
    return nullptr;
}

std::string ResponseHeaders::RawCrlf() const {
    std::string text = statusLine + "\r\n";
    for (const auto& header : headers) text += header.name + ": " + header.value + "\r\n";
    text += "\r\n";
    return text;
}

std::string_view QueryLevelHeaderName(DWORD level) {
    switch (level) {
    case WINHTTP_QUERY_MIME_VERSION: return "Mime-Version";
    case WINHTTP_QUERY_CONTENT_TYPE: return "Content-Type";
    case WINHTTP_QUERY_CONTENT_TRANSFER_ENCODING: return "Content-Transfer-Encoding";
    case WINHTTP_QUERY_CONTENT_ID: return "Content-ID";
    case WINHTTP_QUERY_CONTENT_DESCRIPTION: return "Content-Description";
    case WINHTTP_QUERY_CONTENT_LENGTH: return "Content-Length";
    case WINHTTP_QUERY_CONTENT_LANGUAGE: return "Content-Language";
    case WINHTTP_QUERY_ALLOW: return "Allow";
    case WINHTTP_QUERY_PUBLIC: return "Public";
    case WINHTTP_QUERY_DATE: return "Date";
    case WINHTTP_QUERY_EXPIRES: return "Expires";
    case WINHTTP_QUERY_LAST_MODIFIED: return "Last-Modified";
    case WINHTTP_QUERY_MESSAGE_ID: return "Message-ID";
    case WINHTTP_QUERY_URI: return "URI";
    case WINHTTP_QUERY_DERIVED_FROM: return "Derived-From";
    case WINHTTP_QUERY_COST: return "Cost";
    case WINHTTP_QUERY_LINK: return "Link";
    case WINHTTP_QUERY_PRAGMA: return "Pragma";
    case WINHTTP_QUERY_CONNECTION: return "Connection";
    case WINHTTP_QUERY_ACCEPT: return "Accept";
    case WINHTTP_QUERY_ACCEPT_CHARSET: return "Accept-Charset";
    case WINHTTP_QUERY_ACCEPT_ENCODING: return "Accept-Encoding";
    case WINHTTP_QUERY_ACCEPT_LANGUAGE: return "Accept-Language";
    case WINHTTP_QUERY_AUTHORIZATION: return "Authorization";
    case WINHTTP_QUERY_CONTENT_ENCODING: return "Content-Encoding";
    case WINHTTP_QUERY_FORWARDED: return "Forwarded";
    case WINHTTP_QUERY_FROM: return "From";
    case WINHTTP_QUERY_IF_MODIFIED_SINCE: return "If-Modified-Since";
    case WINHTTP_QUERY_LOCATION: return "Location";
    case WINHTTP_QUERY_ORIG_URI: return "Orig-Uri";
    case WINHTTP_QUERY_REFERER: return "Referer";
    case WINHTTP_QUERY_RETRY_AFTER: return "Retry-After";
    case WINHTTP_QUERY_SERVER: return "Server";
    case WINHTTP_QUERY_TITLE: return "Title";
    case WINHTTP_QUERY_USER_AGENT: return "User-Agent";
    case WINHTTP_QUERY_WWW_AUTHENTICATE: return "WWW-Authenticate";
    case WINHTTP_QUERY_PROXY_AUTHENTICATE: return "Proxy-Authenticate";
    case WINHTTP_QUERY_ACCEPT_RANGES: return "Accept-Ranges";
    case WINHTTP_QUERY_SET_COOKIE: return "Set-Cookie";
    case WINHTTP_QUERY_COOKIE: return "Cookie";
    case WINHTTP_QUERY_REFRESH: return "Refresh";
    case WINHTTP_QUERY_CONTENT_DISPOSITION: return "Content-Disposition";
    case WINHTTP_QUERY_AGE: return "Age";
    case WINHTTP_QUERY_CACHE_CONTROL: return "Cache-Control";
    case WINHTTP_QUERY_CONTENT_BASE: return "Content-Base";
    case WINHTTP_QUERY_CONTENT_LOCATION: return "Content-Location";
    case WINHTTP_QUERY_CONTENT_MD5: return "Content-MD5";
    case WINHTTP_QUERY_CONTENT_RANGE: return "Content-Range";
    case WINHTTP_QUERY_ETAG: return "ETag";
    case WINHTTP_QUERY_HOST: return "Host";
    case WINHTTP_QUERY_IF_MATCH: return "If-Match";
    case WINHTTP_QUERY_IF_NONE_MATCH: return "If-None-Match";
    case WINHTTP_QUERY_IF_RANGE: return "If-Range";
    case WINHTTP_QUERY_IF_UNMODIFIED_SINCE: return "If-Unmodified-Since";
    case WINHTTP_QUERY_MAX_FORWARDS: return "Max-Forwards";
    case WINHTTP_QUERY_PROXY_AUTHORIZATION: return "Proxy-Authorization";
    case WINHTTP_QUERY_RANGE: return "Range";
    case WINHTTP_QUERY_TRANSFER_ENCODING: return "Transfer-Encoding";
    case WINHTTP_QUERY_UPGRADE: return "Upgrade";
    case WINHTTP_QUERY_VARY: return "Vary";
    case WINHTTP_QUERY_VIA: return "Via";
    case WINHTTP_QUERY_WARNING: return "Warning";
    case WINHTTP_QUERY_EXPECT: return "Expect";
    case WINHTTP_QUERY_PROXY_CONNECTION: return "Proxy-Connection";
    case WINHTTP_QUERY_UNLESS_MODIFIED_SINCE: return "Unless-Modified-Since";
    case WINHTTP_QUERY_PROXY_SUPPORT: return "Proxy-Support";
    case WINHTTP_QUERY_AUTHENTICATION_INFO: return "Authentication-Info";
    default: return {};
    }
}

}  // namespace host::winhttp

namespace {

using host::winhttp::HeaderLine;
using host::winhttp::Request;
using host::winhttp::ResponseHeaders;

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Header bytes are Latin-1 on the wire; each becomes one UTF-16 unit.
std::u16string Widen(std::string_view text) {
    std::u16string wide(text.size(), u'\0');
    for (size_t i = 0; i < text.size(); ++i) wide[i] = static_cast<unsigned char>(text[i]);
    return wide;
}

BOOL CopyText(const std::u16string& text, LPVOID buffer, LPDWORD length) {
    const DWORD needed = static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR));
    if (!buffer || *length < needed) {
        *length = needed;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, text.c_str(), needed);
    *length = needed - sizeof(WCHAR);
    return TRUE;
}

template <typename T>
BOOL CopyValue(const T& value, LPVOID buffer, LPDWORD length) {
    if (!buffer || *length < sizeof(T)) {
        *length = sizeof(T);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, &value, sizeof(T));
    *length = sizeof(T);
    return TRUE;
}

// Decimal header text as a number; nullopt for anything else, including a value beyond
// 64 bits. Blanks around the digits are allowed.
std::optional<ULONGLONG> ParseNumber(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    ULONGLONG value = 0;
    if (text.empty()) return std::nullopt;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The request head as it will go out (what the caller added, plus the layer's own
// Host and User-Agent), for WINHTTP_QUERY_FLAG_REQUEST_HEADERS.
ResponseHeaders RequestHead(const Request& request) {
    ResponseHeaders head;
    head.statusLine = request.verb + " " + request.target + " HTTP/1.1";
    head.version = "HTTP/1.1";
    const auto& connection = *request.connection;
    head.headers.push_back({"Host", connection.host + (connection.port ? ":" + std::to_string(connection.port) : "")});
    if (!connection.session->userAgent.empty()) head.headers.push_back({"User-Agent", connection.session->userAgent});
    if (!request.acceptTypes.empty()) head.headers.push_back({"Accept", request.acceptTypes});
    for (const auto& header : request.headers) head.headers.push_back(header);
    head.complete = true;
    return head;
}

}  // namespace

BOOL WinHttpQueryHeaders(HINTERNET hRequest, DWORD dwInfoLevel, LPCWSTR pwszName, LPVOID lpBuffer,
                         LPDWORD lpdwBufferLength, LPDWORD lpdwIndex) {
    if (auto error = host::winhttp::TakeInjectedFailure(winhttp_seam::Call::QueryHeaders)) return Fail(*error);
    auto object = host::LookupHandleAs<host::winhttp::InternetObject>(hRequest);
    if (!object) return Fail(ERROR_INVALID_HANDLE);
    auto request = std::dynamic_pointer_cast<Request>(object);
    if (!request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    if (!lpdwBufferLength) return Fail(ERROR_INVALID_PARAMETER);

    const DWORD level = dwInfoLevel & 0xFFFF;
    const DWORD modifiers = dwInfoLevel & 0xFFFF0000;
    const bool asNumber = modifiers & WINHTTP_QUERY_FLAG_NUMBER;
    const bool asNumber64 = modifiers & WINHTTP_QUERY_FLAG_NUMBER64;
    const bool asTime = modifiers & WINHTTP_QUERY_FLAG_SYSTEMTIME;
    if (asNumber + asNumber64 + asTime > 1) return Fail(ERROR_INVALID_PARAMETER);

    std::lock_guard lock(request->mutex);
    ResponseHeaders requestHead;
    const ResponseHeaders* head = nullptr;
    if (modifiers & WINHTTP_QUERY_FLAG_REQUEST_HEADERS) {
        requestHead = RequestHead(*request);
        head = &requestHead;
    } else {
        head = request->transfer->Response();
        if (!head) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    }

    std::string value;
    bool indexed = false;
    switch (level) {
    case WINHTTP_QUERY_RAW_HEADERS_CRLF:
        if (asNumber || asNumber64 || asTime) return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
        return CopyText(Widen(head->RawCrlf()), lpBuffer, lpdwBufferLength);
    case WINHTTP_QUERY_RAW_HEADERS: {
        if (asNumber || asNumber64 || asTime) return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
        // Lines separated by NUL, the whole ending in an empty line.
        std::string text = head->statusLine;
        text.push_back('\0');
        for (const auto& header : head->headers) {
            text += header.name + ": " + header.value;
            text.push_back('\0');
        }
        return CopyText(Widen(text), lpBuffer, lpdwBufferLength);
    }
    case WINHTTP_QUERY_STATUS_CODE:
        if (modifiers & WINHTTP_QUERY_FLAG_REQUEST_HEADERS) return Fail(ERROR_WINHTTP_HEADER_NOT_FOUND);
        value = std::to_string(head->statusCode);
        break;
    case WINHTTP_QUERY_STATUS_TEXT:
        if (modifiers & WINHTTP_QUERY_FLAG_REQUEST_HEADERS) return Fail(ERROR_WINHTTP_HEADER_NOT_FOUND);
        value = head->statusText;
        break;
    case WINHTTP_QUERY_VERSION:
        value = head->version;
        break;
    case WINHTTP_QUERY_REQUEST_METHOD:
        if (!(modifiers & WINHTTP_QUERY_FLAG_REQUEST_HEADERS)) return Fail(ERROR_WINHTTP_HEADER_NOT_FOUND);
        value = request->verb;
        break;
    default: {
        std::string name;
        if (level == WINHTTP_QUERY_CUSTOM) {
            if (!pwszName || !*pwszName) return Fail(ERROR_INVALID_PARAMETER);
            name = host::Utf16ToUtf8(pwszName);
        } else {
            name = std::string(host::winhttp::QueryLevelHeaderName(level));
            if (name.empty()) return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
        }
        const HeaderLine* found = head->Find(name, lpdwIndex ? *lpdwIndex : 0);
        if (!found) return Fail(ERROR_WINHTTP_HEADER_NOT_FOUND);
        value = found->value;
        indexed = true;
    }
    }

    BOOL ok;
    if (asNumber || asNumber64) {
        const auto number = ParseNumber(value);
        // A number that does not fit is an error, never a truncated length.
        if (!number || (asNumber && *number > 0xFFFFFFFFull)) return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
        ok = asNumber ? CopyValue(static_cast<DWORD>(*number), lpBuffer, lpdwBufferLength)
                      : CopyValue(static_cast<ULONGLONG>(*number), lpBuffer, lpdwBufferLength);
    } else if (asTime) {
        const time_t when = curl_getdate(value.c_str(), nullptr);
        if (when == -1) return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
        struct tm parts {};
        gmtime_r(&when, &parts);
        ok = CopyValue(host::ToSystemTime(parts, 0), lpBuffer, lpdwBufferLength);
    } else {
        ok = CopyText(Widen(value), lpBuffer, lpdwBufferLength);
    }
    if (ok && indexed && lpdwIndex) ++*lpdwIndex;
    return ok;
}
