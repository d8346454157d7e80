// Start-up of the agent parameters: required values, defaults and write-backs, the
// summary block, imaged computers, WOW64 and TEMP.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "agent/tests/agent_fixture.h"

TEST_F(AgentTest, CompleteConfigurationSummaryLineByLine) {
    SKIP_WITHOUT_MACHINE_PROFILE();
    ASSERT_EQ(Run(), 0);
    const std::vector<std::string> expected = {
        "****************************************************************** \n",
        "Vantorra Server Name                -> server.example.test \n",
        "Vantorra Server Flat Name           -> SERVER \n",
        "Vantorra Server IPAddress           -> 192.0.2.10 \n",
        "Vantorra Server Secondary IPAddress -> 192.0.2.11 \n",
        "Vantorra Last Access Name           -> server.example.test \n",
        "Vantorra Server Port                -> 8000 \n",
        "Vantorra Server Protocol            -> http \n",
        "Vantorra Agent Version              -> 7.1.0 \n",
        "Vantorra Agent InstallDir           -> C:\\Program Files\\Vantorra\\Agent\\ \n",
        "Vantorra Client Namespace           -> WORKGROUP \n",
        "Vantorra Server Data Path           -> client-data/abc12/domains/workgroup \n",
        "Vantorra MSP Name\t           -> Halcyra MSP \n",
        "Vantorra Customer Name\t           -> Acme \n",
        "Vantorra Customer Id\t\t   -> AbC12 \n",
        "Vantorra Product Code               -> RQNB \n",
        "Local Computer Name                       -> PC-01 \n",
        "Local Computer IP Address                 -> 10.0.0.5,10.0.0.6 \n",
        "Local Computer MAC Address                -> 00:1a:2b:3c:4d:5e,00:1a:2b:3c:4d:5e \n",
        "Local Computer Subnet Mask                -> 255.0.0.0,255.0.0.0 \n",
        "ZQ Distribution Server Enabled            -> no \n",
        "The remote office name is                 -> Branch 7 \n",
        "Vantorra Agent HTTP Request Timeout -> 90000 \n",
        "Local Computer Domain controller          -> (null) \n",
        "The Agent Machine Resource Id is given by -> RES-42 \n",
        "Agent Checksum Enabled\t\t               -> 1 \n",
        "Agent Data Transfer Rate in KBps\t\t   -> 512 \n",
        "Agent Installation Source\t\t\t\t   -> MSI \n",
        "Agent Installation Mode\t\t\t\t   -> 2 (2-> silent, 5->Manual) \n",
        "****************************************************************** \n",
    };
    const auto messages = Messages();
    std::size_t start = 0;
    while (start < messages.size() && messages[start] != expected[0]) ++start;
    ASSERT_LE(start + expected.size(), messages.size()) << LogText();
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(messages[start + i], expected[i]) << "line " << i;

    EXPECT_EQ(gv_httpConnectionTimeout, 15000);
    EXPECT_EQ(gv_remoteOfficeMgmtEnabled, "YES");
    EXPECT_EQ(gv_dsProtocol, "http");
    EXPECT_EQ(gv_dsPort, 8000);
    EXPECT_FALSE(gv_dsServerName.has_value());
    EXPECT_TRUE(Logged("InitializeAgentParameters : Computer is not an imaged one .. \n"));
    EXPECT_TRUE(Logged("@@@@@@@@ End Of InitializeAgentParameters Method @@@@@@@@ \n"));
}

