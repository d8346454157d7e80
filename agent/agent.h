// Agent configuration and machine identity: the process-wide agent parameters read from
// the agent's registry key at start-up, server/proxy settings, local machine identity,
// operating-system identification and the resource identifier.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "runtime/agent_key.h"  // gv_agentRootKey, gv_agentInstallDir, gv_agentServiceName

// Results of InitializeAgentParameters beyond the Windows codes.
inline constexpr int AGENT_IMAGED_COMPUTER = 10047;

// ---- Registry key paths (below HKEY_LOCAL_MACHINE) ----
extern std::string gv_serverInfoKey;     // ...\ZQAgent\ServerInfo
extern std::string gv_systemDetailsKey;  // ...\ZQAgent\SystemDetails
extern std::string gv_settingsKey;       // ...\ZQAgent\Settings

// ---- Agent parameters (one instance per process; nullopt is "null") ----
using PFN_IsWow64Process = BOOL (*)(HANDLE, BOOL*);
using PFN_Wow64DisableWow64FsRedirection = BOOL (*)(PVOID*);
using PFN_Wow64RevertWow64FsRedirection = BOOL (*)(PVOID);

extern int gv_is64BitOS;
extern PFN_IsWow64Process gv_pfnIsWow64Process;
extern PFN_Wow64DisableWow64FsRedirection gv_pfnWow64DisableFsRedirection;
extern PFN_Wow64RevertWow64FsRedirection gv_pfnWow64RevertFsRedirection;
extern std::string gv_tempDir;  // TEMP, at most 254 characters; empty when unset
extern std::optional<std::string> gv_agentVersion;
extern std::optional<std::string> gv_mspName;
extern std::optional<std::string> gv_customerName;
extern std::optional<std::string> gv_customerId;
extern std::optional<std::string> gv_zqProductCode;  // "RQNA"
extern std::optional<std::string> gv_remoteOfficeName;
extern std::optional<std::string> gv_remoteOfficeId;
extern std::optional<std::string> gv_remoteOfficeMgmtEnabled;  // "NO"
extern int gv_httpRequestTimeout;                               // ms, 60000
extern int gv_httpConnectionTimeout;                            // ms, 30000
extern DWORD gv_dataTransferRateKBps;                           // 1024 before start-up
extern std::optional<std::string> gv_installSource;
extern std::optional<std::string> gv_installMode;
extern int gv_checksumEnabled;     // 1
extern int gv_blockCrashedConfig;  // 0
extern int gv_shutdownBlocked;     // 0
extern int gv_eventEnabled;        // 1
extern int gv_dsRouteEnabled;      // 0
extern std::optional<std::string> gv_clientDataPath;
extern std::optional<std::string> gv_resourceId;
extern std::optional<std::string> gv_sessionEventName;
extern int gv_serverFailoverEnabled;  // 1

// Server, distribution server and proxy.
extern std::optional<std::string> gv_serverName;
extern std::optional<std::string> gv_serverInstalledTime;
extern std::optional<std::string> gv_serverFlatName;
extern std::optional<std::string> gv_serverIPAddress;
extern std::optional<std::string> gv_serverSecIPAddress;
extern std::optional<std::string> gv_lastAccessName;
extern int gv_serverHttpPort;
extern int gv_serverSecurePort;
extern std::optional<std::string> gv_serverProtocol;  // "http"
extern int gv_serverPort;
extern std::optional<std::string> gv_dsEnabled;
extern std::optional<std::string> gv_dsServerName;
extern std::optional<std::string> gv_dsFlatName;
extern std::optional<std::string> gv_dsLastAccessName;
extern int gv_dsHttpPort;
extern int gv_dsSecurePort;
extern std::optional<std::string> gv_dsIPAddress;
extern std::optional<std::string> gv_dsSecIPAddress;
extern std::optional<std::string> gv_dsProtocol;  // "http"
extern int gv_dsPort;
extern std::optional<std::string> gv_proxyEnabled;     // "NO"
extern std::optional<std::string> gv_proxyServerName;  // null
extern std::optional<std::string> gv_proxyUserName;    // empty text
extern std::optional<std::string> gv_proxyPassword;    // empty text, decoded (plain)
extern std::optional<std::string> gv_proxyBypass;      // "<local>"

// Local machine.
extern std::optional<std::string> gv_localComputerName;
extern std::optional<std::string> gv_clientNamespace;
extern int gv_inDomain;  // 1
extern std::optional<std::string> gv_localIPAddress;
extern std::optional<std::string> gv_localMACAddress;
extern std::optional<std::string> gv_localSubnetMask;
extern std::optional<std::string> gv_domainController;

