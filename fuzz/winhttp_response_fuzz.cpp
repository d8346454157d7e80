// Fuzzes the WinHTTP layer with arbitrary server answers: a loopback listener serves the
// input bytes as the response to one GET, and the agent's calls read it back (status
// line, raw and single headers as text, numbers and dates, the body). Any answer must
// end in a WinHTTP result, never a crash, a hang or a leak.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/win/errors.h"
#include "platform/win/winhttp.h"

namespace {

int Listener(int& port) {
    static int fd = -1;
    static int boundPort = 0;
    if (fd < 0) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            abort();
        }
        boundPort = ntohs(address.sin_port);
    }
    port = boundPort;
    return fd;
}

// Accepts one connection, reads the request head, answers with `answer`, closes.
void ServeOnce(int listener, std::string answer) {
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, 5000) <= 0) return;
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        pollfd readable{client, POLLIN, 0};
        if (poll(&readable, 1, 5000) <= 0) break;
        const ssize_t got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        head.append(buffer, static_cast<size_t>(got));
    }
    for (size_t sent = 0; sent < answer.size();) {
        const ssize_t put = send(client, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (put <= 0) break;
        sent += static_cast<size_t>(put);
    }
    shutdown(client, SHUT_WR);
    close(client);
}

void QueryText(HINTERNET request, DWORD level, LPCWSTR name) {
    DWORD size = 0;
    if (WinHttpQueryHeaders(request, level, name, nullptr, &size, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return;
    }
    std::vector<WCHAR> text(size / sizeof(WCHAR) + 1);
    // Every occurrence of a named header; levels without occurrences leave the index alone.
    for (DWORD index = 0, previous = 0; index < 64; previous = index) {
        size = static_cast<DWORD>(text.size() * sizeof(WCHAR));
        if (!WinHttpQueryHeaders(request, level, name, text.data(), &size, &index) || index == previous) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int port = 0;
    const int listener = Listener(port);
    std::thread server(ServeOnce, listener, std::string(reinterpret_cast<const char*>(data), size));

    HINTERNET session = WinHttpOpen(WTEXT("VantorraAgent"), WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET connection = WinHttpConnect(session, WTEXT("127.0.0.1"), static_cast<INTERNET_PORT>(port), 0);
    LPCWSTR accept[] = {WTEXT("*/*"), nullptr};
    HINTERNET request = WinHttpOpenRequest(connection, WTEXT("GET"), WTEXT("/fuzz"), nullptr, nullptr, accept, 0);
    DWORD value = 2000;
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &value, sizeof value);
    value = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;  // a Location must not send us off the loopback
    WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &value, sizeof value);

    if (WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) && WinHttpReceiveResponse(request, nullptr)) {
        QueryText(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, nullptr);
        QueryText(request, WINHTTP_QUERY_RAW_HEADERS, nullptr);
        QueryText(request, WINHTTP_QUERY_STATUS_TEXT, nullptr);
        QueryText(request, WINHTTP_QUERY_LAST_MODIFIED, nullptr);
        QueryText(request, WINHTTP_QUERY_CUSTOM, WTEXT("Content-Encoding"));
        QueryText(request, WINHTTP_QUERY_CUSTOM, WTEXT("Set-Cookie"));
        DWORD number = 0, numberSize = sizeof number;
        WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &number,
                            &numberSize, nullptr);
        numberSize = sizeof number;
        WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &number,
                            &numberSize, nullptr);
        ULONGLONG wide = 0;
        numberSize = sizeof wide;
        WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER64, nullptr, &wide,
                            &numberSize, nullptr);
        SYSTEMTIME when{};
        numberSize = sizeof when;
        WinHttpQueryHeaders(request, WINHTTP_QUERY_LAST_MODIFIED | WINHTTP_QUERY_FLAG_SYSTEMTIME, nullptr, &when,
                            &numberSize, nullptr);
        for (;;) {
            DWORD available = 0, read = 0;
            if (!WinHttpQueryDataAvailable(request, &available) || available == 0) break;
            std::vector<char> buffer(available + 1);
            if (!WinHttpReadData(request, buffer.data(), available, &read) || read == 0) break;
        }
    }
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    server.join();
    return 0;
}
