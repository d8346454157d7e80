// Registry access for the agent: each function opens the key, does one thing, logs it
// and closes the key. Results are Windows error codes.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

// Creates the key (and missing parents) or opens the existing one: 0, or the error code.
DWORD addRegistryKey(HKEY hive, const char* subKey);
// valueName "--" is the key's default value; valueData "--" is empty data.
DWORD writeValue(HKEY hive, const char* subKey, const char* valueName, const char* valueData,
                 DWORD dataType);
// Deletes the value ("--": the default value): 0, or the error of opening the key or
// deleting the value (ERROR_FILE_NOT_FOUND when either is missing).
DWORD deleteValue(HKEY hive, const char* subKey, const char* valueName);
DWORD deleteValue(HKEY hive, const WCHAR* subKey, const WCHAR* valueName);
// The result is left unchanged on failure, so callers preset their default.
DWORD ReadDwordRegistryData(HKEY hive, const char* subKey, const char* valueName, DWORD* result);
// The value's bytes as text (any type); nullopt unless the read succeeded far enough to
// allocate (a failed read after sizing leaves an empty string, as the caller's block).
DWORD ReadRegSZ(HKEY hive, const char* subKey, const char* valueName,
                std::optional<std::string>* result);
// The value as UTF-16 text: 0 with *result set, or the error code (ERROR_INVALID_DATA for
// a null result or a name that is not UTF-8).
DWORD ReadRegSZEx(HKEY hive, const char* subKey, const char* valueName,
                  std::optional<WideString>* result);
// Deletes the key with all its subkeys and values; false when any part cannot be deleted.
bool DeleteKeyTree(HKEY parent, const char* subKey);

// Holds one open key across several operations.
class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() { close(); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // open, create: open an existing key or create it, closing the key held before; the
    // error code of RegOpenKeyExA / RegCreateKeyExA on failure (the held key stays).
    LSTATUS open(HKEY parent, const char* subKey, REGSAM access);
    LSTATUS create(HKEY parent, const char* subKey, LPSTR keyClass, DWORD options, REGSAM access,
                   LPSECURITY_ATTRIBUTES securityAttributes, LPDWORD disposition = nullptr);
    // Closes the held key, if any.
    void close();
    // A REG_DWORD value: ERROR_INVALID_DATA for another type, else the query's result.
    LSTATUS readDword(const char* valueName, DWORD* result) const;
    // A REG_SZ or REG_EXPAND_SZ value into buffer (*size bytes): ERROR_MORE_DATA with the
    // size needed, ERROR_INVALID_DATA for another type or unterminated data.
    LSTATUS readString(const char* valueName, char* buffer, DWORD* size) const;
    // Writes the text with its terminator as a value of the given type; the error code.
    LSTATUS writeString(const char* valueName, const char* text, DWORD type = REG_SZ) const;

    // handle, viewBits: the held key (null when none) and the registry view it was opened with.
    HKEY handle() const { return key_; }
    REGSAM viewBits() const { return view_; }

private:
    HKEY key_ = nullptr;
    REGSAM view_ = 0;
};
