// Child processes: Windows command lines, the program search, posix_spawn in the
// mapped working directory, the exit-code file, waits and termination.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <variant>
#include <vector>

#include "platform/src/handles.h"
#include "platform/src/internal.h"
#include "platform/win/errors.h"
#include "platform/win/host.h"
#include "platform/win/process.h"

extern char** environ;

namespace host {
namespace {

const HANDLE kCurrentProcess = INVALID_HANDLE_VALUE;  // the pseudo handle, as on Windows

// What a child left in its exit-code file: a decimal 32-bit number, or nothing usable.
std::optional<DWORD> ReadExitCodeFile(const std::string& path) {
    std::FILE* in = std::fopen(path.c_str(), "r");
    if (!in) return std::nullopt;
    char text[64] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, in);
    std::fclose(in);
    std::string value(text, n);
    const auto first = value.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::nullopt;
    value = value.substr(first, value.find_last_not_of(" \t\r\n") - first + 1);
    const bool negative = value[0] == '-';
    const std::string digits = negative ? value.substr(1) : value;
    if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned long long number = std::stoull(digits);
    if (negative ? number > 0x80000000ULL : number > 0xFFFFFFFFULL) return std::nullopt;
    return negative ? static_cast<DWORD>(-static_cast<long long>(number)) : static_cast<DWORD>(number);
}

struct ProcessState {
    std::mutex mutex;
    std::condition_variable exited;
    pid_t pid = 0;
    // Readable once the child has ended: a wait polls it in the waiting thread. Without
    // one (the kernel refused it), a watcher thread collects the child and wakes the waits.
    int pidfd = -1;
    bool reaped = false;
    DWORD exitCode = STILL_ACTIVE;
    std::optional<DWORD> terminateCode;
    std::string exitFile;

    // With the mutex held: collects the child if it has ended. The pid stays ours until
    // this reaps it, so a kill under the same mutex never hits a recycled pid.
    void ReapIfEnded(bool block) {
        if (reaped) return;
        int status = 0;
        pid_t got;
        do got = ::waitpid(pid, &status, block ? 0 : WNOHANG);
        while (got < 0 && errno == EINTR);
        if (got == 0) return;
        if (got < 0) {
            exitCode = terminateCode.value_or(ERROR_GEN_FAILURE);  // collected by someone else
        } else if (terminateCode) {
            exitCode = *terminateCode;
        } else if (WIFEXITED(status)) {
            exitCode = ReadExitCodeFile(exitFile).value_or(static_cast<DWORD>(WEXITSTATUS(status)));
        } else if (WIFSIGNALED(status)) {
            exitCode = 128 + static_cast<DWORD>(WTERMSIG(status));
        }
        ::unlink(exitFile.c_str());
        reaped = true;
        exited.notify_all();
    }

    // The last handle is gone. A child that still runs gets a collector of its own, so that
    // it does not stay a zombie.
    ~ProcessState() {
        if (pidfd < 0) return;  // the watcher thread held us until it collected the child
        ::close(pidfd);
        ReapIfEnded(false);
        if (reaped) return;
        try {
            std::thread([pid = pid, file = exitFile] {
                while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
                }
                ::unlink(file.c_str());
            }).detach();
        } catch (const std::system_error&) {
            // No thread to be had: the child stays a zombie until this process ends.
        }
    }

    DWORD Wait(DWORD milliseconds) {
        if (pidfd >= 0) return PollUntilEnded(milliseconds);
        std::unique_lock lock(mutex);
        ReapIfEnded(false);
        if (milliseconds == INFINITE) {
            exited.wait(lock, [&] { return reaped; });
        } else if (!exited.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return reaped; })) {
            return WAIT_TIMEOUT;
        }
        return WAIT_OBJECT_0;
    }

    DWORD PollUntilEnded(DWORD milliseconds) {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            {
                std::lock_guard lock(mutex);
                ReapIfEnded(false);
                if (reaped) return WAIT_OBJECT_0;
            }
            int timeout = -1;
            if (milliseconds != INFINITE) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
                if (left <= 0) return WAIT_TIMEOUT;
                timeout = static_cast<int>(std::min<long long>(left, INT_MAX));
            }
            pollfd ended{pidfd, POLLIN, 0};
            ::poll(&ended, 1, timeout);  // ended, interrupted or timed out: look again
        }
    }
};

