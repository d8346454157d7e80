// Windows SDK base types as the host layer defines them on POSIX.
// Code above platform/ uses these names so that it builds unchanged against <windows.h>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#ifdef _WIN32
// On Windows the SDK is the host layer: these are all the headers the code above needs.
#include <winsock2.h>
#include <windows.h>
#include <dsgetdc.h>
#include <iphlpapi.h>
#include <lm.h>
#include <sddl.h>
#include <shlobj.h>
#include <wincrypt.h>
#include <winsvc.h>

#define WTEXT(text) L##text
#else

// BYTE, BOOLEAN, WORD, DWORD, UINT, INT, BOOL, LONG, ULONG, LONGLONG, ULONGLONG,
// DWORD64, SIZE_T, DWORD_PTR, ULONG_PTR, LSTATUS, HRESULT: the SDK's integer types, with
// the SDK's widths.
using BYTE = std::uint8_t;
using BOOLEAN = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using INT = int;
using BOOL = int;
using LONG = std::int32_t;  // 32 bits, as on Windows
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using DWORD64 = std::uint64_t;
using SIZE_T = std::size_t;
using DWORD_PTR = std::uintptr_t;
using ULONG_PTR = std::uintptr_t;
using LSTATUS = LONG;
using HRESULT = LONG;

// CHAR, WCHAR, LPSTR, LPCSTR, LPWSTR, LPCWSTR, PVOID, LPVOID, LPCVOID, LPBYTE, LPDWORD,
// PDWORD, LPBOOL, PULONG: the SDK's characters and pointers.
using CHAR = char;
using WCHAR = char16_t;  // wide text is UTF-16
using LPSTR = CHAR*;
using LPCSTR = const CHAR*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using PDWORD = DWORD*;
using LPBOOL = BOOL*;
using PULONG = ULONG*;

// HANDLE, PHANDLE, HMODULE, HINSTANCE, HWND, FARPROC: handles and entry points, opaque to
// callers; each is made and closed by the host layer's own calls.
using HANDLE = void*;
using PHANDLE = HANDLE*;
using HMODULE = void*;
using HINSTANCE = void*;
using HWND = void*;
using FARPROC = void (*)();

// Wide literal: L"..." on Windows.
#define WTEXT(text) u##text

// The SDK's calling-convention markers, stdcall on 32-bit Windows: functions the system calls
// back are declared CALLBACK, system entry points WINAPI. The host layer has one convention.
#ifndef CALLBACK
#define CALLBACK
#endif
#ifndef WINAPI
#define WINAPI
#endif

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

inline constexpr DWORD MAX_PATH = 260;
inline constexpr DWORD INFINITE = 0xFFFFFFFF;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

// A point in time in 100-nanosecond intervals since 1601-01-01 UTC, split in two halves.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
// LPFILETIME, PFILETIME: pointers to a FILETIME.
using LPFILETIME = FILETIME*;
using PFILETIME = FILETIME*;

// A calendar date and time by fields (local time or UTC, as the call that fills it says).
struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
// Pointer to a SYSTEMTIME.
using LPSYSTEMTIME = SYSTEMTIME*;

// A signed 64-bit value, also reachable as its low and high 32-bit halves.
union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
// Pointer to a LARGE_INTEGER.
using PLARGE_INTEGER = LARGE_INTEGER*;

// Security of a new object. The host layer reads it only in CreateDirectory, whose
// descriptor may ask for a folder only the owner can enter
// (ConvertStringSecurityDescriptorToSecurityDescriptorA).
struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
// Pointer to a SECURITY_ATTRIBUTES.
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

#endif  // _WIN32

// WideString, WideStringView: wide text is UTF-16 in WCHAR units on both builds: wchar_t on Windows, char16_t here.
// Code above platform/ holds wide text in these, never in a char16_t or wchar_t type.
using WideString = std::basic_string<WCHAR>;
using WideStringView = std::basic_string_view<WCHAR>;
