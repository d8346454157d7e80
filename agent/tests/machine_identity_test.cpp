// Local machine identity: the parallel address lists, the domain controller and the
// workgroup or domain namespace.
#include "agent/tests/agent_fixture.h"

TEST_F(AgentTest, AddressListsFromProfileAdapters) {
    struct Case {
        const char* network;
        const char* ips;
        const char* macs;
        const char* masks;
    };
    const Case cases[] = {
        {"adapter.1 = 3, 00-1A-2B-3C-4D-5E, 10.0.0.5/255.0.0.0, 10.0.0.6/255.0.0.0\n", "10.0.0.5,10.0.0.6",
         "00:1a:2b:3c:4d:5e,00:1a:2b:3c:4d:5e", "255.0.0.0,255.0.0.0"},
        {"adapter.1 = 3, 00-1A-2B-3C-4D-5E, 0.0.0.0/0.0.0.0\nadapter.2 = 4, 00-11-22-33-44-55, 192.168.1.4/255.255.255.0\n",
         "192.168.1.4", "00:11:22:33:44:55", "255.255.255.0"},
        {"adapter.1 = 3, , 10.0.0.5/255.0.0.0\nadapter.2 = 4, 01-02-03-04-05-06-07-08, 10.0.0.7/255.0.0.0\n",
         "10.0.0.5,10.0.0.7", "--", "255.0.0.0,255.0.0.0"},
        {"adapter.1 = 3, 00-1A-2B-3C-4D-5E\n", "", "--", ""},  // no address at all
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.network);
        TearDown();
        SetUp();
        profile = std::string("[network]\n") + c.network;
        Prepare();
        ASSERT_EQ(InitializeLocalMachineDetails(), 0);
        EXPECT_EQ(gv_localIPAddress, c.ips);
        EXPECT_EQ(gv_localMACAddress, c.macs);
        EXPECT_EQ(gv_localSubnetMask, c.masks);
    }
}

TEST_F(AgentTest, MachineWithoutAdaptersKeepsEmptyLists) {
    profile = "[network]\nadapters = none\n";
    Prepare();
    ASSERT_EQ(InitializeLocalMachineDetails(), 0);
    EXPECT_TRUE(Logged("GetMACandIPAddress : GetAdaptersInfo sizing failed with error 232\n"));
    EXPECT_TRUE(Logged("InitializeLocalMachineDetails : Error while fetching Local machine IP and MAC Addresses! \n"));
    EXPECT_EQ(gv_localIPAddress, "");
    EXPECT_EQ(gv_localMACAddress, "");
}

TEST_F(AgentTest, AddressListsStayBoundedAndParallel) {
    std::string network = "[network]\n";
    for (int i = 1; i <= 30; ++i) {
        network += "adapter." + std::to_string(i) + " = " + std::to_string(i) + ", 00-11-22-33-44-" +
                   (i < 16 ? "0" : "") + [](int v) { char b[3]; std::snprintf(b, sizeof b, "%x", v); return std::string(b); }(i);
        for (int k = 0; k < 100; ++k) network += ", 10." + std::to_string(i) + "." + std::to_string(k) + ".1/255.255.255.0";
        network += "\n";
    }
    profile = network;
    Prepare();
    ASSERT_EQ(InitializeLocalMachineDetails(), 0);
    const auto count = [](const std::string& list) { return std::count(list.begin(), list.end(), ',') + 1; };
    EXPECT_LE(gv_localIPAddress->size(), 32766u);
    EXPECT_LE(gv_localMACAddress->size(), 32766u);
    EXPECT_LE(gv_localSubnetMask->size(), 32766u);
    EXPECT_EQ(count(*gv_localIPAddress), count(*gv_localMACAddress));
    EXPECT_EQ(count(*gv_localIPAddress), count(*gv_localSubnetMask));
    EXPECT_GT(count(*gv_localIPAddress), 1000);
    EXPECT_NE(gv_localMACAddress->back(), ',');  // whole entries only
}

TEST_F(AgentTest, RealInterfacesGiveTheLoopbackFreeView) {
    profile = "[computer]\nname = PC-01\n";  // no [network]: the host's interfaces
    Prepare();
    ASSERT_EQ(InitializeLocalMachineDetails(), 0);
    ASSERT_TRUE(gv_localIPAddress.has_value());
    EXPECT_EQ(gv_localIPAddress->find("127."), std::string::npos);
    if (!gv_localIPAddress->empty()) {
        const auto count = [](const std::string& list) { return std::count(list.begin(), list.end(), ',') + 1; };
        EXPECT_EQ(count(*gv_localIPAddress), count(*gv_localSubnetMask));
        if (*gv_localMACAddress != "--") {
            EXPECT_EQ(gv_localMACAddress->size() % 18, 17u);
        }
    }
}

