// Uploads: a buffer posted in one piece, and a file streamed in chunks. Both share the
// handle setup, the resend and restart rules and the reading of the server's answer.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agent/agent.h"
#include "http/src/internal.h"
#include "http/src/log_texts.h"
#include "http/src/server_trust.h"
#include "runtime/helpers.h"
#include "runtime/log.h"

using namespace httpclient;

namespace {

constexpr DWORD kMaxChunk = 1024 * 1024;  // bounds the chunk buffer whatever the caller asks
constexpr DWORD kReplyReadSize = 64 * 1024;

// Log formats of one operation: its name followed by the shared text.
class Texts {
public:
    explicit Texts(const char* name) : name_(name) {}
    std::string operator()(const char* rest) const { return name_ + rest; }
    const char* name() const { return name_.c_str(); }

private:
    std::string name_;
};

struct UploadContext {
    Texts texts;
    bool useProxy;
    bool secure;
    const WCHAR* serverName;
    const WCHAR* proxyUser;
    const WCHAR* proxyPassword;
    const WCHAR* objectPath;
    DWORD requestMode;
    HttpRequestHandles handles;
    ServerGuard guard{};  // certificate and redirect checks of the current request handle
};

void CloseUploadHandles(UploadContext& ctx) {
    const Texts& t = ctx.texts;
    CloseHandleLogged(&ctx.handles.hRequest, t(" :  Error in WinHttpCloseHandle hRequest --> %d \n").c_str());
    CloseHandleLogged(&ctx.handles.hConnect, t(" :  Error in WinHttpCloseHandle hConnect --> %d \n").c_str());
    CloseHandleLogged(&ctx.handles.hSession, t(" :  Error in WinHttpCloseHandle hSession --> %d \n").c_str());
}

HINTERNET OpenPostRequest(UploadContext& ctx) {
    const DWORD flags = WINHTTP_FLAG_REFRESH | (ctx.secure ? WINHTTP_FLAG_SECURE : 0);
    return WinHttpOpenRequest(ctx.handles.hConnect, WTEXT("POST"), ctx.objectPath, nullptr, WINHTTP_NO_REFERER, nullptr,
                              flags);
}

// Session, connection and POST request; 0 or the failing code with everything closed.
DWORD OpenUpload(UploadContext& ctx, INTERNET_PORT port, const WCHAR* proxyServer, const WCHAR* proxyBypass) {
    const Texts& t = ctx.texts;
    HINTERNET session;
    if (ctx.useProxy) {
        LogInfo(t(" : Proxy Server Name : %S \n").c_str(), proxyServer);
        session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxyServer, proxyBypass, 0);
    } else {
        session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
    }
    if (!session) {
        const DWORD error = GetLastError();
        LogError(t(" :  Error in WinHttpOpen --> %d \n").c_str(), error);
        HttpGetLastError(error);
        return error;
    }
    ctx.handles.hSession = session;
    if (ctx.secure) {
        if (const DWORD error = LimitTlsVersions(session)) {
            CloseUploadHandles(ctx);
            return error;
        }
    }
    HINTERNET connect = WinHttpConnect(session, ctx.serverName, port, 0);
    if (!connect) {
        const DWORD error = GetLastError();
        LogError(t(" :  Error in WinHttpConnect --> %d \n").c_str(), error);
        HttpGetLastError(error);
        CloseUploadHandles(ctx);
        return error;
    }
    ctx.handles.hConnect = connect;
    HINTERNET request = OpenPostRequest(ctx);
    if (!request) {
        const DWORD error = GetLastError();
        LogError(t(" :  Error in WinHttpOpenRequest --> %d \n").c_str(), error);
        HttpGetLastError(error);
        CloseUploadHandles(ctx);
        return error;
    }
    ctx.handles.hRequest = request;
    return ERROR_SUCCESS;
}