TEST_F(AgentTest, EachMissingRequiredValueStopsWith13AndKeepsEarlierParameters) {
    struct Case {
        std::string key;  // "root", "server", or "ds" (server key with a distribution server)
        std::string value;
        std::string message;
        bool serverRead;   // the server details were read before the stop
        bool versionRead;  // the agent details had started
    };
    const std::string ds = "InitializeDSServerDetailsFromRegistry : Error while fetching Reporting server ";
    const Case cases[] = {
        {"server", "ZQServerName", "InitializeServerDetailsFromRegistry : Error while fetching server name from registry! \n", false, false},
        {"server", "ZQServerPort", "InitializeServerDetailsFromRegistry : Error while fetching server port from registry! \n", true, false},
        {"root", "EnableDistributionServer", "InitializeAgentParameters : Error while fetching Master Agent entry from registry! \n", true, false},
        {"ds", "DistributionServerName", ds + "name from registry! \n", true, false},
        {"ds", "DistributionServerPort", ds + "port from registry! \n", true, false},
        {"root", "ZQAgentVersion", "InitializeAgentDetails : Error while fetching agent version from registry! \n", true, false},
        {"root", "AgentServiceName", "InitializeAgentDetails : Error while fetching agent service name from registry! \n", true, true},
        {"root", "MSPName", "InitializeAgentDetails : Error while fetching msp name from registry! \n", true, true},
        {"root", "CustomerName", "InitializeAgentDetails : Error while fetching customer name from registry! \n", true, true},
        {"root", "CustomerId", "InitializeAgentDetails : Error while fetching customer Id from registry! \n", true, true},
        {"root", "ZQProductCode", "InitializeAgentDetails : Error while fetching product Code from registry! \n", true, true},
        {"root", "ZQAgentInstallDir", "InitializeAgentDetails : Error while fetching agent install directory from registry! \n", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        TearDown();
        SetUp();
        if (c.key == "ds") {
            root["EnableDistributionServer"] = "yes";
            server["DistributionServerName"] = "ds.example.test";
            server["DistributionServerPort"] = "8080";
        }
        (c.key == "root" ? root : server).erase(c.value);
        EXPECT_EQ(Run(), 13);
        EXPECT_TRUE(Logged(c.message)) << LogText();
        EXPECT_EQ(gv_serverName.has_value(), c.value != "ZQServerName");
        EXPECT_EQ(gv_serverPort != 0, c.serverRead && c.value != "ZQServerPort");
        EXPECT_EQ(gv_agentVersion.has_value(), c.versionRead);
        EXPECT_FALSE(gv_agentInstallDir.has_value());  // read last, never reached
        EXPECT_FALSE(gv_clientDataPath.has_value());
        EXPECT_FALSE(Logged("****************************************************************** \n"));
        if (c.value == "DistributionServerPort") {
            EXPECT_EQ(gv_dsServerName, "ds.example.test");
        }
    }
}

TEST_F(AgentTest, LocalMachineFailuresStopWith13) {
    SKIP_WITHOUT_MACHINE_PROFILE();
    const std::pair<const char*, const char*> cases[] = {
        {"[computer]\nname_error = 1210\n",
         "InitializeLocalMachineDetails : Error occured while retrieving the local computer name !!! \n"},
        {"[computer]\njoin_error = 2453\n",
         "InitializeLocalMachineDetails : Error occured while retrieving the name space !!! \n"},
    };
    for (const auto& [ini, message] : cases) {
        TearDown();
        SetUp();
        profile = ini;
        EXPECT_EQ(Run(), 13);
        EXPECT_TRUE(Logged(message));
        EXPECT_TRUE(Logged("InitializeAgentParameters : Error while the local machine details ! \n"));
        EXPECT_EQ(gv_serverName, "server.example.test");
        EXPECT_FALSE(gv_agentVersion.has_value());
    }
}

TEST_F(AgentTest, InstallDirectoryIsUsedAsStored) {
    for (const std::string dir : {"C:\\Agent\\", "C:\\Agent"}) {
        TearDown();
        SetUp();
        root["ZQAgentInstallDir"] = dir;
        ASSERT_EQ(Run(), 0);
        EXPECT_EQ(gv_agentInstallDir, dir);
        EXPECT_EQ(*gv_agentInstallDir + "logs", dir == "C:\\Agent" ? "C:\\Agentlogs" : "C:\\Agent\\logs");
    }
}

TEST_F(AgentTest, EmptyCustomerIdStopsAfterBothMessages) {
    root["CustomerId"] = "";
    EXPECT_EQ(Run(), 13);
    const auto messages = Messages();
    const auto first = std::find(messages.begin(), messages.end(), "GetCustomerId: error while retrieving customerid\n");
    ASSERT_NE(first, messages.end());
    EXPECT_NE(std::find(first, messages.end(),
                        "InitializeAgentDetails : Error while fetching customer Id from registry! \n"),
              messages.end());
    EXPECT_FALSE(gv_customerId.has_value());
    EXPECT_EQ(gv_customerName, "Acme");
}

TEST_F(AgentTest, DataTransferRateBoundsAndWriteBack) {
    struct Case {
        std::optional<std::string> stored;
        DWORD rate;
        std::optional<std::string> after;  // registry value after the run
    };
    const Case cases[] = {
        {"3072", 3072, "3072"}, {"3073", 0, "0"}, {std::nullopt, 0, "0"}, {"abc", 0, "abc"},
        {"", 0, "0"},           {"100kb", 100, "100kb"}, {"-5", 0, "0"}, {"99999999999999999999", 0, "0"},
        // atol's long is 32 bits: these stop at LONG_MAX or LONG_MIN, never wrap to 1.
        {"4294967297", 0, "0"}, {"2147483648", 0, "0"}, {"-4294967295", 0, "0"}, {" +3072", 3072, " +3072"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored.value_or("<absent>"));
        TearDown();
        SetUp();
        if (c.stored) root["DataTransferRate_KBps"] = *c.stored;
        else root.erase("DataTransferRate_KBps");
        ASSERT_EQ(Run(), 0);
        EXPECT_EQ(gv_dataTransferRateKBps, c.rate);
        EXPECT_EQ(Registry(gv_agentRootKey, "DataTransferRate_KBps"), c.after);
    }
}

TEST_F(AgentTest, EnableDSRouteAndChecksumFlags) {
    struct Case {
        std::optional<std::string> route;
        int routeFlag;
        std::optional<std::string> routeAfter;
        std::optional<std::string> checksum;
        int checksumFlag;
    };
    const Case cases[] = {
        {std::nullopt, 0, "no", std::nullopt, 1},
        {"YES", 1, "YES", "no", 0},
        {"", 0, "", "Yes", 1},
        {"no", 0, "no", "", 0},
        {"yes ", 0, "yes ", "YES", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.route.value_or("<absent>") + " / " + c.checksum.value_or("<absent>"));
        TearDown();
        SetUp();
        if (c.route) root["EnableDSRoute"] = *c.route;
        else root.erase("EnableDSRoute");
        if (c.checksum) root["EnableChecksum"] = *c.checksum;
        else root.erase("EnableChecksum");
        ASSERT_EQ(Run(), 0);
        EXPECT_EQ(gv_dsRouteEnabled, c.routeFlag);
        EXPECT_EQ(Registry(gv_agentRootKey, "EnableDSRoute"), c.routeAfter);
        EXPECT_EQ(gv_checksumEnabled, c.checksumFlag);
    }
}

TEST_F(AgentTest, OptionalValuesTakeTheirDefaults) {
    for (const char* name : {"RemoteOfficeName", "RemoteOfficeID", "EnableRemoteOfficeMgmt", "InstallSource", "InstallMode"})
        root.erase(name);
    rootDwords.clear();
    ASSERT_EQ(Run(), 0);
    EXPECT_FALSE(gv_remoteOfficeName.has_value());
    EXPECT_FALSE(gv_remoteOfficeId.has_value());
    EXPECT_EQ(gv_remoteOfficeMgmtEnabled, "NO");
    EXPECT_EQ(gv_httpRequestTimeout, 60000);
    EXPECT_EQ(gv_httpConnectionTimeout, 30000);
    EXPECT_EQ(gv_blockCrashedConfig, 0);
    EXPECT_EQ(gv_shutdownBlocked, 0);
    EXPECT_TRUE(Logged("InitializeAgentDetails : Error while fetching branch office Name from registry! \n"));
    EXPECT_TRUE(Logged("InitializeAgentDetails : Error while fetching branch office ID from registry! \n"));
    EXPECT_TRUE(Logged("InitializeAgentDetails : Error while fetching Install source from registry! \n"));
    EXPECT_TRUE(Logged("The remote office name is                 -> (null) \n"));
}

TEST_F(AgentTest, ImagedComputer) {
    rootDwords["ImagedComputer"] = 1;
    EXPECT_EQ(Run(), 10047);
    EXPECT_TRUE(Logged("InitializeAgentParameters : Computer is detected as imaged One .. \n"));
    EXPECT_TRUE(Logged("Vantorra Agent Version              -> 7.1.0 \n"));
    EXPECT_EQ(gv_agentInstallDir, "C:\\Program Files\\Vantorra\\Agent\\");

    TearDown();
    SetUp();
    rootDwords["ImagedComputer"] = 2;
    EXPECT_EQ(Run(), 0);
}

TEST_F(AgentTest, SixtyFourBitFlagFromIsWow64Process) {
    SKIP_WITHOUT_MACHINE_PROFILE();
    const std::pair<const char*, int> cases[] = {
        {"[os]\nwow64 = 1\n", 1},
        {"[os]\nwow64 = 0\narchitecture = 0\n", 0},
        {"[os]\nwow64 = 1\nhas_is_wow64_process = 0\n", 0},
    };
    for (const auto& [os, expected] : cases) {
        TearDown();
        SetUp();
        profile += os;
        ASSERT_EQ(Run(), 0) << os;
        EXPECT_EQ(gv_is64BitOS, expected) << os;
        EXPECT_EQ(gv_pfnIsWow64Process != nullptr, expected == 1 || std::string(os).find("has_is") == std::string::npos);
    }
}

// The machines the tests run on are 64-bit: the host layer's default profile, and under Wine
// a 64-bit profile, where the 32-bit program learns it from IsWow64Process under WOW64. The
// entry points are called through the pointers the agent resolved, as the agent would.
TEST_F(AgentTest, SixtyFourBitFlagOfTheMachineTheTestsRunOn) {
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(gv_is64BitOS, 1);
    ASSERT_NE(gv_pfnIsWow64Process, nullptr);
    ASSERT_NE(gv_pfnWow64DisableFsRedirection, nullptr);
    ASSERT_NE(gv_pfnWow64RevertFsRedirection, nullptr);
    BOOL wow64 = -1;
    ASSERT_TRUE(gv_pfnIsWow64Process(GetCurrentProcess(), &wow64));
#ifdef _WIN64
    EXPECT_FALSE(wow64);  // a 64-bit process runs natively
#else
    EXPECT_TRUE(wow64);
#endif
#if defined(_WIN32) && !defined(_WIN64)
    // Under WOW64 system32 shows the 32-bit system files unless redirection is off.
    const auto machineOfKernel32 = [] {
        std::ifstream in("C:\\windows\\system32\\kernel32.dll", std::ios::binary);
        std::string head(4096, '\0');
        in.read(head.data(), static_cast<std::streamsize>(head.size()));
        std::uint32_t peOffset = 0;
        std::uint16_t machine = 0;
        std::memcpy(&peOffset, head.data() + 0x3C, sizeof peOffset);
        if (!in || peOffset + 6 > head.size()) return machine;
        std::memcpy(&machine, head.data() + peOffset + 4, sizeof machine);
        return machine;
    };
    EXPECT_EQ(machineOfKernel32(), IMAGE_FILE_MACHINE_I386);
    PVOID redirection = nullptr;
    ASSERT_TRUE(gv_pfnWow64DisableFsRedirection(&redirection));
    const std::uint16_t unredirected = machineOfKernel32();
    ASSERT_TRUE(gv_pfnWow64RevertFsRedirection(redirection));
    EXPECT_EQ(unredirected, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(machineOfKernel32(), IMAGE_FILE_MACHINE_I386);
#endif
}

TEST_F(AgentTest, TempDirectory) {
    const char* saved = std::getenv("TEMP");
    const std::optional<std::string> previous = saved ? std::optional<std::string>(saved) : std::nullopt;
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {std::nullopt, ""},
        {"C:\\Temp", "C:\\Temp"},
        {std::string(254, 't'), std::string(254, 't')},
        {std::string(255, 't'), ""},  // would not fit: left out rather than cut
    };
    for (const auto& [temp, expected] : cases) {
        if (temp) setenv("TEMP", temp->c_str(), 1);
        else unsetenv("TEMP");
        ResetAgentParameters();
        gv_tempDir = "stale";
        Run();
        EXPECT_EQ(gv_tempDir, expected);
    }
    if (previous) setenv("TEMP", previous->c_str(), 1);
    else unsetenv("TEMP");
}

TEST_F(AgentTest, ResourceIdFromRegistryAndClientDataPath) {
    SKIP_WITHOUT_MACHINE_PROFILE();
    struct Case {
        const char* customerId;
        const char* joinName;
        const char* dataPath;
    };
    // The customer id is lower-cased byte by byte (ASCII only); the namespace as Unicode text.
    const Case cases[] = {
        {"AbC12", "CORPÉ", "client-data/abc12/domains/corpé"},
        {"ÄbC12", "MÜNCHEN", "client-data/Äbc12/domains/münchen"},
        {"X", "ΑΘΗΝΑ-Ünd-ДОМ", "client-data/x/domains/αθηνα-ünd-дом"},
        {"X", "\xF0\x90\x90\x80" "corp", "client-data/x/domains/\xF0\x90\x90\xA8" "corp"},  // U+10400 past the BMP
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.joinName);
        TearDown();
        SetUp();
        profile = std::string("[computer]\nname = PC-01\njoin_status = 3\njoin_name = ") + c.joinName + "\n";
        root["CustomerId"] = c.customerId;
        ASSERT_EQ(Run(), 0);
        EXPECT_EQ(gv_resourceId, "RES-42");
        EXPECT_EQ(gv_clientDataPath, c.dataPath);
    }
}

