// Registry access for the agent: each function opens the key, does one thing, logs it
// and closes the key. Results are Windows error codes.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

DWORD addRegistryKey(HKEY hive, const char* subKey);
// valueName "--" is the key's default value; valueData "--" is empty data.
DWORD writeValue(HKEY hive, const char* subKey, const char* valueName, const char* valueData,
                 DWORD dataType);
DWORD deleteValue(HKEY hive, const char* subKey, const char* valueName);
DWORD deleteValue(HKEY hive, const WCHAR* subKey, const WCHAR* valueName);
// The result is left unchanged on failure, so callers preset their default.
DWORD ReadDwordRegistryData(HKEY hive, const char* subKey, const char* valueName, DWORD* result);
// The value's bytes as text (any type); nullopt unless the read succeeded far enough to
// allocate (a failed read after sizing leaves an empty string, as the caller's block).
DWORD ReadRegSZ(HKEY hive, const char* subKey, const char* valueName,
                std::optional<std::string>* result);
DWORD ReadRegSZEx(HKEY hive, const char* subKey, const char* valueName,
                  std::optional<WideString>* result);
bool DeleteKeyTree(HKEY parent, const char* subKey);

// Holds one open key across several operations.
class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() { close(); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    LSTATUS open(HKEY parent, const char* subKey, REGSAM access);
    LSTATUS create(HKEY parent, const char* subKey, LPSTR keyClass, DWORD options, REGSAM access,
                   LPSECURITY_ATTRIBUTES securityAttributes, LPDWORD disposition = nullptr);
    void close();
    LSTATUS readDword(const char* valueName, DWORD* result) const;
    LSTATUS readString(const char* valueName, char* buffer, DWORD* size) const;
    LSTATUS writeString(const char* valueName, const char* text, DWORD type = REG_SZ) const;

    HKEY handle() const { return key_; }
    REGSAM viewBits() const { return view_; }

private:
    HKEY key_ = nullptr;
    REGSAM view_ = 0;
};
