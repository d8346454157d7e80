// The registry, kept in the hive file registry/HKLM.reg of the machine root.
// Writes are atomic and serialised across processes; there is one view.
#pragma once

#include "platform/win/files.h"
#include "platform/win/types.h"

#ifndef _WIN32  // on Windows the SDK declares all of this (platform/win/types.h)

// HKEY, PHKEY: an open registry key (closed with RegCloseKey) and a pointer to one;
// REGSAM: the access rights asked for when a key is opened.
struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002)))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000003)))

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
inline constexpr DWORD REG_LINK = 6;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_CREATE_LINK = 0x0020;
inline constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
inline constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_EXECUTE = 0x20019;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0x0;
inline constexpr DWORD REG_OPTION_VOLATILE = 0x1;
inline constexpr DWORD REG_CREATED_NEW_KEY = 0x1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 0x2;

// Results are Windows error codes: ERROR_FILE_NOT_FOUND for a missing key or value,
// ERROR_MORE_DATA when the data does not fit (the size is set to what is needed),
// ERROR_ACCESS_DENIED when the handle lacks the access the operation needs,
// ERROR_KEY_DELETED when the key was deleted after it was opened.
// The A forms convert names and string data between UTF-8 and the UTF-16 the hive holds.
// Only HKEY_LOCAL_MACHINE has a hive; the other predefined keys answer ERROR_FILE_NOT_FOUND.
// Key and value names with a line break cannot be stored (ERROR_INVALID_PARAMETER).
LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                        REGSAM desired, const SECURITY_ATTRIBUTES* securityAttributes,
                        PHKEY result, LPDWORD disposition);
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                        REGSAM desired, const SECURITY_ATTRIBUTES* securityAttributes,
                        PHKEY result, LPDWORD disposition);
// Opens an existing key; ERROR_FILE_NOT_FOUND when there is none. Close it with RegCloseKey.
LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result);
// A value's type and data: ERROR_MORE_DATA with the size needed when data is too small,
// ERROR_FILE_NOT_FOUND when there is no such value.
LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize);
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                         LPBYTE data, LPDWORD dataSize);
// Creates or replaces a value with its type and data; the hive is written before it
// returns. An error code on failure.
LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD dataSize);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD dataSize);
// Deletes a value; ERROR_FILE_NOT_FOUND when there is none.
LSTATUS RegDeleteValueA(HKEY key, LPCSTR valueName);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName);
// Deletes a key that has no subkeys (ERROR_ACCESS_DENIED otherwise, as on Windows).
LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey);
LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey);
// RegEnumKeyExA, RegEnumValueA and the W forms below: the index-th subkey or value;
// ERROR_NO_MORE_ITEMS past the last.
LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPDWORD reserved,
                      LPSTR keyClass, LPDWORD classChars, PFILETIME lastWriteTime);
LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameChars,
                      LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);
// RegEnumKeyExW, RegEnumValueW: subkeys enumerate in name order, values in the order they were added. When a name
// does not fit, ERROR_MORE_DATA sets the count to the size needed (with terminator).
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved,
                      LPWSTR keyClass, LPDWORD classChars, PFILETIME lastWriteTime);
LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameChars,
                      LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);
// Closes a key of RegOpenKeyEx or RegCreateKeyEx; ERROR_INVALID_HANDLE for one that is
// not open.
LSTATUS RegCloseKey(HKEY key);

#endif  // _WIN32
