// The process-wide agent parameters and their start-up from the agent registry key:
// InitializeAgentParameters, the agent details and the summary written to the log.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale>
#include <stdexcept>

#include "agent/agent.h"
#include "agent/src/internal.h"
#include "runtime/runtime.h"

std::string gv_serverInfoKey = "Software\\Halcyra\\Vantorra\\ZQAgent\\ServerInfo";
std::string gv_systemDetailsKey = "Software\\Halcyra\\Vantorra\\ZQAgent\\SystemDetails";
std::string gv_settingsKey = "Software\\Halcyra\\Vantorra\\ZQAgent\\Settings";

int gv_is64BitOS = 0;
PFN_IsWow64Process gv_pfnIsWow64Process = nullptr;
PFN_Wow64DisableWow64FsRedirection gv_pfnWow64DisableFsRedirection = nullptr;
PFN_Wow64RevertWow64FsRedirection gv_pfnWow64RevertFsRedirection = nullptr;
std::string gv_tempDir;
std::optional<std::string> gv_agentVersion;
std::optional<std::string> gv_mspName;
std::optional<std::string> gv_customerName;
std::optional<std::string> gv_customerId;
std::optional<std::string> gv_zqProductCode = "RQNA";
std::optional<std::string> gv_remoteOfficeName;
std::optional<std::string> gv_remoteOfficeId;
std::optional<std::string> gv_remoteOfficeMgmtEnabled = "NO";
int gv_httpRequestTimeout = 60000;
int gv_httpConnectionTimeout = 30000;
DWORD gv_dataTransferRateKBps = 1024;
std::optional<std::string> gv_installSource;
std::optional<std::string> gv_installMode;
int gv_checksumEnabled = 1;
int gv_blockCrashedConfig = 0;
int gv_shutdownBlocked = 0;
int gv_eventEnabled = 1;
int gv_dsRouteEnabled = 0;
std::optional<std::string> gv_clientDataPath;
std::optional<std::string> gv_resourceId;
std::optional<std::string> gv_sessionEventName;
int gv_serverFailoverEnabled = 1;

namespace agent_detail {

DWORD ReadText(const std::string& key, const char* valueName, std::optional<std::string>* out) {
    std::optional<std::string> value;
    const DWORD result = ReadRegSZ(HKEY_LOCAL_MACHINE, key.c_str(), valueName, &value);
    if (result != ERROR_SUCCESS || !value) {
        out->reset();
        return result != ERROR_SUCCESS ? result : ERROR_INVALID_DATA;
    }
    value->resize(std::strlen(value->c_str()));
    *out = std::move(value);
    return ERROR_SUCCESS;
}

DWORD WriteText(const std::string& key, const char* valueName, const char* text) {
    return writeValue(HKEY_LOCAL_MACHINE, key.c_str(), valueName, text, REG_SZ);
}

bool EqualsNoCase(const std::optional<std::string>& text, const char* expected) {
    return text && strcasecmp(text->c_str(), expected) == 0;
}

std::int32_t ParseLeadingNumber(const std::string& text) {
    // The agent's values were written for a C runtime whose long is 32 bits: a number
    // outside that range stops at LONG_MIN/LONG_MAX there instead of wrapping.
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    return static_cast<std::int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

namespace {

// Unicode case mapping, independent of the process locale (whose "C" default would
// lower ASCII letters only).
const std::ctype<wchar_t>* UnicodeCase() {
    // Kept for the life of the process, never destroyed: the facet belongs to it.
    static const std::locale* locale = []() -> const std::locale* {
        for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8", ""}) {
            try {
                return new std::locale(name);
            } catch (const std::runtime_error&) {
            }
        }
        return nullptr;
    }();
    static const std::ctype<wchar_t>* facet = locale ? &std::use_facet<std::ctype<wchar_t>>(*locale) : nullptr;
    return facet;
}

char32_t LowerCodePoint(char32_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
    const std::ctype<wchar_t>* facet = UnicodeCase();
    // A 16-bit wchar_t (Windows) maps the basic plane only.
    if (!facet || c > static_cast<char32_t>(std::numeric_limits<wchar_t>::max())) return c;
    return static_cast<char32_t>(facet->tolower(static_cast<wchar_t>(c)));
}

}  // namespace

std::string LowerUnicode(const std::string& utf8) {
    WideString wide;
    if (!ChangeUtf8ToWideStr(utf8.c_str(), &wide)) return utf8;
    WideString lowered;
    lowered.reserve(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char32_t c = wide[i];
        const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
                          wide[i + 1] <= 0xDFFF;
        if (pair) c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF) {  // a lone surrogate half stays as it is
            lowered += static_cast<WCHAR>(c);
            continue;
        }
        c = LowerCodePoint(c);
        if (c >= 0x10000) {
            lowered += static_cast<WCHAR>(0xD800 + ((c - 0x10000) >> 10));
            lowered += static_cast<WCHAR>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            lowered += static_cast<WCHAR>(c);
        }
    }
    std::string back;
    if (!ConvertWideToUtf8(lowered.c_str(), &back)) return utf8;
    return back;
}

}  // namespace agent_detail

