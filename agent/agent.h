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
// PFN_IsWow64Process, PFN_Wow64DisableWow64FsRedirection, PFN_Wow64RevertWow64FsRedirection:
// kernel32's WOW64 entry points, looked up at start-up (null where kernel32 lacks them).
// Their types come from the declarations, calling convention included (stdcall on 32-bit
// Windows: a pointer declared without it would call them with the wrong one).
using PFN_IsWow64Process = decltype(&IsWow64Process);
using PFN_Wow64DisableWow64FsRedirection = decltype(&Wow64DisableWow64FsRedirection);
using PFN_Wow64RevertWow64FsRedirection = decltype(&Wow64RevertWow64FsRedirection);

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
// Puts the three limits back to their defaults.
void ResetHttpSizeLimits();

// Puts every parameter back to its initial value (for tests and tools that run the
// start-up more than once in one process).
void ResetAgentParameters();

// ---- Start-up ----
// 0 complete, 13 a required value is missing (earlier parameters stay set), 10047 imaged.
int InitializeAgentParameters();
// Reads the agent details of the root key (version, service, customer, office, install
// source, transfer rate, flags, resource id...): 0, or ERROR_INVALID_DATA (13) when a
// required value is missing, logged.
int InitializeAgentDetails();
// The CustomerID value into *customerId: 0, or ERROR_INVALID_DATA when it is missing.
int GetCustomerId(std::optional<std::string>* customerId);
// Sets gv_dsRouteEnabled from EnableDSRoute ("yes", any case); writes "no" when the value
// is missing and returns the result of that write, else 0.
DWORD GetEnableDSRoute();
// DataTransferRate_KBps into *rate: its leading digits, 0 when missing, empty or above
// 3072 (then 0 is written back). Always returns 0.
int GetDataTransferRate(DWORD* rate);

// ---- Server, distribution server and proxy ----
// Reads the Vantorra server's name, addresses, ports and protocol from ServerInfo: 0, or
// ERROR_INVALID_DATA when the name or port is missing, logged.
int InitializeServerDetailsFromRegistry();
// The same for the distribution server (which speaks the server's protocol).
int InitializeDSServerDetailsFromRegistry();
// Reads the proxy settings, decrypting the stored password; always 0 (missing values keep
// their defaults).
int InitializeProxyDetailsFromRegistry();
// 1 when the default key container can be opened (or created) and holds both key pairs
// (made when missing), else 0.
int CheckCryptographicClient();
// Routes the agent's requests to the distribution server: its name and addresses become
// the server's, and the proxy is turned off.
void ApplyDSRoute();
// SaveLastAccessName, SaveDSLastAccessName: record the address that answered last
// (ZQLastAccessName, DistributionLastAccessName in ServerInfo); the write's error code.
DWORD SaveLastAccessName(const char* name);
DWORD SaveDSLastAccessName(const char* name);

// ---- Local machine identity ----
// Reads the machine's addresses, domain controller, computer name and name space: 0, or
// ERROR_INVALID_DATA when the name or the name space cannot be read (address and
// domain-controller failures are logged only).
int InitializeLocalMachineDetails();
// The adapters' IPv4 addresses, MAC addresses and masks as parallel comma-separated lists:
// 0, or the error code of GetAdaptersInfo (ERROR_NOT_ENOUGH_MEMORY...), logged.
DWORD GetMACandIPAddress(std::optional<std::string>* ipList, std::optional<std::string>* macList,
                         std::optional<std::string>* maskList);
// The domain controller's name without its leading backslashes: 0, or the error code of
// DsGetDcNameA (ERROR_NO_SUCH_DOMAIN outside a domain).
DWORD GetComputerLogonServer(std::optional<std::string>* name);
// The computer's DNS host name: 1, or 0 (name unset) when it cannot be read.
int GetLocalComputerName(std::optional<std::string>* name);
// The workgroup or domain name and *inDomain (1 joined to a domain): 1, or 0 when the join
// information cannot be read.
int GetComputerNameSpace(std::optional<std::string>* name, int* inDomain);

// ---- Operating-system identification ----
// The Windows family: 0 2000, 1 XP/2003, 2 Vista, 3 7, 4 8, 5 8.1, 6 version 10.0 (10
// and 11), 7 any later version; 1 when the version cannot be read, -1 for what is not
// Windows NT 5 or later.
int GetOsFamily();
// nullopt when the version cannot be read (or the legacy registry lookup fails).
std::optional<std::string> GetOSNameEx(DWORD major, DWORD minor);
// 1 on Windows 7 or 8 (GetOsFamily 3 or 4), else 0.
int isWin7orWin8();

// ---- Resource identifier ----
// ZQAgentResourceID from the registry, else (not at log-off) from the server through
// GetResourceIDFromServer: 0 with *resourceId set, or the error code.
DWORD GetResourceID(std::optional<std::string>* resourceId);
// Asks the server through the installed lookup: 0 (the id recorded in the registry and the
// agent service told when one came), ERROR_CALL_NOT_IMPLEMENTED without a lookup,
// ERROR_INVALID_DATA for an id that is not printable text, else the lookup's code.
DWORD GetResourceIDFromServer(std::optional<std::string>* resourceId);
// The server part of GetResourceIDFromServer: download the document at documentPath,
// load it into the store and pick the RESOURCE_ID row's param_Value. Returns 0 once a
// document was loaded (resourceId set when a value was found), else the error code,
// having logged it. Installed by the HTTP layer; without one the lookup fails with
// ERROR_CALL_NOT_IMPLEMENTED. An empty function removes it.
using ResourceIdLookup =
    std::function<DWORD(const std::string& documentPath, std::optional<std::string>* resourceId)>;
// Installs the lookup (an empty function removes it).
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
// Seconds since 1970-01-01 of the calendar time, taken as UTC.
void SystemTimeToUnixSeconds(const SYSTEMTIME& time, LONGLONG* seconds);
// The current time in milliseconds since 1970 (UTC) as decimal text; also printed on
// stdout, as the agent does.
WideString GetCurrentTimeMillisText();
// Seconds since 1970 of a local time shifted by the standard zone offset, capped to the
// int range (INT_MAX past 2038).
int GetTimeInSeconds(SYSTEMTIME localTime);
// GetTimeInSeconds of the current local time.
int GetCurrentUnixSeconds();
