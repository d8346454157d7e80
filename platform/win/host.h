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

// VANTORRA_MACHINE_ROOT, or /var/lib/vantorra/machine when unset; read on every call
// so tests can switch roots.
std::string MachineRoot();

// "X:\rest" or "X:/rest" -> <root>/drive_x/rest; remaining backslashes become "/";
// anything else is used as it is.
std::string MapPath(std::string_view windowsPath);

// fopen, mkdir, remove and rename on mapped paths (results as the C runtime gives them).
std::FILE* MappedFopen(const char* path, const char* mode);
int MappedMkdir(const char* path);
int MappedRemove(const char* path);
int MappedRename(const char* from, const char* to);

// Splits a command line with the Windows rules: the first token is the program,
// double quotes group, backslashes before a quote escape it.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// For the project's own programs: writes the full exit code to the file named by
// VANTORRA_EXIT_CODE_FILE (when set) and returns the status to return from main.
int ExitStatus(DWORD exitCode);

}  // namespace host
