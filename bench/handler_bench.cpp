// Overhead of one full zqprereqhandler run (itunes64: extraction, five dependency
// packages, the product's setup) on a machine whose children all exit at once, against
// the children's own cost: the same number of such children started one after another.
// Counters: overhead_ms (run minus children) and its breakdown from the handler's own
// log: start-up, agent parameters, extraction wait, installer steps, cleanup, exit.
// image_ms is what starting and ending the handler's image alone costs here (the same
// objects and shared libraries, returning before the run): the part of the overhead that
// the machine charges for the process itself.
// The machine's registry holds the resource id, as on a managed machine after its first
// run: the handler does not load its lookup module (the HTTP client and the store).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

namespace {

const char* const kPackages[] = {"AppleApplicationSupport64.msi", "AppleApplicationSupport.msi",
                                 "AppleMobileDeviceSupport64.msi", "AppleSoftwareUpdate.msi", "Bonjour64.msi",
                                 "iTunes64.msi", "SetupAdmin.exe"};

fs::path BinDir() { return VANTORRA_BIN_DIR; }

// Runs argv with the environment plus the machine root; returns the exit status.
int Spawn(const std::vector<std::string>& args, const std::string& machineRoot) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("VANTORRA_MACHINE_ROOT=", 0) != 0) env.emplace_back(*e);
    env.push_back("VANTORRA_MACHINE_ROOT=" + machineRoot);
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A machine prepared by make-machine whose 7-Zip, Windows Installer and setup program
// are all a program that exits at once.
struct QuickMachine {
    testsupport::TempDir dir;
    fs::path root = dir.path() / "machine";
    fs::path install = root / "drive_c/Program Files/Vantorra/Agent";
    fs::path patches = install / "patches";
    fs::path log = install / "logs/zqprereqhandler.log";
    fs::path quickChild = dir.path() / "quick-child";
    bool ready = false;

    QuickMachine() {
        const std::string command = "VANTORRA_BIN_DIR='" + BinDir().string() + "' '" VANTORRA_SOURCE_DIR +
                                    std::string("/tools/standins/make-machine' --agent-config --log-level 2 '") +
                                    root.string() + "' itunes64 >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) return;
        std::error_code error;
        fs::copy_file("/bin/true", quickChild, error);
        for (const fs::path& program : {install / "bin/7za.exe", root / "drive_c/Windows/system32/msiexec.exe",
                                        patches / "iTunes64Setup.exe"})
            fs::copy_file(quickChild, program, fs::copy_options::overwrite_existing, error);
        ready = !error;
    }

    // What the extraction would have left: the packages the plan installs.
    void PlaceExtractedFiles() const {
        for (const char* file : kPackages) std::ofstream(patches / file) << "stand-in package\n";
    }
};

long long StampMs(const std::string& line) {
    std::tm parts{};
    int ms = 0;
    if (std::sscanf(line.c_str(), "%*[^0-9]%d-%d-%d %d:%d:%d:%d", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                    &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &ms) != 7)
        return -1;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    parts.tm_isdst = -1;
    return static_cast<long long>(std::mktime(&parts)) * 1000 + ms;
}

long long MsSinceEpoch(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

struct Breakdown {
    int children = 0;
    long long logOpen = -1, firstStep = -1, firstRemarks = -1, lastRemarks = -1, exitCode = -1;
};

Breakdown ReadBreakdown(const fs::path& log) {
    Breakdown b;
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Log open time: ", 0) == 0) b = Breakdown{0, StampMs(line)};
        if (line.find("execute : Process successfully created") != std::string::npos) ++b.children;
        if (b.firstStep < 0 && line.find("execute : Current Working Directory") != std::string::npos)
            b.firstStep = StampMs(line);
        if (line.find("execute : Remarks from the CreateProcess") != std::string::npos) {
            if (b.firstRemarks < 0) b.firstRemarks = StampMs(line);
            b.lastRemarks = StampMs(line);
        }
        if (line.find("] Exit Code : ") != std::string::npos) b.exitCode = StampMs(line);
    }
    return b;
}

// Milliseconds for `count` runs of the program started one after another.
double SpawnMs(const std::string& program, const QuickMachine& machine, int count) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) Spawn({program}, machine.root.string());
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void BM_HandlerRun(benchmark::State& state) {
    QuickMachine machine;
    if (!machine.ready) {
        state.SkipWithError("make-machine failed (build zqprereqhandler and reg first)");
        return;
    }
    const std::vector<std::string> args = {(BinDir() / "zqprereqhandler").string(), "-n", "itunes64", "-p",
                                           "iTunes64Setup.exe"};
    const std::string imageProbe = (BinDir() / "handler-image-probe").string();
    double totalMs = 0, childrenMs = 0, imageMs = 0, startup = 0, parameters = 0, extraction = 0, installers = 0, cleanup = 0, exiting = 0;
    int children = 0;
    for (auto _ : state) {
        state.PauseTiming();
        machine.PlaceExtractedFiles();
        std::error_code ignored;
        fs::remove(machine.log, ignored);
        state.ResumeTiming();
        const auto start = Clock::now();
        if (Spawn(args, machine.root.string()) != 0) state.SkipWithError("the handler failed");
        const auto end = Clock::now();
        state.PauseTiming();
        const Breakdown b = ReadBreakdown(machine.log);
        children = b.children;
        totalMs += std::chrono::duration<double, std::milli>(end - start).count();
        startup += static_cast<double>(b.logOpen - MsSinceEpoch(start));
        parameters += static_cast<double>(b.firstStep - b.logOpen);
        extraction += static_cast<double>(b.firstRemarks - b.firstStep);
        installers += static_cast<double>(b.lastRemarks - b.firstRemarks);
        cleanup += static_cast<double>(b.exitCode - b.lastRemarks);
        exiting += static_cast<double>(MsSinceEpoch(end) - b.exitCode);
        // The children's own cost, measured right beside the run on a machine whose load drifts.
        childrenMs += SpawnMs(machine.quickChild.string(), machine, b.children);
        imageMs += SpawnMs(imageProbe, machine, 1);
        state.ResumeTiming();
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["children"] = children;
    state.counters["children_ms"] = childrenMs / runs;
    state.counters["overhead_ms"] = (totalMs - childrenMs) / runs;
    state.counters["image_ms"] = imageMs / runs;
    state.counters["startup_ms"] = startup / runs;
    state.counters["parameters_ms"] = parameters / runs;
    state.counters["extraction_wait_ms"] = extraction / runs;
    state.counters["installer_steps_ms"] = installers / runs;
    state.counters["cleanup_ms"] = cleanup / runs;
    state.counters["exit_ms"] = exiting / runs;
}
BENCHMARK(BM_HandlerRun)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

// The children alone: as many quick children as one handler run starts, one after another.
void BM_HandlerRun_Baseline(benchmark::State& state) {
    QuickMachine machine;
    if (!machine.ready) {
        state.SkipWithError("make-machine failed");
        return;
    }
    constexpr int kChildren = 7;  // extraction, five dependency packages, the setup program
    for (auto _ : state)
        for (int i = 0; i < kChildren; ++i) Spawn({machine.quickChild.string()}, machine.root.string());
}
BENCHMARK(BM_HandlerRun_Baseline)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
