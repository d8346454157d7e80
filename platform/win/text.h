// Code-page conversions. The host's code pages are all UTF-8: CP_ACP, CP_OEMCP and
// CP_UTF8 convert between UTF-8 and UTF-16.
#pragma once

#include "platform/win/types.h"

#ifndef _WIN32  // on Windows the SDK declares all of this (platform/win/types.h)

inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_OEMCP = 1;
inline constexpr UINT CP_UTF8 = 65001;
inline constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;
inline constexpr DWORD WC_ERR_INVALID_CHARS = 0x00000080;

// As on Windows: a count of -1 converts up to and including the terminator; a
// destination size of 0 asks for the needed size. Invalid input becomes U+FFFD unless
// the ERR_INVALID_CHARS flag is given (then 0 with ERROR_NO_UNICODE_TRANSLATION).
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR source, int sourceBytes, LPWSTR dest,
                        int destChars);
// The reverse of MultiByteToWideChar: UTF-16 to UTF-8, with the same count rules.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR source, int sourceChars, LPSTR dest,
                        int destBytes, LPCSTR defaultChar, LPBOOL usedDefaultChar);

// The length of a terminated UTF-16 text in units; 0 for null.
int lstrlenW(LPCWSTR text);

#endif  // _WIN32
