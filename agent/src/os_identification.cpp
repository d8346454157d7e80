// Operating-system identification: the numeric OS family, the display name with
// edition and bitness, and the Windows 7/8 test used by the HTTP set-up.
#include <strings.h>

#include <cstdio>
#include <cstring>

#include "agent/agent.h"
#include "agent/src/internal.h"
#include "runtime/runtime.h"

namespace {

// The declarations' types keep the calling convention (stdcall on 32-bit Windows).
using PFN_GetProductInfo = decltype(&GetProductInfo);
using PFN_GetNativeSystemInfo = decltype(&GetNativeSystemInfo);

struct EditionRow {
    DWORD productType;
    const char* text;
};

constexpr EditionRow kEditions[] = {
    {1, "Ultimate Edition"}, {28, "Ultimate Edition"},
    {3, "Home Premium Edition"}, {26, "Home Premium Edition"},
    {2, "Home Basic Edition"}, {5, "Home Basic Edition"},
    {4, "Enterprise Edition"}, {10, "Enterprise Edition"}, {27, "Enterprise Edition"},
    {125, "Enterprise 2015 LTSB"},
    {129, "Enterprise 2015 LTSB Evaluation"},
    {126, "Enterprise 2015 LTSB N"},
    {130, "Enterprise 2015 LTSB N Evaluation"},
    {121, "Education"},
    {122, "Education N"},
    {101, "Home"},
    {123, "IoT Core"},
    {131, "IoT Core Commercial"},
    {48, "Professional Edition"}, {49, "Professional Edition"}, {69, "Professional Edition"},
    {11, "Starter"}, {47, "Starter"}, {66, "Starter"},
    {6, "Business Edition"}, {16, "Business Edition"},
    {33, "Foundation Edition"},
    {8, "Datacenter Edition"},
    {12, "Datacenter Edition (core installation)"},
    {37, "Datacenter Edition without Hyper-V"},
    {39, "Datacenter Edition without Hyper-V (core installation)"},
    {13, "Enterprise Edition (core installation)"},
    {38, "Enterprise Edition without Hyper-V"},
    {41, "Enterprise Edition without Hyper-V (core installation)"},
    {9, "Small Business Server"},
    {25, "Small Business Server Premium Edition"},
    {7, "Standard Edition"},
    {14, "Standard Edition (core installation)"},
    {36, "Standard Edition without Hyper-V"},
    {40, "Standard Edition without Hyper-V (core installation)"},
    {20, "Storage Server Express Edition"},
    {21, "Storage Server Standard Edition"},
    {22, "Storage Server Workgroup Edition"},
    {23, "Storage Server Enterprise Edition"},
    {17, "Web Server Edition"}, {29, "Web Server Edition"},
    {65, "Embedded Standard Edition"},
    {79, "Server Standard (evaluation installation) Edition"},
    {103, "Professional with Media Center Edition"},
    {50, "Essentials Edition"},
};

const char* EditionText(DWORD productType) {
    for (const auto& row : kEditions)
        if (row.productType == productType) return row.text;
    return nullptr;
}

// Name patterns: workstation x64, workstation other, server x64, server other.
const char* NamePattern(DWORD major, DWORD minor, bool workstation, bool x64) {
    struct Row {
        DWORD major, minor;
        const char* patterns[4];
    };
    static const Row rows[] = {
        {6, 0, {"Windows Vista %s (x64)", "Windows Vista %s", "Windows Server 2008 %s (x64)", "Windows Server 2008 %s"}},
        {6, 1, {"Windows 7 %s (x64)", "Windows 7 %s", "Windows Server 2008 R2 %s (x64)", "Windows Server 2008 R2 %s"}},
        {6, 2, {"Windows 8 %s (x64)", "Windows 8 %s", "Windows Server 2012 %s (x64)", "Windows Server 2012 %s (x64)"}},
        {6, 3, {"Windows 8.1 %s (x64)", "Windows 8.1 %s", "Windows Server 2012 R2 %s (x64)", "Windows Server 2012 R2 %s (x64)"}},
        {10, 0, {"Windows 10 %s (x64)", "Windows 10 %s", "Windows Server 2016 %s (x64)", "Windows Server 2016 %s (x64)"}},
    };
    for (const auto& row : rows)
        if (row.major == major && row.minor == minor) return row.patterns[(workstation ? 0 : 2) + (x64 ? 0 : 1)];
    return nullptr;
}

std::string FormatName(const char* pattern, const char* edition) {
    char name[100] = {};
    std::snprintf(name, sizeof name, pattern, edition);
    std::string text = name;
    if (!*edition) {  // no edition: drop the blank left where it would stand
        const auto doubled = text.find("  ");
        if (doubled != std::string::npos) text.erase(doubled, 1);
        if (!text.empty() && text.back() == ' ') text.pop_back();
    }
    return text;
}

bool ReadVersion(OSVERSIONINFOEXA* info, DWORD size) {
    std::memset(info, 0, sizeof *info);
    info->dwOSVersionInfoSize = size;
    return GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(info)) != FALSE;
}

