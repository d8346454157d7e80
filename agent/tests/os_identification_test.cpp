// Operating-system family and display names over the edition and version tables, the
// legacy NT names and the Windows 7/8 test.
#include "agent/src/internal.h"
#include "agent/tests/agent_fixture.h"

namespace {
std::string Os(const std::string& keys) { return "[os]\n" + keys; }
}  // namespace

TEST_F(AgentTest, EveryEditionRowOnWindows10x64) {
    const std::pair<DWORD, const char*> editions[] = {
        {1, "Ultimate Edition"}, {28, "Ultimate Edition"}, {3, "Home Premium Edition"}, {26, "Home Premium Edition"},
        {2, "Home Basic Edition"}, {5, "Home Basic Edition"}, {4, "Enterprise Edition"}, {10, "Enterprise Edition"},
        {27, "Enterprise Edition"}, {125, "Enterprise 2015 LTSB"}, {129, "Enterprise 2015 LTSB Evaluation"},
        {126, "Enterprise 2015 LTSB N"}, {130, "Enterprise 2015 LTSB N Evaluation"}, {121, "Education"},
        {122, "Education N"}, {101, "Home"}, {123, "IoT Core"}, {131, "IoT Core Commercial"},
        {48, "Professional Edition"}, {49, "Professional Edition"}, {69, "Professional Edition"}, {11, "Starter"},
        {47, "Starter"}, {66, "Starter"}, {6, "Business Edition"}, {16, "Business Edition"}, {33, "Foundation Edition"},
        {8, "Datacenter Edition"}, {12, "Datacenter Edition (core installation)"},
        {37, "Datacenter Edition without Hyper-V"}, {39, "Datacenter Edition without Hyper-V (core installation)"},
        {13, "Enterprise Edition (core installation)"}, {38, "Enterprise Edition without Hyper-V"},
        {41, "Enterprise Edition without Hyper-V (core installation)"}, {9, "Small Business Server"},
        {25, "Small Business Server Premium Edition"}, {7, "Standard Edition"},
        {14, "Standard Edition (core installation)"}, {36, "Standard Edition without Hyper-V"},
        {40, "Standard Edition without Hyper-V (core installation)"}, {20, "Storage Server Express Edition"},
        {21, "Storage Server Standard Edition"}, {22, "Storage Server Workgroup Edition"},
        {23, "Storage Server Enterprise Edition"}, {17, "Web Server Edition"}, {29, "Web Server Edition"},
        {65, "Embedded Standard Edition"}, {79, "Server Standard (evaluation installation) Edition"},
        {103, "Professional with Media Center Edition"}, {50, "Essentials Edition"},
        {72, "Beta"}, {255, "Beta"},
    };
    Prepare();
    for (const auto& [type, edition] : editions) {
        testsupport::WriteFile(machine.path() / "machine.ini", Os("edition = " + std::to_string(type) + "\n"));
        EXPECT_EQ(GetOSNameEx(0, 0), "Windows 10 " + std::string(edition) + " (x64)") << type;
    }
    EXPECT_TRUE(Logged("Edition can't be retrieved. So Assuming it as Beta\n"));
    EXPECT_TRUE(Logged("dwPlatformInfo : 72\n"));
}

