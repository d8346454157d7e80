// Machine identity on the network: computer name, domain membership, domain controller,
// Winsock start-up and the IPv4 adapters (IP Helper). Answers come from the machine
// profile (machine.ini); adapters from the host's interfaces unless the profile lists them.
#pragma once

#include <ctime>

#include "platform/win/types.h"

#ifndef _WIN32  // on Windows the SDK declares all of this (platform/win/types.h)

// ---- Computer name ----
// Which of the computer's names GetComputerNameExW reports.
enum COMPUTER_NAME_FORMAT : int {
    ComputerNameNetBIOS,
    ComputerNameDnsHostname,
    ComputerNameDnsDomain,
    ComputerNameDnsFullyQualified,
    ComputerNamePhysicalNetBIOS,
    ComputerNamePhysicalDnsHostname,
    ComputerNamePhysicalDnsDomain,
    ComputerNamePhysicalDnsFullyQualified,
    ComputerNameMax
};
// *size is in characters: on success the name's length, on ERROR_MORE_DATA the size
// needed including the terminator.
BOOL GetComputerNameExW(COMPUTER_NAME_FORMAT nameType, LPWSTR buffer, LPDWORD size);

// ---- Network management ----
// Result of the network management calls: NERR_Success or an error code.
using NET_API_STATUS = DWORD;
inline constexpr NET_API_STATUS NERR_Success = 0;
// Whether and how the computer is joined: workgroup, domain or neither.
enum NETSETUP_JOIN_STATUS : int {  // fixed type: a status outside the list stays representable
    NetSetupUnknownStatus = 0,
    NetSetupUnjoined,
    NetSetupWorkgroupName,
    NetSetupDomainName
};
// Pointer to a NETSETUP_JOIN_STATUS.
using PNETSETUP_JOIN_STATUS = NETSETUP_JOIN_STATUS*;
// Only the local computer (server null); the name buffer is released with NetApiBufferFree.
NET_API_STATUS NetGetJoinInformation(LPCWSTR server, LPWSTR* nameBuffer,
                                     PNETSETUP_JOIN_STATUS joinStatus);
// Releases a block returned by NetGetJoinInformation or DsGetDcNameA; NERR_Success.
NET_API_STATUS NetApiBufferFree(LPVOID buffer);

// ---- Directory service ----
// A 128-bit globally unique identifier.
struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};
// What DsGetDcNameA reports about the domain controller; one block owned by the caller,
// released with NetApiBufferFree.
struct DOMAIN_CONTROLLER_INFOA {
    LPSTR DomainControllerName;
    LPSTR DomainControllerAddress;
    ULONG DomainControllerAddressType;
    GUID DomainGuid;
    LPSTR DomainName;
    LPSTR DnsForestName;
    ULONG Flags;
    LPSTR DcSiteName;
    LPSTR ClientSiteName;
};
// Pointer to a DOMAIN_CONTROLLER_INFOA.
using PDOMAIN_CONTROLLER_INFOA = DOMAIN_CONTROLLER_INFOA*;
inline constexpr ULONG DS_RETURN_DNS_NAME = 0x40000000;
inline constexpr ULONG DS_RETURN_FLAT_NAME = 0x80000000;
inline constexpr ULONG DS_INET_ADDRESS = 1;
inline constexpr ULONG DS_NETBIOS_ADDRESS = 2;
// ERROR_NO_SUCH_DOMAIN unless the profile names a domain controller; the record is one
// block released with NetApiBufferFree.
DWORD DsGetDcNameA(LPCSTR computerName, LPCSTR domainName, GUID* domainGuid, LPCSTR siteName,
                   ULONG flags, PDOMAIN_CONTROLLER_INFOA* domainControllerInfo);

// ---- Winsock ----
// A WORD from its low and high bytes (a Winsock version: MAKEWORD(2, 2)).
constexpr WORD MAKEWORD(BYTE low, BYTE high) { return static_cast<WORD>(low | (high << 8)); }
// What WSAStartup reports about the Winsock implementation.
struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};
// Pointer to a WSADATA.
using LPWSADATA = WSADATA*;
inline constexpr int SOCKET_ERROR = -1;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSAEFAULT = 10014;
// Counted per process, as on Windows: every successful WSAStartup needs a WSACleanup.
int WSAStartup(WORD versionRequested, LPWSADATA data);
// Ends one WSAStartup; SOCKET_ERROR with WSANOTINITIALISED when none is left.
int WSACleanup();
// The calling thread's last Winsock error code.
int WSAGetLastError();

// ---- IP Helper ----
inline constexpr int MAX_ADAPTER_NAME_LENGTH = 256;
inline constexpr int MAX_ADAPTER_DESCRIPTION_LENGTH = 128;
inline constexpr int MAX_ADAPTER_ADDRESS_LENGTH = 8;
inline constexpr UINT MIB_IF_TYPE_OTHER = 1;
inline constexpr UINT MIB_IF_TYPE_ETHERNET = 6;

// IP_ADDRESS_STRING, IP_MASK_STRING: a dotted IPv4 address or mask as text.
struct IP_ADDRESS_STRING {
    char String[16];
};
using IP_MASK_STRING = IP_ADDRESS_STRING;
// One address of an adapter with its mask, in a list linked through Next.
struct IP_ADDR_STRING {
    IP_ADDR_STRING* Next;
    IP_ADDRESS_STRING IpAddress;
    IP_MASK_STRING IpMask;
    DWORD Context;
};
// Pointer to an IP_ADDR_STRING.
using PIP_ADDR_STRING = IP_ADDR_STRING*;

// One network adapter as GetAdaptersInfo reports it, in a list linked through Next.
struct IP_ADAPTER_INFO {
    IP_ADAPTER_INFO* Next;
    DWORD ComboIndex;
    char AdapterName[MAX_ADAPTER_NAME_LENGTH + 4];
    char Description[MAX_ADAPTER_DESCRIPTION_LENGTH + 4];
    UINT AddressLength;
    BYTE Address[MAX_ADAPTER_ADDRESS_LENGTH];
    DWORD Index;
    UINT Type;
    UINT DhcpEnabled;
    PIP_ADDR_STRING CurrentIpAddress;
    IP_ADDR_STRING IpAddressList;
    IP_ADDR_STRING GatewayList;
    IP_ADDR_STRING DhcpServer;
    BOOL HaveWins;
    IP_ADDR_STRING PrimaryWinsServer;
    IP_ADDR_STRING SecondaryWinsServer;
    std::time_t LeaseObtained;
    std::time_t LeaseExpires;
};
// Pointer to an IP_ADAPTER_INFO.
using PIP_ADAPTER_INFO = IP_ADAPTER_INFO*;

// As on Windows: a null buffer or a too small *size gives ERROR_BUFFER_OVERFLOW with
// the needed size; no adapters gives ERROR_NO_DATA (232); a null size pointer gives
// ERROR_INVALID_PARAMETER. Loopback interfaces are not listed; an adapter without an
// IPv4 address reports 0.0.0.0.
ULONG GetAdaptersInfo(PIP_ADAPTER_INFO adapterInfo, PULONG size);

#endif  // _WIN32
