// Machine profile parsing and the identity answers built on it: computer name, join
// information, domain controller, Winsock balance.
#include <gtest/gtest.h>

#include <unistd.h>

#include "platform/platform.h"
#include "platform/src/machine_profile.h"
#include "tests/support/test_support.h"

using testsupport::MachineRoot;
using testsupport::WriteFile;

TEST(MachineProfileTest, ValuesCommentsQuotesAndMalformedLines) {
    const auto p = host::ParseMachineProfile(
        "; leading comment\n"
        "[OS]\r\n"
        "major = 6   ; trailing comment\n"
        "Minor=1\n"
        "suite_mask = 0x0200\n"
        "edition = 4x\n"                // malformed number keeps the default
        "build = 99999999999999999\n"   // out of range keeps the default
        "this line has no equals sign\n"
        "= value without key\n"
        "[broken section\n"
        "csd_version = \"  Service Pack 1 \" ; quoted keeps blanks\n"
        "[computer]\n"
        "join_name = \"  CORP \"\n"
        "name = pc-01\n"
        "name = pc-02\n");               // the last occurrence wins
    EXPECT_EQ(p.major, 6u);
    EXPECT_EQ(p.minor, 1u);
    EXPECT_EQ(p.suiteMask, 0x200);
    EXPECT_EQ(p.edition, 48u);
    EXPECT_EQ(p.build, 19045u);
    EXPECT_EQ(p.csdVersion, "  Service Pack 1 ");
    EXPECT_EQ(p.joinName, "  CORP ");
    EXPECT_EQ(p.computerName, "pc-02");
}

TEST(MachineProfileTest, DefaultsDescribeA64BitWorkstationInAWorkgroup) {
    const auto p = host::ParseMachineProfile("");
    EXPECT_EQ(p.major, 10u);
    EXPECT_EQ(p.platformId, 2u);
    EXPECT_EQ(p.productType, 1);
    EXPECT_EQ(p.edition, 48u);
    EXPECT_EQ(p.architecture, 9);
    EXPECT_TRUE(p.wow64);
    EXPECT_EQ(p.joinStatus, 2u);
    EXPECT_EQ(p.joinName, "WORKGROUP");
    EXPECT_FALSE(p.adaptersListed);
}

TEST(MachineProfileTest, AdapterLines) {
    const auto p = host::ParseMachineProfile(
        "[network]\n"
        "adapter.10 = 7, , 192.168.1.2/255.255.255.0\n"
        "adapter.2 = 3, 00-1A-2B-3C-4D-5E, 10.0.0.5/255.0.0.0, 10.0.0.6/255.0.0.0\n"
        "adapter.3 = x, 00-11, 10.0.0.7/255.0.0.0\n"          // bad index
        "adapter.4 = 4, 00-1G, 10.0.0.8/255.0.0.0\n"          // bad MAC
        "adapter.5 = 5, 00-11, 10.0.0.300/255.0.0.0\n"        // bad address
        "adapter.6 = 6, 00-11, 10.0.0.9\n"                    // no mask
        "adapter.7 = 8, 01:02:03:04:05:06:07:08\n");          // no addresses, 8-byte MAC
    ASSERT_TRUE(p.adaptersListed);
    ASSERT_EQ(p.adapters.size(), 3u);
    EXPECT_EQ(p.adapters[0].index, 3u);  // sorted by N
    EXPECT_EQ(p.adapters[0].mac, (std::vector<BYTE>{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
    ASSERT_EQ(p.adapters[0].addresses.size(), 2u);
    EXPECT_EQ(p.adapters[0].addresses[1].first, "10.0.0.6");
    EXPECT_EQ(p.adapters[1].mac.size(), 8u);
    EXPECT_TRUE(p.adapters[1].addresses.empty());
    EXPECT_TRUE(p.adapters[2].mac.empty());
    EXPECT_EQ(p.adapters[2].index, 7u);
}

TEST(MachineProfileTest, BinaryGarbageNeverCrashes) {
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 7919) % 256);
    garbage += "\n[network]\nadapter.1 = ,,,,/,/\nadapter. = 1\n[";
    const auto p = host::ParseMachineProfile(garbage);
    EXPECT_TRUE(p.adapters.empty());
}

TEST(ComputerNameTest, SizingNamesAndFailure) {
    MachineRoot root;
    WriteFile(root.path() / "machine.ini", "[computer]\nname = pc-01.corp.example\n");
    DWORD size = 0;
    EXPECT_FALSE(GetComputerNameExW(ComputerNamePhysicalDnsHostname, nullptr, &size));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);  // "pc-01" and the terminator
    WCHAR small[5] = {};
    size = 5;
    EXPECT_FALSE(GetComputerNameExW(ComputerNamePhysicalDnsHostname, small, &size));
    EXPECT_EQ(size, 6u);

    WCHAR buffer[64] = {};
    size = 64;
    ASSERT_TRUE(GetComputerNameExW(ComputerNamePhysicalDnsHostname, buffer, &size));
    EXPECT_EQ(std::u16string(buffer), u"pc-01");
    EXPECT_EQ(size, 5u);
    size = 64;
    ASSERT_TRUE(GetComputerNameExW(ComputerNamePhysicalDnsFullyQualified, buffer, &size));
    EXPECT_EQ(std::u16string(buffer), u"pc-01.corp.example");
    size = 64;
    ASSERT_TRUE(GetComputerNameExW(ComputerNameNetBIOS, buffer, &size));
    EXPECT_EQ(std::u16string(buffer), u"PC-01");

    WriteFile(root.path() / "machine.ini", "[computer]\nname_error = 1210\n");
    size = 64;
    EXPECT_FALSE(GetComputerNameExW(ComputerNamePhysicalDnsHostname, buffer, &size));
    EXPECT_EQ(GetLastError(), 1210u);
}

