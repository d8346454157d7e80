// Child processes: exit codes through the exit-code file, signals, termination,
// waits with time-outs, the program search and bad programs or folders.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include <atomic>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::MachineRoot;

class Processes : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(root.drivePath('c', "work")); }

    // Writes an executable shell script at a drive path such as "work/x.exe".
    void Script(const std::string& drivePath, const std::string& body) {
        const auto path = root.drivePath('c', drivePath);
        testsupport::WriteFile(path, "#!/bin/sh\n" + body + "\n");
        ::chmod(path.c_str(), 0755);
    }

    // Starts the command line; returns the process information or the last error.
    std::variant<PROCESS_INFORMATION, DWORD> Start(std::string commandLine, const char* folder = "C:\\work",
                                                   LPVOID env = nullptr, DWORD flags = 0) {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, flags, env, folder, &startup, &info))
            return GetLastError();
        return info;
    }

    DWORD RunToEnd(const std::string& commandLine, const char* folder = "C:\\work") {
        auto started = Start(commandLine, folder);
        if (std::holds_alternative<DWORD>(started)) {
            ADD_FAILURE() << commandLine << " failed to start: " << std::get<DWORD>(started);
            return 0xDEAD;
        }
        auto info = std::get<PROCESS_INFORMATION>(started);
        EXPECT_EQ(WaitForSingleObject(info.hProcess, 20000), WAIT_OBJECT_0);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
        EXPECT_TRUE(CloseHandle(info.hThread));
        EXPECT_TRUE(CloseHandle(info.hProcess));
        return code;
    }

    MachineRoot root;
};

TEST_F(Processes, ExitCodes) {
    Script("work/big.exe", "echo 3010 > \"$VANTORRA_EXIT_CODE_FILE\"\nexit 0");
    Script("work/neg.exe", "printf ' -1\\n' > \"$VANTORRA_EXIT_CODE_FILE\"\nexit 0");
    Script("work/junk.exe", "echo abc > \"$VANTORRA_EXIT_CODE_FILE\"\nexit 9");
    Script("work/status.exe", "exit 7");
    Script("work/signal.exe", "kill -TERM $$\nsleep 5");
    struct Case {
        const char* commandLine;
        DWORD code;
    } cases[] = {
        {"C:\\work\\big.exe", 3010},
        {"C:\\work\\neg.exe", 0xFFFFFFFF},
        {"C:\\work\\junk.exe", 9},  // unreadable file content: the exit status counts
        {"C:\\work\\status.exe", 7},
        {"C:\\work\\signal.exe", 128 + 15},
    };
    for (const auto& c : cases) EXPECT_EQ(RunToEnd(c.commandLine), c.code) << c.commandLine;
}

TEST_F(Processes, ExitCodeFileIsFreshPerChildAndRemoved) {
    Script("work/show.exe", "echo \"$VANTORRA_EXIT_CODE_FILE\" > \"$1\"");
    setenv("VANTORRA_EXIT_CODE_FILE", "/nonexistent/inherited", 1);
    EXPECT_EQ(RunToEnd("C:\\work\\show.exe one"), 0u);
    EXPECT_EQ(RunToEnd("C:\\work\\show.exe two"), 0u);
    unsetenv("VANTORRA_EXIT_CODE_FILE");
    std::string one = testsupport::ReadFile(root.drivePath('c', "work/one"));
    std::string two = testsupport::ReadFile(root.drivePath('c', "work/two"));
    one.pop_back(), two.pop_back();
    EXPECT_NE(one, "/nonexistent/inherited");
    EXPECT_NE(one, two);
    EXPECT_FALSE(std::filesystem::exists(one));
}

