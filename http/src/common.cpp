// Shared pieces of the HTTP client: conversions, the progress observer, closing and
// option helpers.
#include <strings.h>

#include <algorithm>
#include <charconv>
#include <mutex>
#include <vector>

#include "agent/agent.h"
#include "http/src/internal.h"
#include "http/src/temp_files.h"
#include "runtime/helpers.h"
#include "runtime/log.h"
#include "runtime/registry_access.h"

int ifModifiedSinceEnabled = 0;
std::optional<WideString> lastModifiedTime;

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

std::string ToUtf8(const WCHAR* wide) {
    std::string out;
    if (wide) ConvertWideToUtf8(wide, &out);
    return out;
}

WideString ToWide(const std::string& utf8) {
    WideString out;
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

DWORD AsWinHttpError(DWORD error) {
    switch (error) {
    case 10060: return ERROR_WINHTTP_TIMEOUT;           // WSAETIMEDOUT
    case 10053:                                         // WSAECONNABORTED
    case 10054: return ERROR_WINHTTP_CONNECTION_ERROR;  // WSAECONNRESET
    default: return error;
    }
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

bool SetProxyCredentials(HINTERNET request, const WCHAR* proxyUser, const WCHAR* proxyPassword,
                         DWORD* error) {
    const WideString user = proxyUser ? proxyUser : WTEXT("");
    if (user.size() <= 1) return true;
    if (!WinHttpSetOption(request, WINHTTP_OPTION_PROXY_USERNAME, const_cast<WCHAR*>(user.c_str()),
                          static_cast<DWORD>(user.size()))) {
        *error = GetLastError();
        return false;
    }
    const WideString password = proxyPassword ? proxyPassword : WTEXT("");
    if (password.size() <= 1) return true;
    if (!WinHttpSetOption(request, WINHTTP_OPTION_PROXY_PASSWORD, const_cast<WCHAR*>(password.c_str()),
                          static_cast<DWORD>(password.size()))) {
        *error = GetLastError();
        return false;
    }
    return true;
}

DWORD QueryRawHeaders(HINTERNET request, WideString* text) {
    DWORD size = 0;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX)) {
        text->clear();
        return ERROR_SUCCESS;
    }
    DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) return error;
    // Four times the reported size plus 8 bytes, as the agent has always sized it.
    std::vector<WCHAR> buffer((static_cast<std::size_t>(size) * 4 + 8) / sizeof(WCHAR) + 1, WTEXT('\0'));
    DWORD bytes = static_cast<DWORD>((buffer.size() - 1) * sizeof(WCHAR));
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                             buffer.data(), &bytes, WINHTTP_NO_HEADER_INDEX))
        return GetLastError();
    text->assign(buffer.data(), std::min<std::size_t>(bytes / sizeof(WCHAR), buffer.size() - 1));
    return ERROR_SUCCESS;
}

DWORD QueryCustomHeader(HINTERNET request, const WCHAR* name, WideString* value) {
    std::vector<WCHAR> buffer(128, WTEXT('\0'));
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD bytes = static_cast<DWORD>((buffer.size() - 1) * sizeof(WCHAR));
        if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, name, buffer.data(), &bytes,
                                WINHTTP_NO_HEADER_INDEX)) {
            value->assign(buffer.data(), std::min<std::size_t>(bytes / sizeof(WCHAR), buffer.size() - 1));
            return ERROR_SUCCESS;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) return error;
        buffer.assign(bytes / sizeof(WCHAR) + 2, WTEXT('\0'));
    }
    return ERROR_INSUFFICIENT_BUFFER;
}

bool ContentRangeStart(HINTERNET request, ULONGLONG* start) {
    WideString value;
    if (QueryCustomHeader(request, WTEXT("Content-Range"), &value) != ERROR_SUCCESS) return false;
    const std::string text = ToUtf8(value.c_str());
    const std::size_t digits = text.find_first_of("0123456789");
    if (text.compare(0, 6, "bytes ") != 0 || digits != 6) return false;
    const auto [end, ec] = std::from_chars(text.data() + digits, text.data() + text.size(), *start);
    return ec == std::errc() && end < text.data() + text.size() && *end == '-';
}

void RecordTrackedFailure(const char* detailsKey, const char* counterName, const std::string& errorEntry) {
    const std::string errorLog = AgentFilesFolder() + "logs\\zqerror.log";  // beside the download repository
    AppendLineToFile(errorLog.c_str(), GetCurrentDateTimeText());
    AppendLineToFile(errorLog.c_str(), errorEntry.c_str());

    const std::string tracking = gv_agentRootKey + "\\KRTracking\\";
    const std::string details = tracking + detailsKey + "\\";
    DWORD count = 0;
    ReadDwordRegistryData(HKEY_LOCAL_MACHINE, details.c_str(), counterName, &count);
    writeValue(HKEY_LOCAL_MACHINE, details.c_str(), counterName, std::to_string(count + 1).c_str(), REG_DWORD);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    writeValue(HKEY_LOCAL_MACHINE, tracking.c_str(), "LastKRDataModifiedTime",
               std::to_string(GetTimeInSeconds(now)).c_str(), REG_DWORD);
}

}  // namespace httpclient
