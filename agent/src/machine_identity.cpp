// The local machine's identity: host name, domain or workgroup, domain controller and
// the parallel lists of IPv4 addresses, MAC addresses and subnet masks.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "agent/agent.h"
#include "runtime/runtime.h"

std::optional<std::string> gv_localComputerName;
std::optional<std::string> gv_clientNamespace;
int gv_inDomain = 1;
std::optional<std::string> gv_localIPAddress;
std::optional<std::string> gv_localMACAddress;
std::optional<std::string> gv_localSubnetMask;
std::optional<std::string> gv_domainController;

namespace {

// A list holds at most this many characters (the bounded concatenation's limit - 1).
constexpr std::size_t kListBound = 32766;

std::string MacText(const IP_ADAPTER_INFO& adapter) {
    std::string text;
    const UINT length = std::min<UINT>(adapter.AddressLength, MAX_ADAPTER_ADDRESS_LENGTH);
    for (UINT i = 0; i < length; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, i + 1 < length ? "%02x:" : "%02x", adapter.Address[i]);
        text += pair;
    }
    return text;
}

std::size_t Appended(const std::string& list, const std::string& item, bool separated) {
    return list.size() + item.size() + (separated ? 1 : 0);
}

}  // namespace

DWORD GetMACandIPAddress(std::optional<std::string>* ipList, std::optional<std::string>* macList,
                         std::optional<std::string>* maskList) {
    std::string ips, macs, masks;
    ipList->emplace();
    macList->emplace();
    maskList->emplace();

    ULONG size = 0;
    DWORD result = GetAdaptersInfo(nullptr, &size);
    if (result != ERROR_SUCCESS && result != ERROR_BUFFER_OVERFLOW) {
        LogError("GetMACandIPAddress : GetAdaptersInfo sizing failed with error %d\n", result);
        return result;
    }
    std::vector<IP_ADAPTER_INFO> buffer;
    try {
        buffer.resize((size + sizeof(IP_ADAPTER_INFO) - 1) / sizeof(IP_ADAPTER_INFO));
    } catch (const std::bad_alloc&) {
        LogError("GetMACandIPAddress : Memory allocation error\n");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    size = static_cast<ULONG>(buffer.size() * sizeof(IP_ADAPTER_INFO));
    result = GetAdaptersInfo(buffer.empty() ? nullptr : buffer.data(), &size);
    if (result != ERROR_SUCCESS) {
        LogError("GetMACandIPAddress : GetAdaptersInfo failed with error %d\n", result);
        return result;
    }

    bool full = false;
    for (const IP_ADAPTER_INFO* adapter = buffer.data(); adapter && !full; adapter = adapter->Next) {
        const std::string mac = MacText(*adapter);
        for (const IP_ADDR_STRING* entry = &adapter->IpAddressList; entry; entry = entry->Next) {
            const std::string ip = entry->IpAddress.String;
            const std::string mask = entry->IpMask.String;
            std::printf("%-10.d%-10.d%-20.20s%s\n", static_cast<int>(adapter->Index), static_cast<int>(entry->Context),
                        ip.c_str(), mask.c_str());
            LogInfo("ipAddress :%-10.d%-10.d%-20.20s%s\n", adapter->Index, entry->Context, ip, mask);
            if (ip == "0.0.0.0") continue;

            const bool withMac = mac.size() == 17;
            // Entries are added whole to all lists or not at all, so the lists stay parallel.
            if (Appended(ips, ip, ips.size() > 2) > kListBound || Appended(masks, mask, masks.size() > 2) > kListBound ||
                (withMac && Appended(macs, mac, macs.size() >= 2) > kListBound)) {
                LogError("GetMACandIPAddress : address lists are full, further addresses left out\n");
                full = true;
                break;
            }
            if (ips.size() > 2) ips += ',';
            ips += ip;
            if (withMac) {
                if (macs.size() >= 2) macs += ',';
                macs += mac;
            }
            if (masks.size() > 2) masks += ',';
            masks += mask;
        }
    }
    if (macs.empty()) macs = "--";
    std::fflush(stdout);

    LogDebug("GetMACandIPAddress : Local Machine MAC ADDRESS : %s \n", macs);
    LogDebug("GetMACandIPAddress : Local Machine IP ADDRESS  : %s \n", ips);
    LogDebug("GetMACandIPAddress : Local Machine Subnet Mask : %s \n", masks);
    *ipList = std::move(ips);
    *macList = std::move(macs);
    *maskList = std::move(masks);
    return 0;
}

DWORD GetComputerLogonServer(std::optional<std::string>* name) {
    PDOMAIN_CONTROLLER_INFOA info = nullptr;
    const DWORD result = DsGetDcNameA(nullptr, nullptr, nullptr, nullptr, DS_RETURN_FLAT_NAME, &info);
    if (result != ERROR_SUCCESS) {
        LogError("GetComputerLogonServer: Error while fetching DC name! %d \n", result);
        return result;
    }
    LogDebug("GetComputerLogonServer : DomainControllerName :%s \n", info->DomainControllerName);
    LogDebug("DomainControllerAddress :%s\n", info->DomainControllerAddress);
    LogDebug("DomainName :%s\n", info->DomainName);
    LogDebug("DnsForestName :%s\n", info->DnsForestName);
    LogDebug("DcSiteName :%s\n", info->DcSiteName);
    LogDebug("ClientSiteName :%s\n", info->ClientSiteName);
    // The name comes as "\\DC01"; only the leading backslashes are dropped.
    const char* dc = info->DomainControllerName ? info->DomainControllerName : "";
    for (int i = 0; i < 2 && *dc == '\\'; ++i) ++dc;
    *name = std::string(dc);
    NetApiBufferFree(info);
    return 0;
}

int GetLocalComputerName(std::optional<std::string>* name) {
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
    WCHAR buffer[64] = {};
    DWORD size = 64;
    if (!GetComputerNameExW(ComputerNamePhysicalDnsHostname, buffer, &size)) {
        LogError("GetLocalComputerName: Error while getting computername! %d \n", WSAGetLastError());
        WSACleanup();
        return 0;
    }
    LogDebug("GetLocalComputerName: Computer Name: %ws \n", static_cast<const WCHAR*>(buffer));
    std::string utf8;
    if (!ConvertWideToUtf8(buffer, &utf8)) {
        LogError("GetLocalComputerName: Error while getting computername! %d \n", ERROR_NO_UNICODE_TRANSLATION);
        WSACleanup();
        return 0;
    }
    *name = std::move(utf8);
    LogInfo("GetLocalComputerName : Computer Name : %s\n", *name);
    WSACleanup();
    return 1;
}

int GetComputerNameSpace(std::optional<std::string>* name, int* inDomain) {
    LPWSTR buffer = nullptr;
    NETSETUP_JOIN_STATUS status = NetSetupUnknownStatus;
    const NET_API_STATUS result = NetGetJoinInformation(nullptr, &buffer, &status);
    if (result != NERR_Success) {
        LogError("GetComputerNameSpace : Failed to retrive the namespace -> %d \n", result);
        return 0;
    }
    std::string utf8;
    ConvertWideToUtf8(buffer ? buffer : WTEXT(""), &utf8);
    NetApiBufferFree(buffer);
    *name = std::move(utf8);
    *inDomain = 0;
    switch (status) {
        case NetSetupUnknownStatus:
            LogInfo("GetComputerNameSpace : The status is unknown. \n");
            break;
        case NetSetupUnjoined:
            LogInfo("GetComputerNameSpace :The computer is not joined. \n");
            break;
        case NetSetupWorkgroupName:
            LogInfo("GetComputerNameSpace :The computer is joined to a workgroup. \n");
            break;
        case NetSetupDomainName:
            LogInfo("GetComputerNameSpace :The computer is joined to a domain. \n");
            *inDomain = 1;
            break;
        default:
            LogInfo("GetComputerNameSpace : The status is not determined .\n");
            break;
    }
    return 1;
}

int InitializeLocalMachineDetails() {
    if (GetMACandIPAddress(&gv_localIPAddress, &gv_localMACAddress, &gv_localSubnetMask) != 0)
        LogError("InitializeLocalMachineDetails : Error while fetching Local machine IP and MAC Addresses! \n");
    if (GetComputerLogonServer(&gv_domainController) != 0)
        LogError("InitializeLocalMachineDetails : Error while fetching computer domain controller ! \n");
    if (!GetLocalComputerName(&gv_localComputerName)) {
        LogError("InitializeLocalMachineDetails : Error occured while retrieving the local computer name !!! \n");
        return ERROR_INVALID_DATA;
    }
    std::optional<std::string> nameSpace;
    if (!GetComputerNameSpace(&nameSpace, &gv_inDomain)) {
        LogError("InitializeLocalMachineDetails : Error occured while retrieving the name space !!! \n");
        return ERROR_INVALID_DATA;
    }
    std::string trimmed = nameSpace.value_or("");
    while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back()))) trimmed.pop_back();
    std::size_t start = 0;
    while (start < trimmed.size() && std::isspace(static_cast<unsigned char>(trimmed[start]))) ++start;
    gv_clientNamespace = trimmed.substr(start);
    return 0;
}