// Waits for the child without collecting it, then collects it under the mutex; this
// also keeps children whose handles were closed early from staying zombies.
void WatchChild(std::shared_ptr<ProcessState> state) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(state->pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    std::lock_guard lock(state->mutex);
    state->ReapIfEnded(true);
}

class ProcessObject : public KernelObject {
public:
    explicit ProcessObject(std::shared_ptr<ProcessState> state) : state(std::move(state)) {}
    DWORD Wait(DWORD milliseconds) override { return state->Wait(milliseconds); }
    std::shared_ptr<ProcessState> state;
};

// The primary thread of a child ends with the child.
class ThreadObject : public KernelObject {
public:
    explicit ThreadObject(std::shared_ptr<ProcessState> state) : state(std::move(state)) {}
    DWORD Wait(DWORD milliseconds) override { return state->Wait(milliseconds); }
    std::shared_ptr<ProcessState> state;
};

bool HasExtension(const std::string& path) {
    const auto slash = path.rfind('/');
    const auto dot = path.rfind('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string CurrentDirectory() {
    std::vector<char> buffer(PATH_MAX);
    while (!::getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE) return ".";
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

std::string ProgramFolder() {
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return n > 0 ? ParentFolder(std::string(buffer.data(), static_cast<size_t>(n))) : ".";
}

// The program's host path, or the Windows error for not finding it.
std::variant<std::string, DWORD> FindProgram(const std::string& token, const std::string& workingDirectory,
                                             bool search) {
    const std::string mapped = MapPath(token);
    const auto tryIn = [&](const std::string& folder) -> std::optional<std::string> {
        const std::string base = folder.empty() ? mapped : folder + "/" + mapped;
        if (IsRegularFile(base)) return base;
        if (!HasExtension(mapped) && IsRegularFile(base + ".exe")) return base + ".exe";
        return std::nullopt;
    };
    const bool bare = mapped.find('/') == std::string::npos;
    if (!bare || !search) {
        if (auto found = tryIn(mapped.front() == '/' ? "" : workingDirectory)) return *found;
        struct stat info {};
        const std::string parent = ParentFolder(mapped.front() == '/' ? mapped : workingDirectory + "/" + mapped);
        return (::stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) ? ERROR_FILE_NOT_FOUND
                                                                              : ERROR_PATH_NOT_FOUND;
    }
    std::vector<std::string> folders = {workingDirectory, CurrentDirectory(), ProgramFolder(),
                                        MapPath("C:\\Windows\\system32")};
    const std::string path = GetEnv("PATH").value_or("");
    for (size_t start = 0; start <= path.size();) {
        const size_t end = std::min(path.find(':', start), path.size());
        if (end > start) folders.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    for (const auto& folder : folders)
        if (auto found = tryIn(folder)) return *found;
    return ERROR_FILE_NOT_FOUND;
}

// The child's environment: the given block (narrow or UTF-16) or ours, without any
// inherited exit-code file name.
std::vector<std::string> ChildEnvironment(LPVOID block, bool unicode) {
    std::vector<std::string> entries;
    if (block && unicode) {
        for (auto* p = static_cast<const char16_t*>(block); *p; p += std::char_traits<char16_t>::length(p) + 1)
            entries.push_back(Utf16ToUtf8(p));
    } else if (block) {
        for (auto* p = static_cast<const char*>(block); *p; p += std::strlen(p) + 1) entries.emplace_back(p);
    } else {
        std::lock_guard guard(EnvironmentLock());
        for (char** e = environ; e && *e; ++e) entries.emplace_back(*e);
    }
    std::erase_if(entries, [](const std::string& e) { return e.starts_with("VANTORRA_EXIT_CODE_FILE="); });
    return entries;
}

std::optional<std::string> NewExitCodeFile() {
    std::string folder = GetEnv("TMPDIR").value_or("/tmp");
    if (folder.empty()) folder = "/tmp";
    std::string pattern = folder + "/vantorra-exit-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) return std::nullopt;
    ::close(fd);
    return pattern;
}

struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

}  // namespace
}  // namespace host

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL, DWORD creationFlags, LPVOID environment,
                    LPCSTR currentDirectory, LPSTARTUPINFOA, LPPROCESS_INFORMATION processInformation) {
    using namespace host;
    if (!processInformation || (!applicationName && !commandLine)) return Fail(ERROR_INVALID_PARAMETER);
    std::vector<std::string> args = SplitCommandLine(commandLine ? commandLine : applicationName);
    if (args.empty() || (!applicationName && args[0].empty())) return Fail(ERROR_INVALID_PARAMETER);

    std::string workingDirectory = CurrentDirectory();
    if (currentDirectory && *currentDirectory) {
        workingDirectory = MapPath(currentDirectory);
        struct stat info {};
        if (::stat(workingDirectory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return Fail(ERROR_DIRECTORY);
    }
    // An application name is taken as it is; a command-line program is searched for.
    const auto program = FindProgram(applicationName ? applicationName : args[0], workingDirectory,
                                     applicationName == nullptr);
    if (std::holds_alternative<DWORD>(program)) return Fail(std::get<DWORD>(program));
    const std::string& path = std::get<std::string>(program);
    args[0] = path;

    const auto exitFile = NewExitCodeFile();
    if (!exitFile) return FailErrno();
    std::vector<std::string> env = ChildEnvironment(environment, creationFlags & CREATE_UNICODE_ENVIRONMENT);
    env.push_back("VANTORRA_EXIT_CODE_FILE=" + *exitFile);

    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    SpawnSetup setup;
    posix_spawn_file_actions_addchdir_np(&setup.actions, workingDirectory.c_str());
    // The child starts with default signal handling and nothing blocked.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &all);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, argv.data(), envp.data());
    if (error != 0) {
        ::unlink(exitFile->c_str());
        return Fail(ErrorFromErrno(error, path));
    }
    auto state = std::make_shared<ProcessState>();
    state->pid = pid;
    state->exitFile = *exitFile;
    state->pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));  // close-on-exec
    if (state->pidfd < 0) std::thread(WatchChild, state).detach();

    processInformation->hProcess = RegisterHandle(std::make_shared<ProcessObject>(state));
    processInformation->hThread = RegisterHandle(std::make_shared<ThreadObject>(state));
    processInformation->dwProcessId = static_cast<DWORD>(pid);
    processInformation->dwThreadId = static_cast<DWORD>(pid);  // the main thread's id is the pid
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (handle == host::kCurrentProcess) {
        // The running process never ends while it waits on itself.
        Sleep(milliseconds);
        return WAIT_TIMEOUT;
    }
    auto object = host::LookupHandle(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return object->Wait(milliseconds);
}

BOOL TerminateProcess(HANDLE process, UINT exitCode) {
    if (process == host::kCurrentProcess) {
        std::fflush(nullptr);
        ::_exit(host::ExitStatus(exitCode));
    }
    auto object = host::LookupHandleAs<host::ProcessObject>(process);
    if (!object) return host::Fail(ERROR_INVALID_HANDLE);
    auto& state = *object->state;
    std::lock_guard lock(state.mutex);
    state.ReapIfEnded(false);
    siginfo_t info{};
    // A child that has already ended cannot be terminated, as on Windows.
    if (state.reaped || state.terminateCode ||
        (::waitid(P_PID, static_cast<id_t>(state.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0))
        return host::Fail(ERROR_ACCESS_DENIED);
    state.terminateCode = exitCode;
    if (::kill(state.pid, SIGKILL) != 0) return host::FailErrno();
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    if (!exitCode) return host::Fail(ERROR_INVALID_PARAMETER);
    if (process == host::kCurrentProcess) {
        *exitCode = STILL_ACTIVE;
        return TRUE;
    }
    auto object = host::LookupHandleAs<host::ProcessObject>(process);
    if (!object) return host::Fail(ERROR_INVALID_HANDLE);
    std::lock_guard lock(object->state->mutex);
    object->state->ReapIfEnded(false);
    *exitCode = object->state->exitCode;
    return TRUE;
}

HANDLE GetCurrentProcess() { return host::kCurrentProcess; }
