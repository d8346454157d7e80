// Module handles: kernel32's optional entry points follow the profile; other modules
// are real shared libraries.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/test_support.h"

using testsupport::MachineRoot;
using testsupport::WriteFile;

TEST(ModulesTest, Kernel32EntryPointsFollowTheProfile) {
    struct Case {
        const char* profile;
        const char* entry;
        bool present;
    };
    const Case cases[] = {
        {"", "IsWow64Process", true},
        {"", "GetProductInfo", true},
        {"", "GetNativeSystemInfo", true},
        {"", "Wow64DisableWow64FsRedirection", true},
        {"[os]\nhas_is_wow64_process = 0\n", "IsWow64Process", false},
        {"[os]\nhas_is_wow64_process = 0\n", "Wow64RevertWow64FsRedirection", false},
        {"[os]\nhas_product_info = 0\n", "GetProductInfo", false},
        {"[os]\nhas_native_system_info = 0\n", "GetNativeSystemInfo", false},
        {"[os]\nhas_native_system_info = 0\n", "GetSystemInfo", true},
        {"", "NoSuchFunction", false},
    };
    for (const auto& c : cases) {
        MachineRoot root;
        WriteFile(root.path() / "machine.ini", c.profile);
        HMODULE loaded = LoadLibraryA("KERNEL32.DLL");
        ASSERT_NE(loaded, nullptr);
        EXPECT_EQ(GetModuleHandleA("kernel32"), loaded);
        SetLastError(0);
        FARPROC entry = GetProcAddress(loaded, c.entry);
        EXPECT_EQ(entry != nullptr, c.present) << c.entry << " with profile " << c.profile;
        if (!c.present) {
            EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
        }
        EXPECT_TRUE(FreeLibrary(loaded));
    }
}

TEST(ModulesTest, ResolvedIsWow64ProcessAnswersFromTheProfile) {
    MachineRoot root;
    WriteFile(root.path() / "machine.ini", "[os]\nwow64 = 0\n");
    using Fn = BOOL (*)(HANDLE, BOOL*);
    auto fn = reinterpret_cast<Fn>(GetProcAddress(GetModuleHandleA("kernel32"), "IsWow64Process"));
    ASSERT_NE(fn, nullptr);
    BOOL wow64 = TRUE;
    ASSERT_TRUE(fn(GetCurrentProcess(), &wow64));
    EXPECT_FALSE(wow64);
}

TEST(ModulesTest, SharedLibrariesAndMissingModules) {
    HMODULE libc = LoadLibraryA("libc.so.6");
    ASSERT_NE(libc, nullptr);
    EXPECT_NE(GetProcAddress(libc, "strlen"), nullptr);
    EXPECT_EQ(GetProcAddress(libc, "NoSuchSymbolAnywhere"), nullptr);
    EXPECT_TRUE(FreeLibrary(libc));

    EXPECT_EQ(LoadLibraryA("C:\\Windows\\system32\\nosuch.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(LoadLibraryA(""), nullptr);
    EXPECT_EQ(GetModuleHandleA("nosuch.dll"), nullptr);
    EXPECT_EQ(GetProcAddress(nullptr, "strlen"), nullptr);
}
