// Helpers shared by the test suites: a private machine root per test, file helpers,
// bounded waiting and locating the project's programs.
#pragma once

#include <stdlib.h>
#ifdef _WIN32
#include <process.h>
#include <winsock2.h>
#include <windows.h>
#include <winsvc.h>
#else
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
// The POSIX environment calls the tests use, on the C runtime's environment (which
// _putenv_s keeps in step with the process environment block).
inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && std::getenv(name)) return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}
inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }
#endif

namespace testsupport {

// A fresh temporary folder that is removed again at the end of the scope.
class TempDir {
public:
    TempDir() {
#ifdef _WIN32
        static int counter = 0;
        for (;;) {
            const auto candidate = std::filesystem::temp_directory_path() /
                                   ("vantorra-test-" + std::to_string(_getpid()) + "-" + std::to_string(++counter));
            if (std::filesystem::create_directory(candidate)) {
                path_ = candidate;
                break;
            }
        }
#else
        std::string pattern = (std::filesystem::temp_directory_path() / "vantorra-test-XXXXXX");
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
#endif
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

#ifdef _WIN32
// On Windows the machine is the real one (under Wine, the test run's own profile): a
// private root is a fresh agent key, removed again afterwards, and a temporary folder
// for the files the POSIX root would hold. Drive paths are the real drives.
class MachineRoot {
public:
    MachineRoot() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kAgentTree); }
    ~MachineRoot() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kAgentTree); }

    const std::filesystem::path& path() const { return dir_.path(); }
    std::filesystem::path drivePath(char drive, const std::string& rest = "") const {
        std::string path = std::string(1, drive) + ":\\" + rest;
        for (char& c : path) if (c == '/') c = '\\';
        return path;
    }

private:
    static constexpr const char* kAgentTree = "Software\\Halcyra";
    TempDir dir_;
};
#else
// Points VANTORRA_MACHINE_ROOT at a fresh folder for the life of the object and puts
// the previous value back afterwards.
class MachineRoot {
public:
    MachineRoot() {
        if (const char* old = std::getenv("VANTORRA_MACHINE_ROOT")) previous_ = old, hadPrevious_ = true;
        setenv("VANTORRA_MACHINE_ROOT", dir_.str().c_str(), 1);
    }
    ~MachineRoot() {
        if (hadPrevious_) setenv("VANTORRA_MACHINE_ROOT", previous_.c_str(), 1);
        else unsetenv("VANTORRA_MACHINE_ROOT");
    }

    const std::filesystem::path& path() const { return dir_.path(); }
    // Host path of a drive path such as "C:\\Program Files" ('/' or '\\' separators).
    std::filesystem::path drivePath(char drive, const std::string& rest = "") const {
        std::string mapped = rest;
        for (char& c : mapped) if (c == '\\') c = '/';
        while (!mapped.empty() && mapped.front() == '/') mapped.erase(0, 1);
        std::string folder = "drive_";
        folder += static_cast<char>(std::tolower(static_cast<unsigned char>(drive)));
        return dir_.path() / folder / mapped;
    }

private:
    TempDir dir_;
    std::string previous_;
    bool hadPrevious_ = false;
};
#endif

inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// Loads registry text in the export format ("Windows Registry Editor Version 5.00")
// as the machine's HKEY_LOCAL_MACHINE: the root's hive file here; on Windows it is
// imported with the system's reg tool into the real registry.
inline bool WriteHive(const MachineRoot& root, const std::string& regText) {
#ifdef _WIN32
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Halcyra");  // the text replaces the hive
    const auto file = root.path() / "import.reg";
    WriteFile(file, regText);
    const std::string command = "reg import \"" + file.string() + "\" >NUL 2>NUL";
    return std::system(command.c_str()) == 0;
#else
    WriteFile(root.path() / "registry" / "HKLM.reg", regText);
    return true;
#endif
}