// Headers and options of one request handle; 0 or the failing option's code.
DWORD PrepareUpload(UploadContext& ctx, bool keepAlive, bool agentTimeouts) {
    const Texts& t = ctx.texts;
    const WCHAR* connection = keepAlive ? WTEXT("Connection: Keep-Alive") : WTEXT("Connection: close");
    if (!WinHttpAddRequestHeaders(ctx.handles.hRequest, connection, static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD)) {
        const DWORD error = GetLastError();
        LogError(t(" :  Error in WinHttpAddRequestHeaders --> %d \n").c_str(), error);
        HttpGetLastError(error);
    }
    DWORD error = ERROR_SUCCESS;
    bool ok = true;
    if (agentTimeouts) {
        DWORD timeout = static_cast<DWORD>(gv_httpConnectionTimeout);
        ok = WinHttpSetOption(ctx.handles.hRequest, WINHTTP_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
        if (!ok) error = GetLastError();
    }
    if (ok) {
        error = ctx.guard.Prepare(ctx.handles.hRequest, t.name(), ctx.serverName, ctx.secure);
        ok = error == ERROR_SUCCESS;
    }
    if (ok && ctx.useProxy) ok = SetProxyCredentials(ctx.handles.hRequest, ctx.proxyUser, ctx.proxyPassword, &error);
    if (!ok) {
        LogError(t(" :  Error in WinHttpSetOption --> %d \n").c_str(), error);
        HttpGetLastError(error);
        return error;
    }
    return ERROR_SUCCESS;
}

// Replaces the request handle on the same connection; 0 or the failing code (then the
// connection and session are closed too).
DWORD ReopenRequest(UploadContext& ctx) {
    CloseHandleLogged(&ctx.handles.hRequest,
                      ctx.texts(" :  Error in WinHttpCloseHandle hRequest --> %d \n").c_str());
    HINTERNET request = OpenPostRequest(ctx);
    if (!request) {
        const DWORD error = GetLastError();
        LogError(ctx.texts(" :  Error in WinHttpOpenRequest --> %d \n").c_str(), error);
        HttpGetLastError(error);
        CloseUploadHandles(ctx);
        return error;
    }
    ctx.handles.hRequest = request;
    return ERROR_SUCCESS;
}

// One round: whatever goes out before the response (headers, body). False with the
// send's error code when the send itself failed.
using SendRound = std::function<bool(UploadContext&, DWORD* sendError)>;

// The send loop with its resend and restart rules; 0 once a response arrived or after
// five counted rounds, else the code that ends the upload.
DWORD SendWithResends(UploadContext& ctx, bool keepAlive, bool agentTimeouts, const SendRound& sendRound,
                      const std::function<void()>& onNewRequest) {
    const Texts& t = ctx.texts;
    // The request is restarted once: a fresh request handle, prepared as the first was.
    bool restarted = false;
    const auto restart = [&]() -> DWORD {
        const DWORD reopened = ReopenRequest(ctx);
        if (reopened != ERROR_SUCCESS) return reopened;
        onNewRequest();
        return PrepareUpload(ctx, keepAlive, agentTimeouts);
    };
    int rounds = 0;
    while (rounds < 5) {
        DWORD sendError = ERROR_SUCCESS;
        bool sent = sendRound(ctx, &sendError);
        if (sent && ctx.guard.Cancelled()) {
            sent = false;  // the callback refused the server
            sendError = ERROR_WINHTTP_OPERATION_CANCELLED;
        }
        if (!sent) {
            if (ctx.guard.RetryUnverified(ctx.handles.hRequest, sendError)) continue;
            sendError = ctx.guard.Outcome(sendError, &ctx.handles.hRequest);
            if (sendError == ERROR_WINHTTP_LOGIN_FAILURE || sendError == ERROR_WINHTTP_OPERATION_CANCELLED) {
                LogInfo(t(" : Going to close the request handle and going to resending the data to the server %S \n")
                            .c_str(),
                        ctx.serverName);
                if (!restarted) {
                    restarted = true;
                    const DWORD error = restart();
                    if (error != ERROR_SUCCESS) return error;
                    continue;
                }
            }
            LogError(t(" :  Error in WinHttpSendRequest -> %d \n").c_str(), sendError);
            HttpGetLastError(sendError);
            return sendError;
        }
        const BOOL received = WinHttpReceiveResponse(ctx.handles.hRequest, nullptr);
        if (received && !ctx.guard.Cancelled()) return ERROR_SUCCESS;
        const DWORD error =
            ctx.guard.Outcome(received ? ERROR_WINHTTP_OPERATION_CANCELLED : GetLastError(), &ctx.handles.hRequest);
        if (error == ERROR_WINHTTP_RESEND_REQUEST) {
            LogInfo(t(" : Resending the data to the server %S \n").c_str(), ctx.serverName);
            winhttp_seam::Sleep(5000);
            ++rounds;
            continue;
        }
        if (error == ERROR_WINHTTP_LOGIN_FAILURE || error == ERROR_WINHTTP_INVALID_SERVER_RESPONSE) {
            LogInfo(t(" : Going to close the request handle and going to resending the data to the server %S,as the "
                      "error code received is %d \n")
                        .c_str(),
                    ctx.serverName, error);
            ++rounds;
            if (!restarted) {
                restarted = true;
                const DWORD restartError = restart();
                if (restartError != ERROR_SUCCESS) return restartError;
            }
            continue;
        }
        LogInfo(t(" :  Error - WinHttpReceiveResponse --> %d \n").c_str(), error);
        HttpGetLastError(error);
        return error;
    }
    return ERROR_SUCCESS;  // the header queries below fail on a request without a response
}

// The server's answer: status, and the reply body when asked for.
DWORD ReadUploadResponse(UploadContext& ctx, std::optional<std::string>* reply) {
    const Texts& t = ctx.texts;
    HINTERNET request = ctx.handles.hRequest;
    WideString headers;
    const DWORD headerError = QueryRawHeaders(request, &headers);
    if (headerError != ERROR_SUCCESS) {
        LogError(t(" :  Error in WinHttpQueryHeaders --> %d \n").c_str(), headerError);
        HttpGetLastError(headerError);
    } else {
        LogDebug(t(" :  Header Informations : \n %S \n").c_str(), headers);
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        const DWORD error = GetLastError();
        LogError(t(" : WinHttpQueryHeaders failed with the error code while getting http status code %d \n").c_str(),
                 error);
        return error;
    }
    if (status == 407) {
        LogError(t(" : Proxy Credentials are failed to authenticate %d \n").c_str(), status);
        return 407;
    }
    if (status != 200) {
        LogError(t(" : Failed to post the data to the server %s with http status code %d \n").c_str(),
                 ToUtf8(ctx.serverName), status);
        return status;
    }
    LogInfo(t(" : Successfully posted the data to the server %S \n").c_str(), ctx.serverName);
    if (!reply) return ERROR_SUCCESS;

    LogInfo(t(" : Reading the response sent by the server %S \n").c_str(), ctx.serverName);
    DWORD length = 0;
    size = sizeof length;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX)) {
        const DWORD error = GetLastError();
        LogError(t(" :  WinHttpQueryHeaders failed with the error code while getting content length -> %d \n").c_str(),
                 error);
        HttpGetLastError(error);
        return error;
    }
    // The reply grows with what arrives, up to the announced length and two bytes more;
    // the announced length alone never decides an allocation. It is held in memory, so
    // it stops one byte past the agent's limit for data in memory.
    const ULONGLONG limit =
        std::min<ULONGLONG>(static_cast<ULONGLONG>(length) + 2, static_cast<ULONGLONG>(gv_httpMaxDataSize) + 1);
    std::string body;
    std::vector<char> chunk;
    while (body.size() < limit) {
        const DWORD want = static_cast<DWORD>(std::min<ULONGLONG>(limit - body.size(), kReplyReadSize));
        chunk.resize(want);
        DWORD read = 0;
        if (!WinHttpReadData(request, chunk.data(), want, &read) || read == 0) break;
        body.append(chunk.data(), read);
        LogTrace(t(" : Received response from server %S: \n %s \n").c_str(), ctx.serverName,
                 RedactSecrets(std::string_view(chunk.data(), read)));
        LogDebug(t(" :  No Of Bytes -> %d \n").c_str(), read);
    }
    if (body.size() > gv_httpMaxDataSize) {
        LogError(t(" : the reply of %u bytes is over the limit of %u bytes for data in memory (HTTPMaxDataSize)\n").c_str(),
                 length, gv_httpMaxDataSize);
        return HTTP_RESULT_FILE_TOO_LARGE;
    }
    *reply = std::move(body);
    return ERROR_SUCCESS;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

