// Server, distribution-server and proxy settings from the agent key, the distribution
// server route, the last-access bookkeeping and the CryptoAPI client check.
#include <algorithm>
#include <climits>

#include "agent/agent.h"
#include "agent/src/internal.h"
#include "runtime/runtime.h"

std::optional<std::string> gv_serverName;
std::optional<std::string> gv_serverInstalledTime;
std::optional<std::string> gv_serverFlatName;
std::optional<std::string> gv_serverIPAddress;
std::optional<std::string> gv_serverSecIPAddress;
std::optional<std::string> gv_lastAccessName;
int gv_serverHttpPort = 0;
int gv_serverSecurePort = 0;
std::optional<std::string> gv_serverProtocol = "http";
int gv_serverPort = 0;
std::optional<std::string> gv_dsEnabled;
std::optional<std::string> gv_dsServerName;
std::optional<std::string> gv_dsFlatName;
std::optional<std::string> gv_dsLastAccessName;
int gv_dsHttpPort = 0;
int gv_dsSecurePort = 0;
std::optional<std::string> gv_dsIPAddress;
std::optional<std::string> gv_dsSecIPAddress;
std::optional<std::string> gv_dsProtocol = "http";
int gv_dsPort = 0;
std::optional<std::string> gv_proxyEnabled = "NO";
std::optional<std::string> gv_proxyServerName;
std::optional<std::string> gv_proxyUserName = "";
std::optional<std::string> gv_proxyPassword = "";
std::optional<std::string> gv_proxyBypass = "<local>";

using agent_detail::EqualsNoCase;
using agent_detail::ReadText;