TEST_F(Processes, ArgumentsFolderAndEnvironment) {
    Script("work/args.exe", "for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > out.txt\npwd >> out.txt\necho \"$MYVAR\" >> out.txt");
    std::filesystem::create_directories(root.drivePath('c', "other"));
    const char env[] = "MYVAR=from block\0OTHER=1\0";
    auto started = Start("C:\\work\\args.exe \"a b\" \"\" c\\\"d e\\\\f", "C:\\other", const_cast<char*>(env));
    ASSERT_TRUE(std::holds_alternative<PROCESS_INFORMATION>(started));
    auto info = std::get<PROCESS_INFORMATION>(started);
    ASSERT_EQ(WaitForSingleObject(info.hProcess, 20000), WAIT_OBJECT_0);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    EXPECT_EQ(testsupport::ReadFile(root.drivePath('c', "other/out.txt")),
              "[a b]\n[]\n[c\"d]\n[e\\\\f]\n" + std::filesystem::canonical(root.drivePath('c', "other")).string() +
                  "\nfrom block\n");

    const char16_t wideEnv[] = u"MYVAR=wide ü\0";
    started = Start("C:\\work\\args.exe", "C:\\other", const_cast<char16_t*>(wideEnv), CREATE_UNICODE_ENVIRONMENT);
    ASSERT_TRUE(std::holds_alternative<PROCESS_INFORMATION>(started));
    info = std::get<PROCESS_INFORMATION>(started);
    ASSERT_EQ(WaitForSingleObject(info.hProcess, 20000), WAIT_OBJECT_0);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    EXPECT_TRUE(testsupport::ReadFile(root.drivePath('c', "other/out.txt")).ends_with("\nwide ü\n"));
}

TEST_F(Processes, ProgramSearch) {
    Script("tools/hello.exe", "exit 21");
    Script("tools/plain", "exit 22");
    Script("Windows/system32/sysprog.exe", "exit 23");
    Script("work/local.exe", "exit 24");
    EXPECT_EQ(RunToEnd("hello", "C:\\tools"), 21u);        // working folder, NAME.exe
    EXPECT_EQ(RunToEnd("hello.exe", "C:\\tools"), 21u);
    EXPECT_EQ(RunToEnd("plain", "C:\\tools"), 22u);        // name as it is first
    EXPECT_EQ(RunToEnd("sysprog", "C:\\work"), 23u);       // system folder
    EXPECT_EQ(RunToEnd("local", "C:\\work"), 24u);
    EXPECT_EQ(RunToEnd("C:\\tools\\hello", "C:\\work"), 21u);  // a path also tries NAME.exe
    EXPECT_EQ(RunToEnd("sh -c \"exit 25\"", "C:\\work"), 25u);   // PATH
}

TEST_F(Processes, StartFailures) {
    Script("work/noexec.exe", "exit 0");
    ::chmod(root.drivePath('c', "work/noexec.exe").c_str(), 0644);
    testsupport::WriteFile(root.drivePath('c', "work/garbage.exe"), "\x01\x02 not a program");
    ::chmod(root.drivePath('c', "work/garbage.exe").c_str(), 0755);
    struct Case {
        const char* commandLine;
        const char* folder;
        DWORD error;
    } cases[] = {
        {"no_such_program_anywhere", "C:\\work", ERROR_FILE_NOT_FOUND},
        {"C:\\work\\missing.exe", "C:\\work", ERROR_FILE_NOT_FOUND},
        {"C:\\nofolder\\missing.exe", "C:\\work", ERROR_PATH_NOT_FOUND},
        {"sh -c true", "C:\\no\\such\\folder", ERROR_DIRECTORY},
        {"C:\\work\\garbage.exe", "C:\\work", ERROR_BAD_EXE_FORMAT},
        {"", "C:\\work", ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        auto started = Start(c.commandLine, c.folder);
        ASSERT_TRUE(std::holds_alternative<DWORD>(started)) << c.commandLine;
        EXPECT_EQ(std::get<DWORD>(started), c.error) << c.commandLine;
    }
    if (::geteuid() != 0) {  // root may run anything
        auto started = Start("C:\\work\\noexec.exe");
        ASSERT_TRUE(std::holds_alternative<DWORD>(started));
        EXPECT_EQ(std::get<DWORD>(started), ERROR_ACCESS_DENIED);
    }
}

TEST_F(Processes, WaitTimeoutAndTerminate) {
    auto started = Start("sleep 60");
    ASSERT_TRUE(std::holds_alternative<PROCESS_INFORMATION>(started));
    auto info = std::get<PROCESS_INFORMATION>(started);
    EXPECT_GT(info.dwProcessId, 0u);
    const ULONGLONG before = GetTickCount64();
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 100), WAIT_TIMEOUT);
    EXPECT_GE(GetTickCount64() - before, 90u);
    EXPECT_EQ(WaitForSingleObject(info.hThread, 0), WAIT_TIMEOUT);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_TRUE(TerminateProcess(info.hProcess, 1460));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(info.hThread, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 1460u);
    EXPECT_FALSE(TerminateProcess(info.hProcess, 1));  // already ended
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 1460u);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(TerminateProcess(info.hProcess, 1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Processes, ConcurrentWaitersAllSeeTheEnd) {
    // The child ends once the file "go" appears in its folder.
    Script("work/slow.exe", "while [ ! -e go ]; do sleep 0.01; done; exit 5");
    auto started = Start("C:\\work\\slow.exe");
    ASSERT_TRUE(std::holds_alternative<PROCESS_INFORMATION>(started));
    auto info = std::get<PROCESS_INFORMATION>(started);
    std::atomic<int> done{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            if (WaitForSingleObject(info.hProcess, INFINITE) == WAIT_OBJECT_0) ++done;
        });
    EXPECT_EQ(done.load(), 0);
    testsupport::WriteFile(root.drivePath('c', "work/go"), "");
    for (auto& t : waiters) t.join();
    EXPECT_EQ(done.load(), 4);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    EXPECT_EQ(code, 5u);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

// A child is collected whether its handles are closed while it runs or after it ended
// unwaited: neither stays a zombie (which would still answer kill(pid, 0)).
TEST_F(Processes, ChildrenWhoseHandlesAreClosedDoNotStayZombies) {
    Script("work/brief.exe", "sleep 0.2");
    for (const bool endedFirst : {false, true}) {
        auto started = Start("C:\\work\\brief.exe");
        ASSERT_TRUE(std::holds_alternative<PROCESS_INFORMATION>(started));
        const auto info = std::get<PROCESS_INFORMATION>(started);
        const auto pid = static_cast<pid_t>(info.dwProcessId);
        siginfo_t ended{};
        if (endedFirst) {
            ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT), 0);
        }
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        bool gone = false;
        for (int i = 0; i < 1000 && !gone; ++i) {
            gone = ::kill(pid, 0) != 0 && errno == ESRCH;
            if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(gone) << (endedFirst ? "ended before its handles were closed" : "closed while running");
    }
}

