// A Windows service for the tests: it appends every user-defined control code (128-255)
// it is sent to the file named by its first argument, one decimal line each, and stops
// when told to. The control manager waits for the handler, so a code is in the file by
// the time the sender's ControlService returns.
#include <windows.h>
#include <winsvc.h>

#include <cstdio>

namespace {

const char* recordPath = nullptr;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopRequested = nullptr;

void ReportState(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(statusHandle, &status);
}

bool Record(DWORD code) {
    HANDLE file = CreateFileA(recordPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char line[16];
    const int length = std::snprintf(line, sizeof line, "%lu\n", static_cast<unsigned long>(code));
    DWORD written = 0;
    const bool done = WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr) &&
                      written == static_cast<DWORD>(length);
    CloseHandle(file);
    return done;
}

DWORD WINAPI HandleControl(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP) {
        ReportState(SERVICE_STOP_PENDING);
        SetEvent(stopRequested);
        return NO_ERROR;
    }
    if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
    if (control >= 128 && control <= 255) return Record(control) ? NO_ERROR : GetLastError();
    return ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    statusHandle = RegisterServiceCtrlHandlerExW(L"", HandleControl, nullptr);
    if (!statusHandle) return;
    stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ReportState(SERVICE_RUNNING);
    WaitForSingleObject(stopRequested, INFINITE);
    ReportState(SERVICE_STOPPED);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: control_recorder_service RECORD-FILE (started by the control manager)\n");
        return 2;
    }
    recordPath = argv[1];
    wchar_t ownProcess[] = L"";  // the name is not looked at for a service of its own process
    const SERVICE_TABLE_ENTRYW services[] = {{ownProcess, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(services) ? 0 : 1;
}
