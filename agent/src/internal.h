// Pieces shared by the agent parameter readers.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

namespace agent_detail {

// ReadRegSZ below HKEY_LOCAL_MACHINE; on any failure the out text is null. The text ends
// at its first NUL (registry strings carry their terminator).
DWORD ReadText(const std::string& key, const char* valueName, std::optional<std::string>* out);
DWORD WriteText(const std::string& key, const char* valueName, const char* text);
bool EqualsNoCase(const std::optional<std::string>& text, const char* expected);
// The C runtime's atoi/atol, without undefined behaviour on overflow (saturates).
long ParseLeadingNumber(const std::string& text);
// UTF-8 -> UTF-16 -> wide lower-casing (towlower) -> UTF-8.
std::string LowerUnicode(const std::string& utf8);

}  // namespace agent_detail