TEST_F(AgentTest, EveryVersionRow) {
    struct Case {
        int major, minor, productType, architecture;
        const char* name;
    };
    const Case cases[] = {
        {6, 0, 1, 9, "Windows Vista Ultimate Edition (x64)"}, {6, 0, 1, 0, "Windows Vista Ultimate Edition"},
        {6, 0, 3, 9, "Windows Server 2008 Ultimate Edition (x64)"}, {6, 0, 2, 0, "Windows Server 2008 Ultimate Edition"},
        {6, 1, 1, 9, "Windows 7 Ultimate Edition (x64)"}, {6, 1, 1, 0, "Windows 7 Ultimate Edition"},
        {6, 1, 3, 9, "Windows Server 2008 R2 Ultimate Edition (x64)"}, {6, 1, 3, 0, "Windows Server 2008 R2 Ultimate Edition"},
        {6, 2, 1, 9, "Windows 8 Ultimate Edition (x64)"}, {6, 2, 1, 0, "Windows 8 Ultimate Edition"},
        {6, 2, 3, 9, "Windows Server 2012 Ultimate Edition (x64)"}, {6, 2, 3, 0, "Windows Server 2012 Ultimate Edition (x64)"},
        {6, 3, 1, 9, "Windows 8.1 Ultimate Edition (x64)"}, {6, 3, 1, 0, "Windows 8.1 Ultimate Edition"},
        {6, 3, 3, 9, "Windows Server 2012 R2 Ultimate Edition (x64)"}, {6, 3, 3, 0, "Windows Server 2012 R2 Ultimate Edition (x64)"},
        {10, 0, 1, 9, "Windows 10 Ultimate Edition (x64)"}, {10, 0, 1, 0, "Windows 10 Ultimate Edition"},
        {10, 0, 3, 9, "Windows Server 2016 Ultimate Edition (x64)"}, {10, 0, 3, 0, "Windows Server 2016 Ultimate Edition (x64)"},
        {6, 4, 1, 9, ""}, {10, 1, 1, 9, ""}, {11, 0, 1, 9, ""},
    };
    Prepare();
    for (const auto& c : cases) {
        testsupport::WriteFile(machine.path() / "machine.ini",
                               Os("edition = 1\nmajor = " + std::to_string(c.major) + "\nminor = " + std::to_string(c.minor) +
                                  "\nproduct_type = " + std::to_string(c.productType) +
                                  "\narchitecture = " + std::to_string(c.architecture) + "\nwow64 = 0\n"));
        EXPECT_EQ(GetOSNameEx(0, 0), std::string(c.name)) << c.major << "." << c.minor << " type " << c.productType;
    }
}

TEST_F(AgentTest, NamedCasesFromTheField) {
    struct Case {
        std::string ini;
        DWORD major, minor;
        std::optional<std::string> name;
    };
    const Case cases[] = {
        {"edition = 48\n", 0, 0, "Windows 10 Professional Edition (x64)"},
        {"edition = 100\n", 0, 0, "Windows 10 (x64)"},
        {"edition = 98\nmajor = 6\nminor = 2\narchitecture = 0\nwow64 = 0\n", 0, 0, "Windows 8"},
        {"edition = 99\nmajor = 6\nminor = 3\n", 0, 0, "Windows 8.1 (x64)"},
        {"edition = 100\nmajor = 6\nminor = 1\narchitecture = 0\nwow64 = 0\n", 0, 0, "Windows 7"},  // no edition text
        {"edition = 100\nproduct_type = 3\n", 0, 0, "Windows Server 2016 (x64)"},
        {"edition = 7\nmajor = 6\nminor = 3\nproduct_type = 3\narchitecture = 0\nwow64 = 0\n", 0, 0,
         "Windows Server 2012 R2 Standard Edition (x64)"},
        {"edition = 1\nmajor = 6\nminor = 1\narchitecture = 0\nwow64 = 0\n", 0, 0, "Windows 7 Ultimate Edition"},
        {"edition = 48\nmajor = 6\nminor = 2\n", 6, 3, "Windows 8.1 Professional Edition (x64)"},
        {"edition = 48\nmajor = 6\nminor = 4\n", 0, 0, ""},
        {"version_info = 0\n", 0, 0, std::nullopt},
    };
    Prepare();
    for (const auto& c : cases) {
        testsupport::WriteFile(machine.path() / "machine.ini", Os(c.ini));
        EXPECT_EQ(GetOSNameEx(c.major, c.minor), c.name) << c.ini;
    }
}

namespace {
int gv_loads = 0;
int gv_releases = 0;
HMODULE CountingLoad(LPCSTR name) {
    HMODULE module = LoadLibraryA(name);
    if (module) ++gv_loads;
    return module;
}
BOOL CountingRelease(HMODULE module) {
    ++gv_releases;
    return FreeLibrary(module);
}
}  // namespace

