// Timer queues and mutexes.
#pragma once

#include "platform/win/types.h"

#ifndef _WIN32  // on Windows the SDK declares all of this (platform/win/types.h)

// A timer's callback: called with the parameter given to CreateTimerQueueTimer.
using WAITORTIMERCALLBACK = void (*)(PVOID parameter, BOOLEAN timerOrWaitFired);
inline constexpr ULONG WT_EXECUTEDEFAULT = 0x00000000;
inline constexpr ULONG WT_EXECUTEONLYONCE = 0x00000008;

// Each queue runs its callbacks on a thread of its own. A null queue means the
// process's default queue. CompletionEvent: null returns at once (a running callback
// finishes on its own), INVALID_HANDLE_VALUE waits for running callbacks.
HANDLE CreateTimerQueue();
// Calls callback(parameter) after dueTime ms, then every period ms (0: once), on the
// queue's thread; FALSE with the error code set. *newTimer is deleted with
// DeleteTimerQueueTimer.
BOOL CreateTimerQueueTimer(PHANDLE newTimer, HANDLE timerQueue, WAITORTIMERCALLBACK callback,
                           PVOID parameter, DWORD dueTime, DWORD period, ULONG flags);
// Stops a timer; completionEvent as above.
BOOL DeleteTimerQueueTimer(HANDLE timerQueue, HANDLE timer, HANDLE completionEvent);
// Deletes a queue of CreateTimerQueue with its timers; completionEvent as above.
BOOL DeleteTimerQueueEx(HANDLE timerQueue, HANDLE completionEvent);

// Process-local mutexes; a thread owning one may take it again (recursive, as on Windows).
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
// Releases one hold of a mutex; FALSE with ERROR_NOT_OWNER when the calling thread does
// not hold it.
BOOL ReleaseMutex(HANDLE mutex);

#endif  // _WIN32
