// The service control manager: installed services are registry keys below
// SYSTEM\CurrentControlSet\Services, running ones listen on services/NAME.sock.
#pragma once

#include "platform/win/types.h"

#ifndef _WIN32  // on Windows the SDK declares all of this (platform/win/types.h)

// SC_HANDLE: a handle of the service control manager or of one service, closed with CloseServiceHandle.
struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;

inline constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
inline constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
inline constexpr DWORD SERVICE_STOP = 0x0020;
inline constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x0100;
inline constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

// A service's state as ControlService reports it.
struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
// Pointer to a SERVICE_STATUS.
using LPSERVICE_STATUS = SERVICE_STATUS*;
inline constexpr DWORD SERVICE_RUNNING = 0x00000004;

// Opens the local service control manager (machineName null); null with the error code set.
SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess);
// Opens an installed service by name; null with ERROR_SERVICE_DOES_NOT_EXIST when there
// is none. Close it with CloseServiceHandle.
SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess);
// Sends the control code as one datagram holding it in decimal text.
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
// Closes a handle of OpenSCManagerW or OpenServiceW; FALSE for one that is not open.
BOOL CloseServiceHandle(SC_HANDLE handle);

#endif  // _WIN32
