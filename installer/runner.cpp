// The process runner: starts one command line as a child, waits for it up to a time
// limit, terminates it when the limit passes and describes the result in system words.
#include <algorithm>
#include <vector>

#include "installer/installer.h"
#include "runtime/runtime.h"

namespace installer {
namespace {

constexpr DWORD kSavedDirectoryChars = 4096;
// The longest finite wait WaitForSingleObject takes; INFINITE would mean no limit at all.
constexpr ULONGLONG kLongestWait = INFINITE - 1;

void SetRemarks(std::string* remarks, DWORD code) {
    *remarks = GetErrorMessageStr(code);
}

// Reads the current directory; 0 on success, else the result execute must give.
DWORD SaveCurrentDirectory(std::string* saved) {
    std::vector<char> buffer(kSavedDirectoryChars, '\0');
    const DWORD length = GetCurrentDirectoryA(kSavedDirectoryChars, buffer.data());
    if (length == 0) {
        const DWORD error = GetLastError();
        LogError("execute: Failed to get the CurrentWorkingDirectory \n");
        LogErrorMessage(error);
        return error == 0 ? ERROR_GEN_FAILURE : error;
    }
    if (length >= kSavedDirectoryChars) {
        LogError(
            "execute : CurrentWorkingDirectory Buffer overflow. Need to allocate the length for %d "
            "chars \n",
            length);
        return length;
    }
    saved->assign(buffer.data(), length);
    return 0;
}

}  // namespace

DWORD MapInstallerResult(DWORD result) {
    switch (result) {
        case 0:
        case 1508:
        case ERROR_SUCCESS_REBOOT_INITIATED:
        case ERROR_SUCCESS_REBOOT_REQUIRED:
            return 0;
        default:
            return result;
    }
}

DWORD ExecuteWithLimit(const char* workingDirectory, const char* commandLine, std::string* remarks,
                       ULONGLONG limitMilliseconds, int showWindow) {
    LogDebug("@@@@@@@@ Inside execute Method @@@@@@@@ \n");
    std::string ownRemarks;
    if (remarks == nullptr) remarks = &ownRemarks;

    // Nothing to start: say so instead of starting whatever the empty line names.
    if (commandLine == nullptr || *commandLine == '\0') {
        LogError("execute : No command line given \n");
        SetRemarks(remarks, ERROR_INVALID_PARAMETER);
        return ERROR_INVALID_PARAMETER;
    }

    std::string savedDirectory;
    std::string childDirectory;
    if (workingDirectory) {
        if (const DWORD failure = SaveCurrentDirectory(&savedDirectory); failure != 0) {
            SetRemarks(remarks, failure);
            return failure;
        }
        LogInfo("execute : Current Working Directory : %s \n", savedDirectory);
        LogInfo("execute : Executing Application Source : %s \n", commandLine);
        LogInfo("execute : Set Working Directory : %s \n", workingDirectory);
        if (!SetCurrentDirectoryA(workingDirectory)) {
            const DWORD error = GetLastError();
            LogError("execute : Failed to set the WorkingDirectory %s \n ", workingDirectory);
            LogErrorMessage(error);
            SetRemarks(remarks, error);
            return error;
        }
        // A relative working directory has just become our current one; handing the
        // child the same relative text would resolve it a second time.
        childDirectory = workingDirectory;
        std::vector<char> entered(kSavedDirectoryChars, '\0');
        const DWORD length = GetCurrentDirectoryA(kSavedDirectoryChars, entered.data());
        if (length > 0 && length < kSavedDirectoryChars)
            childDirectory.assign(entered.data(), length);
    }

    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    if (showWindow) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_SHOWNORMAL;
    }
    PROCESS_INFORMATION process{};
    std::string mutableCommand(commandLine);  // CreateProcessA may write into its command line

    DWORD result = 0;
    if (!CreateProcessA(nullptr, mutableCommand.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_DEFAULT_ERROR_MODE, nullptr,
                        workingDirectory ? childDirectory.c_str() : nullptr, &startup, &process)) {
        result = GetLastError();
        LogInfo("execute : Failed to Create the Process for the application \n");
        SetRemarks(remarks, result);
    } else {
        LogInfo("execute : Process successfully created for application %s \n", commandLine);
        if (limitMilliseconds == 0) {
            result = 0;
            SetRemarks(remarks, 0);
        } else {
            const DWORD waitMs = static_cast<DWORD>(std::min(limitMilliseconds, kLongestWait));
            const DWORD waited = WaitForSingleObject(process.hProcess, waitMs);
            if (waited == WAIT_FAILED) {
                result = GetLastError();
                LogError("execute : WaitForSingleObject Failed with error code %d \n", result);
                SetRemarks(remarks, result);
            } else if (waited != WAIT_OBJECT_0) {
                result = WAIT_TIMEOUT;
                LogInfo(
                    "execute : Terminating the Process for application %s as time is exceeded %d "
                    "Minutes \n",
                    commandLine,
                    static_cast<DWORD>(std::min<ULONGLONG>(limitMilliseconds / 60000, INFINITE)));
                SetRemarks(remarks, result);
                if (TerminateProcess(process.hProcess, 0)) {
                    LogInfo("execute : The process has been successfully terminated ..! \n");
                } else {
                    LogError("execute : The process termination is failed with error code : %d \n",
                             GetLastError());
                }
            } else {
                DWORD exitCode = 0;
                if (GetExitCodeProcess(process.hProcess, &exitCode)) {
                    result = exitCode;
                    SetRemarks(remarks, result);
                    LogInfo("execute : Exit code for the application : %d \n", result);
                } else {
                    result = GetLastError();
                    LogInfo(
                        "execute : Unable to find the exit code for the application and the error "
                        "code is : %d \n",
                        result);
                    SetRemarks(remarks, result);
                }
            }
        }
        if (process.hThread) CloseHandle(process.hThread);
        if (process.hProcess) CloseHandle(process.hProcess);
    }

    if (workingDirectory) SetCurrentDirectoryA(savedDirectory.c_str());

    LogInfo("execute : Remarks from the CreateProcess is %s for the executable %s \n", *remarks,
            commandLine);
    LogDebug("@@@@@@@@ End Of execute Method @@@@@@@@ \n");
    return result;
}

DWORD ExecuteInstallerWithLimit(const char* workingDirectory, const char* commandLine,
                                std::string* remarks, ULONGLONG limitMilliseconds, int showWindow) {
    return MapInstallerResult(
        ExecuteWithLimit(workingDirectory, commandLine, remarks, limitMilliseconds, showWindow));
}

}  // namespace installer

DWORD execute(const char* workingDirectory, const char* commandLine, std::string* remarks,
              DWORD timeLimitMinutes, int showWindow) {
    return installer::ExecuteWithLimit(workingDirectory, commandLine, remarks,
                                       static_cast<ULONGLONG>(timeLimitMinutes) * 60000,
                                       showWindow);
}

DWORD executeInstaller(const char* workingDirectory, const char* commandLine, std::string* remarks,
                       DWORD timeLimitMinutes, int showWindow) {
    return installer::MapInstallerResult(
        execute(workingDirectory, commandLine, remarks, timeLimitMinutes, showWindow));
}