namespace {

// atoi of a port text, kept inside the int range.
int PortOf(const std::string& text) {
    const long value = agent_detail::ParseLeadingNumber(text);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

int SecurePortFor(int httpPort) { return static_cast<int>(std::min<long long>(static_cast<long long>(httpPort) + 363, INT_MAX)); }

// Absent or shorter than 4 characters: "http".
void SettleProtocol(const char* valueName, std::optional<std::string>* protocol) {
    if (ReadText(gv_serverInfoKey, valueName, protocol) != ERROR_SUCCESS || protocol->value_or("").size() < 4)
        *protocol = "http";
}

void ReadOptional(const char* valueName, std::optional<std::string>* target, const char* message) {
    if (ReadText(gv_serverInfoKey, valueName, target) != ERROR_SUCCESS) LogError(message);
}

// Never shows a password in the log, stored or decoded.
const char* Masked(const std::optional<std::string>& secret) { return secret ? "********" : nullptr; }

}  // namespace

int InitializeServerDetailsFromRegistry() {
    if (ReadText(gv_serverInfoKey, "ZQServerName", &gv_serverName) != ERROR_SUCCESS) {
        LogError("InitializeServerDetailsFromRegistry : Error while fetching server name from registry! \n");
        return ERROR_INVALID_DATA;
    }
    ReadOptional("ZQServerInstalledTime", &gv_serverInstalledTime,
                 "InitializeServerDetailsFromRegistry : Error while fetching server installed time from registry! \n");
    ReadOptional("ZQServerFlatName", &gv_serverFlatName,
                 "InitializeServerDetailsFromRegistry : Error while fetching server name from registry! \n");
    ReadOptional("ZQServerIPAddress", &gv_serverIPAddress,
                 "InitializeServerDetailsFromRegistry : Error while fetching server ipaddress from registry! \n");
    ReadOptional("ZQServerSecIPAddress", &gv_serverSecIPAddress,
                 "InitializeServerDetailsFromRegistry : Error while fetching server Secondary ipaddress from registry! \n");
    if (gv_serverSecIPAddress && gv_serverSecIPAddress->size() <= 2) gv_serverSecIPAddress.reset();
    ReadOptional("ZQLastAccessName", &gv_lastAccessName,
                 "InitializeServerDetailsFromRegistry : Error while fetching server name from registry! \n");

    std::optional<std::string> port;
    if (ReadText(gv_serverInfoKey, "ZQServerPort", &port) != ERROR_SUCCESS) {
        LogError("InitializeServerDetailsFromRegistry : Error while fetching server port from registry! \n");
        return ERROR_INVALID_DATA;
    }
    gv_serverHttpPort = PortOf(*port);
    if (ReadText(gv_serverInfoKey, "ZQServerSecurePort", &port) == ERROR_SUCCESS)
        gv_serverSecurePort = PortOf(*port);
    else
        gv_serverSecurePort = SecurePortFor(gv_serverHttpPort);

    SettleProtocol("ZQServerProtocol", &gv_serverProtocol);
    gv_serverPort = EqualsNoCase(gv_serverProtocol, "http") ? gv_serverHttpPort : gv_serverSecurePort;
    return 0;
}

int InitializeDSServerDetailsFromRegistry() {
    LogDebug("InitializeDSServerDetailsFromRegistry : Reading reporting server regsirty entries\n");
    if (ReadText(gv_serverInfoKey, "DistributionServerName", &gv_dsServerName) != ERROR_SUCCESS) {
        LogError("InitializeDSServerDetailsFromRegistry : Error while fetching Reporting server name from registry! \n");
        return ERROR_INVALID_DATA;
    }
    ReadOptional("DistributionServerFlatName", &gv_dsFlatName,
                 "InitializeDSServerDetailsFromRegistry : Error while fetching Reporting server flat name from registry! \n");
    ReadOptional("DistributionLastAccessName", &gv_dsLastAccessName,
                 "InitializeDSServerDetailsFromRegistry : Error while fetching Reporting server last access name from registry! \n");

    std::optional<std::string> port;
    if (ReadText(gv_serverInfoKey, "DistributionServerPort", &port) != ERROR_SUCCESS) {
        LogError("InitializeDSServerDetailsFromRegistry : Error while fetching Reporting server port from registry! \n");
        return ERROR_INVALID_DATA;
    }
    gv_dsHttpPort = PortOf(*port);
    if (ReadText(gv_serverInfoKey, "DistributionServerSecurePort", &port) == ERROR_SUCCESS)
        gv_dsSecurePort = PortOf(*port);
    else
        gv_dsSecurePort = SecurePortFor(gv_dsHttpPort);

    ReadOptional("DistributionServerIPAddress", &gv_dsIPAddress,
                 "InitializeDSServerDetailsFromRegistry : Error while fetching Reporting server ipaddress from registry! \n");
    ReadOptional("DistributionServerSecIPAddress", &gv_dsSecIPAddress,
                 "InitializeDSServerDetailsFromRegistry : Error while fetching Reporting secondary server ipaddress from registry! \n");
    if (gv_dsSecIPAddress && gv_dsSecIPAddress->size() <= 3) gv_dsSecIPAddress.reset();

    // The distribution server always speaks the server's protocol.
    agent_detail::WriteText(gv_serverInfoKey, "DistributionServerProtocol", gv_serverProtocol.value_or("http").c_str());
    SettleProtocol("DistributionServerProtocol", &gv_dsProtocol);
    gv_dsPort = EqualsNoCase(gv_dsProtocol, "http") ? gv_dsHttpPort : gv_dsSecurePort;
    return 0;
}

int InitializeProxyDetailsFromRegistry() {
    if (CheckCryptographicClient() == 1)
        LogDebug("Cryptographic client Ok\r\n");
    else
        LogDebug("Cryptographic client error\r\n");

    std::optional<std::string> stored;
    ReadText(gv_agentRootKey, "ProxyUserName", &gv_proxyUserName);
    ReadText(gv_agentRootKey, "ProxyPassword", &stored);
    LogDebug("Password from registry: %s\n", Masked(stored));
    ReadText(gv_agentRootKey, "ProxyServerName", &gv_proxyServerName);
    ReadText(gv_agentRootKey, "ProxyByPass", &gv_proxyBypass);

    LogDebug("Encrypted password is: %s\n", Masked(stored));
    gv_proxyPassword = stored ? Base64DecodeString(stored->c_str()) : std::string();
    LogDebug("Decrypted password is: %s\n", Masked(gv_proxyPassword));

    if (EqualsNoCase(gv_proxyEnabled, "yes")) {
        LogInfo("*********************************************************** \n");
        LogInfo("Proxy Server Name -> %s \n", gv_proxyServerName);
        LogInfo("Proxy UserName    -> %s \n", gv_proxyUserName);
        LogInfo("Proxy ByPass List -> %s \n", gv_proxyBypass);
        LogInfo("*********************************************************** \n");
    }
    return 0;
}

namespace {
// The user key of one kind, generated when the container has none.
bool EnsureUserKey(HCRYPTPROV provider, DWORD keySpec) {
    HCRYPTKEY key = 0;
    if (CryptGetUserKey(provider, keySpec, &key)) {
        CryptDestroyKey(key);
        return true;
    }
    if (GetLastError() != static_cast<DWORD>(NTE_NO_KEY)) return false;  // an HRESULT in the SDK
    if (!CryptGenKey(provider, keySpec, 0, &key)) return false;
    CryptDestroyKey(key);
    return true;
}
}  // namespace

int CheckCryptographicClient() {
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextA(&provider, nullptr, MS_DEF_PROV_A, PROV_RSA_FULL, 0) &&
        !CryptAcquireContextA(&provider, nullptr, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET))
        return 0;
    const bool usable = EnsureUserKey(provider, AT_SIGNATURE) && EnsureUserKey(provider, AT_KEYEXCHANGE);
    CryptReleaseContext(provider, 0);
    return usable ? 1 : 0;
}

void ApplyDSRoute() {
    gv_serverName = gv_dsServerName;
    gv_serverFlatName = gv_dsServerName;
    gv_serverIPAddress = gv_dsIPAddress;
    gv_serverSecIPAddress = gv_dsSecIPAddress;
    gv_lastAccessName = gv_dsLastAccessName;
    gv_proxyEnabled = "NO";
}

DWORD SaveLastAccessName(const char* name) {
    return agent_detail::WriteText(gv_serverInfoKey, "ZQLastAccessName", name ? name : "");
}

DWORD SaveDSLastAccessName(const char* name) {
    return agent_detail::WriteText(gv_serverInfoKey, "DistributionLastAccessName", name ? name : "");
}
