// Fuzzes the WinHTTP layer with arbitrary server answers: a loopback listener serves the
// input bytes as the response to one GET, and the agent's calls read it back (status
// line, raw and single headers as text, numbers and dates, the body). Any answer must
// end in a WinHTTP result, never a crash, a hang or a leak.

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/fuzz_loopback.h"
#include "platform/win/errors.h"
#include "platform/win/winhttp.h"

namespace {

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
    const int listener = fuzzloopback::Listener(port);
    std::thread server([listener, answer = std::string(reinterpret_cast<const char*>(data), size)] {
        fuzzloopback::ServeOnce(listener, answer, 5000);
    });

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
