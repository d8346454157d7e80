// The service control manager: a service is installed when its key exists below
// SYSTEM\CurrentControlSet\Services and running when it listens on services/NAME.sock.
#include "platform/win/services.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/src/handles.h"
#include "platform/src/internal.h"
#include "platform/src/registry_hive.h"
#include "platform/win/errors.h"
#include "platform/win/host.h"
#include "platform/win/registry.h"

namespace host {
namespace {

constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;

class ManagerObject : public KernelObject {};

class ServiceObject : public KernelObject {
public:
    ServiceObject(std::string name, DWORD access) : name(std::move(name)), access(access) {}
    std::string name;
    DWORD access;
};

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// Sends one datagram to the socket; returns 0 or an errno value.
int SendDatagram(const std::string& socketPath, const std::string& text) {
    Fd sock{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (sock.fd < 0) return errno;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string target = socketPath;
    Fd folder{-1};
    if (target.size() >= sizeof address.sun_path) {
        // A deep machine root does not fit in sun_path: reach the socket through its folder.
        folder.fd = ::open(ParentFolder(target).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (folder.fd < 0) return errno;
        target = "/proc/self/fd/" + std::to_string(folder.fd) + "/" + target.substr(target.rfind('/') + 1);
        if (target.size() >= sizeof address.sun_path) return ENAMETOOLONG;
    }
    std::memcpy(address.sun_path, target.c_str(), target.size() + 1);
    const ssize_t sent = ::sendto(sock.fd, text.data(), text.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return sent < 0 ? errno : 0;
}

DWORD AccessNeeded(DWORD control) {
    if (control == SERVICE_CONTROL_STOP) return SERVICE_STOP;
    if (control == SERVICE_CONTROL_INTERROGATE) return SERVICE_QUERY_STATUS;
    if (control >= 128 && control <= 255) return SERVICE_USER_DEFINED_CONTROL;
    return 0;
}

}  // namespace
}  // namespace host

SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR, DWORD) {
    // Only the local machine has a service manager here.
    if (machineName && *machineName) {
        SetLastError(1722);  // RPC_S_SERVER_UNAVAILABLE
        return nullptr;
    }
    return reinterpret_cast<SC_HANDLE>(host::RegisterHandle(std::make_shared<host::ManagerObject>()));
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) {
    if (!host::LookupHandleAs<host::ManagerObject>(manager)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const std::string name = host::NarrowArg(serviceName);
    if (name.empty() || name.size() > 256 || name.find_first_of("/\\") != std::string::npos) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    HKEY key = nullptr;
    const std::u16string path = u"SYSTEM\\CurrentControlSet\\Services\\" + host::Utf8ToUtf16(name);
    const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
        SetLastError(status == ERROR_FILE_NOT_FOUND ? ERROR_SERVICE_DOES_NOT_EXIST : static_cast<DWORD>(status));
        return nullptr;
    }
    RegCloseKey(key);
    // Service names are case-insensitive: the running service listens under the name
    // it was installed with, whatever spelling the caller used.
    std::string installed = name;
    if (auto hive = host::reg::ReadHive()) {
        if (const auto* found = host::reg::FindPath(*hive, host::reg::SplitPath(path)))
            installed = host::Utf16ToUtf8(found->name);
    }
    return reinterpret_cast<SC_HANDLE>(
        host::RegisterHandle(std::make_shared<host::ServiceObject>(installed, desiredAccess)));
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    auto object = host::LookupHandleAs<host::ServiceObject>(service);
    if (!object) return host::Fail(ERROR_INVALID_HANDLE);
    const DWORD needed = host::AccessNeeded(control);
    if (needed == 0) return host::Fail(ERROR_INVALID_PARAMETER);
    if ((object->access & needed) != needed) return host::Fail(ERROR_ACCESS_DENIED);
    const std::string socketPath = host::MachineRoot() + "/services/" + object->name + ".sock";
    const int error = host::SendDatagram(socketPath, std::to_string(control));
    if (error == ENOENT || error == ECONNREFUSED || error == ENOTSOCK || error == EPROTOTYPE)
        return host::Fail(ERROR_SERVICE_NOT_ACTIVE);
    if (error != 0) return host::Fail(error == EAGAIN ? ERROR_SERVICE_REQUEST_TIMEOUT : host::ErrorFromErrno(error));
    if (status) {
        *status = SERVICE_STATUS{};
        status->dwServiceType = host::SERVICE_WIN32_OWN_PROCESS;
        status->dwCurrentState = SERVICE_RUNNING;
        status->dwControlsAccepted = host::SERVICE_ACCEPT_STOP;
    }
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    auto object = host::LookupHandle(handle);
    if (!std::dynamic_pointer_cast<host::ServiceObject>(object) &&
        !std::dynamic_pointer_cast<host::ManagerObject>(object))
        return host::Fail(ERROR_INVALID_HANDLE);
    if (!host::UnregisterHandle(handle)) return host::Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}
