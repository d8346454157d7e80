// Pieces of the file unit that the directory search and the process unit share.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/win/types.h"

namespace host {

HANDLE OpenFileHandle(const std::string& path, DWORD desiredAccess, DWORD shareMode,
                      DWORD disposition, DWORD flags);
bool IsPathOpenForDeleteCheck(const std::string& path);
DWORD AttributesOf(const struct stat& info);
FILETIME FileTimeOf(const struct timespec& time);

}  // namespace host
