// Processes, waits, threads, time and sleeping.
#pragma once

#include "platform/win/types.h"

#ifndef _WIN32  // on Windows the SDK declares all of this (platform/win/types.h)

inline constexpr DWORD CREATE_NEW_CONSOLE = 0x00000010;
inline constexpr DWORD CREATE_UNICODE_ENVIRONMENT = 0x00000400;
inline constexpr DWORD CREATE_DEFAULT_ERROR_MODE = 0x04000000;
inline constexpr DWORD CREATE_NO_WINDOW = 0x08000000;
inline constexpr DWORD STARTF_USESHOWWINDOW = 0x00000001;
inline constexpr WORD SW_HIDE = 0;
inline constexpr WORD SW_SHOWNORMAL = 1;

inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED = 0x00000080;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr DWORD STILL_ACTIVE = 259;

// How CreateProcessA starts the child: window and standard handles (cb must be its size).
struct STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};
// Pointer to a STARTUPINFOA.
using LPSTARTUPINFOA = STARTUPINFOA*;

// What CreateProcessA reports: the new process's and thread's handles (the caller closes
// both with CloseHandle) and identifiers.
struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};
// Pointer to a PROCESS_INFORMATION.
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;

// The command line is parsed with the Windows rules; see HOST.md for the program
// search and the exit-code file handed to every child.
BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                    DWORD creationFlags, LPVOID environment, LPCSTR currentDirectory,
                    LPSTARTUPINFOA startupInfo, LPPROCESS_INFORMATION processInformation);
// Works on process handles and on the mutex handles of sync.h.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Ends the process at once with that exit code; FALSE with the error code set.
BOOL TerminateProcess(HANDLE process, UINT exitCode);
// The process's exit code, STILL_ACTIVE while it runs; FALSE for a handle that is not a
// process.
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
// Closes a handle of a process, a mutex or a file; FALSE with ERROR_INVALID_HANDLE for
// one that is not open.
BOOL CloseHandle(HANDLE handle);
// GetCurrentProcess, GetCurrentProcessId, GetCurrentThreadId: the calling process's
// pseudo handle (never closed) and identifiers.
HANDLE GetCurrentProcess();
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();  // the kernel thread id

// Suspends the calling thread for at least that many milliseconds.
void Sleep(DWORD milliseconds);
// The current local time.
void GetLocalTime(LPSYSTEMTIME systemTime);
// The current time in UTC.
void GetSystemTime(LPSYSTEMTIME systemTime);
// The current time in UTC as a FILETIME.
void GetSystemTimeAsFileTime(LPFILETIME fileTime);
// Milliseconds since the machine started, wrapping after 49.7 days (GetTickCount64 does not).
DWORD GetTickCount();
ULONGLONG GetTickCount64();

#endif  // _WIN32
