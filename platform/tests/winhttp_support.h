// Helpers shared by the WinHTTP test files: opening a handle set on a server, reading a
// body the way the agent does, and header queries as text.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win/errors.h"
#include "platform/win/winhttp.h"

namespace winhttp_test {

inline std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

inline std::string Narrow(const std::u16string& text) {
    std::string narrow;
    for (char16_t c : text) narrow.push_back(static_cast<char>(c));
    return narrow;
}

struct RequestSetup {
    RequestSetup(int port, std::string object = "/", std::string verb = "GET")
        : port(port), verb(std::move(verb)), object(std::move(object)) {}
    std::string host = "127.0.0.1";
    int port = 0;
    std::string verb = "GET";
    std::string object = "/";
    bool secure = false;
    std::string proxy;   // named proxy; empty: none
    std::string bypass;  // bypass list with the proxy
    std::string agent = "VantorraAgent";
    bool acceptAll = true;  // accept types {"*/*"}
};

// Session, connection and request of one exchange, closed at the end of the scope.
struct HandleSet {
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;

    explicit HandleSet(const RequestSetup& setup) {
        const std::u16string agent = Wide(setup.agent), proxy = Wide(setup.proxy), bypass = Wide(setup.bypass);
        session = setup.proxy.empty()
                      ? WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0)
                      : WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str(),
                                    setup.bypass.empty() ? nullptr : bypass.c_str(), 0);
        if (!session) return;
        const std::u16string host = Wide(setup.host);
        connection = WinHttpConnect(session, host.c_str(), static_cast<INTERNET_PORT>(setup.port), 0);
        if (!connection) return;
        const std::u16string verb = Wide(setup.verb), object = Wide(setup.object);
        LPCWSTR accept[] = {u"*/*", nullptr};
        request = WinHttpOpenRequest(connection, verb.c_str(), object.c_str(), nullptr, WINHTTP_NO_REFERER,
                                     setup.acceptAll ? accept : WINHTTP_DEFAULT_ACCEPT_TYPES,
                                     WINHTTP_FLAG_REFRESH | (setup.secure ? WINHTTP_FLAG_SECURE : 0));
    }
    ~HandleSet() {
        if (request) WinHttpCloseHandle(request);
        if (connection) WinHttpCloseHandle(connection);
        if (session) WinHttpCloseHandle(session);
    }
    HandleSet(const HandleSet&) = delete;
    HandleSet& operator=(const HandleSet&) = delete;

    bool AddHeader(const std::string& line) {
        const std::u16string text = Wide(line);
        return WinHttpAddRequestHeaders(request, text.c_str(), static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD);
    }
    bool SetDword(DWORD option, DWORD value) {
        return WinHttpSetOption(request, option, &value, sizeof value);
    }
    // Send with no body and receive the response head; 0 or the error code.
    DWORD SendAndReceive() {
        if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
            return GetLastError();
        }
        return WinHttpReceiveResponse(request, nullptr) ? 0 : GetLastError();
    }
    DWORD Status() {
        DWORD status = 0, size = sizeof status;
        return WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                   WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)
                   ? status
                   : 0;
    }
    // A header as text through the size query, as the agent reads it; empty when absent.
    std::string Header(DWORD level, const std::string& name = {}) {
        const std::u16string wideName = Wide(name);
        LPCWSTR namePointer = name.empty() ? WINHTTP_HEADER_NAME_BY_INDEX : wideName.c_str();
        DWORD size = 0;
        if (WinHttpQueryHeaders(request, level, namePointer, WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX) ||
            GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return {};
        }
        std::u16string text(size / sizeof(WCHAR), u'\0');
        if (!WinHttpQueryHeaders(request, level, namePointer, text.data(), &size, WINHTTP_NO_HEADER_INDEX)) return {};
        text.resize(size / sizeof(WCHAR));
        return Narrow(text);
    }
};

// Reads the body as the agent does (available count, then a buffer of that size).
// Returns 0 or the error code; `body` holds what arrived before an error.
inline DWORD ReadBody(HINTERNET request, std::string& body, size_t* largestAvailable = nullptr) {
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) return GetLastError();
        if (available == 0) return 0;
        if (largestAvailable && available > *largestAvailable) *largestAvailable = available;
        std::vector<char> buffer(available + 1);
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer.data(), available, &read)) return GetLastError();
        if (read == 0) return 0;
        body.append(buffer.data(), read);
    }
}

}  // namespace winhttp_test