// Where the kernel refuses pidfds, a watcher thread collects each child, and waits,
// time-outs, exit codes and termination behave as before. Checked in a forked process
// whose seccomp filter fails pidfd_open with ENOSYS; its exit status names the first
// check that failed.
TEST_F(Processes, WaitsWhereTheKernelRefusesPidfds) {
    Script("work/seven.exe", "exit 7");
    const pid_t tester = ::fork();
    ASSERT_GE(tester, 0);
    if (tester == 0) {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            ::_exit(10);
        if (::syscall(SYS_pidfd_open, ::getpid(), 0) >= 0 || errno != ENOSYS) ::_exit(11);

        auto seven = Start("C:\\work\\seven.exe");
        if (!std::holds_alternative<PROCESS_INFORMATION>(seven)) ::_exit(12);
        const auto done = std::get<PROCESS_INFORMATION>(seven);
        DWORD code = 0;
        if (WaitForSingleObject(done.hProcess, 20000) != WAIT_OBJECT_0) ::_exit(13);
        if (!GetExitCodeProcess(done.hProcess, &code) || code != 7) ::_exit(14);

        auto sleeper = Start("sleep 60");
        if (!std::holds_alternative<PROCESS_INFORMATION>(sleeper)) ::_exit(15);
        const auto running = std::get<PROCESS_INFORMATION>(sleeper);
        if (WaitForSingleObject(running.hProcess, 50) != WAIT_TIMEOUT) ::_exit(16);
        if (!TerminateProcess(running.hProcess, 1460)) ::_exit(17);
        if (WaitForSingleObject(running.hThread, 20000) != WAIT_OBJECT_0) ::_exit(18);
        if (!GetExitCodeProcess(running.hProcess, &code) || code != 1460) ::_exit(19);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(tester, &status, 0), tester);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "check " << WEXITSTATUS(status) << " failed";
}

TEST(ProcessIdentity, CurrentProcessAndThreads) {
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(::getpid()));
    EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(::getpid()));  // gtest runs on the main thread
    DWORD other = 0;
    std::thread([&] { other = GetCurrentThreadId(); }).join();
    EXPECT_NE(other, GetCurrentThreadId());
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(GetCurrentProcess(), &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    SYSTEMTIME utc{}, local{};
    GetSystemTime(&utc);
    EXPECT_GE(utc.wYear, 2024);
    const char* oldTz = std::getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    setenv("TZ", "UTC-3", 1);  // three hours east of UTC
    GetLocalTime(&local);
    if (oldTz) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    EXPECT_EQ((utc.wHour + 3) % 24, local.wHour % 24);
}

}  // namespace
