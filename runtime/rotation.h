// Size-based log rotation by copy and truncation, repeated on a timer-queue timer.
#pragma once

#include <string>

#include "platform/platform.h"

struct LoggerSettings {
    std::string fileName = "computer.log";
    std::string directory;  // install directory followed by "logs"
    int maxFiles = 5;
    DWORD threshold = 2000000;
    DWORD period = 900000;  // milliseconds
    int openMode = 1;
    bool useTimer = true;
};

// Settings with the defaults; the directory is the install directory (read from the
// registry first when not yet known) followed by "logs".
LoggerSettings MakeDefaultLoggerSettings();

// The settings must live until StopLogRotation: the timer callback receives them.
void StartLogRotation(LoggerSettings* settings);
DWORD LoggerTimerMethod(LoggerSettings* settings);
void LoggerTimerRoutine(PVOID settings, BOOLEAN timerOrWaitFired);
DWORD RotateLoggerForEverRunningProcess(const char* directory, const char* fileName, int maxFiles,
                                        DWORD threshold);
bool CheckLogSizeReached(const char* path, DWORD threshold);
DWORD RotateSpecificLogs(const char* folder, std::string fileNames, int maxFiles);
int FindNoOfRepeatedFileNames(const char* folder, const char* base);
void StopLogRotation();
