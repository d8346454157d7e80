// Size-based log rotation by copy and truncation, repeated on a timer-queue timer.
#pragma once

#include <string>

#include "platform/platform.h"

// What the rotation keeps of one log: its file and folder, how many backups, the size that
// triggers a rotation and the timer's period.
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
// Rotates the log when it is over its threshold and arms the next check after the period:
// 0, or the error of arming the timer (ERROR_INVALID_PARAMETER for null settings).
DWORD LoggerTimerMethod(LoggerSettings* settings);
// The timer's callback: LoggerTimerMethod on the settings it was armed with.
void CALLBACK LoggerTimerRoutine(PVOID settings, BOOLEAN timerOrWaitFired);
// Rotates directory\fileName when it has reached the threshold; always 0.
DWORD RotateLoggerForEverRunningProcess(const char* directory, const char* fileName, int maxFiles,
                                        DWORD threshold);
// True when the file's size has reached the threshold; false when it is smaller or cannot
// be read (logged).
bool CheckLogSizeReached(const char* path, DWORD threshold);
// Rotates each file of the ';'-separated list in folder: the backups NAME1.log ... move up
// one, the oldest beyond maxFiles is deleted, the live file is copied to the first and
// truncated. Always 0; failures are logged.
DWORD RotateSpecificLogs(const char* folder, std::string fileNames, int maxFiles);
// The number of files in folder whose name starts with base; -1 when none can be listed.
int FindNoOfRepeatedFileNames(const char* folder, const char* base);
// The logging shutdown: deletes the rotation's timer queue (waiting for a check that is
// running; later firings do nothing), closes the log and forgets its settings.
void StopLogRotation();
