// Request setup for downloads: session, connection and request with the agent's headers
// and options, the send loop with its resend and restart rules, and the shared queries.
#include <vector>

#include "agent/agent.h"
#include "http/src/internal.h"
#include "http/src/server_trust.h"
#include "runtime/helpers.h"
#include "runtime/log.h"

using namespace httpclient;

namespace {

// Closes every handle of the record that is set and marks it unset: an attempt that is
// abandoned or failed keeps nothing open behind the caller's back.
void CloseAndReset(HttpRequestHandles* handles) {
    CloseRequestHandles(*handles);
    handles->hRequest = handles->hConnect = handles->hSession = HTTP_UNSET_HANDLE;
}

// Steps that open the three handles and set the request up; 0 or the failing code.
DWORD OpenAndPrepare(bool useProxy, bool secure, const WCHAR* serverName, INTERNET_PORT port,
                     const WCHAR* proxyServer, const WCHAR* proxyBypass, const WCHAR* proxyUser,
                     const WCHAR* proxyPassword, const WCHAR* objectPath,
                     const WCHAR* destinationPath, DWORD requestMode, bool keepAlive,
                     HttpRequestHandles* handles, ServerGuard& guard) {
    HINTERNET session;
    if (useProxy) {
        LogDebug("GetInternetRequestHandle : Proxy Server Name : %S \n", proxyServer);
        session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxyServer, proxyBypass, 0);
    } else {
        session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
    }
    if (!session) {
        const DWORD error = GetLastError();
        LogError("GetInternetRequestHandle :  Error in WinHttpOpen --> %d \n", error);
        HttpGetLastError(error);
        return error;
    }
    handles->hSession = session;

    DWORD openFlags = WINHTTP_FLAG_REFRESH;
    if (secure) {
        // A session that could be talked down to TLS 1.0 or 1.1 is not used.
        if (const DWORD error = LimitTlsVersions(session)) {
            CloseAndReset(handles);
            return error;
        }
        openFlags |= WINHTTP_FLAG_SECURE;
    }

    HINTERNET connect = WinHttpConnect(session, serverName, port, 0);
    if (!connect) {
        const DWORD error = GetLastError();
        LogError("GetInternetRequestHandle :  Error in WinHttpConnect --> %d \n", error);
        HttpGetLastError(error);
        CloseAndReset(handles);
        return error;
    }
    handles->hConnect = connect;

    const WCHAR* verb = handles->requestKind == REQUEST_KIND_HEAD ? WTEXT("HEAD") : WTEXT("GET");
    const WCHAR* acceptTypes[] = {WTEXT("*/*"), nullptr};
    HINTERNET request =
        WinHttpOpenRequest(connect, verb, objectPath, nullptr, WINHTTP_NO_REFERER, acceptTypes, openFlags);
    if (!request) {
        const DWORD error = GetLastError();
        LogError("GetInternetRequestHandle :  Error in WinHttpOpenRequest --> %d \n", error);
        HttpGetLastError(error);
        CloseAndReset(handles);
        return error;
    }
    handles->hRequest = request;

    const WCHAR* connection = keepAlive ? WTEXT("Connection: Keep-Alive") : WTEXT("Connection: close");
    if (!WinHttpAddRequestHeaders(request, connection, static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD)) {
        const DWORD error = GetLastError();
        LogError("GetInternetRequestHandle :  Error in WinHttpAddRequestHeaders --> %d \n", error);
        HttpGetLastError(error);
    }

    if (handles->requestKind == REQUEST_KIND_GET_EXTRA_HEADER) {
        if (!handles->extraHeader ||
            !WinHttpAddRequestHeaders(request, handles->extraHeader, static_cast<DWORD>(-1),
                                      WINHTTP_ADDREQ_FLAG_ADD)) {
            const DWORD error = handles->extraHeader ? GetLastError() : ERROR_INVALID_PARAMETER;
            LogError("InternetGetRequestByBitrate :  Error in WinHttpAddRequestHeaders --> %d \n", error);
            HttpGetLastError(error);
        }
    } else if (ifModifiedSinceEnabled == 1 && lastModifiedTime) {
        if (requestMode != GET_DATA && CheckFileExists(destinationPath) == ERROR_FILE_NOT_FOUND) {
            LogError(
                "GetInternetRequestHandle: destination file is not present, hence if-modified-since header is "
                "not applied\n");
        } else {
            const WideString header = WTEXT("If-Modified-Since: ") + *lastModifiedTime;
            LogDebug("GetInternetRequestHandle : %S\n", header);
            if (!WinHttpAddRequestHeaders(request, header.c_str(), static_cast<DWORD>(-1),
                                          WINHTTP_ADDREQ_FLAG_ADD)) {
                const DWORD error = GetLastError();
                LogError("GetInternetRequestHandle :  Error in IF-MODIFIED-SINCE WinHttpAddRequestHeaders --> %d \n",
                         error);
                HttpGetLastError(error);
            }
        }
    }

