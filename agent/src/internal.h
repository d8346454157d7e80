// Pieces shared by the agent parameter readers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace agent_detail {

// ReadRegSZ below HKEY_LOCAL_MACHINE; on any failure the out text is null. The text ends
// at its first NUL (registry strings carry their terminator).
DWORD ReadText(const std::string& key, const char* valueName, std::optional<std::string>* out);
DWORD WriteText(const std::string& key, const char* valueName, const char* text);
bool EqualsNoCase(const std::optional<std::string>& text, const char* expected);
// The C runtime's atoi/atol with Windows' 32-bit long: saturates at INT32_MIN/INT32_MAX.
std::int32_t ParseLeadingNumber(const std::string& text);
// UTF-8 -> UTF-16 -> Unicode lower case -> UTF-8, whatever the process locale.
std::string LowerUnicode(const std::string& utf8);

// Where GetOSNameEx takes and releases its module reference; tests count the two.
struct ModuleLoader {
    // The system's own types, calling convention included (stdcall on 32-bit Windows).
    decltype(&LoadLibraryA) load;
    decltype(&FreeLibrary) release;
};
extern ModuleLoader gv_moduleLoader;

}  // namespace agent_detail