void ReadSystemInfo(HMODULE kernel32, SYSTEM_INFO* info) {
    std::memset(info, 0, sizeof *info);
    auto native = kernel32 ? reinterpret_cast<PFN_GetNativeSystemInfo>(GetProcAddress(kernel32, "GetNativeSystemInfo"))
                           : nullptr;
    if (native)
        native(info);
    else
        GetSystemInfo(info);
}

const char* LegacyWorkstationEdition(const OSVERSIONINFOEXA& v, bool x64) {
    if (x64) return v.dwMajorVersion == 5 && v.dwMinorVersion == 2 ? "Professional x64 Edition" : "";
    if (v.dwMajorVersion == 4) return "Workstation 4.0";
    if (v.wSuiteMask & VER_SUITE_PERSONAL) return "Home Edition ";
    return "Professional";
}

const char* LegacyServerEdition(const OSVERSIONINFOEXA& v, bool x64) {
    const WORD suite = v.wSuiteMask;
    if (v.dwMajorVersion == 5 && v.dwMinorVersion == 2) {
        if (x64) {
            if (suite & VER_SUITE_ENTERPRISE) return ", Enterprise x64 Edition";
            if (suite & VER_SUITE_DATACENTER) return ", Datacenter x64 Edition";
            return ", Standard x64 Edition";
        }
        if (suite & VER_SUITE_DATACENTER) return ", Datacenter Edition";
        if (suite & VER_SUITE_ENTERPRISE) return ", Enterprise Edition";
        if (suite & VER_SUITE_BLADE) return ", Web Edition";
        if (suite & (VER_SUITE_SMALLBUSINESS | VER_SUITE_SMALLBUSINESS_RESTRICTED)) return " for Small Business Server";
        return ", Standard Edition";
    }
    if (v.dwMajorVersion == 5 && v.dwMinorVersion == 0) {
        if (suite & VER_SUITE_DATACENTER) return "Datacenter Server";
        if (suite & VER_SUITE_ENTERPRISE) return "Advanced Server";
        return "Server";
    }
    if (suite & VER_SUITE_TERMINAL) return "Server 4.0, Terminal Server Edition";
    return "Server 4.0";
}

