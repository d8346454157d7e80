// Computer name, domain membership, domain controller and Winsock start-up, answered
// from the machine profile (the host name when the profile names no computer).
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/src/machine_profile.h"
#include "platform/win/errors.h"
#include "platform/win/network.h"
#include "platform/win/text.h"

namespace {

std::u16string ToWide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int needed = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (needed <= 0) return {};
    std::u16string wide(static_cast<std::size_t>(needed), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), needed);
    return wide;
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

std::string FirstLabel(const std::string& name) { return name.substr(0, name.find('.')); }

}  // namespace

BOOL GetComputerNameExW(COMPUTER_NAME_FORMAT nameType, LPWSTR buffer, LPDWORD size) {
    if (!size || nameType < ComputerNameNetBIOS || nameType >= ComputerNameMax) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const host::MachineProfile p = host::LoadMachineProfile();
    if (p.nameError != 0) {
        SetLastError(p.nameError);
        return FALSE;
    }
    const std::string full = p.computerName.empty() ? HostName() : p.computerName;
    const std::string host = FirstLabel(full);
    std::string domain = p.domainName;
    if (domain.empty() && full.find('.') != std::string::npos) domain = full.substr(full.find('.') + 1);
    std::string name;
    switch (nameType) {
        case ComputerNameNetBIOS:
        case ComputerNamePhysicalNetBIOS: {
            name = host.substr(0, 15);
            for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            break;
        }
        case ComputerNameDnsHostname:
        case ComputerNamePhysicalDnsHostname:
            name = host;
            break;
        case ComputerNameDnsDomain:
        case ComputerNamePhysicalDnsDomain:
            name = domain;
            break;
        default:
            name = domain.empty() ? host : host + "." + domain;
            break;
    }
    const std::u16string wide = ToWide(name);
    const DWORD length = static_cast<DWORD>(wide.size());
    if (!buffer || *size < length + 1) {
        *size = length + 1;
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    std::memcpy(buffer, wide.data(), wide.size() * sizeof(char16_t));
    buffer[length] = u'\0';
    *size = length;
    return TRUE;
}

NET_API_STATUS NetGetJoinInformation(LPCWSTR server, LPWSTR* nameBuffer, PNETSETUP_JOIN_STATUS joinStatus) {
    if (!nameBuffer || !joinStatus) return ERROR_INVALID_PARAMETER;
    if (server && *server) return ERROR_INVALID_COMPUTERNAME;  // only the local computer
    const host::MachineProfile p = host::LoadMachineProfile();
    if (p.joinError != 0) return p.joinError;
    const std::u16string wide = ToWide(p.joinName);
    auto* copy = static_cast<LPWSTR>(std::calloc(wide.size() + 1, sizeof(char16_t)));
    if (!copy) return ERROR_NOT_ENOUGH_MEMORY;
    std::memcpy(copy, wide.data(), wide.size() * sizeof(char16_t));
    *nameBuffer = copy;
    *joinStatus = static_cast<NETSETUP_JOIN_STATUS>(p.joinStatus);
    return NERR_Success;
}

NET_API_STATUS NetApiBufferFree(LPVOID buffer) {
    std::free(buffer);
    return NERR_Success;
}

DWORD DsGetDcNameA(LPCSTR, LPCSTR, GUID*, LPCSTR, ULONG flags, PDOMAIN_CONTROLLER_INFOA* info) {
    if (!info) return ERROR_INVALID_PARAMETER;
    *info = nullptr;
    if ((flags & DS_RETURN_FLAT_NAME) && (flags & DS_RETURN_DNS_NAME)) return ERROR_INVALID_PARAMETER;
    const host::MachineProfile p = host::LoadMachineProfile();
    if (p.dcName.empty()) return ERROR_NO_SUCH_DOMAIN;

    // One block: the record followed by its strings, as NetApiBufferFree expects.
    const std::string* texts[] = {&p.dcName, &p.dcAddress, &p.domainName, &p.forestName, &p.dcSite, &p.clientSite};
    std::size_t total = sizeof(DOMAIN_CONTROLLER_INFOA);
    for (const auto* text : texts) total += text->size() + 1;
    auto* block = static_cast<char*>(std::calloc(1, total));
    if (!block) return ERROR_NOT_ENOUGH_MEMORY;
    auto* record = reinterpret_cast<PDOMAIN_CONTROLLER_INFOA>(block);
    char* cursor = block + sizeof(DOMAIN_CONTROLLER_INFOA);
    LPSTR* fields[] = {&record->DomainControllerName, &record->DomainControllerAddress, &record->DomainName,
                       &record->DnsForestName, &record->DcSiteName, &record->ClientSiteName};
    for (std::size_t i = 0; i < 6; ++i) {
        std::memcpy(cursor, texts[i]->data(), texts[i]->size());
        *fields[i] = cursor;
        cursor += texts[i]->size() + 1;
    }
    record->DomainControllerAddressType = DS_INET_ADDRESS;
    *info = record;
    return ERROR_SUCCESS;
}

namespace {
std::atomic<int> gWinsockStarts{0};
}

int WSAStartup(WORD versionRequested, LPWSADATA data) {
    if (!data) return WSAEFAULT;
    const BYTE major = versionRequested & 0xFF;
    const BYTE minor = versionRequested >> 8;
    std::memset(data, 0, sizeof *data);
    data->wHighVersion = MAKEWORD(2, 2);
    if (major < 1 || (major == 1 && minor < 1)) {
        data->wVersion = MAKEWORD(2, 2);
        return WSAVERNOTSUPPORTED;
    }
    data->wVersion = (major > 2 || (major == 2 && minor >= 2)) ? MAKEWORD(2, 2) : versionRequested;
    std::strcpy(data->szDescription, "WinSock 2.0");
    std::strcpy(data->szSystemStatus, "Running");
    ++gWinsockStarts;
    return 0;
}

int WSACleanup() {
    int current = gWinsockStarts.load();
    while (current > 0 && !gWinsockStarts.compare_exchange_weak(current, current - 1)) {
    }
    if (current <= 0) {
        SetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    return 0;
}

int WSAGetLastError() { return static_cast<int>(GetLastError()); }