using agent_detail::EqualsNoCase;
using agent_detail::ReadText;
using agent_detail::WriteText;

void ResetAgentParameters() {
    gv_agentInstallDir.reset();
    gv_agentServiceName.reset();
    gv_is64BitOS = 0;
    gv_pfnIsWow64Process = nullptr;
    gv_pfnWow64DisableFsRedirection = nullptr;
    gv_pfnWow64RevertFsRedirection = nullptr;
    gv_tempDir.clear();
    gv_agentVersion.reset();
    gv_mspName.reset();
    gv_customerName.reset();
    gv_customerId.reset();
    gv_zqProductCode = "RQNA";
    gv_remoteOfficeName.reset();
    gv_remoteOfficeId.reset();
    gv_remoteOfficeMgmtEnabled = "NO";
    gv_httpRequestTimeout = 60000;
    gv_httpConnectionTimeout = 30000;
    gv_dataTransferRateKBps = 1024;
    gv_installSource.reset();
    gv_installMode.reset();
    gv_checksumEnabled = 1;
    gv_blockCrashedConfig = 0;
    gv_shutdownBlocked = 0;
    gv_eventEnabled = 1;
    gv_dsRouteEnabled = 0;
    gv_clientDataPath.reset();
    gv_resourceId.reset();
    gv_sessionEventName.reset();
    gv_serverFailoverEnabled = 1;
    ResetHttpSizeLimits();

    gv_serverName.reset();
    gv_serverInstalledTime.reset();
    gv_serverFlatName.reset();
    gv_serverIPAddress.reset();
    gv_serverSecIPAddress.reset();
    gv_lastAccessName.reset();
    gv_serverHttpPort = 0;
    gv_serverSecurePort = 0;
    gv_serverProtocol = "http";
    gv_serverPort = 0;
    gv_dsEnabled.reset();
    gv_dsServerName.reset();
    gv_dsFlatName.reset();
    gv_dsLastAccessName.reset();
    gv_dsHttpPort = 0;
    gv_dsSecurePort = 0;
    gv_dsIPAddress.reset();
    gv_dsSecIPAddress.reset();
    gv_dsProtocol = "http";
    gv_dsPort = 0;
    gv_proxyEnabled = "NO";
    gv_proxyServerName.reset();
    gv_proxyUserName = "";
    gv_proxyPassword = "";
    gv_proxyBypass = "<local>";

    gv_localComputerName.reset();
    gv_clientNamespace.reset();
    gv_inDomain = 1;
    gv_localIPAddress.reset();
    gv_localMACAddress.reset();
    gv_localSubnetMask.reset();
    gv_domainController.reset();

    // Server trust.
    gv_serverKeyPin.reset();
    gv_dsKeyPin.reset();
    gv_allowAnyServerCertificate = 0;
    gv_allowLegacyTlsVersions = 0;
    gv_allowRedirectToOtherHosts = 0;
}

int GetCustomerId(std::optional<std::string>* customerId) {
    const DWORD result = ReadText(gv_agentRootKey, "CustomerId", customerId);
    if (result != ERROR_SUCCESS || customerId->value_or("").empty()) {
        customerId->reset();
        LogError("GetCustomerId: error while retrieving customerid\n");
        return ERROR_INVALID_DATA;
    }
    return 0;
}

int GetDataTransferRate(DWORD* rate) {
    std::optional<std::string> text;
    bool writeBack = false;
    if (ReadText(gv_agentRootKey, "DataTransferRate_KBps", &text) != ERROR_SUCCESS) {
        *rate = 0;
        writeBack = true;
    } else if (text->empty()) {
        *rate = 0;
        writeBack = true;
    } else {
        // atol semantics: leading decimal digits; a negative value wraps, as the
        // unsigned rate would, and is then over the bound.
        *rate = static_cast<DWORD>(agent_detail::ParseLeadingNumber(*text));
        if (*rate > 3072) {
            *rate = 0;
            writeBack = true;
        }
    }
    if (writeBack) {
        const std::string zero = std::to_string(*rate);
        WriteText(gv_agentRootKey, "DataTransferRate_KBps", zero.c_str());
    }
    return 0;
}

