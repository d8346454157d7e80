// Pieces of the file unit that the directory search and the process unit share.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/win/types.h"

namespace host {

// A file it creates gets createMode (less the umask), or 0444 with FILE_ATTRIBUTE_READONLY.
HANDLE OpenFileHandle(const std::string& path, DWORD desiredAccess, DWORD shareMode,
                      DWORD disposition, DWORD flags, mode_t createMode = 0666);
bool IsPathOpenForDeleteCheck(const std::string& path);
DWORD AttributesOf(const struct stat& info);
FILETIME FileTimeOf(const struct timespec& time);

}  // namespace host
