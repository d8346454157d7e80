// Size-based rotation of a log that its process keeps open: copy to numbered backups
// and truncate in place, checked again on a timer-queue timer.
#include "runtime/rotation.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "runtime/agent_key.h"
#include "runtime/helpers.h"
#include "runtime/log.h"
#include "runtime/registry_access.h"

namespace {

std::mutex gv_timerMutex;
HANDLE gv_timerQueue = nullptr;      // guarded by gv_timerMutex
HANDLE gv_loggerTimer = nullptr;     // the most recently armed one-shot timer
bool gv_rotationStopped = false;     // no check and no re-arming once the shutdown has begun
LoggerSettings* gv_rotationSettings = nullptr;  // the settings the current timers serve
int gv_checksRunning = 0;            // timer checks under way, on any timer thread
std::atomic<DWORD> gv_timerProcess{0};  // the process whose timer thread runs the checks
std::condition_variable gv_checkEnded;
thread_local bool t_inTimerCheck = false;

// Counts a timer check for the shutdown to wait on; a firing that comes after the
// shutdown began is not admitted and touches nothing.
class TimerCheck {
public:
    TimerCheck() {
        std::lock_guard lock(gv_timerMutex);
        admitted_ = !gv_rotationStopped;
        if (admitted_) ++gv_checksRunning;
        t_inTimerCheck = admitted_;
    }
    ~TimerCheck() {
        if (!admitted_) return;
        {
            std::lock_guard lock(gv_timerMutex);
            --gv_checksRunning;
            t_inTimerCheck = false;
        }
        gv_checkEnded.notify_all();
    }
    TimerCheck(const TimerCheck&) = delete;
    TimerCheck& operator=(const TimerCheck&) = delete;
    bool admitted() const { return admitted_; }

private:
    bool admitted_ = false;
};

// Ends the periodic checks: no timer fires again and a check under way on another
// thread has finished when this returns, so the settings and the log may go.
void StopRotationTimer() {
    HANDLE queue = nullptr;
    HANDLE timer = nullptr;
    {
        std::lock_guard lock(gv_timerMutex);
        gv_rotationStopped = true;
        gv_rotationSettings = nullptr;
        queue = gv_timerQueue;
        timer = gv_loggerTimer;
        gv_timerQueue = nullptr;
        gv_loggerTimer = nullptr;
    }
    if (queue) {
        // ERROR_IO_PENDING is no failure: the queue goes once a running callback returns.
        if (!DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE) && GetLastError() != ERROR_IO_PENDING) {
            const DWORD error = GetLastError();
            LogError("ServiceMain : DeleteTimerQueue is failed due to following error !! \n");
            LogErrorMessage(error);
        }
    } else if (timer) {
        // Without a queue of its own the timer went to the default queue.
        DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);
    }
    // Also covers a check of an older one-shot timer of the default queue. A shutdown
    // called from inside a check does not wait for itself.
    std::unique_lock lock(gv_timerMutex);
    gv_checkEnded.wait(lock, [] { return gv_checksRunning == (t_inTimerCheck ? 1 : 0); });
}

// A process that ends without StopLogRotation still stops the timer before the static
// objects a check uses (its settings among them) are destroyed: registered at each
// start, after the settings exist, the hook runs before their destructors. Running it
// more than once is harmless.
void StopRotationTimerAtExit() {
    // A forked child inherits the hook but not the timer thread: nothing to stop there.
    if (GetCurrentProcessId() != gv_timerProcess) return;
    StopRotationTimer();
}

std::string BaseOf(const std::string& fileName) {
    const std::size_t dot = fileName.find(".log");
    return dot == std::string::npos ? std::string() : fileName.substr(0, dot);
}

std::string BackupPath(const std::string& folder, const std::string& base, int number) {
    return folder + "\\" + base + std::to_string(number) + ".log";
}

// Copies a log onto target by replacing whatever is there, never by writing through it,
// and never copies what a link names: the logs folder may hold links someone planted to
// have the copy land in another file, or another file's text land among the logs.
BOOL CopyReplacing(const std::string& source, const std::string& target) {
    const DWORD attributes = GetFileAttributesA(source.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // A missing source leaves the target alone, as an overwriting copy would.
    if (attributes != INVALID_FILE_ATTRIBUTES) DeleteFileA(target.c_str());
    return CopyFileA(source.c_str(), target.c_str(), TRUE);
}

void DeleteLogged(const std::string& path) {
    if (DeleteFileA(path.c_str()))
        LogInfo("RotateSpecificLogs : The file %s was successfully deleted..:\n", path);
    else
        LogInfo("RotateSpecificLogs : Unable to delete the file %s and the error code is :%d\n", path,
                GetLastError());
}

// Copies the live file to backup 1 and empties it. The log lock is held from the copy to
// the end of the truncation, so no entry can land in the live file between the two and
// be lost from both; the outcome is logged once the lock is released, into the new file.
void CopyAndTruncate(const std::string& live, const std::string& firstBackup) {
    bool copied = false;
    DWORD copyError = 0;
    bool truncated = false;
    DWORD truncateError = 0;
    {
        LogLockGuard lock;
        copied = CopyReplacing(live, firstBackup) != FALSE;
        if (!copied) {
            copyError = GetLastError();
        } else {
            // Not through a link: the file emptied is the log itself, not what a link names.
            HANDLE file = CreateFileA(live.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                truncateError = GetLastError();
            } else {
                truncated = true;
                CloseHandle(file);
            }
        }
    }
    if (!copied) {
        LogInfo("RotateSpecificLogs : CopyFile failed to move from %S to  %s and the error code is %d \n", live,
                firstBackup, copyError);
        return;
    }
    LogInfo("RotateSpecificLogs : File successfully copied from %S to  %s so we are going to truncate the content of "
            "the first one \n",
            live, firstBackup);
    if (!truncated) {
        const LogArg args[] = {LogArg(live), LogArg(truncateError)};
        const std::string line =
            FormatLogText("RotateSpecificLogs : Truncate Existing backup File failed file Name -%S errorcode - %d\n", args);
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    }
}

}  // namespace