DWORD GetEnableDSRoute() {
    std::optional<std::string> text;
    if (ReadText(gv_agentRootKey, "EnableDSRoute", &text) == ERROR_SUCCESS) {
        if (!text->empty()) gv_dsRouteEnabled = EqualsNoCase(text, "yes") ? 1 : 0;
        return 0;
    }
    const DWORD result = WriteText(gv_agentRootKey, "EnableDSRoute", "no");
    gv_dsRouteEnabled = 0;
    return result;
}

namespace {

std::string LowerBytes(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

DWORD ReadDword(const char* valueName, DWORD fallback) {
    DWORD value = fallback;
    ReadDwordRegistryData(HKEY_LOCAL_MACHINE, gv_agentRootKey.c_str(), valueName, &value);
    return value;
}

struct RequiredText {
    const char* valueName;
    std::optional<std::string>* target;
    const char* message;
};

void LogSummary() {
    const char* stars = "****************************************************************** \n";
    LogInfo(stars);
    LogInfo("Vantorra Server Name                -> %s \n", gv_serverName);
    LogInfo("Vantorra Server Flat Name           -> %s \n", gv_serverFlatName);
    LogInfo("Vantorra Server IPAddress           -> %s \n", gv_serverIPAddress);
    LogInfo("Vantorra Server Secondary IPAddress -> %s \n", gv_serverSecIPAddress);
    LogInfo("Vantorra Last Access Name           -> %s \n", gv_lastAccessName);
    LogInfo("Vantorra Server Port                -> %d \n", gv_serverPort);
    LogInfo("Vantorra Server Protocol            -> %s \n", gv_serverProtocol);
    LogInfo("Vantorra Agent Version              -> %s \n", gv_agentVersion);
    LogInfo("Vantorra Agent InstallDir           -> %s \n", gv_agentInstallDir);
    LogInfo("Vantorra Client Namespace           -> %s \n", gv_clientNamespace);
    LogInfo("Vantorra Server Data Path           -> %s \n", gv_clientDataPath);
    LogInfo("Vantorra MSP Name\t           -> %s \n", gv_mspName);
    LogInfo("Vantorra Customer Name\t           -> %s \n", gv_customerName);
    LogInfo("Vantorra Customer Id\t\t   -> %s \n", gv_customerId);
    LogInfo("Vantorra Product Code               -> %s \n", gv_zqProductCode);
    LogInfo("Local Computer Name                       -> %s \n", gv_localComputerName);
    LogInfo("Local Computer IP Address                 -> %s \n", gv_localIPAddress);
    LogInfo("Local Computer MAC Address                -> %s \n", gv_localMACAddress);
    LogInfo("Local Computer Subnet Mask                -> %s \n", gv_localSubnetMask);
    LogInfo("ZQ Distribution Server Enabled            -> %s \n", gv_dsEnabled);
    LogInfo("The remote office name is                 -> %s \n", gv_remoteOfficeName);
    LogInfo("Vantorra Agent HTTP Request Timeout -> %d \n", gv_httpRequestTimeout);
    LogInfo("Local Computer Domain controller          -> %s \n", gv_domainController);
    LogInfo("The Agent Machine Resource Id is given by -> %s \n", gv_resourceId);
    LogInfo("Agent Checksum Enabled\t\t               -> %d \n", gv_checksumEnabled);
    LogInfo("Agent Data Transfer Rate in KBps\t\t   -> %d \n", gv_dataTransferRateKBps);
    LogInfo("Agent Installation Source\t\t\t\t   -> %s \n", gv_installSource);
    LogInfo("Agent Installation Mode\t\t\t\t   -> %s (2-> silent, 5->Manual) \n", gv_installMode);
    LogInfo(stars);
}

void LogDistributionServerBlock() {
    LogInfo("ZQ Distribution Server  Name      \t\t\t-> %s \n", gv_dsServerName);
    LogInfo("ZQ Distribution Server  IPAddress \t\t\t-> %s \n", gv_dsIPAddress);
    LogInfo("ZQ Distribution Server  Sec IPAddress         \t\t-> %s \n", gv_dsSecIPAddress);
    LogInfo("ZQ Distribution Server  Port      \t\t\t-> %d \n", gv_dsPort);
    LogInfo("ZQ Distribution Server  Last Access Name\t\t-> %s \n", gv_dsLastAccessName);
    LogInfo("ZQ Distribution Server  Protocol  \t\t\t-> %s \n", gv_dsProtocol);
    LogInfo("Remote Office ID                          -> %s \n", gv_remoteOfficeId);
    LogInfo("****************************************************************** \n");
}

// TEMP as the agent's temporary folder. A value too long for the 254-character field
// is left out rather than cut, since a cut path names some other folder.
void ReadTempDir() {
    gv_tempDir.clear();
    const char* temp = std::getenv("TEMP");
    if (temp && std::strlen(temp) <= 254) gv_tempDir = temp;
}

}  // namespace

int InitializeAgentDetails() {
    const RequiredText firstReads[] = {
        {"ZQAgentVersion", &gv_agentVersion, "InitializeAgentDetails : Error while fetching agent version from registry! \n"},
        {"AgentServiceName", &gv_agentServiceName, "InitializeAgentDetails : Error while fetching agent service name from registry! \n"},
        {"MSPName", &gv_mspName, "InitializeAgentDetails : Error while fetching msp name from registry! \n"},
        {"CustomerName", &gv_customerName, "InitializeAgentDetails : Error while fetching customer name from registry! \n"},
    };
    for (const auto& read : firstReads) {
        if (ReadText(gv_agentRootKey, read.valueName, read.target) != ERROR_SUCCESS) {
            LogError(read.message);
            return ERROR_INVALID_DATA;
        }
    }
    if (GetCustomerId(&gv_customerId) != 0) {
        LogError("InitializeAgentDetails : Error while fetching customer Id from registry! \n");
        return ERROR_INVALID_DATA;
    }
    const RequiredText lastReads[] = {
        {"ZQProductCode", &gv_zqProductCode, "InitializeAgentDetails : Error while fetching product Code from registry! \n"},
        {"ZQAgentInstallDir", &gv_agentInstallDir, "InitializeAgentDetails : Error while fetching agent install directory from registry! \n"},
    };
    for (const auto& read : lastReads) {
        if (ReadText(gv_agentRootKey, read.valueName, read.target) != ERROR_SUCCESS) {
            LogError(read.message);
            return ERROR_INVALID_DATA;
        }
    }

    if (ReadText(gv_agentRootKey, "RemoteOfficeName", &gv_remoteOfficeName) != ERROR_SUCCESS)
        LogError("InitializeAgentDetails : Error while fetching branch office Name from registry! \n");
    if (ReadText(gv_agentRootKey, "RemoteOfficeID", &gv_remoteOfficeId) != ERROR_SUCCESS)
        LogError("InitializeAgentDetails : Error while fetching branch office ID from registry! \n");

    if (ReadText(gv_agentRootKey, "EnableRemoteOfficeMgmt", &gv_remoteOfficeMgmtEnabled) != ERROR_SUCCESS)
        gv_remoteOfficeMgmtEnabled = "NO";
    gv_httpRequestTimeout = static_cast<int>(ReadDword("HTTPRequestTimeout", 60000));
    gv_httpConnectionTimeout = static_cast<int>(ReadDword("HTTPConnectionTimeout", 30000));
    GetDataTransferRate(&gv_dataTransferRateKBps);
    ReadHttpSizeLimits();

    if (ReadText(gv_agentRootKey, "InstallSource", &gv_installSource) != ERROR_SUCCESS)
        LogError("InitializeAgentDetails : Error while fetching Install source from registry! \n");
    if (ReadText(gv_agentRootKey, "InstallMode", &gv_installMode) != ERROR_SUCCESS)
        LogError("InitializeAgentDetails : Error while fetching Install mode from registry! \n");

    if (GetEnableDSRoute() != 0)
        LogError("InitializeAgentDetails : Error while fetching GetEnableDSRoute from registry! \n");

    gv_blockCrashedConfig = static_cast<int>(ReadDword("BlockCrashedConfig", 0));
    LogDebug("InitializeAgentDetails : Some configuration is crashed (if value is one) : %d \n", gv_blockCrashedConfig);
    gv_shutdownBlocked = static_cast<int>(ReadDword("ShutdownBlocked", 0));
    LogInfo("InitializeAgentDetails : BlockedShutdown value : %d \n", gv_shutdownBlocked);

    gv_clientDataPath = "client-data/" + LowerBytes(gv_customerId.value_or("")) + "/domains/" +
                        agent_detail::LowerUnicode(gv_clientNamespace.value_or(""));

    GetResourceID(&gv_resourceId);

    std::optional<std::string> checksum;
    if (ReadText(gv_agentRootKey, "EnableChecksum", &checksum) != ERROR_SUCCESS)
        gv_checksumEnabled = 1;
    else
        gv_checksumEnabled = EqualsNoCase(checksum, "yes") ? 1 : 0;
    return 0;
}

int InitializeAgentParameters() {
    LogDebug("@@@@@@@ Inside InitializeAgentParameters Method @@@@@@@@ \n");

    if (LoadLibraryA("kernel32.dll")) {
        HMODULE kernel32 = GetModuleHandleA("kernel32");
        gv_pfnIsWow64Process = reinterpret_cast<PFN_IsWow64Process>(GetProcAddress(kernel32, "IsWow64Process"));
        gv_pfnWow64DisableFsRedirection = reinterpret_cast<PFN_Wow64DisableWow64FsRedirection>(
            GetProcAddress(kernel32, "Wow64DisableWow64FsRedirection"));
        gv_pfnWow64RevertFsRedirection = reinterpret_cast<PFN_Wow64RevertWow64FsRedirection>(
            GetProcAddress(kernel32, "Wow64RevertWow64FsRedirection"));
    }
    BOOL wow64 = FALSE;
    if (gv_pfnIsWow64Process) gv_pfnIsWow64Process(GetCurrentProcess(), &wow64);
    gv_is64BitOS = wow64;
#ifdef _WIN64  // a 64-bit build runs on 64-bit Windows only, where WOW64 answers FALSE
    gv_is64BitOS = TRUE;
#endif

    ReadTempDir();

    if (InitializeServerDetailsFromRegistry() != 0) {
        LogError("InitializeAgentParameters : Error while fetching Server details from registry! \n");
        return ERROR_INVALID_DATA;
    }
    if (ReadText(gv_agentRootKey, "EnableDistributionServer", &gv_dsEnabled) != ERROR_SUCCESS) {
        LogError("InitializeAgentParameters : Error while fetching Master Agent entry from registry! \n");
        return ERROR_INVALID_DATA;
    }
    if (!EqualsNoCase(gv_dsEnabled, "yes")) {
        gv_dsProtocol = gv_serverProtocol;
        gv_dsPort = gv_serverPort;
    } else if (InitializeDSServerDetailsFromRegistry() != 0) {
        LogError("InitializeAgentParameters : Error while fetching DS Server details from registry! \n");
        return ERROR_INVALID_DATA;
    }
    if (InitializeLocalMachineDetails() != 0) {
        LogError("InitializeAgentParameters : Error while the local machine details ! \n");
        return ERROR_INVALID_DATA;
    }
    if (ReadText(gv_agentRootKey, "ProxyEnabled", &gv_proxyEnabled) != ERROR_SUCCESS) gv_proxyEnabled = "NO";
    if (EqualsNoCase(gv_proxyEnabled, "yes")) InitializeProxyDetailsFromRegistry();
    // Before the agent details: looking up the resource id may already talk to the server.
    InitializeServerTrustSettings();

    if (InitializeAgentDetails() != 0) {
        LogError("InitializeAgentParameters : Error while the Agent details ! \n");
        return ERROR_INVALID_DATA;
    }

    LogSummary();
    if (EqualsNoCase(gv_dsEnabled, "yes")) {
        LogDistributionServerBlock();
        if (gv_dsRouteEnabled == 1) {
            ApplyDSRoute();
            LogInfo("Enable Distribution Server Route                       -> %d \n", gv_dsRouteEnabled);
            LogInfo("****************************************************************** \n");
        }
    }

    DWORD imaged = 0;
    ReadDwordRegistryData(HKEY_LOCAL_MACHINE, gv_agentRootKey.c_str(), "ImagedComputer", &imaged);
    if (imaged == 1) {
        LogInfo("InitializeAgentParameters : Computer is detected as imaged One .. \n");
        return AGENT_IMAGED_COMPUTER;
    }
    LogDebug("InitializeAgentParameters : Computer is not an imaged one .. \n");
    LogDebug("@@@@@@@@ End Of InitializeAgentParameters Method @@@@@@@@ \n");
    return 0;
}