DWORD InternetSendRequestEx(bool useProxy, const char* protocol, const WCHAR* serverName,
                            INTERNET_PORT port, const WCHAR* proxyServer, const WCHAR* proxyBypass,
                            const WCHAR* proxyUser, const WCHAR* proxyPassword,
                            const WCHAR* objectPath, const char* postData,
                            std::optional<std::string>* reply, DWORD requestMode, bool keepAlive,
                            DWORD postLength) {
    LogDebug("@@@@@@@@ Inside InternetSendRequestEx Method @@@@@@@@ \n");
    LogInfo("InternetSendRequestEx : Vantorra Server & Port -> %S : %d \n", serverName, port);
    LogDebug("InternetSendRequestEx : URL to Post -> %S \n", objectPath);
    const bool binary = requestMode == POST_MULTIPART && postLength != 0;
    if (postData) {
        // A binary buffer is shown only within its length, up to its first zero byte.
        const std::string_view shown =
            binary ? std::string_view(postData, strnlen(postData, postLength)) : std::string_view(postData);
        LogTrace("InternetSendRequestEx : Data to Send -> \n %s \n", RedactSecrets(shown));
    } else {
        LogDebug("InternetSendRequestEx : Data to Send -> \n %s \n", nullptr);
        LogDebug("@@@@@@@@ End Of InternetSendRequestEx Method @@@@@@@@ \n");
        return HTTP_RESULT_NOTHING_TO_SEND;
    }
    const DWORD postSize = binary ? postLength : static_cast<DWORD>(std::strlen(postData));
    LogDebug("InternetSendRequestEx : dwPostSize: %d \n", postSize);

    UploadContext ctx{Texts("InternetSendRequestEx"), useProxy, IsHttps(protocol), serverName, proxyUser, proxyPassword,
                      objectPath, requestMode, HttpRequestHandles{}};
    DWORD result = OpenUpload(ctx, port, proxyServer, proxyBypass);
    if (result != ERROR_SUCCESS) return result;

    const bool agentTimeouts = requestMode == POST_DATA;
    bool contentTypeAdded = false;  // once per request handle, however often it is sent
    result = PrepareUpload(ctx, keepAlive, agentTimeouts);
    if (result == ERROR_SUCCESS) {
        const SendRound round = [&](UploadContext& c, DWORD* sendError) {
            if (requestMode == POST_DATA) {
                DWORD timeout = static_cast<DWORD>(gv_httpRequestTimeout);
                if (!WinHttpSetOption(c.handles.hRequest, WINHTTP_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout)) {
                    const DWORD error = GetLastError();
                    LogError("InternetSendRequestEx :  Error in WinHttpSetOption before send request--> %d \n", error);
                    HttpGetLastError(error);
                }
            } else if (requestMode == POST_MULTIPART && !contentTypeAdded) {
                if (WinHttpAddRequestHeaders(c.handles.hRequest, WTEXT("Content-Type: multipart/form-data"),
                                             static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD)) {
                    contentTypeAdded = true;
                } else {
                    const DWORD error = GetLastError();
                    LogError("InternetSendRequestEx :  Error in WinHttpAddRequestHeaders (second Header ) --> %d \n",
                             error);
                    HttpGetLastError(error);
                }
            }
            // Over https the body follows the headers in a call of its own, made only when
            // the status callback accepted the server: a WinHTTP that goes on sending on a
            // request the callback closed (Wine's) then sends it no byte of the body.
            const bool bodyApart = c.secure && postSize > 0;
            if (!WinHttpSendRequest(c.handles.hRequest, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                    bodyApart ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(postData),
                                    bodyApart ? 0 : postSize, postSize, 0)) {
                *sendError = GetLastError();
                return false;
            }
            if (bodyApart && !c.guard.Cancelled()) {
                DWORD written = 0;
                if (!WinHttpWriteData(c.handles.hRequest, postData, postSize, &written)) {
                    *sendError = GetLastError();
                    return false;
                }
            }
            ReportProgress(postSize, postSize);
            return true;
        };
        result = SendWithResends(ctx, keepAlive, agentTimeouts, round, [&] { contentTypeAdded = false; });
        if (result == ERROR_SUCCESS) result = ReadUploadResponse(ctx, reply);
    }
    CloseUploadHandles(ctx);
    LogDebug("@@@@@@@@ End Of InternetSendRequestEx Method @@@@@@@@ \n");
    return result;
}