// Every byte of a file, on both builds (a body, a download).
inline std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// On Windows in text mode: the log is written in text mode there, with CR LF line ends.
inline std::string ReadFile(const std::filesystem::path& path) {
#ifdef _WIN32
    std::ifstream in(path);
#else
    std::ifstream in(path, std::ios::binary);
#endif
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Polls the condition until it holds or the bound passes; returns its last answer.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Folder of the project's built programs (build/bin for the debug preset).
inline std::filesystem::path BinDir() {
    if (const char* dir = std::getenv("VANTORRA_BIN_DIR")) return dir;
#ifdef VANTORRA_BIN_DIR
    return VANTORRA_BIN_DIR;
#else
    return "build/bin";
#endif
}

inline std::filesystem::path SourceDir() {
    if (const char* dir = std::getenv("VANTORRA_SOURCE_DIR")) return dir;
#ifdef VANTORRA_SOURCE_DIR
    return VANTORRA_SOURCE_DIR;
#else
    return ".";
#endif
}

// What a program run to its end left: exit status (-1 when it did not exit), stdout, stderr.
struct ProgramResult {
    int code = -1;
    std::string out;
    std::string err;
};

#ifdef _WIN32
// Runs a built program of the project (NAME.exe in BinDir()) with the arguments, in workDir,
// with stdin read from the text given; its output goes through files in workDir.
inline ProgramResult RunProgram(const std::string& name, const std::vector<std::string>& args,
                                const std::filesystem::path& workDir, const std::string& input = "") {
    const auto quoted = [](const std::string& text) { return "\"" + text + "\""; };
    const std::string program = (BinDir() / (name + ".exe")).string();
    std::string commandLine = quoted(program);
    for (const auto& arg : args) commandLine += " " + quoted(arg);
    WriteFile(workDir / "stdin.txt", input);
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const auto open = [&](const char* file, DWORD access, DWORD disposition) {
        return CreateFileA((workDir / file).string().c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = open("stdin.txt", GENERIC_READ, OPEN_EXISTING);
    startup.hStdOutput = open("stdout.txt", GENERIC_WRITE, CREATE_ALWAYS);
    startup.hStdError = open("stderr.txt", GENERIC_WRITE, CREATE_ALWAYS);
    PROCESS_INFORMATION process{};
    ProgramResult result;
    // By its full path, never looked up on the search path.
    if (CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, workDir.string().c_str(),
                       &startup, &process)) {
        DWORD code = 0;
        if (WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(process.hProcess, &code))
            result.code = static_cast<int>(code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    result.out = ReadFile(workDir / "stdout.txt");
    result.err = ReadFile(workDir / "stderr.txt");
    return result;
}

// A running service of the machine: NAME registered with the control manager and started,
// running the test kit's control_recorder_service.exe, which writes each user-defined
// control code it is sent to <root>/services/NAME.codes. Stopped and deleted at the end
// of the scope.
class ServiceListener {
public:
    ServiceListener(const std::filesystem::path& root, const std::string& name) : name_(name) {
        std::filesystem::create_directories(root / "services");
        record_ = root / "services" / (name + ".codes");
        manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (!manager_) return;
        Remove();  // one left behind by a run that ended early
        const std::string command =
            "\"" + (BinDir() / "control_recorder_service.exe").string() + "\" \"" + record_.string() + "\"";
        // A service deleted a moment ago may still be on its way out.
        WaitUntil([&] {
            service_ = CreateServiceA(manager_, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                      command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
            return service_ != nullptr || GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE;
        });
        bound_ = service_ && StartServiceA(service_, 0, nullptr) && WaitForState(service_, SERVICE_RUNNING);
    }
    ~ServiceListener() {
        Remove();
        if (manager_) CloseServiceHandle(manager_);
    }
    ServiceListener(const ServiceListener&) = delete;
    ServiceListener& operator=(const ServiceListener&) = delete;
    bool bound() const { return bound_; }
    // The next control code sent, waiting for it at most 10 s; empty when none came.
    std::string receive() {
        std::string code;
        WaitUntil([&] { return !(code = Next()).empty(); });
        return code;
    }
    // The next control code sent so far, if any, without waiting.
    std::string pending() { return Next(); }

private:
    std::string Next() {
        std::ifstream in(record_, std::ios::binary);
        std::string unread;
        if (!in.seekg(static_cast<std::streamoff>(consumed_)) || !std::getline(in, unread) || in.eof()) return "";
        consumed_ += unread.size() + 1;  // a line the service has finished writing
        return unread;
    }
    static bool WaitForState(SC_HANDLE service, DWORD state) {
        return WaitUntil([&] {
            SERVICE_STATUS status{};
            return QueryServiceStatus(service, &status) && status.dwCurrentState == state;
        });
    }
    void Remove() {
        SC_HANDLE service = service_ ? service_ : OpenServiceA(manager_, name_.c_str(), SERVICE_ALL_ACCESS);
        service_ = nullptr;
        if (!service) return;
        SERVICE_STATUS status{};
        if (ControlService(service, SERVICE_CONTROL_STOP, &status)) WaitForState(service, SERVICE_STOPPED);
        DeleteService(service);
        CloseServiceHandle(service);
    }

    std::string name_;
    std::filesystem::path record_;
    std::size_t consumed_ = 0;
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
    bool bound_ = false;
};
#else
// A running service of the machine root: a datagram socket at <root>/services/NAME.sock.
class ServiceListener {
public:
    ServiceListener(const std::filesystem::path& root, const std::string& name) {
        std::filesystem::create_directories(root / "services");
        path_ = (root / "services" / (name + ".sock")).string();
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        timeval timeout{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~ServiceListener() {
        if (fd_ >= 0) ::close(fd_);
        ::unlink(path_.c_str());
    }
    ServiceListener(const ServiceListener&) = delete;
    ServiceListener& operator=(const ServiceListener&) = delete;
    bool bound() const { return bound_; }
    // The next control code sent, waiting for it at most 10 s; empty when none came.
    std::string receive() { return Receive(0); }
    // The control code sent so far, if any, without waiting.
    std::string pending() { return Receive(MSG_DONTWAIT); }

private:
    std::string Receive(int flags) {
        char buffer[64] = {};
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer - 1, flags);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }

    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

// Starts a built program of the project (or, given a path, that program) with the arguments
// in workDir, stdin read from inPath, stdout and stderr written to outPath and errPath.
inline pid_t StartProgram(const std::string& name, const std::vector<std::string>& args,
                          const std::filesystem::path& workDir, const std::string& inPath, const std::string& outPath,
                          const std::string& errPath) {
    const std::string program = name.find('/') != std::string::npos ? name : (BinDir() / name).string();
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(workDir.c_str()) != 0) _exit(126);
        const int in = ::open(inPath.c_str(), O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

// Runs a built program of the project (or, given a path, that program) with the arguments,
// in workDir, with stdin read from the text given; its output goes through files in workDir.
inline ProgramResult RunProgram(const std::string& name, const std::vector<std::string>& args,
                                const std::filesystem::path& workDir, const std::string& input = "") {
    const std::string outPath = (workDir / "stdout.txt").string();
    const std::string errPath = (workDir / "stderr.txt").string();
    const std::string inPath = (workDir / "stdin.txt").string();
    WriteFile(inPath, input);
    const pid_t pid = StartProgram(name, args, workDir, inPath, outPath, errPath);
    ProgramResult result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.code = WEXITSTATUS(status);
    result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    return result;
}
#endif

}  // namespace testsupport