// Every way out of GetOSNameEx gives back the module reference it took.
TEST_F(AgentTest, OsNameReleasesItsModuleReference) {
    const char* profiles[] = {
        "edition = 48\n",                                    // edition table
        "edition = 100\n",                                   // core edition, early return
        "edition = 48\nmajor = 6\nminor = 4\n",              // no name pattern
        "has_product_info = 0\nmajor = 5\nminor = 1\n",      // legacy NT names
        "has_product_info = 0\nplatform_id = 1\nmajor = 4\n",  // Windows 9x
        "version_info = 0\n",                                // no version at all
    };
    Prepare();
    const agent_detail::ModuleLoader saved = agent_detail::gv_moduleLoader;
    agent_detail::gv_moduleLoader = {CountingLoad, CountingRelease};
    for (const char* ini : profiles) {
        gv_loads = gv_releases = 0;
        testsupport::WriteFile(machine.path() / "machine.ini", Os(ini));
        for (int call = 0; call < 3; ++call) GetOSNameEx(0, 0);
        EXPECT_EQ(gv_loads, 3) << ini;
        EXPECT_EQ(gv_releases, gv_loads) << ini;
    }
    agent_detail::gv_moduleLoader = saved;
}

TEST_F(AgentTest, PreviewBuildsAreBeta) {
    extraKeys["SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"]["ProductName"] = "Windows 10 Pro Insider Preview";
    profile = Os("edition = 48\n");
    Prepare();
    EXPECT_EQ(GetOSNameEx(0, 0), "Windows 10 Beta (x64)");
    EXPECT_TRUE(Logged("OS Name detected from registry is : Windows 10 Pro Insider Preview\n"));
    extraKeys["SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"]["ProductName"] = "Windows 10 Pro preview";  // case matters
    Prepare();
    EXPECT_EQ(GetOSNameEx(0, 0), "Windows 10 Professional Edition (x64)");
}

TEST_F(AgentTest, LegacyNames) {
    struct Case {
        std::string ini;
        std::optional<std::string> name;
    };
    const std::string legacy = "has_product_info = 0\n";
    const Case cases[] = {
        {"edition = 0\nmajor = 5\nminor = 1\nsuite_mask = 0\narchitecture = 0\nwow64 = 0\n", "Windows XP Professional"},
        {legacy + "major = 5\nminor = 1\nsuite_mask = 0x200\narchitecture = 0\nwow64 = 0\n", "Windows XP Home Edition "},
        {legacy + "major = 5\nminor = 2\narchitecture = 9\n", "Windows XP Professional x64 Edition"},
        {legacy + "major = 5\nminor = 2\nproduct_type = 3\nsuite_mask = 0x2\narchitecture = 9\n",
         "Windows Server 2003, Enterprise x64 Edition"},
        {legacy + "major = 5\nminor = 2\nproduct_type = 3\nsuite_mask = 0x80\narchitecture = 9\n",
         "Windows Server 2003, Datacenter x64 Edition"},
        {legacy + "major = 5\nminor = 2\nproduct_type = 3\nsuite_mask = 0\narchitecture = 9\n", "Windows Server 2003, Standard x64 Edition"},
        {legacy + "major = 5\nminor = 2\nproduct_type = 2\nsuite_mask = 0x82\narchitecture = 0\nwow64 = 0\n",
         "Windows Server 2003, Datacenter Edition"},
        {legacy + "major = 5\nminor = 2\nproduct_type = 3\nsuite_mask = 0x2\narchitecture = 0\nwow64 = 0\n",
         "Windows Server 2003, Enterprise Edition"},
        {legacy + "major = 5\nminor = 2\nproduct_type = 3\nsuite_mask = 0x400\narchitecture = 0\nwow64 = 0\n", "Windows Server 2003, Web Edition"},
        {legacy + "major = 5\nminor = 2\nproduct_type = 3\nsuite_mask = 0x20\narchitecture = 0\nwow64 = 0\n",
         "Windows Server 2003 for Small Business Server"},
        {legacy + "major = 5\nminor = 2\nproduct_type = 3\nsuite_mask = 0\narchitecture = 0\nwow64 = 0\n", "Windows Server 2003, Standard Edition"},
        {legacy + "major = 5\nminor = 0\nproduct_type = 3\nsuite_mask = 0x80\narchitecture = 0\nwow64 = 0\n", "Windows 2000 Datacenter Server"},
        {legacy + "major = 5\nminor = 0\nproduct_type = 3\nsuite_mask = 0x2\narchitecture = 0\nwow64 = 0\n", "Windows 2000 Advanced Server"},
        {legacy + "major = 5\nminor = 0\nproduct_type = 2\nsuite_mask = 0\narchitecture = 0\nwow64 = 0\n", "Windows 2000 Server"},
        {legacy + "major = 4\nminor = 0\nproduct_type = 1\narchitecture = 0\nwow64 = 0\n", "Windows NT Workstation 4.0"},
        {legacy + "major = 4\nminor = 0\nproduct_type = 3\nsuite_mask = 0x10\narchitecture = 0\nwow64 = 0\n",
         "Windows NT Server 4.0, Terminal Server Edition"},
        {legacy + "platform_id = 0\n", "Win32s"},
        {legacy + "platform_id = 1\nmajor = 4\nminor = 0\n", "Windows 95"},
        {legacy + "platform_id = 1\nmajor = 4\nminor = 10\n", "Windows 98"},
        {legacy + "platform_id = 1\nmajor = 4\nminor = 10\ncsd_version = \" A \"\n", "Windows 98 SE"},
        {legacy + "platform_id = 1\nmajor = 4\nminor = 90\n", "Windows Millennium Edition"},
        {legacy + "platform_id = 1\nmajor = 4\nminor = 3\n", ""},
        {legacy + "platform_id = 7\n", ""},
    };
    Prepare();
    for (const auto& c : cases) {
        testsupport::WriteFile(machine.path() / "machine.ini", Os(c.ini));
        EXPECT_EQ(GetOSNameEx(0, 0), c.name) << c.ini;
    }
}

