// Loaded modules and their entry points. "kernel32.dll" is built into the host layer
// (its optional entry points follow the machine profile); other names are shared
// libraries loaded from their mapped path.
#pragma once

#include "platform/win/types.h"

#ifndef _WIN32  // on Windows the SDK declares all of this (platform/win/types.h)

// Always succeeds for "kernel32" / "kernel32.dll" (any case); other modules only when
// already loaded through LoadLibraryA.
HMODULE GetModuleHandleA(LPCSTR moduleName);
HMODULE LoadLibraryA(LPCSTR fileName);
// Null with ERROR_PROC_NOT_FOUND when the module lacks the entry point.
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
// Drops one load of LoadLibraryA; the library is unloaded with the last. FALSE for a
// handle that is not loaded.
BOOL FreeLibrary(HMODULE module);

#endif  // _WIN32
