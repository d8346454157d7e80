// Shared pieces of the HTTP client: conversions, the progress observer, closing and
// option helpers.
#include <strings.h>

#include <mutex>
#include <vector>

#include "http/src/internal.h"
#include "runtime/helpers.h"
#include "runtime/log.h"

int ifModifiedSinceEnabled = 0;
std::optional<std::u16string> lastModifiedTime;

namespace {

std::mutex observerMutex;
TransferProgressObserver observer;

}  // namespace

void SetTransferProgressObserver(TransferProgressObserver newObserver) {
    std::lock_guard lock(observerMutex);
    observer = std::move(newObserver);
}

void CloseRequestHandles(const HttpRequestHandles& handles) {
    if (handles.hRequest != HTTP_UNSET_HANDLE && !WinHttpCloseHandle(handles.hRequest))
        LogDebug("Error in WinHttpCloseHandle hRequest --> %d \n", GetLastError());
    if (handles.hConnect != HTTP_UNSET_HANDLE && !WinHttpCloseHandle(handles.hConnect))
        LogDebug("Error in WinHttpCloseHandle hConnect --> %d \n", GetLastError());
    if (handles.hSession != HTTP_UNSET_HANDLE && !WinHttpCloseHandle(handles.hSession))
        LogDebug("Error in WinHttpCloseHandle hSession --> %d \n", GetLastError());
}

namespace httpclient {

std::string ToUtf8(const char16_t* wide) {
    std::string out;
    if (wide) ConvertWideToUtf8(wide, &out);
    return out;
}

std::u16string ToWide(const std::string& utf8) {
    std::u16string out;
    ChangeUtf8ToWideStr(utf8.c_str(), &out);
    return out;
}

bool IsHttps(const char* protocol) { return protocol && strcasecmp(protocol, "https") == 0; }

void ReportProgress(ULONGLONG done, ULONGLONG total) {
    TransferProgressObserver current;
    {
        std::lock_guard lock(observerMutex);
        if (!observer) return;
        current = observer;
    }
    current(done, total);
}

void CloseHandleLogged(HINTERNET* handle, const char* errorFormat, bool explain) {
    if (*handle == HTTP_UNSET_HANDLE) return;
    if (!WinHttpCloseHandle(*handle)) {
        const DWORD error = GetLastError();
        LogError(errorFormat, error);
        if (explain) HttpGetLastError(error);
    }
    *handle = HTTP_UNSET_HANDLE;
}

bool IgnoreCertificateErrors(HINTERNET request, DWORD* error) {
    DWORD flags = 0;
    DWORD size = sizeof flags;
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &flags, &size)) {
        *error = GetLastError();
        return false;
    }
    flags |= kIgnoreCertificateFlags;
    if (!WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags)) {
        *error = GetLastError();
        return false;
    }
    return true;
}

bool SetProxyCredentials(HINTERNET request, const char16_t* proxyUser, const char16_t* proxyPassword,
                         DWORD* error) {
    const std::u16string user = proxyUser ? proxyUser : u"";
    if (user.size() <= 1) return true;
    if (!WinHttpSetOption(request, WINHTTP_OPTION_PROXY_USERNAME, const_cast<char16_t*>(user.c_str()),
                          static_cast<DWORD>(user.size()))) {
        *error = GetLastError();
        return false;
    }
    const std::u16string password = proxyPassword ? proxyPassword : u"";
    if (password.size() <= 1) return true;
    if (!WinHttpSetOption(request, WINHTTP_OPTION_PROXY_PASSWORD, const_cast<char16_t*>(password.c_str()),
                          static_cast<DWORD>(password.size()))) {
        *error = GetLastError();
        return false;
    }
    return true;
}

DWORD QueryRawHeaders(HINTERNET request, std::u16string* text) {
    DWORD size = 0;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX)) {
        text->clear();
        return ERROR_SUCCESS;
    }
    DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) return error;
    // Four times the reported size plus 8 bytes, as the agent has always sized it.
    std::vector<char16_t> buffer((static_cast<std::size_t>(size) * 4 + 8) / sizeof(char16_t) + 1, u'\0');
    DWORD bytes = static_cast<DWORD>((buffer.size() - 1) * sizeof(char16_t));
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                             buffer.data(), &bytes, WINHTTP_NO_HEADER_INDEX))
        return GetLastError();
    text->assign(buffer.data(), std::min<std::size_t>(bytes / sizeof(char16_t), buffer.size() - 1));
    return ERROR_SUCCESS;
}

}  // namespace httpclient
