// The handler's resource identifier lookup, loaded from its shared module on first use.
// The module runs on the program's own agent parameters and log (the program exports its
// symbols), so it must come from the same build; it stays loaded until the process ends.
#ifndef _WIN32
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "installer/installer.h"
#include "runtime/runtime.h"
#include "runtime/version.h"

namespace installer {
namespace {

using ModuleEntry = DWORD (*)(const std::string& documentPath,
                              std::optional<std::string>* resourceId);

constexpr const char* kEntryName = "vantorra_resource_id_lookup";
constexpr const char* kVersionName = "vantorra_resource_lookup_version";

struct LoadedModule {
    std::string path;
    bool tried = false;
    DWORD failure = 0;
    ModuleEntry entry = nullptr;
};

DWORD Refuse(const std::string& path, const std::string& reason, DWORD code) {
    LogError("LoadResourceIdLookup : Unable to load the resource id lookup module %s : %s \n", path,
             reason);
    std::fprintf(stderr, "zqprereqhandler: the resource id lookup module %s cannot be used: %s\n",
                 path.c_str(), reason.c_str());
    return code;
}

// The handler runs with the highest privileges: code it loads must be as safe from other
// users as the program itself, so neither the module nor its folder may be theirs or
// writable by them. Empty when it is safe, else why not (absent: left to dlopen).
std::string UnsafeBecause(const std::string& path) {
    const std::string folder = std::filesystem::path(path).parent_path().string();
    for (const std::string& checked : {folder, path}) {
        struct stat status {};
        if (stat(checked.c_str(), &status) != 0) return {};
        if (status.st_uid != 0 && status.st_uid != geteuid())
            return checked + " belongs to another user (" + std::to_string(status.st_uid) + ")";
        // Group write is the user's own under a private group (umask 002 in a build tree).
        const bool groupOfOthers = status.st_gid != 0 && status.st_gid != getegid();
        if ((status.st_mode & S_IWOTH) != 0 || ((status.st_mode & S_IWGRP) != 0 && groupOfOthers))
            return checked + " is writable by other users";
    }
    return {};
}

DWORD Load(LoadedModule& module) {
    if (module.path.empty())
        return Refuse(module.path, "the program's own location is unknown", ERROR_MOD_NOT_FOUND);
    if (const std::string unsafe = UnsafeBecause(module.path); !unsafe.empty())
        return Refuse(module.path, unsafe, ERROR_ACCESS_DENIED);
    void* handle = dlopen(module.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = dlerror();
        return Refuse(module.path, reason ? reason : "dlopen failed", ERROR_MOD_NOT_FOUND);
    }
    const auto* version = static_cast<const char*>(dlsym(handle, kVersionName));
    auto* entry = reinterpret_cast<ModuleEntry>(dlsym(handle, kEntryName));
    if (!version || !entry) {
        dlclose(handle);
        return Refuse(module.path, std::string("it has no entry point ") + kEntryName,
                      ERROR_PROC_NOT_FOUND);
    }
    if (std::strcmp(version, VANTORRA_VERSION) != 0) {
        // Its calls into the program would land on another build's functions.
        const std::string reason = std::string("it belongs to version ") + version +
                                   ", the program to " + VANTORRA_VERSION;
        dlclose(handle);
        return Refuse(module.path, reason, ERROR_PROC_NOT_FOUND);
    }
    module.entry = entry;
    return 0;
}

}  // namespace

std::string ResourceLookupModulePath() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || program.empty()) return {};
    return (program.parent_path() / ".." / VANTORRA_RESOURCE_LOOKUP_MODULE_DIR /
            "resource-lookup.so")
        .lexically_normal()
        .string();
}

ResourceIdLookup ResourceIdLookupFromModule(std::string modulePath) {
    auto module = std::make_shared<LoadedModule>();
    module->path = std::move(modulePath);
    return
        [module](const std::string& documentPath, std::optional<std::string>* resourceId) -> DWORD {
            if (!module->tried) {
                module->tried = true;
                module->failure = Load(*module);
            }
            if (module->failure != 0) return module->failure;
            return module->entry(documentPath, resourceId);
        };
}

}  // namespace installer
#endif
