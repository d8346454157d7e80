// Service control: a listening socket receives the control code, an installed but
// stopped service answers 1062, an unknown one 1060.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

// A datagram listener bound at a path (the stand-in for a running service).
class Listener {
public:
    explicit Listener(const std::filesystem::path& path) {
        std::filesystem::create_directories(path.parent_path());
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        // Deep roots are bound through their folder, as the layer sends to them.
        folder_ = ::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY);
        const std::string target = "/proc/self/fd/" + std::to_string(folder_) + "/" + path.filename().string();
        std::strncpy(address.sun_path, target.c_str(), sizeof address.sun_path - 1);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Listener() {
        ::close(fd_);
        ::close(folder_);
    }
    bool bound() const { return bound_; }
    std::string Receive() {
        char buffer[64] = {};
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        return n < 0 ? "<none>" : std::string(buffer, n);
    }

private:
    int fd_ = -1, folder_ = -1;
    bool bound_ = false;
};

void Install(const char16_t* name) {
    HKEY key = nullptr;
    const std::u16string path = std::u16string(u"SYSTEM\\CurrentControlSet\\Services\\") + name;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              LSTATUS(ERROR_SUCCESS));
    RegCloseKey(key);
}

TEST(Services, ControlRunningStoppedAndUnknown) {
    testsupport::MachineRoot root;
    Install(u"ZQAgent");
    Install(u"Stopped");
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(manager, nullptr);

    SC_HANDLE unknown = OpenServiceW(manager, u"NoSuchService", SERVICE_ALL_ACCESS);
    EXPECT_EQ(unknown, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(OpenServiceW(manager, u"..\\ZQAgent", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);

    SERVICE_STATUS status{};
    SC_HANDLE stopped = OpenServiceW(manager, u"Stopped", SERVICE_USER_DEFINED_CONTROL);
    ASSERT_NE(stopped, nullptr);
    EXPECT_FALSE(ControlService(stopped, 147, &status));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
    {
        // A socket file left behind by a service that has gone: still not active.
        Listener gone(root.path() / "services" / "Stopped.sock");
        ASSERT_TRUE(gone.bound());
    }
    EXPECT_FALSE(ControlService(stopped, 147, &status));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);

    Listener agent(root.path() / "services" / "ZQAgent.sock");
    ASSERT_TRUE(agent.bound());
    SC_HANDLE service = OpenServiceW(manager, u"ZQAgent", SERVICE_USER_DEFINED_CONTROL);
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(ControlService(service, 147, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(agent.Receive(), "147");
    ASSERT_TRUE(ControlService(service, 255, nullptr));
    EXPECT_EQ(agent.Receive(), "255");
    // The handle was opened for user-defined controls only.
    EXPECT_FALSE(ControlService(service, 1, &status));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(agent.Receive(), "<none>");

    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_FALSE(ControlService(service, 147, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseServiceHandle(service));
    EXPECT_TRUE(CloseServiceHandle(stopped));
    EXPECT_TRUE(CloseServiceHandle(manager));
    EXPECT_EQ(OpenServiceW(manager, u"ZQAgent", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(OpenSCManagerW(u"\\\\remote", nullptr, SC_MANAGER_CONNECT), nullptr);
}

TEST(Services, NameMatchesWithoutRegardToCase) {
    testsupport::MachineRoot root;
    Install(u"ZQAgent");
    Listener agent(root.path() / "services" / "ZQAgent.sock");
    ASSERT_TRUE(agent.bound());
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(manager, nullptr);
    for (const char16_t* spelling : {u"zqagent", u"ZQAGENT", u"ZQAgent"}) {
        SC_HANDLE service = OpenServiceW(manager, spelling, SERVICE_USER_DEFINED_CONTROL);
        ASSERT_NE(service, nullptr);
        SERVICE_STATUS status{};
        EXPECT_TRUE(ControlService(service, 147, &status)) << "error " << GetLastError();
        EXPECT_EQ(agent.Receive(), "147");
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

TEST(Services, DeepMachineRootBeyondSocketPathLimit) {
    testsupport::MachineRoot root;
    const auto deep = root.path() / std::string(60, 'a') / std::string(60, 'b');
    std::filesystem::create_directories(deep);
    setenv("VANTORRA_MACHINE_ROOT", deep.c_str(), 1);
    Install(u"Deep");
    Listener listener(deep / "services" / "Deep.sock");
    ASSERT_TRUE(listener.bound());
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, u"Deep", SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr);
    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(service, 147, &status));
    EXPECT_EQ(listener.Receive(), "147");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

}  // namespace