TEST_F(AgentTest, WorkgroupAndDomainMembers) {
    struct Case {
        const char* ini;
        const char* nameSpace;
        int inDomain;
        std::optional<std::string> controller;
        const char* joinMessage;
    };
    const Case cases[] = {
        {"[computer]\njoin_status = 2\njoin_name = WORKGROUP\n", "WORKGROUP", 0, std::nullopt,
         "GetComputerNameSpace :The computer is joined to a workgroup. \n"},
        {"[computer]\njoin_status = 3\njoin_name = \"  CORP \"\n[domain]\ndc_name = \\\\DC01\ndomain_name = CORP\n", "CORP", 1,
         "DC01", "GetComputerNameSpace :The computer is joined to a domain. \n"},
        {"[computer]\njoin_status = 1\njoin_name = \"\t\"\n", "", 0, std::nullopt, "GetComputerNameSpace :The computer is not joined. \n"},
        {"[computer]\njoin_status = 0\n", "WORKGROUP", 0, std::nullopt, "GetComputerNameSpace : The status is unknown. \n"},
        {"[computer]\njoin_status = 9\n", "WORKGROUP", 0, std::nullopt, "GetComputerNameSpace : The status is not determined .\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ini);
        TearDown();
        SetUp();
        profile = c.ini;
        Prepare();
        const auto dcErrors = [this] {
            const auto m = Messages();
            return std::count(m.begin(), m.end(), "InitializeLocalMachineDetails : Error while fetching computer domain controller ! \n");
        };
        const auto before = dcErrors();
        ASSERT_EQ(InitializeLocalMachineDetails(), 0);
        EXPECT_EQ(gv_clientNamespace, c.nameSpace);
        EXPECT_EQ(gv_inDomain, c.inDomain);
        EXPECT_EQ(gv_domainController, c.controller);
        EXPECT_TRUE(Logged(c.joinMessage));
        EXPECT_EQ(dcErrors() - before, c.controller ? 0 : 1);
    }
}

TEST_F(AgentTest, ComputerNameKeepsItsCase) {
    profile = "[computer]\nname = Pc-Ünï.corp.example\n";
    Prepare();
    std::optional<std::string> name;
    ASSERT_EQ(GetLocalComputerName(&name), 1);
    EXPECT_EQ(name, "Pc-Ünï");
    profile = "[computer]\nname = " + std::string(80, 'a') + "\n";  // longer than the 64-character buffer
    Prepare();
    name.reset();
    EXPECT_EQ(GetLocalComputerName(&name), 0);
    EXPECT_FALSE(name.has_value());
}

TEST_F(AgentTest, AdapterAndControllerLinesAsPrintfWritesThem) {
    profile =
        "[computer]\njoin_status = 3\njoin_name = CORP\n"
        "[domain]\ndc_name = \\\\DC01\ndc_address = \\\\10.0.0.1\ndomain_name = CORP\nforest_name = corp.example\n"
        "dc_site = HQ\nclient_site = Branch\n"
        "[network]\nadapter.1 = 3, 00-1A-2B-3C-4D-5E, 10.0.0.5/255.0.0.0\nadapter.2 = 0, , 0.0.0.0/0.0.0.0\n";
    Prepare();
    ASSERT_EQ(InitializeLocalMachineDetails(), 0);
    // "%-10.d" pads to ten columns and prints nothing for a zero; "%-20.20s" pads and cuts.
    EXPECT_TRUE(Logged("ipAddress :3         1         10.0.0.5            255.0.0.0\n")) << LogText();
    EXPECT_TRUE(Logged("ipAddress :          2         0.0.0.0             0.0.0.0\n")) << LogText();
    EXPECT_TRUE(Logged("GetMACandIPAddress : Local Machine IP ADDRESS  : 10.0.0.5 \n"));
    EXPECT_TRUE(Logged("GetComputerLogonServer : DomainControllerName :\\\\DC01 \n"));
    EXPECT_TRUE(Logged("DomainControllerAddress :\\\\10.0.0.1\n"));
    EXPECT_TRUE(Logged("DnsForestName :corp.example\n"));
    EXPECT_TRUE(Logged("ClientSiteName :Branch\n"));
    EXPECT_EQ(gv_domainController, "DC01");
}
