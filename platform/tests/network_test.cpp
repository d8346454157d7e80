// GetAdaptersInfo: the buffer protocol and the address chains, from the profile and
// from the host's real interfaces.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/test_support.h"

using testsupport::MachineRoot;
using testsupport::WriteFile;

namespace {
std::vector<BYTE> Query(ULONG* result) {
    ULONG size = 0;
    *result = GetAdaptersInfo(nullptr, &size);
    if (*result != ERROR_BUFFER_OVERFLOW) return {};
    std::vector<BYTE> buffer(size);
    *result = GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &size);
    return buffer;
}
}  // namespace

TEST(AdaptersTest, ProfileAdaptersWithSeveralAddresses) {
    MachineRoot root;
    WriteFile(root.path() / "machine.ini",
              "[network]\n"
              "adapter.1 = 3, 00-1A-2B-3C-4D-5E, 10.0.0.5/255.0.0.0, 10.0.0.6/255.0.0.0\n"
              "adapter.2 = 4, , \n"
              "adapter.3 = 5, 00-11-22-33-44-55, 192.168.0.9/255.255.255.0, 192.168.0.10/255.255.255.0, "
              "192.168.0.11/255.255.255.0\n");
    ULONG result = 0;
    std::vector<BYTE> buffer = Query(&result);
    ASSERT_EQ(result, ERROR_SUCCESS);
    auto* first = reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data());

    std::vector<std::string> seen;
    int adapters = 0;
    for (auto* a = first; a; a = a->Next, ++adapters) {
        for (auto* e = &a->IpAddressList; e; e = e->Next) {
            // Every chain entry lies inside the caller's buffer.
            ASSERT_GE(reinterpret_cast<BYTE*>(e), buffer.data());
            ASSERT_LE(reinterpret_cast<BYTE*>(e + 1), buffer.data() + buffer.size());
            seen.push_back(std::to_string(a->Index) + " " + e->IpAddress.String + "/" + e->IpMask.String);
        }
    }
    EXPECT_EQ(adapters, 3);
    EXPECT_EQ(seen, (std::vector<std::string>{"3 10.0.0.5/255.0.0.0", "3 10.0.0.6/255.0.0.0", "4 0.0.0.0/0.0.0.0",
                                              "5 192.168.0.9/255.255.255.0", "5 192.168.0.10/255.255.255.0",
                                              "5 192.168.0.11/255.255.255.0"}));
    EXPECT_EQ(first->AddressLength, 6u);
    EXPECT_EQ(first->Address[5], 0x5E);
    EXPECT_EQ(first->Next->AddressLength, 0u);
}

TEST(AdaptersTest, BufferProtocol) {
    MachineRoot root;
    WriteFile(root.path() / "machine.ini", "[network]\nadapter.1 = 1, 00-11-22-33-44-55, 10.1.1.1/255.0.0.0\n");
    EXPECT_EQ(GetAdaptersInfo(nullptr, nullptr), ERROR_INVALID_PARAMETER);
    ULONG size = 0;
    ASSERT_EQ(GetAdaptersInfo(nullptr, &size), ERROR_BUFFER_OVERFLOW);
    EXPECT_EQ(size, sizeof(IP_ADAPTER_INFO));
    std::vector<BYTE> buffer(size);
    ULONG tooSmall = size - 1;
    EXPECT_EQ(GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &tooSmall), ERROR_BUFFER_OVERFLOW);
    EXPECT_EQ(tooSmall, size);

    WriteFile(root.path() / "machine.ini", "[network]\nadapters = none\n");
    EXPECT_EQ(GetAdaptersInfo(nullptr, &size), ERROR_NO_DATA);
}

TEST(AdaptersTest, RealInterfacesWithoutLoopback) {
    MachineRoot root;  // no profile: the host's interfaces
    std::set<std::string> expected;
    bool anyAdapter = false;
    ifaddrs* list = nullptr;
    ASSERT_EQ(getifaddrs(&list), 0);
    for (ifaddrs* e = list; e; e = e->ifa_next) {
        if (!e->ifa_addr || (e->ifa_flags & IFF_LOOPBACK)) continue;
        anyAdapter = true;
        if (e->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(e->ifa_addr)->sin_addr, text, sizeof text);
        expected.insert(text);
    }
    freeifaddrs(list);

    ULONG result = 0;
    std::vector<BYTE> buffer = Query(&result);
    if (!anyAdapter) {
        EXPECT_EQ(result, ERROR_NO_DATA);
        return;
    }
    ASSERT_EQ(result, ERROR_SUCCESS);
    std::set<std::string> reported;
    for (auto* a = reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()); a; a = a->Next) {
        EXPECT_LE(a->AddressLength, static_cast<UINT>(MAX_ADAPTER_ADDRESS_LENGTH));
        EXPECT_NE(a->Index, 0u);
        for (auto* e = &a->IpAddressList; e; e = e->Next) {
            const std::string ip = e->IpAddress.String;
            EXPECT_NE(ip.rfind("127.", 0), 0u) << "loopback address listed";
            in_addr parsed{};
            EXPECT_EQ(inet_pton(AF_INET, e->IpMask.String, &parsed), 1);
            if (ip != "0.0.0.0") reported.insert(ip);
        }
    }
    EXPECT_EQ(reported, expected);
}
