// Module handles and entry points: the built-in "kernel32.dll", whose optional entry
// points the machine profile can take away, and real shared libraries through dlopen.
#include "platform/win/modules.h"

#include <dlfcn.h>
#include <strings.h>

#include <string>
#include <string_view>

#include "platform/src/machine_profile.h"
#include "platform/win/errors.h"
#include "platform/win/host.h"
#include "platform/win/sysinfo.h"

namespace {

// The address of this object is the kernel32 module handle; it is never dlclose'd.
char gKernel32Module;

HMODULE Kernel32Handle() { return &gKernel32Module; }

bool IsKernel32(std::string_view name) {
    return strcasecmp(std::string(name).c_str(), "kernel32") == 0 ||
           strcasecmp(std::string(name).c_str(), "kernel32.dll") == 0;
}

template <typename F>
FARPROC AsFarProc(F function) {
    return reinterpret_cast<FARPROC>(function);
}

FARPROC Kernel32Export(const char* name) {
    const host::MachineProfile p = host::LoadMachineProfile();
    const std::string_view wanted(name);
    if (wanted == "IsWow64Process") return p.hasIsWow64Process ? AsFarProc(&IsWow64Process) : nullptr;
    if (wanted == "Wow64DisableWow64FsRedirection")
        return p.hasIsWow64Process ? AsFarProc(&Wow64DisableWow64FsRedirection) : nullptr;
    if (wanted == "Wow64RevertWow64FsRedirection")
        return p.hasIsWow64Process ? AsFarProc(&Wow64RevertWow64FsRedirection) : nullptr;
    if (wanted == "GetProductInfo") return p.hasProductInfo ? AsFarProc(&GetProductInfo) : nullptr;
    if (wanted == "GetNativeSystemInfo") return p.hasNativeSystemInfo ? AsFarProc(&GetNativeSystemInfo) : nullptr;
    if (wanted == "GetSystemInfo") return AsFarProc(&GetSystemInfo);
    if (wanted == "GetVersionExA") return AsFarProc(&GetVersionExA);
    return nullptr;
}

}  // namespace

HMODULE GetModuleHandleA(LPCSTR moduleName) {
    if (moduleName && IsKernel32(moduleName)) return Kernel32Handle();
    if (!moduleName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Only modules this process already loaded.
    void* handle = dlopen(host::MapPath(moduleName).c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    dlclose(handle);  // RTLD_NOLOAD still counts a reference
    return handle;
}

HMODULE LoadLibraryA(LPCSTR fileName) {
    if (!fileName || !*fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (IsKernel32(fileName)) return Kernel32Handle();
    void* handle = dlopen(host::MapPath(fileName).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return handle;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
    if (!module || !procName) {
        SetLastError(module ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    FARPROC found = nullptr;
    if (module == Kernel32Handle()) {
        found = Kernel32Export(procName);
    } else {
        found = reinterpret_cast<FARPROC>(dlsym(module, procName));
    }
    if (!found) SetLastError(ERROR_PROC_NOT_FOUND);
    return found;
}

BOOL FreeLibrary(HMODULE module) {
    if (!module) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (module == Kernel32Handle()) return TRUE;
    if (dlclose(module) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