DWORD InternetSendRequestByBitRate(bool useProxy, const char* protocol, const WCHAR* serverName,
                                   INTERNET_PORT port, const WCHAR* proxyServer,
                                   const WCHAR* proxyBypass, const WCHAR* proxyUser,
                                   const WCHAR* proxyPassword, const WCHAR* objectPath,
                                   const char* filePath, std::optional<std::string>* reply,
                                   DWORD requestMode, bool keepAlive, DWORD chunkSize) {
    static constexpr const char* kEnd =
        "***************** End Of InternetSendRequestByBitRate Method ***************** \n";
    LogDebug("***************** Inside InternetSendRequestByBitRate Method ***************** \n");
    LogInfo("InternetSendRequestByBitRate : Vantorra Server & Port -> %S : %d \n", serverName, port);
    LogDebug("InternetSendRequestByBitRate : URL to Post -> %S \n", objectPath);
    (void)keepAlive;  // a file upload always keeps the connection alive
    if (!filePath) {
        LogDebug(kEnd);
        return HTTP_RESULT_NOTHING_TO_SEND;
    }
    ULONGLONG fileSize = 0;
    GetFileSizeByName(filePath, &fileSize);
    if (fileSize == 0) {
        LogError("InternetSendRequestByBitRate: File Size is zero: %d\n", fileSize);
        LogDebug(kEnd);
        return HTTP_RESULT_NOTHING_TO_SEND;
    }
    if (fileSize > 0xFFFFFFFFull) {
        // The request's total length is 32 bits: a larger file would go out cut short.
        LogError("InternetSendRequestByBitRate: File Size is too large to post: %llu\n", fileSize);
        LogDebug(kEnd);
        return HTTP_RESULT_FILE_TOO_LARGE;
    }
    const DWORD totalLength = static_cast<DWORD>(fileSize);

    UploadContext ctx{Texts("InternetSendRequestByBitRate"), useProxy, IsHttps(protocol), serverName, proxyUser,
                      proxyPassword, objectPath, requestMode, HttpRequestHandles{}};
    DWORD result = OpenUpload(ctx, port, proxyServer, proxyBypass);
    if (result != ERROR_SUCCESS) return result;

    result = PrepareUpload(ctx, true, false);
    if (result == ERROR_SUCCESS) {
        const std::string header =
            "Content-type: multipart/form-data; filesize=\"" + std::to_string(fileSize) + "\"";
        const WideString wideHeader = ToWide(header);
        const DWORD bufferSize = std::min({chunkSize, totalLength, kMaxChunk});
        std::vector<char> chunk(bufferSize);
        const SendRound round = [&](UploadContext& c, DWORD* sendError) {
            std::unique_ptr<std::FILE, FileCloser> file(host::MappedFopen(filePath, "rb"));
            if (!file) return true;  // nothing is sent; the receive that follows fails
            LogInfo("InternetSendRequestByBitRate: Header buffer: %s", header);
            if (!WinHttpSendRequest(c.handles.hRequest, wideHeader.c_str(), static_cast<DWORD>(-1),
                                    WINHTTP_NO_REQUEST_DATA, 0, totalLength, 0)) {
                *sendError = GetLastError();
                return false;
            }
            ULONGLONG sent = 0;
            while (sent < fileSize && !c.guard.Cancelled()) {
                const std::size_t want = static_cast<std::size_t>(std::min<ULONGLONG>(bufferSize, fileSize - sent));
                const std::size_t read = want ? std::fread(chunk.data(), 1, want, file.get()) : 0;
                if (read == 0) break;
                DWORD written = 0;
                if (!WinHttpWriteData(c.handles.hRequest, chunk.data(), static_cast<DWORD>(read), &written)) break;
                sent += read;
                ReportProgress(sent, fileSize);
            }
            return true;
        };
        result = SendWithResends(ctx, true, false, round, [] {});
        if (result == ERROR_SUCCESS) result = ReadUploadResponse(ctx, reply);
    }
    CloseUploadHandles(ctx);
    LogDebug(kEnd);
    return result;
}
