// WinHTTP's text rules: proxy lists and bypass patterns, object-name escaping, host
// names in URLs and the request header syntax the layer accepts.
#include <strings.h>

#include <algorithm>
#include <cctype>

#include "platform/src/winhttp_internal.h"
#include "platform/src/winhttp_transfer.h"

namespace host::winhttp {
namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// Entries are separated by ";" or blanks.
std::vector<std::string_view> SplitList(std::string_view list) {
    std::vector<std::string_view> parts;
    size_t pos = 0;
    while (pos < list.size()) {
        const size_t end = list.find_first_of("; \t\r\n", pos);
        const size_t stop = end == std::string_view::npos ? list.size() : end;
        if (stop > pos) parts.push_back(list.substr(pos, stop - pos));
        pos = stop + 1;
    }
    return parts;
}

// "*" matches any run of characters, everything else itself (case already folded).
bool WildcardMatch(std::string_view pattern, std::string_view text) {
    size_t p = 0, t = 0, starP = std::string_view::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p, ++t;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace

std::vector<ProxyEntry> ParseProxyList(std::string_view list) {
    std::vector<ProxyEntry> entries;
    for (std::string_view part : SplitList(list)) {
        ProxyEntry entry;
        if (const size_t equals = part.find('='); equals != std::string_view::npos) {
            entry.scheme = Lower(part.substr(0, equals));
            part.remove_prefix(equals + 1);
        }
        if (const size_t scheme = part.find("://"); scheme != std::string_view::npos) part.remove_prefix(scheme + 3);
        while (part.ends_with('/')) part.remove_suffix(1);
        if (part.empty()) continue;
        entry.hostPort = std::string(part);
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<std::string> ParseBypassList(std::string_view list) {
    std::vector<std::string> patterns;
    for (std::string_view part : SplitList(list)) patterns.push_back(Lower(part));
    return patterns;
}

bool BypassesProxy(const std::vector<std::string>& bypassList, std::string_view host, INTERNET_PORT port) {
    const std::string name = Lower(host);
    const std::string withPort = name + ":" + std::to_string(port);
    for (const auto& pattern : bypassList) {
        if (pattern == "<local>") {
            // WinHTTP's "<local>": names without a dot, i.e. intranet short names.
            if (name.find('.') == std::string::npos && name.find(':') == std::string::npos) return true;
            continue;
        }
        std::string_view body = pattern;
        if (const size_t scheme = body.find("://"); scheme != std::string_view::npos) body.remove_prefix(scheme + 3);
        if (WildcardMatch(body, name) || WildcardMatch(body, withPort)) return true;
    }
    return false;
}

std::string ChooseProxy(const Session& session, std::string_view scheme, std::string_view host,
                        INTERNET_PORT port) {
    if (session.proxies.empty() || BypassesProxy(session.bypassList, host, port)) return {};
    const ProxyEntry* chosen = nullptr;
    for (const auto& entry : session.proxies) {
        if (entry.scheme == scheme) {
            chosen = &entry;
            break;
        }
        if (entry.scheme.empty() && !chosen) chosen = &entry;
    }
    if (!chosen) return {};
    std::string url = "http://" + chosen->hostPort;
    // A proxy named without a port listens on 80, as WinHTTP assumes.
    const size_t colon = chosen->hostPort.rfind(':');
    const size_t bracket = chosen->hostPort.rfind(']');
    if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) url += ":80";
    return url;
}

std::string EscapeObjectName(std::string_view utf8Object) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string target;
    if (utf8Object.empty() || utf8Object.front() != '/') target.push_back('/');
    for (unsigned char c : utf8Object) {
        // Escape what cannot stand in a request line; keep "%", "?", "&", "=" and the
        // rest of the URL syntax as the caller wrote it.
        if (c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
            c == '{' || c == '|' || c == '}' || c == '#') {
            target.push_back('%');
            target.push_back(kHex[c >> 4]);
            target.push_back(kHex[c & 0xF]);
        } else {
            target.push_back(static_cast<char>(c));
        }
    }
    return target;
}

std::optional<std::string> UrlHost(std::string_view host) {
    if (host.empty()) return std::nullopt;
    if (host.find(':') != std::string_view::npos) {
        // An IPv6 literal, with or without its brackets.
        std::string_view bare = host;
        if (bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
        if (bare.empty()) return std::nullopt;
        for (char c : bare) {
            if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return std::nullopt;
        }
        return "[" + std::string(bare) + "]";
    }
    for (char c : host) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_') return std::nullopt;
    }
    return std::string(host);
}

bool SplitRequestHeaders(std::string_view text, std::vector<HeaderLine>& out) {
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 2;
        // Several zero-terminated strings count as one text ending at the first NUL.
        if (const size_t nul = line.find('\0'); nul != std::string_view::npos) {
            line = line.substr(0, nul);
            pos = text.size() + 1;
        }
        if (line.empty()) continue;
        // A bare CR or LF would start a header the caller never added.
        if (line.find_first_of("\r\n") != std::string_view::npos) return false;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return false;
        std::string_view name = line.substr(0, colon);
        for (char c : name) {
            if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) return false;
        }
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
        out.push_back({std::string(name), std::string(value)});
    }
    return true;
}

Request::Request() : InternetObject(WINHTTP_HANDLE_TYPE_REQUEST), transfer(std::make_unique<Transfer>(*this)) {}
Request::~Request() = default;

std::string Request::Url() const {
    const INTERNET_PORT port =
        connection->port ? connection->port : (Secure() ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT);
    const auto host = UrlHost(connection->host);
    return std::string(Secure() ? "https://" : "http://") + (host ? *host : connection->host) + ":" +
           std::to_string(port) + target;
}

}  // namespace host::winhttp
