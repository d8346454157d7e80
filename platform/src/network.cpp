// GetAdaptersInfo: the IPv4 adapters listed by the machine profile, or else the host's
// non-loopback interfaces with their IPv4 addresses and link-layer addresses.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/src/machine_profile.h"
#include "platform/win/errors.h"
#include "platform/win/network.h"

namespace {

struct Adapter {
    std::string name;
    DWORD index = 0;
    std::vector<BYTE> mac;
    std::vector<std::pair<std::string, std::string>> addresses;
};

std::string AddressText(const sockaddr* address) {
    if (!address || address->sa_family != AF_INET) return "0.0.0.0";
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    return text;
}

std::vector<Adapter> HostAdapters() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return {};
    std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(list, freeifaddrs);
    std::vector<Adapter> adapters;
    const auto adapterFor = [&adapters](const char* name) -> Adapter& {
        for (auto& a : adapters)
            if (a.name == name) return a;
        Adapter added;
        added.name = name;
        added.index = if_nametoindex(name);
        adapters.push_back(std::move(added));
        return adapters.back();
    };
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_name || (entry->ifa_flags & IFF_LOOPBACK) || !entry->ifa_addr) continue;
        if (entry->ifa_addr->sa_family == AF_PACKET) {
            const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
            Adapter& adapter = adapterFor(entry->ifa_name);
            const std::size_t length = std::min<std::size_t>(link->sll_halen, MAX_ADAPTER_ADDRESS_LENGTH);
            adapter.mac.assign(link->sll_addr, link->sll_addr + length);
            // An all-zero link address is no hardware address (tunnels, some virtual links).
            if (std::all_of(adapter.mac.begin(), adapter.mac.end(), [](BYTE b) { return b == 0; }))
                adapter.mac.clear();
        } else if (entry->ifa_addr->sa_family == AF_INET) {
            adapterFor(entry->ifa_name)
                .addresses.emplace_back(AddressText(entry->ifa_addr), AddressText(entry->ifa_netmask));
        }
    }
    std::stable_sort(adapters.begin(), adapters.end(), [](const Adapter& a, const Adapter& b) { return a.index < b.index; });
    return adapters;
}

std::vector<Adapter> ProfileAdapters(const host::MachineProfile& profile) {
    std::vector<Adapter> adapters;
    for (const auto& listed : profile.adapters) {
        Adapter a;
        a.index = listed.index;
        a.name = "{adapter-" + std::to_string(listed.index) + "}";
        a.mac = listed.mac;
        a.addresses = listed.addresses;
        adapters.push_back(std::move(a));
    }
    return adapters;
}

void CopyText(char* target, std::size_t capacity, const std::string& text) {
    const std::size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(target, text.data(), n);
    target[n] = '\0';
}

void FillAddress(IP_ADDR_STRING* entry, const std::string& ip, const std::string& mask, DWORD context) {
    CopyText(entry->IpAddress.String, sizeof entry->IpAddress.String, ip);
    CopyText(entry->IpMask.String, sizeof entry->IpMask.String, mask);
    entry->Context = context;
}

}  // namespace

ULONG GetAdaptersInfo(PIP_ADAPTER_INFO adapterInfo, PULONG size) {
    if (!size) return ERROR_INVALID_PARAMETER;
    const host::MachineProfile profile = host::LoadMachineProfile();
    const std::vector<Adapter> adapters = profile.adaptersListed ? ProfileAdapters(profile) : HostAdapters();
    if (adapters.empty()) return ERROR_NO_DATA;

    // Each adapter record holds its first address; further ones follow all records.
    std::size_t extra = 0;
    for (const auto& a : adapters) extra += a.addresses.size() > 1 ? a.addresses.size() - 1 : 0;
    const std::size_t needed = adapters.size() * sizeof(IP_ADAPTER_INFO) + extra * sizeof(IP_ADDR_STRING);
    if (!adapterInfo || *size < needed) {
        *size = static_cast<ULONG>(needed);
        return ERROR_BUFFER_OVERFLOW;
    }
    std::memset(adapterInfo, 0, needed);
    auto* overflow = reinterpret_cast<IP_ADDR_STRING*>(adapterInfo + adapters.size());
    DWORD context = 1;
    for (std::size_t i = 0; i < adapters.size(); ++i) {
        const Adapter& source = adapters[i];
        IP_ADAPTER_INFO& target = adapterInfo[i];
        target.Next = i + 1 < adapters.size() ? &adapterInfo[i + 1] : nullptr;
        target.ComboIndex = source.index;
        target.Index = source.index;
        CopyText(target.AdapterName, sizeof target.AdapterName, source.name);
        CopyText(target.Description, sizeof target.Description, source.name);
        target.AddressLength = static_cast<UINT>(source.mac.size());
        std::copy(source.mac.begin(), source.mac.end(), target.Address);
        target.Type = source.mac.size() == 6 ? MIB_IF_TYPE_ETHERNET : MIB_IF_TYPE_OTHER;
        FillAddress(&target.GatewayList, "0.0.0.0", "0.0.0.0", 0);
        FillAddress(&target.DhcpServer, "", "", 0);
        if (source.addresses.empty()) {
            FillAddress(&target.IpAddressList, "0.0.0.0", "0.0.0.0", 0);
        } else {
            IP_ADDR_STRING* previous = &target.IpAddressList;
            FillAddress(previous, source.addresses[0].first, source.addresses[0].second, context++);
            for (std::size_t k = 1; k < source.addresses.size(); ++k) {
                FillAddress(overflow, source.addresses[k].first, source.addresses[k].second, context++);
                previous->Next = overflow;
                previous = overflow++;
            }
        }
        target.CurrentIpAddress = &target.IpAddressList;
    }
    *size = static_cast<ULONG>(needed);
    return ERROR_SUCCESS;
}