// ---- Size limits of the HTTP client (REG_DWORD values under the agent key) ----
// "HTTPMaxDataSize": bytes of a body read into memory (GET_DATA, upload replies).
// "HTTPMaxGzipSize": bytes a gzip body may expand to. "HTTPMaxGzipRatio": decoded bytes
// per encoded byte a gzip body may reach once past 1 MiB. Missing or 0: the default;
// sizes below 1 MiB and ratios below 10 are raised to those floors.
inline constexpr DWORD kDefaultHttpMaxDataSize = 256u << 20;
inline constexpr DWORD kDefaultHttpMaxGzipSize = 256u << 20;
inline constexpr DWORD kDefaultHttpMaxGzipRatio = 200;
extern DWORD gv_httpMaxDataSize;
extern DWORD gv_httpMaxGzipSize;
extern DWORD gv_httpMaxGzipRatio;
// Read by InitializeAgentDetails; put back by ResetAgentParameters.
void ReadHttpSizeLimits();
void ResetHttpSizeLimits();

// Puts every parameter back to its initial value (for tests and tools that run the
// start-up more than once in one process).
void ResetAgentParameters();

// ---- Start-up ----
// 0 complete, 13 a required value is missing (earlier parameters stay set), 10047 imaged.
int InitializeAgentParameters();
int InitializeAgentDetails();
int GetCustomerId(std::optional<std::string>* customerId);
DWORD GetEnableDSRoute();
int GetDataTransferRate(DWORD* rate);

// ---- Server, distribution server and proxy ----
int InitializeServerDetailsFromRegistry();
int InitializeDSServerDetailsFromRegistry();
int InitializeProxyDetailsFromRegistry();
int CheckCryptographicClient();
void ApplyDSRoute();
DWORD SaveLastAccessName(const char* name);
DWORD SaveDSLastAccessName(const char* name);

// ---- Local machine identity ----
int InitializeLocalMachineDetails();
DWORD GetMACandIPAddress(std::optional<std::string>* ipList, std::optional<std::string>* macList,
                         std::optional<std::string>* maskList);
DWORD GetComputerLogonServer(std::optional<std::string>* name);
int GetLocalComputerName(std::optional<std::string>* name);
int GetComputerNameSpace(std::optional<std::string>* name, int* inDomain);

// ---- Operating-system identification ----
int GetOsFamily();
// nullopt when the version cannot be read (or the legacy registry lookup fails).
std::optional<std::string> GetOSNameEx(DWORD major, DWORD minor);
int isWin7orWin8();

// ---- Resource identifier ----
DWORD GetResourceID(std::optional<std::string>* resourceId);
DWORD GetResourceIDFromServer(std::optional<std::string>* resourceId);
// The server part of GetResourceIDFromServer: download the document at documentPath,
// load it into the store and pick the RESOURCE_ID row's param_Value. Returns 0 once a
// document was loaded (resourceId set when a value was found), else the error code,
// having logged it. Installed by the HTTP layer; without one the lookup fails with
// ERROR_CALL_NOT_IMPLEMENTED. An empty function removes it.
using ResourceIdLookup =
    std::function<DWORD(const std::string& documentPath, std::optional<std::string>* resourceId)>;
void SetResourceIdLookup(ResourceIdLookup lookup);

// ---- Server trust: key pins and the settings that relax the checks of the HTTP client ----
// Key pins: the SHA-256 of a server's public key (its SubjectPublicKeyInfo) as hex, in
// ServerInfo\ZQServerPublicKeyPin (the Vantorra server) and
// ServerInfo\DistributionServerPublicKeyPin; null while none is recorded. Several pins
// may stand in one value, separated by ";", "," or blanks.
extern std::optional<std::string> gv_serverKeyPin;
extern std::optional<std::string> gv_dsKeyPin;
// 1 when the root key's value of that name is "yes" (any case), else 0.
extern int gv_allowAnyServerCertificate;  // AllowAnyServerCertificate: no certificate check at all
extern int gv_allowLegacyTlsVersions;     // AllowLegacyTlsVersions: TLS 1.0 and 1.1 too
extern int gv_allowRedirectToOtherHosts;  // AllowRedirectToOtherHosts: redirects may leave the host
// Reads the five values above; InitializeAgentParameters calls it before its first request.
void InitializeServerTrustSettings();
// Records `pin` as the key pin of the Vantorra server (or of the distribution server)
// unless one is recorded already, in the registry and in memory. Returns the pin in force
// afterwards: `pin`, or the one another process recorded first.
std::string RecordServerKeyPin(bool distributionServer, const std::string& pin);

// ---- Time helpers ----
void SystemTimeToUnixSeconds(const SYSTEMTIME& time, LONGLONG* seconds);
WideString GetCurrentTimeMillisText();
int GetTimeInSeconds(SYSTEMTIME localTime);
int GetCurrentUnixSeconds();
