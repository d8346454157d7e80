// AgentSendRequest: the one way agent code reaches the Vantorra server or a distribution
// server. Picks the server, shapes the path for the product edition and walks the
// server's addresses in the agent's fail-over order, remembering the one that answered.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "agent/agent.h"
#include "http/http.h"
#include "runtime/runtime.h"

namespace {

bool IsSuccess(DWORD result) { return result == 0 || result == HTTP_RESULT_NOT_MODIFIED; }

bool IsFailoverCode(DWORD result) {
    return result == ERROR_WINHTTP_NAME_NOT_RESOLVED || result == ERROR_WINHTTP_CANNOT_CONNECT ||
           result == ERROR_WINHTTP_TIMEOUT || result == ERROR_WINHTTP_INVALID_URL || result == 400;
}

bool EqualsNoCase(const std::optional<std::string>& text, const char* expected) {
    return text && strcasecmp(text->c_str(), expected) == 0;
}

bool ContainsNoCase(const std::string& text, const char* needle) {
    const std::string_view wanted(needle);
    return std::search(text.begin(), text.end(), wanted.begin(), wanted.end(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           }) != text.end();
}

std::optional<WideString> WideOf(const std::optional<std::string>& utf8) {
    if (!utf8) return std::nullopt;
    WideString wide;
    if (!ChangeUtf8ToWideStr(utf8->c_str(), &wide)) return std::nullopt;
    return wide;
}

const WCHAR* OrNull(const std::optional<WideString>& text) { return text ? text->c_str() : nullptr; }

// The settings of the server a request goes to.
struct ServerChoice {
    bool mainServer = true;
    std::optional<std::string> protocol;
    int port = 0;
    // Fail-over order: last access, IP address, secondary IP address, name, flat name.
    std::optional<std::string> addresses[5];
};

ServerChoice ChooseServer(bool toZQServer) {
    ServerChoice choice;
    choice.mainServer = toZQServer || !EqualsNoCase(gv_dsEnabled, "yes");
    if (choice.mainServer) {
        choice.protocol = gv_serverProtocol;
        choice.port = gv_serverPort;
        choice.addresses[0] = gv_lastAccessName;
        choice.addresses[1] = gv_serverIPAddress;
        choice.addresses[2] = gv_serverSecIPAddress;
        choice.addresses[3] = gv_serverName;
        choice.addresses[4] = gv_serverFlatName;
    } else {
        choice.protocol = gv_dsProtocol;
        choice.port = gv_dsPort;
        choice.addresses[0] = gv_dsLastAccessName;
        choice.addresses[1] = gv_dsIPAddress;
        choice.addresses[2] = gv_dsSecIPAddress;
        choice.addresses[3] = gv_dsServerName;
        choice.addresses[4] = gv_dsFlatName;
    }
    return choice;
}

// The path with backslashes as slashes, wrapped as the product edition wants it.
std::string AgentRequestPath(const char* urlPath, DWORD requestMode, bool mainServer, bool toZQServer) {
    std::string path = urlPath;
    for (char& c : path)
        if (c == '\\') c = '/';
    const char* edition = gv_zqProductCode ? gv_zqProductCode->c_str() : "";
    if (gv_zqProductCode == "RQNB") {
        if (mainServer && (requestMode == GET_DATA || requestMode == DOWNLOAD_FILE)) {
            if (ContainsNoCase(path, "/agentRequest?") || ContainsNoCase(path, "/agentSlot?") ||
                ContainsNoCase(path, "/agenttrayicon?") || ContainsNoCase(path, "agentinfo?")) {
                LogInfo("AgentSendRequest - gv_zqProductCode is [%s], requestType is GET_DATA / DOWNLOAD_FILE [%d] "
                        "and is servlet request \n",
                        edition, requestMode);
            } else {
                path = "clientdatarequest?fileName=" + path;
            }
        } else {
            LogInfo("AgentSendRequest - gv_zqProductCode is [%s], toZQServer is set to [%d]. Request Type is NOT "
                    "GET_DATA / DOWNLOAD_FILE and is [%d]\n",
                    edition, toZQServer ? 1 : 0, requestMode);
        }
    } else if (gv_zqProductCode == "RQNCX") {
        path = "zq/" + path;
        LogInfo("AgentSendRequest - gv_zqProductCode is [%s], requestType is GET_DATA / DOWNLOAD_FILE [%d] \n", edition,
                requestMode);
    } else {
        LogDebug("AgentSendRequest - Stand Alone / MSP build : gv_zqProductCode is [%s] \n", gv_zqProductCode);
    }
    return path;
}

}  // namespace

