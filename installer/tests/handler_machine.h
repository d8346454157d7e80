// A machine root prepared by tools/standins/make-machine and runs of the real
// zqprereqhandler program on it.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "installer/tests/log_lines.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace installertest {

namespace fs = std::filesystem;

inline std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

struct HandlerRun {
    DWORD exitCode = 0;   // the full code from the exit-code file
    int exitStatus = -1;  // the process's own 8-bit status
    std::string stderrText;
    std::vector<std::string> log;  // entries of zqprereqhandler.log
    std::string logText;
    std::vector<std::string> installs;  // lines of the stand-ins' install log
};

class HandlerMachine {
public:
    // Runs make-machine with the given options; fails the test when it fails.
    void Prepare(const std::string& product, const std::vector<std::string>& options = {}) {
        std::string command =
            ShellQuote((testsupport::SourceDir() / "tools/standins/make-machine").string()) +
            " --reg " + ShellQuote((testsupport::BinDir() / "reg").string());
        for (const std::string& option : options) command += " " + ShellQuote(option);
        command += " " + ShellQuote(root_.str()) + " " + ShellQuote(product) + " > " +
                   ShellQuote((scratch_.path() / "archive").string()) + " 2> " +
                   ShellQuote((scratch_.path() / "make-machine.err").string());
        const int status = std::system(command.c_str());
        ASSERT_EQ(status, 0) << testsupport::ReadFile(scratch_.path() / "make-machine.err");
        archive_ = testsupport::ReadFile(scratch_.path() / "archive");
        while (!archive_.empty() && archive_.back() == '\n') archive_.pop_back();
    }

    // Runs the handler with the arguments, by default in the patch directory as the agent does.
    HandlerRun Run(const std::vector<std::string>& arguments,
                   const fs::path& workingDirectory = {}) {
        const fs::path exitFile = scratch_.path() / "exit-code";
        const fs::path errFile = scratch_.path() / "stderr";
        fs::remove(exitFile);
        std::string command =
            "cd " +
            ShellQuote((workingDirectory.empty() ? PatchDir() : workingDirectory).string()) +
            " && VANTORRA_MACHINE_ROOT=" + ShellQuote(root_.str()) +
            " VANTORRA_EXIT_CODE_FILE=" + ShellQuote(exitFile.string()) + environment_ + " exec " +
            ShellQuote(
                (program_.empty() ? testsupport::BinDir() / "zqprereqhandler" : program_).string());
        for (const std::string& argument : arguments) command += " " + ShellQuote(argument);
        command += " 2> " + ShellQuote(errFile.string());
        const int status = std::system(command.c_str());

        HandlerRun run;
        run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        const std::string code = testsupport::ReadFile(exitFile);
        run.exitCode = code.empty() ? static_cast<DWORD>(run.exitStatus)
                                    : static_cast<DWORD>(std::stoul(code));
        run.stderrText = testsupport::ReadFile(errFile);
        run.logText = testsupport::ReadFile(InstallDir() / "logs/zqprereqhandler.log");
        run.log = LogEntries(run.logText);
        std::istringstream lines(testsupport::ReadFile(root_.path() / "standins/install.log"));
        for (std::string line; std::getline(lines, line);) run.installs.push_back(line);
        return run;
    }

    // Sets a variable of the handler's environment for the following runs.
    void SetEnvironment(const std::string& name, const std::string& value) {
        environment_ += " " + name + "=" + ShellQuote(value);
    }

    // Runs the registry tool on the machine with the arguments; returns its exit status.
    int Reg(const std::string& arguments) const {
        const std::string command = "VANTORRA_MACHINE_ROOT=" + ShellQuote(root_.str()) + " " +
                                    ShellQuote((testsupport::BinDir() / "reg").string()) + " " +
                                    arguments + " >/dev/null 2>&1";
        return std::system(command.c_str());
    }

    // Runs this copy of the program instead of the build's own for the following runs.
    void SetProgram(const fs::path& program) { program_ = program; }

    const std::string& Archive() const { return archive_; }
    fs::path Root() const { return root_.path(); }
    fs::path InstallDir() const { return root_.path() / "drive_c/Program Files/Vantorra/Agent"; }
    fs::path PatchDir() const { return InstallDir() / "patches"; }

private:
    testsupport::TempDir root_;
    testsupport::TempDir scratch_;
    std::string archive_;
    std::string environment_;  // " NAME='value'" assignments for the command line
    fs::path program_;
};

// The Windows form of paths the handler builds from the install directory.
inline const std::string kInstallDir = "C:\\Program Files\\Vantorra\\Agent\\";
inline const std::string kMsiexec = "C:\\Windows\\system32\\msiexec.exe";

inline std::string ExtractionCommand(const std::string& archive) {
    return "\"" + kInstallDir + "bin\\7za.exe\" x -y " + archive;
}
inline std::string MsiCommand(const std::string& package) {
    return kMsiexec + " /i " + package + " /qn /norestart";
}
// The setup program by its full path in the patch directory, always quoted.
inline std::string MainCommand(const std::string& archive) {
    return "\"" + kInstallDir + "\\patches\\" + archive + "\" /passive /quiet /norestart";
}

// Command lines the handler started, in order, from its log.
inline std::vector<std::string> StartedCommands(const HandlerRun& run) {
    std::vector<std::string> commands;
    for (std::string command :
         EntriesAfter(run.log, "INFO execute : Process successfully created for application ")) {
        if (!command.empty() && command.back() == ' ') command.pop_back();
        commands.push_back(command);
    }
    return commands;
}

}  // namespace installertest