// ---- Size limits of the HTTP client ----

TEST_F(AgentTest, HttpSizeLimitsTakeDefaultsAndFloors) {
    struct Case {
        const char* name;
        std::optional<DWORD> data, gzip, ratio;  // stored values (none: absent)
        DWORD dataAfter, gzipAfter, ratioAfter;
    };
    const DWORD mib = 1u << 20;
    const Case cases[] = {
        {"absent", std::nullopt, std::nullopt, std::nullopt, 256 * mib, 256 * mib, 200},
        {"zero is the default", 0u, 0u, 0u, 256 * mib, 256 * mib, 200},
        {"below the floors", 1000u, 1u, 5u, mib, mib, 10},
        {"raised", 512 * mib, 0xFFFFFFFFu, 1000u, 512 * mib, 0xFFFFFFFFu, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        if (c.data) rootDwords["HTTPMaxDataSize"] = *c.data;
        if (c.gzip) rootDwords["HTTPMaxGzipSize"] = *c.gzip;
        if (c.ratio) rootDwords["HTTPMaxGzipRatio"] = *c.ratio;
        ASSERT_EQ(Run(), 0);
        EXPECT_EQ(gv_httpMaxDataSize, c.dataAfter);
        EXPECT_EQ(gv_httpMaxGzipSize, c.gzipAfter);
        EXPECT_EQ(gv_httpMaxGzipRatio, c.ratioAfter);
        // Nothing is written back: an absent value stays absent.
        DWORD stored = 0;
        EXPECT_EQ(ReadDwordRegistryData(HKEY_LOCAL_MACHINE, gv_agentRootKey.c_str(), "HTTPMaxDataSize", &stored) ==
                      ERROR_SUCCESS,
                  c.data.has_value());
    }
    ResetAgentParameters();
    EXPECT_EQ(gv_httpMaxDataSize, 256 * mib);
    EXPECT_EQ(gv_httpMaxGzipRatio, 200u);
}
