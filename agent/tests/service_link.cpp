// Weak stand-ins for the service control manager so the agent tests link while the host
// layer's implementation is not in the platform library; the real one takes precedence
// as soon as it is linked. Both report "no service manager" here.
#include "platform/platform.h"

__attribute__((weak)) SC_HANDLE OpenSCManagerW(LPCWSTR, LPCWSTR, DWORD) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}
__attribute__((weak)) SC_HANDLE OpenServiceW(SC_HANDLE, LPCWSTR, DWORD) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
}
__attribute__((weak)) BOOL ControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS) {
    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return FALSE;
}
__attribute__((weak)) BOOL CloseServiceHandle(SC_HANDLE) { return TRUE; }