LoggerSettings MakeDefaultLoggerSettings() {
    LoggerSettings settings;
    if (!gv_agentInstallDir) {
        std::optional<std::string> installDir;
        if (ReadRegSZ(HKEY_LOCAL_MACHINE, gv_agentRootKey.c_str(), "ZQAgentInstallDir", &installDir) ==
                ERROR_SUCCESS &&
            installDir)
            gv_agentInstallDir = *installDir;
    }
    settings.directory = gv_agentInstallDir.value_or(std::string()) + "logs";
    return settings;
}

void StartLogRotation(LoggerSettings* settings) {
    if (!settings) return;
    if (settings->useTimer) {
        HANDLE previous = nullptr;
        HANDLE queue = CreateTimerQueue();
        const DWORD error = queue ? ERROR_SUCCESS : GetLastError();
        {
            std::lock_guard lock(gv_timerMutex);
            previous = gv_timerQueue;  // a second start replaces the first one's timers
            gv_timerQueue = queue;
            gv_loggerTimer = nullptr;
            gv_rotationStopped = false;
            gv_rotationSettings = settings;
            gv_timerProcess = GetCurrentProcessId();
        }
        if (previous) DeleteTimerQueueEx(previous, INVALID_HANDLE_VALUE);
        std::atexit(StopRotationTimerAtExit);
        if (queue) {
            LogInfo("ServiceMain : TimerQueue is created successfully \n");
        } else {
            LogError("ServiceMain : CreateTimerQueue is failed due to following error !! \n");
            LogErrorMessage(error);
        }
        LoggerTimerMethod(settings);
    } else {
        RotateLoggerForEverRunningProcess(settings->directory.c_str(), settings->fileName.c_str(), settings->maxFiles,
                                          settings->threshold);
    }
    InitializeAgentLog(settings->fileName.c_str(), settings->directory.c_str(), settings->openMode);
}

DWORD LoggerTimerMethod(LoggerSettings* settings) {
    if (!settings) return ERROR_INVALID_PARAMETER;
    RotateLoggerForEverRunningProcess(settings->directory.c_str(), settings->fileName.c_str(), settings->maxFiles,
                                      settings->threshold);
    std::unique_lock lock(gv_timerMutex);
    // A late firing from an earlier start must not arm a timer on the current queue.
    if (gv_rotationStopped || (gv_rotationSettings && settings != gv_rotationSettings)) return ERROR_SUCCESS;
    HANDLE timer = nullptr;
    if (!CreateTimerQueueTimer(&timer, gv_timerQueue, LoggerTimerRoutine, settings, settings->period, 0,
                               WT_EXECUTEDEFAULT)) {
        const DWORD error = GetLastError();
        lock.unlock();
        LogError("LoggerTimerMethod : CreateTimerQueueTimer failed due to following error \n");
        LogErrorMessage(error);
        return error;
    }
    gv_loggerTimer = timer;
    lock.unlock();
    LogDebug("LoggerTimerMethod : Registered the TimerRoutime callback in next %d minutes . \n",
             settings->period / 60000);
    return ERROR_SUCCESS;
}

void CALLBACK LoggerTimerRoutine(PVOID settings, BOOLEAN /*timerOrWaitFired*/) {
    const TimerCheck check;
    if (!check.admitted()) return;
    LogInfo("LoggerTimerRoutine : Inside LoggerTimerRoutine Method\n");
    LoggerTimerMethod(static_cast<LoggerSettings*>(settings));
    LogInfo("LoggerTimerRoutine : End of LoggerTimerRoutine Method\n");
}

DWORD RotateLoggerForEverRunningProcess(const char* directory, const char* fileName, int maxFiles, DWORD threshold) {
    if (!directory || !fileName) return ERROR_SUCCESS;
    const std::string folder = std::string(directory) + "\\";
    const std::string path = folder + fileName;
    LogInfo("RotateLoggerForEverRunningProcess : cSfileName : %s \n", path);
    if (CheckLogSizeReached(path.c_str(), threshold)) RotateSpecificLogs(folder.c_str(), fileName, maxFiles);
    return ERROR_SUCCESS;
}