TEST_F(AgentTest, PlainVersionOnlyUsesProductOptions) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"WinNT", "Windows NT Workstation 4.0"},
        {"LANMANNT", "Windows NT Server 4.0"},
        {"ServerNT", "Windows NT Advanced Server 4.0"},
        {"Other", "Windows NT  4.0"},
    };
    profile = Os("has_product_info = 0\nversion_info = 1\nmajor = 4\nminor = 0\narchitecture = 0\nwow64 = 0\n");
    for (const auto& [type, name] : cases) {
        extraKeys["SYSTEM\\CurrentControlSet\\Control\\ProductOptions"]["ProductType"] = type;
        Prepare();
        EXPECT_EQ(GetOSNameEx(0, 0), name) << type;
    }
    extraKeys.clear();
    Prepare();
    EXPECT_EQ(GetOSNameEx(0, 0), std::nullopt);  // the key cannot be opened
}

TEST_F(AgentTest, OsFamilyAndWindows7Or8) {
    struct Case {
        std::string ini;
        int family;
        int win7or8;
    };
    const Case cases[] = {
        {"major = 10\nminor = 0\n", 6, 0}, {"major = 6\nminor = 2\n", 4, 1}, {"major = 6\nminor = 1\n", 3, 1},
        {"major = 6\nminor = 3\n", 5, 0},  {"major = 6\nminor = 0\n", 2, 0}, {"major = 5\nminor = 0\n", 0, 0},
        {"major = 5\nminor = 1\n", 1, 0},  {"major = 5\nminor = 2\n", 1, 0}, {"major = 6\nminor = 4\n", 7, 0},
        {"major = 10\nminor = 1\n", 7, 0}, {"major = 11\nminor = 0\n", 7, 0}, {"major = 4\nminor = 0\n", -1, 0},
        {"platform_id = 1\nmajor = 6\n", -1, 0}, {"version_info = 0\n", 1, 0}, {"version_info = 1\n", 1, 0},
    };
    Prepare();
    for (const auto& c : cases) {
        testsupport::WriteFile(machine.path() / "machine.ini", Os(c.ini));
        EXPECT_EQ(GetOsFamily(), c.family) << c.ini;
        EXPECT_EQ(isWin7orWin8(), c.win7or8) << c.ini;
    }
    EXPECT_TRUE(Logged("GetOsFamily :The windows is unable to found . \n"));
    EXPECT_TRUE(Logged("isWin7orWin8 : TRUE\n"));
}