DWORD AgentSendRequest(const char* urlPath, const char* localData, std::optional<std::string>* outData,
                       DWORD requestMode, bool keepAlive, bool toZQServer, DWORD postLength, DWORD transferStyle) {
    if (!urlPath) return HTTP_RESULT_NOTHING_TO_SEND;
    LogInfo("gotcha1 %s", urlPath);
    const ServerChoice server = ChooseServer(toZQServer);
    const std::string protocol = server.protocol.value_or("http");

    // Path in the system code page -> UTF-8 -> wide for the HTTP layer.
    const std::string path = AgentRequestPath(urlPath, requestMode, server.mainServer, toZQServer);
    std::string pathUtf8;
    WideString widePath;
    if (!ChangeAnsiToUTF8Str(path.c_str(), &pathUtf8) || !ChangeUtf8ToWideStr(pathUtf8.c_str(), &widePath)) {
        LogError("AgentSendRequest : Unable to convert the url %s \n", path);
        return HTTP_RESULT_NOTHING_TO_SEND;
    }
    LogInfo("AgentSendRequest : The url to get / send in UTF8 format is given by %s \n", pathUtf8);

    std::optional<WideString> wideLocalData;
    if (transferStyle != 2 && localData) {
        WideString converted;
        if (requestMode == GET_DATA && ChangeUtf8ToWideStr(localData, &converted)) wideLocalData = converted;
        if (requestMode == DOWNLOAD_FILE && ChangeToWideStr(localData, &converted)) wideLocalData = converted;
    }

    std::optional<WideString> wideAddresses[5];
    for (int i = 0; i < 5; ++i) wideAddresses[i] = WideOf(server.addresses[i]);

    // The distribution server is always reached directly.
    const bool useProxy = server.mainServer && EqualsNoCase(gv_proxyEnabled, "yes");
    std::optional<WideString> proxyServer, proxyBypass, proxyUser, proxyPassword;
    if (useProxy) {
        proxyServer = WideOf(gv_proxyServerName);
        proxyBypass = WideOf(gv_proxyBypass ? gv_proxyBypass : std::optional<std::string>("<local>"));
        proxyUser = WideOf(gv_proxyUserName);
        proxyPassword = WideOf(gv_proxyPassword);
    }
    const auto port = static_cast<INTERNET_PORT>(server.port);

    DWORD result = ERROR_WINHTTP_NAME_NOT_RESOLVED;  // stays when no address is usable
    auto attempt = [&](int index) {
        const std::optional<WideString>& address = wideAddresses[index];
        if (!address || address->size() <= 2) return;
        switch (requestMode) {
        case POST_DATA:
        case POST_DATA_UNTIMED:
        case POST_MULTIPART:
            result = InternetSendRequestEx(useProxy, protocol.c_str(), address->c_str(), port, OrNull(proxyServer),
                                           OrNull(proxyBypass), OrNull(proxyUser), OrNull(proxyPassword),
                                           widePath.c_str(), localData, outData, requestMode, keepAlive, postLength);
            return;
        case POST_BY_BITRATE:
            result = InternetSendRequestByBitRate(useProxy, protocol.c_str(), address->c_str(), port,
                                                  OrNull(proxyServer), OrNull(proxyBypass), OrNull(proxyUser),
                                                  OrNull(proxyPassword), widePath.c_str(), localData, outData,
                                                  requestMode, keepAlive, postLength);
            return;
        default:
            if (transferStyle == 0)
                result = InternetGetRequestEx(useProxy, protocol.c_str(), address->c_str(), port, OrNull(proxyServer),
                                              OrNull(proxyBypass), OrNull(proxyUser), OrNull(proxyPassword),
                                              widePath.c_str(), OrNull(wideLocalData), outData, requestMode,
                                              keepAlive, true);
            else if (transferStyle == 1)
                result = InternetGetRequestByBitrate(useProxy, protocol.c_str(), address->c_str(), port,
                                                     OrNull(proxyServer), OrNull(proxyBypass), OrNull(proxyUser),
                                                     OrNull(proxyPassword), widePath.c_str(), OrNull(wideLocalData),
                                                     outData, requestMode, keepAlive);
            return;
        }
    };

    // The fail-over order. A failure of the last access address that is not about
    // reaching the server ends the request; after the IP address any failure moves on.
    int answered = 0;
    attempt(0);
    if (IsFailoverCode(result)) {
        answered = 1;
        attempt(1);
        if (!IsSuccess(result)) {
            answered = 2;
            attempt(2);
            if (IsFailoverCode(result)) {
                answered = 3;
                attempt(3);
                if (IsFailoverCode(result)) {
                    answered = 4;
                    attempt(4);
                }
            }
        }
    }

    if (IsSuccess(result)) {
        const std::string lastAccess = server.addresses[answered].value_or("");
        if (server.mainServer) {
            gv_lastAccessName = lastAccess;
            SaveLastAccessName(lastAccess.c_str());
        } else {
            gv_dsLastAccessName = lastAccess;
            SaveDSLastAccessName(lastAccess.c_str());
        }
        LogInfo("AgentSendRequest : Last Access Address is %s \n", lastAccess);
    }
    return result;
}