bool CheckLogSizeReached(const char* path, DWORD threshold) {
    ULONGLONG size = 0;
    HANDLE file = path ? CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
                       : INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = path ? GetLastError() : ERROR_INVALID_PARAMETER;
        LogError("CheckLogSizeReached : Unable to get the file handle \n");
        LogErrorMessageAnsi(error);
    } else {
        LARGE_INTEGER value{};
        if (GetFileSizeEx(file, &value)) size = static_cast<ULONGLONG>(value.QuadPart);
        else LogError("CheckLogSizeReached : Error occurred in getting the size %d \n", GetLastError());
        CloseHandle(file);
    }
    LogInfo("CheckLogSizeReached : The log file size of %s is given by %ld \n", path,
            static_cast<DWORD>(size & 0xFFFFFFFFu));
    if (size < threshold) {
        LogDebug("CheckLogSizeReached : The size is less the required size \n");
        return false;
    }
    LogInfo("CheckLogSizeReached : The size is greater than the given size .........\n");
    return true;
}

DWORD RotateSpecificLogs(const char* folder, std::string fileNames, int maxFiles) {
    LogInfo("\n @@@@@@@@@@@@@@@Inside RotateSpecificLogs Method @@@@@@@@@@@@@\n");
    const std::string dir = folder ? folder : "";
    std::size_t start = 0;
    while (start <= fileNames.size()) {
        std::size_t end = fileNames.find(';', start);
        if (end == std::string::npos) end = fileNames.size();
        const std::string name = fileNames.substr(start, end - start);
        start = end + 1;
        if (name.empty()) continue;

        LogInfo("RotateSpecificLogs : Log File Name : %s\n", name);
        const std::string live = dir + "\\" + name;
        const std::string base = BaseOf(name);
        int count = FindNoOfRepeatedFileNames(dir.c_str(), base.c_str());
        LogInfo("RotateSpecificLogs : The return Value from FindNumberOfRepeatedFileNames method is : %d \n", count);
        do {
            std::string source = BackupPath(dir, base, count - 1);
            LogInfo("RotateSpecificLogs : The tempFileName1 : %s . \n", source);
            if (count >= maxFiles) {
                DeleteLogged(source);
                count = maxFiles - 1;
                source = BackupPath(dir, base, count - 1);
            }
            const std::string target = BackupPath(dir, base, count);
            LogInfo("RotateSpecificLogs : The tempFileName2 : %s . \n", target);
            if (count != 1) {
                if (CopyReplacing(source, target)) {
                    LogInfo("RotateSpecificLogs : File copied from %s to  %s . \n", source, target);
                    DeleteLogged(source);
                } else {
                    LogInfo("RotateSpecificLogs : CopyFile failed to move from %s to  %s and the error code is %d \n",
                            source, target, GetLastError());
                }
            } else {
                CopyAndTruncate(live, target);
            }
            --count;
        } while (count >= 1);
    }
    LogInfo("\n @@@@@@@@@@@@@@@ End of RotateSpecificLogs Method with error code %d @@@@@@@@@@@@@\n", 0);
    return ERROR_SUCCESS;
}

int FindNoOfRepeatedFileNames(const char* folder, const char* base) {
    LogDebug("@@@@@@@@@@@@Inside FindNoOfRepeatedFileNames Method @@@@@@@@@\n");
    const std::string dir = folder ? folder : "";
    const std::string pattern = dir + "\\" + (base ? base : "") + "*.*";
    LogInfo("FindNoOfRepeatedFileNames : Successfully allocated szFormattedPath and the value is %s  .\n", pattern);
    WIN32_FIND_DATAA data{};
    HANDLE find = FindFirstFileA(pattern.c_str(), &data);
    LogInfo("FindNoOfRepeatedFileNames : Successfully finded out first file  %d  .\n",
            static_cast<int>(reinterpret_cast<std::intptr_t>(find)));
    if (find == INVALID_HANDLE_VALUE) {
        LogErrorMessage(GetLastError());
        LogError("FindNumberOfRepeatedFileNames : Unable to find the files/folder.\n");
        return -1;
    }
    int count = 0;
    do {
        ++count;
        LogInfo("FindNoOfRepeatedFileNames : after memset of szSrcPath is  %s  .\n", dir + "\\" + data.cFileName);
    } while (FindNextFileA(find, &data));
    const DWORD error = GetLastError();
    FindClose(find);
    if (error != ERROR_NO_MORE_FILES) {
        LogErrorMessage(error);
        LogError("FindNumberOfRepeatedFileNames : Couldn't find next file :%d\n", error);
        return -1;
    }
    LogInfo("FindNoOfRepeatedFileNames : Going to Free the allocated memory in this method.\n");
    LogDebug("@@@@@@@@@@@@End of FindNoOfRepeatedFileNames Method with return value of No of file count : %d\t  "
             "@@@@@@@@@\n",
             count);
    return count;
}

void StopLogRotation() {
    StopRotationTimer();
    CloseLog();
    ReleaseLogSettings();
}