    DWORD error = ERROR_SUCCESS;
    bool ok = true;
    if (requestMode == GET_DATA) {
        DWORD timeout = static_cast<DWORD>(gv_httpConnectionTimeout);
        ok = WinHttpSetOption(request, WINHTTP_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
        if (!ok) error = GetLastError();
    }
    if (ok) {
        error = guard.Prepare(request, "GetInternetRequestHandle", serverName, secure);
        ok = error == ERROR_SUCCESS;
    }
    if (ok && useProxy) ok = SetProxyCredentials(request, proxyUser, proxyPassword, &error);
    if (!ok) {
        LogError("GetInternetRequestHandle :  Error in WinHttpSetOption --> %d \n", error);
        HttpGetLastError(error);
        return error;  // the handles stay in the record for the caller to close
    }
    return ERROR_SUCCESS;
}

}  // namespace

int SetSecureProtocols(HINTERNET session) { return LimitTlsVersions(session) == ERROR_SUCCESS ? 1 : 0; }

DWORD GetInternetRequestHandle(bool useProxy, const char* protocol, const WCHAR* serverName,
                               INTERNET_PORT port, const WCHAR* proxyServer,
                               const WCHAR* proxyBypass, const WCHAR* proxyUser,
                               const WCHAR* proxyPassword, const WCHAR* objectPath,
                               const WCHAR* destinationPath, DWORD requestMode, bool keepAlive,
                               HttpRequestHandles* handles, bool acceptGzip) {
    LogDebug("@@@@@@@@ Inside GetInternetRequestHandle Method @@@@@@@@ \n");
    if (!handles) return ERROR_INVALID_PARAMETER;
    const bool secure = IsHttps(protocol);
    bool restarted = false;
    ServerGuard guard;

    for (;;) {  // one pass per attempt; a restart opens everything anew
        DWORD result = OpenAndPrepare(useProxy, secure, serverName, port, proxyServer, proxyBypass, proxyUser,
                                      proxyPassword, objectPath, destinationPath, requestMode, keepAlive, handles,
                                      guard);
        if (result != ERROR_SUCCESS) return result;

        bool restart = false;
        int rounds = 0;
        while (rounds < 5) {
            if (requestMode == GET_DATA) {
                DWORD timeout = static_cast<DWORD>(gv_httpRequestTimeout);
                // The wait for the response headers too: Wine's WinHTTP bounds it by this
                // option alone and would otherwise wait for a stalled server for ever.
                if (!WinHttpSetOption(handles->hRequest, WINHTTP_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout) ||
                    !WinHttpSetOption(handles->hRequest, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &timeout,
                                      sizeof timeout)) {
                    const DWORD error = GetLastError();
                    LogError("GetInternetRequestHandle :  Error in WinHttpSetOption before send request --> %d \n",
                             error);
                    HttpGetLastError(error);
                    return error;
                }
            }
            LogInfo("GetInternetRequestHandle : IsAcceptEncodingGzip-Enabled -> %d\n", acceptGzip ? 1 : 0);
            BOOL sent;
            if (acceptGzip) {
                LogDebug("WinHttpSendRequest with \"Accept-Encoding: gzip\" Header\n");
                sent = WinHttpSendRequest(handles->hRequest, WTEXT("Accept-Encoding: gzip"), 21, WINHTTP_NO_REQUEST_DATA,
                                          0, 0, 0);
            } else {
                sent = WinHttpSendRequest(handles->hRequest, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                          WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
            }
            if (sent && guard.Cancelled()) {
                sent = FALSE;  // the callback refused the server
                SetLastError(ERROR_WINHTTP_OPERATION_CANCELLED);
            }
            if (!sent) {
                DWORD error = AsWinHttpError(GetLastError());
                if (guard.RetryUnverified(handles->hRequest, error)) continue;
                error = guard.Outcome(error, &handles->hRequest);
                if (error == ERROR_WINHTTP_LOGIN_FAILURE || error == ERROR_WINHTTP_OPERATION_CANCELLED) {
                    LogInfo(
                        "GetInternetRequestHandle : Going to close the request handle and going to resending the "
                        "data to the server %S \n",
                        serverName);
                    if (!restarted) {
                        restart = true;
                        break;
                    }
                }
                LogError("GetInternetRequestHandle :  Error in WinHttpSendRequest -> %d \n", error);
                HttpGetLastError(error);
                return error;
            }
            const BOOL received = WinHttpReceiveResponse(handles->hRequest, nullptr);
            if (received && !guard.Cancelled()) break;
            const DWORD error =
                guard.Outcome(received ? ERROR_WINHTTP_OPERATION_CANCELLED : AsWinHttpError(GetLastError()),
                              &handles->hRequest);
            if (error == ERROR_WINHTTP_RESEND_REQUEST) {
                LogInfo("GetInternetRequestHandle : Resending the data to the server %S \n", serverName);
                winhttp_seam::Sleep(5000);
                ++rounds;
                continue;
            }
            if (error == ERROR_WINHTTP_LOGIN_FAILURE || error == ERROR_WINHTTP_INVALID_SERVER_RESPONSE) {
                LogInfo(
                    "GetInternetRequestHandle : Going to close the request handle and going to resending the data "
                    "to the server %S,as the error code received is %d \n",
                    serverName, error);
                if (!restarted) {
                    restart = true;
                    break;
                }
                ++rounds;
                continue;
            }
            LogInfo("GetInternetRequestHandle :  Error - WinHttpReceiveResponse --> %d \n", error);
            HttpGetLastError(error);
            return error;
        }
        if (restart) {
            // The abandoned attempt's session and connection are closed with its request.
            CloseAndReset(handles);
            restarted = true;
            continue;
        }
        break;
    }

    // After five counted rounds without a response this query fails and ends the call.
    WideString headers;
    const DWORD headerError = QueryRawHeaders(handles->hRequest, &headers);
    if (headerError != ERROR_SUCCESS) {
        LogError("GetInternetRequestHandle :  Error in WinHttpQueryHeaders --> %d \n", headerError);
        HttpGetLastError(headerError);
        return headerError;
    }
    LogDebug("GetInternetRequestHandle :  Header Informations : \n %S \n", headers);

    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(handles->hRequest, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        const DWORD error = GetLastError();
        LogError(
            "GetInternetRequestHandle : WinHttpQueryHeaders failed with the error code while getting http status "
            "code %d \n",
            error);
        return error;
    }
    handles->httpStatus = status;
    if (status == 407) {
        LogError("GetInternetRequestHandle : Proxy Credentials are failed to authenticate %d \n", status);
        return 407;
    }
    LogDebug("@@@@@@@@ End of GetInternetRequestHandle Method @@@@@@@@ \n");
    return ERROR_SUCCESS;
}

DWORD GetFilelastmodifiedTime(HINTERNET request, std::optional<WideString>* lastModified) {
    LogDebug("@@@@@@@@@@@ Inside GetFilelastmodifiedTime Method   @@@@@@@@@@@@@\n");
    DWORD result = ERROR_SUCCESS;
    DWORD size = 0;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_LAST_MODIFIED, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX)) {
        // An empty value fits a null buffer.
        if (lastModified) *lastModified = WideString();
    } else if ((result = GetLastError()) != ERROR_INSUFFICIENT_BUFFER) {
        LogError("GetFilelastmodifiedTime: Could n't query HEADER for last modified time\n");
    } else {
        std::vector<WCHAR> buffer((static_cast<std::size_t>(size) * 4 + 2) / sizeof(WCHAR) + 1, WTEXT('\0'));
        DWORD bytes = static_cast<DWORD>((buffer.size() - 1) * sizeof(WCHAR));
        if (WinHttpQueryHeaders(request, WINHTTP_QUERY_LAST_MODIFIED, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(),
                                &bytes, WINHTTP_NO_HEADER_INDEX)) {
            result = ERROR_SUCCESS;
            const WideString value(buffer.data());
            LogDebug("GetFilelastmodifiedTime : File last modified time: %S\n", value);
            if (lastModified) *lastModified = value;
        } else {
            result = GetLastError();
            LogError("GetFilelastmodifiedTime :  Error in Content Length Header -> %d \n", result);
            HttpGetLastError(result);
        }
    }
    LogDebug("@@@@@@@@@@@ End of GetFilelastmodifiedTime Method   @@@@@@@@@@@@@\n");
    return result;
}
