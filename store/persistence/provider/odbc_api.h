// The ODBC headers on top of the host layer's Windows types. unixODBC's headers define
// their own copies of those types unless told that they exist; the few they need and
// the host layer does not offer are added here. On Windows the SDK's headers have them.
#pragma once

#include "platform/win/types.h"

#if !defined(_WIN32) && !defined(ALREADY_HAVE_WINDOWS_TYPE)
#define ALREADY_HAVE_WINDOWS_TYPE 1
#ifndef FAR
#define FAR
#endif
#ifndef CALLBACK
#define CALLBACK
#endif
#ifndef SQL_API
#define SQL_API
#endif
// TCHAR, UCHAR, SCHAR, SQLSCHAR, SDWORD, UDWORD, SWORD, UWORD, SLONG, SSHORT, USHORT,
// SDOUBLE, LDOUBLE, SFLOAT, PTR, RETCODE, SQLHWND, LPTSTR: the Windows type names the
// ODBC headers use, with the widths unixODBC gives them.
using TCHAR = char;
using UCHAR = unsigned char;
using SCHAR = signed char;
using SQLSCHAR = SCHAR;
using SDWORD = int;
using UDWORD = unsigned int;
using SWORD = short;
using UWORD = unsigned short;
using SLONG = long;
using SSHORT = short;
using USHORT = unsigned short;
using SDOUBLE = double;
using LDOUBLE = double;
using SFLOAT = float;
using PTR = void*;
using RETCODE = short;
using SQLHWND = void*;
using LPTSTR = TCHAR*;
#endif

#include <sql.h>
#include <sqlext.h>
#include <odbcinst.h>
