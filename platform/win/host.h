// What the host layer offers beyond the Windows interfaces: the machine root, path
// mapping, mapped C runtime file functions and the exit-code contract of HOST.md.
// On Windows these reduce to the plain C runtime.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win/types.h"

namespace host {

#ifndef _WIN32  // Windows has no machine root and splits command lines itself
// VANTORRA_MACHINE_ROOT, or /var/lib/vantorra/machine when unset; read on every call
// so tests can switch roots.
std::string MachineRoot();

#endif  // _WIN32

// "X:\rest" or "X:/rest" -> <root>/drive_x/rest; remaining backslashes become "/";
// anything else is used as it is. On Windows the path is used as it is.
std::string MapPath(std::string_view windowsPath);

// MappedFopen, MappedMkdir, MappedRemove, MappedRename: fopen, mkdir, remove and rename
// on mapped paths (results as the C runtime gives them).
std::FILE* MappedFopen(const char* path, const char* mode);
int MappedMkdir(const char* path);
int MappedRemove(const char* path);
int MappedRename(const char* from, const char* to);

// Opens a file the process keeps for itself (a log) for writing, creating it when it is
// absent. mode: "a" or "a+" append, "w" empties the file once it has passed the checks.
// On POSIX the file is created exclusively with owner read-write and group read access
// (0640) and never through a symbolic link; an existing file is refused unless it is a
// regular file of the running user's own with a single name (no hard link), and wider
// access on it is narrowed to 0640. On Windows the folder's access control decides who
// can put files there, and the file is opened as fopen does.
// Null on failure, with the last error set; refusal (when given) then says why the file
// found there was refused, and stays empty for an ordinary failure. created (when given)
// tells whether this call made the file. The caller closes the file with fclose.
std::FILE* OpenOwnFile(const char* path, const char* mode, bool* created = nullptr,
                       std::string* refusal = nullptr);

#ifndef _WIN32
// Splits a command line with the Windows rules: the first token is the program,
// double quotes group, backslashes before a quote escape it.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);
#endif  // _WIN32

// Starts writing `length` bytes of an open file from `offset` to the disk and returns at
// once, so that a later FlushFileBuffers finds less left to wait for. Only a hint: it
// makes nothing durable by itself, and on Windows (which has no such call) it does
// nothing. FALSE with the error code for a handle that is not a file open for writing.
BOOL StartFileWriteBack(HANDLE file, ULONGLONG offset, ULONGLONG length);

// Names the machine's current boot: the same text in every process until the machine
// restarts, another one after. Empty when the host cannot tell. Lets a program know
// whether bytes a dead process wrote can still be read back from the file cache.
std::string BootIdentity();

// For the project's own programs: writes the full exit code to the file named by
// VANTORRA_EXIT_CODE_FILE (when set) and returns the status to return from main.
// On Windows the exit code is 32-bit already and is returned whole.
int ExitStatus(DWORD exitCode);

}  // namespace host