// Names of NT before the product-information interface existed.
std::optional<std::string> LegacyNtName(HMODULE kernel32, bool extendedWorked, const OSVERSIONINFOEXA& reported) {
    OSVERSIONINFOEXA v{};
    SYSTEM_INFO si{};
    ReadSystemInfo(kernel32, &si);
    const bool x64 = si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
    // Systems that only answer the plain query still have a version to name: fall back
    // to it rather than calling every such system "UnSupported".
    bool known = ReadVersion(&v, sizeof(OSVERSIONINFOEXA));
    if (!known && !extendedWorked) {
        v = reported;
        known = true;
    }
    std::string base;
    if (!known) {
        base = "UnSupported";
    } else if (v.dwMajorVersion <= 4) {
        base = "Windows NT ";
    } else if (v.dwMajorVersion == 5 && v.dwMinorVersion == 0) {
        base = "Windows 2000 ";
    } else if (v.dwMajorVersion == 5 && v.dwMinorVersion == 1) {
        base = "Windows XP ";
    } else if (v.dwMajorVersion == 5 && v.dwMinorVersion == 2) {
        base = (x64 && v.wProductType == VER_NT_WORKSTATION) ? "Windows XP " : "Windows Server 2003";
    }

    if (extendedWorked) {
        const char* edition = "";
        if (v.wProductType == VER_NT_WORKSTATION)
            edition = LegacyWorkstationEdition(v, x64);
        else if (v.wProductType == VER_NT_DOMAIN_CONTROLLER || v.wProductType == VER_NT_SERVER)
            edition = LegacyServerEdition(v, x64);
        return base + edition;
    }

    RegistryKey key;
    if (key.open(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ProductOptions", KEY_QUERY_VALUE) != ERROR_SUCCESS)
        return std::nullopt;
    char productType[1024] = {};
    DWORD size = sizeof productType;
    if (key.readString("ProductType", productType, &size) != ERROR_SUCCESS || size > sizeof productType)
        return std::nullopt;
    productType[sizeof productType - 1] = '\0';
    const char* word = "";
    if (strcasecmp(productType, "WINNT") == 0)
        word = "Workstation";
    else if (strcasecmp(productType, "LANMANNT") == 0)
        word = "Server";
    else if (strcasecmp(productType, "SERVERNT") == 0)
        word = "Advanced Server";
    char name[100] = {};
    std::snprintf(name, sizeof name, "%s%s %d.%d", base.c_str(), word, static_cast<int>(reported.dwMajorVersion),
                  static_cast<int>(reported.dwMinorVersion));
    return std::string(name);
}

}  // namespace

int GetOsFamily() {
    OSVERSIONINFOEXA v{};
    if (!ReadVersion(&v, sizeof(OSVERSIONINFOEXA))) {
        LogError("GetOsFamily : Unable to find the OSVersion , Errorcode %d \n", GetLastError());
        return 1;
    }
    if (v.dwPlatformId != VER_PLATFORM_WIN32_NT || v.dwMajorVersion <= 4) {
        LogError("GetOsFamily :The windows is unable to found . \n");
        return -1;
    }
    if (v.dwMajorVersion == 5) return v.dwMinorVersion == 0 ? 0 : 1;
    if (v.dwMajorVersion == 6 && v.dwMinorVersion <= 3) return 2 + static_cast<int>(v.dwMinorVersion);
    if (v.dwMajorVersion == 10 && v.dwMinorVersion == 0) return 6;
    return 7;
}

namespace agent_detail {
ModuleLoader gv_moduleLoader{LoadLibraryA, FreeLibrary};
}  // namespace agent_detail

namespace {

// One reference on a loaded module, released on every way out.
class ModuleReference {
public:
    explicit ModuleReference(const char* name) : module_(agent_detail::gv_moduleLoader.load(name)) {}
    ~ModuleReference() {
        if (module_) agent_detail::gv_moduleLoader.release(module_);
    }
    ModuleReference(const ModuleReference&) = delete;
    ModuleReference& operator=(const ModuleReference&) = delete;
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

}  // namespace

std::optional<std::string> GetOSNameEx(DWORD major, DWORD minor) {
    const ModuleReference kernel32Reference("kernel32.dll");
    HMODULE kernel32 = kernel32Reference.get();
    SYSTEM_INFO si{};
    ReadSystemInfo(kernel32, &si);

    OSVERSIONINFOEXA v{};
    const bool extended = ReadVersion(&v, sizeof(OSVERSIONINFOEXA));
    if (!extended && !ReadVersion(&v, sizeof(OSVERSIONINFOA))) return std::nullopt;

    auto productInfo = kernel32 ? reinterpret_cast<PFN_GetProductInfo>(GetProcAddress(kernel32, "GetProductInfo")) : nullptr;
    DWORD productType = 0;
    if (productInfo &&
        productInfo(v.dwMajorVersion, v.dwMinorVersion, v.wServicePackMajor, v.wServicePackMinor, &productType)) {
        LogDebug("GetOSNameEx : dwMinorVersion : %d\n", minor);
        LogDebug("GetOSNameEx : dwMajorVersion : %d\n", major);
        LogDebug("osvi.dwMajorVersion : %d\n", v.dwMajorVersion);
        LogDebug("osvi.dwMinorVersion : %d\n", v.dwMinorVersion);
        LogDebug("osvi.wServicePackMajor : %d\n", v.wServicePackMajor);
        LogDebug("osvi.wServicePackMinor : %d\n", v.wServicePackMinor);
        LogDebug("dwPlatformInfo : %d\n", productType);
        LogDebug("si.wProcessorArchitecture : %d\n", si.wProcessorArchitecture);

        const DWORD useMajor = (major || minor) ? major : v.dwMajorVersion;
        const DWORD useMinor = (major || minor) ? minor : v.dwMinorVersion;
        const bool workstation = v.wProductType == VER_NT_WORKSTATION;
        const bool x64 = si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;

        const char* edition = nullptr;
        if (productType == 98 || productType == 99 || productType == 100) {
            const char* base = nullptr;
            if (workstation && useMajor == 6 && useMinor == 2) base = "Windows 8";
            if (workstation && useMajor == 6 && useMinor == 3) base = "Windows 8.1";
            if (workstation && useMajor == 10 && useMinor == 0) base = "Windows 10";
            if (base) {
                std::string name = std::string(base) + (x64 ? " (x64)" : "");
                LogDebug("Returning with OS Name %s\n", name);
                return name;
            }
            edition = "";  // core editions elsewhere: the version's name without an edition
        } else {
            edition = EditionText(productType);
            if (!edition) {
                LogInfo("dwPlatformInfo : %d\n", productType);
                LogInfo("dwMajorVersion : %d\n", useMajor);
                LogInfo("dwMinorVersion : %d\n", useMinor);
                LogError("Edition can't be retrieved. So Assuming it as Beta\n");
                edition = "Beta";
            }
            std::optional<std::string> productName;
            if (ReadRegSZ(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "ProductName",
                          &productName) == ERROR_SUCCESS &&
                productName && productName->find("Preview") != std::string::npos) {
                LogInfo("OS Name detected from registry is : %s\n", productName->c_str());
                edition = "Beta";
            }
        }
        const char* pattern = NamePattern(useMajor, useMinor, workstation, x64);
        return pattern ? FormatName(pattern, edition) : std::string();
    }

    switch (v.dwPlatformId) {
        case VER_PLATFORM_WIN32s:
            return std::string("Win32s");
        case VER_PLATFORM_WIN32_WINDOWS:
            if (v.dwMajorVersion == 4 && v.dwMinorVersion == 0) return std::string("Windows 95");
            if (v.dwMajorVersion == 4 && v.dwMinorVersion == 10)
                return std::string(v.szCSDVersion[1] == 'A' ? "Windows 98 SE" : "Windows 98");
            if (v.dwMajorVersion == 4 && v.dwMinorVersion == 90) return std::string("Windows Millennium Edition");
            return std::string();
        case VER_PLATFORM_WIN32_NT:
            return LegacyNtName(kernel32, extended, v);
        default:
            return std::string();
    }
}

int isWin7orWin8() {
    LogDebug("isWin7orWin8 : GetOSName %s\n", GetOSNameEx(0, 0));
    const int family = GetOsFamily();
    if (family == 3 || family == 4) {
        LogDebug("isWin7orWin8 : TRUE\n");
        return 1;
    }
    LogDebug("isWin7orWin8 : FALSE\n");
    return 0;
}