TEST(ComputerNameTest, HostNameWithoutProfile) {
    MachineRoot root;
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    std::string expected = host;
    expected = expected.substr(0, expected.find('.'));
    WCHAR buffer[256] = {};
    DWORD size = 256;
    ASSERT_TRUE(GetComputerNameExW(ComputerNamePhysicalDnsHostname, buffer, &size));
    EXPECT_EQ(std::u16string(buffer), std::u16string(expected.begin(), expected.end()));
}

TEST(JoinInformationTest, StatusNameAndFailure) {
    MachineRoot root;
    LPWSTR name = nullptr;
    NETSETUP_JOIN_STATUS status = NetSetupUnknownStatus;
    ASSERT_EQ(NetGetJoinInformation(nullptr, &name, &status), NERR_Success);
    EXPECT_EQ(status, NetSetupWorkgroupName);
    EXPECT_EQ(std::u16string(name), u"WORKGROUP");
    NetApiBufferFree(name);

    WriteFile(root.path() / "machine.ini", "[computer]\njoin_status = 3\njoin_name = CORPé\n");
    ASSERT_EQ(NetGetJoinInformation(nullptr, &name, &status), NERR_Success);
    EXPECT_EQ(status, NetSetupDomainName);
    EXPECT_EQ(std::u16string(name), u"CORPé");
    NetApiBufferFree(name);

    EXPECT_EQ(NetGetJoinInformation(u"\\\\other", &name, &status), ERROR_INVALID_COMPUTERNAME);
    WriteFile(root.path() / "machine.ini", "[computer]\njoin_error = 2453\n");
    EXPECT_EQ(NetGetJoinInformation(nullptr, &name, &status), 2453u);
}

TEST(DomainControllerTest, FailsWithoutControllerAndFillsRecordWithOne) {
    MachineRoot root;
    PDOMAIN_CONTROLLER_INFOA info = nullptr;
    EXPECT_EQ(DsGetDcNameA(nullptr, nullptr, nullptr, nullptr, DS_RETURN_FLAT_NAME, &info), ERROR_NO_SUCH_DOMAIN);
    EXPECT_EQ(info, nullptr);

    WriteFile(root.path() / "machine.ini",
              "[domain]\ndc_name = \\\\DC01\ndc_address = \\\\10.0.0.1\ndomain_name = CORP\nforest_name = corp.example\n"
              "dc_site = Default-First-Site\n");
    ASSERT_EQ(DsGetDcNameA(nullptr, nullptr, nullptr, nullptr, DS_RETURN_FLAT_NAME, &info), ERROR_SUCCESS);
    EXPECT_STREQ(info->DomainControllerName, "\\\\DC01");
    EXPECT_STREQ(info->DomainControllerAddress, "\\\\10.0.0.1");
    EXPECT_STREQ(info->DomainName, "CORP");
    EXPECT_STREQ(info->DnsForestName, "corp.example");
    EXPECT_STREQ(info->DcSiteName, "Default-First-Site");
    EXPECT_STREQ(info->ClientSiteName, "");
    NetApiBufferFree(info);
}

TEST(WinsockTest, StartAndCleanupBalance) {
    WSADATA data{};
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);  // one more than started
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(WSAStartup(MAKEWORD(1, 0), &data), WSAVERNOTSUPPORTED);
}
