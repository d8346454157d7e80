// Agent-side log set-up: the level from the agent's registry key, and the installer's
// process log with its rotation timer.
#include <memory>

#include "runtime/agent_key.h"
#include "runtime/log.h"
#include "runtime/registry_access.h"
#include "runtime/rotation.h"

DWORD InitializeAgentLog(const char* fileName, const char* directory, int openMode) {
    // The log's mutex exists for the whole process (see log.cpp), so there is nothing
    // to create before the settings.
    if (!SetLogDefaults()) return ERROR_INVALID_DATA;
    DWORD level = 2;
    if (ReadDwordRegistryData(HKEY_LOCAL_MACHINE, gv_agentRootKey.c_str(), "ZQAgentLogLevel",
                              &level) != ERROR_SUCCESS)
        level = 2;
    if (!ConfigureLog(fileName, directory, static_cast<BYTE>(level & 0xFF))) return ERROR_INVALID_DATA;
    const bool opened = openMode == 2 ? OpenLog() : OpenLogAppend();
    return opened ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

DWORD InitializeProcessLog(const char* fileName) {
    std::optional<std::string> installDir;
    const DWORD status =
        ReadRegSZ(HKEY_LOCAL_MACHINE, gv_agentRootKey.c_str(), "ZQAgentInstallDir", &installDir);
    if (status != ERROR_SUCCESS) return status;
    gv_agentInstallDir = installDir.value_or(std::string());

    // The timer callback receives the settings until the process ends.
    static std::unique_ptr<LoggerSettings> settings;
    if (!settings) settings = std::make_unique<LoggerSettings>(MakeDefaultLoggerSettings());
    if (fileName) settings->fileName = fileName;
    StartLogRotation(settings.get());
    return ERROR_SUCCESS;
}
