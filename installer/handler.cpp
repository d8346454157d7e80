// zqprereqhandler's run: command line, log and agent start-up, extraction of the product
// archive, the dependency packages of each Apple product, the main installer and cleanup.
#include <array>
#include <cctype>
#include <cstdio>

#include "agent/agent.h"
#if VANTORRA_HAS_HTTP_CLIENT
#include "http/http.h"
#endif
#include "installer/installer.h"
#include "runtime/runtime.h"
#include "runtime/version.h"

namespace installer {
namespace {

struct PackageRow {
    Slot slot;
    std::string_view file32;  // "itunes", "icloud", "quicktime"
    std::string_view file64;  // "itunes64", "icloud64"
};

constexpr std::array<PackageRow, kSlotCount> kPackages = {{
    {Slot::AAS, "AppleApplicationSupport.msi", "AppleApplicationSupport64.msi"},
    {Slot::AAS32, "", "AppleApplicationSupport.msi"},
    {Slot::AMDS, "AppleMobileDeviceSupport.msi", "AppleMobileDeviceSupport64.msi"},
    {Slot::ASU, "AppleSoftwareUpdate.msi", "AppleSoftwareUpdate.msi"},
    {Slot::QT, "Quicktime.msi", "Quicktime.msi"},
    {Slot::BONJOUR, "Bonjour.msi", "Bonjour64.msi"},
    {Slot::ITUNES, "iTunes.msi", "iTunes64.msi"},
    {Slot::ICLOUD, "iCloud.msi", "iCloud64.msi"},
}};

constexpr std::array<Slot, 7> kPresenceOrder32 = {
    Slot::AAS, Slot::AMDS, Slot::ASU, Slot::QT, Slot::BONJOUR, Slot::ITUNES, Slot::ICLOUD};
constexpr std::array<Slot, 8> kPresenceOrder64 = {Slot::AAS,    Slot::AAS32, Slot::AMDS,
                                                  Slot::ASU,    Slot::QT,    Slot::BONJOUR,
                                                  Slot::ITUNES, Slot::ICLOUD};

constexpr std::array<ProductPlan, 5> kProducts = {{
    {"itunes", false, DependencyKind::Full},
    {"icloud", false, DependencyKind::Full},
    {"quicktime", false, DependencyKind::QuickTime},
    {"itunes64", true, DependencyKind::Full},
    {"icloud64", true, DependencyKind::Full},
}};

struct DependencyStep {
    Slot slot;
    const char* message;  // product name and the step's result
    bool icloud64Only;    // the 32-bit support package only for the 64-bit iCloud
};

// AAS runs again after the 32-bit package: the plan installs it twice.
constexpr std::array<DependencyStep, 7> kFullSteps = {{
    {Slot::AAS, "%s Dependencies appleApplicationSupport installation return code %d \n", false},
    {Slot::AAS32, "%s Dependencies appleApplicationSupport 32 bit installation return code %d \n",
     true},
    {Slot::AAS, "%s Dependencies appleApplicationSupport installation return code %d \n", false},
    {Slot::AMDS, "%s Dependencies  appleMobileDeviceSupport installation return code %d \n", false},
    {Slot::ASU, "%s Dependencies appleSoftwareUpdate installation return code %d \n", false},
    {Slot::QT, "%s Dependencies  quicktime installation return code %d \n", false},
    {Slot::BONJOUR, "%s Dependencies  bonjour installation return code %d \n", false},
}};

struct QuickTimeStep {
    Slot slot;
    const char* message;  // the step's result only
};
constexpr std::array<QuickTimeStep, 2> kQuickTimeSteps = {{
    {Slot::AAS,
     "quicktime Dependencies appleApplicationSupport successfully Installed with status %d \n"},
    {Slot::ASU,
     "quicktime Dependencies appleSoftwareUpdate successfully Installed with status %d \n"},
}};

constexpr std::array<std::string_view, 13> kCleanupFiles = {
    "AppleApplicationSupport.msi",
    "AppleMobileDeviceSupport.msi",
    "AppleSoftwareUpdate.msi",
    "Quicktime.msi",
    "Bonjour.msi",
    "iTunes.msi",
    "iCloud.msi",
    "AppleApplicationSupport64.msi",
    "Bonjour64.msi",
    "iTunes64.msi",
    "iCloud64.msi",
    "SetupAdmin.exe",
    "AppleMobileDeviceSupport64.msi",
};

// Also what `zqprereqhandler --version` prints: the agent relies on every command line
// without -n and -p ending with 13, so the version rides on the usage line.
constexpr const char* kUsage =
    "usage: zqprereqhandler -n <itunes|itunes64|icloud|icloud64|quicktime> -p <archive file name "
    "in the agent's patch directory> (version " VANTORRA_VERSION ")\n";

// Command lines of the dependency slots; absent slots stay empty.
using SlotCommands = std::array<std::optional<std::string>, kSlotCount>;

std::optional<std::string>& CommandOf(SlotCommands& commands, Slot slot) {
    return commands[static_cast<int>(slot)];
}

// A program or argument goes into a command line quoted when a blank would split it.
std::string CommandArgument(const std::string& name) {
    if (name.find_first_of(" \t") == std::string::npos) return name;
    return "\"" + name + "\"";
}

// A path that names one place whatever the current directory: "X:\..." or "\\server\...",
// and on the host layer also "/...".
bool IsAbsolutePath(std::string_view path) {
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
        separator(path[2]))
        return true;
    if (path.size() >= 2 && separator(path[0]) && separator(path[1])) return true;
#ifndef _WIN32
    if (!path.empty() && path[0] == '/') return true;
#endif
    return false;
}

// Presence tests and command lines of every package in the plan.
// Without an installer program (the system directory is unknown) the packages are still
// looked for, but no step is built.
SlotCommands BuildSlots(const ProductPlan& plan, const std::string& patchDirectory,
                        const std::optional<std::string>& installerProgram) {
    SlotCommands commands;
    const std::span<const Slot> order = PresenceCheckOrder(plan.packages64);
    for (const Slot slot : order) {
        const std::string file(PackageFile(slot, plan.packages64));
        // The packages are extracted to and installed from the patch directory.
        const std::string path = patchDirectory + "\\" + file;
        if (CheckFileExists(path.c_str()) == 0) {
            if (installerProgram)
                CommandOf(commands, slot) = *installerProgram + " /i " + file + " /qn /norestart";
        } else {
            LogError("File not exist %s \n", file);
        }
    }
    return commands;
}

DWORD RunInstallerStep(const std::string& patchDirectory, const std::string& commandLine) {
    std::string remarks;
    return executeInstaller(patchDirectory.c_str(), commandLine.c_str(), &remarks,
                            kChildTimeLimitMinutes, 0);
}

// Returns the result code after the dependency steps of a named product.
DWORD RunDependencySteps(const ProductPlan& plan, const std::string& productName,
                         SlotCommands& commands, const std::string& patchDirectory, DWORD result) {
    if (plan.kind == DependencyKind::QuickTime) {
        for (const QuickTimeStep& step : kQuickTimeSteps) {
            const auto& command = CommandOf(commands, step.slot);
            if (!command) continue;
            LogInfo(step.message, RunInstallerStep(patchDirectory, *command));
        }
        return result;
    }

    const bool icloud64 = ContainsNoCase(productName, "icloud64");
    for (const DependencyStep& step : kFullSteps) {
        if (step.icloud64Only && !icloud64) continue;
        const auto& command = CommandOf(commands, step.slot);
        if (!command) continue;
        result = RunInstallerStep(patchDirectory, *command);
        LogInfo(step.message, productName, result);
    }
    if (result != 0) {
        LogInfo(" %s Dependencies failed to install with error %d \n", productName, result);
        LogInfo(" proceeding to install main patch \n");
        result = 0;
    } else {
        LogInfo("%s Dependencies bonjour successfully Installed\n", productName);
        LogInfo("All the %s Dependencies successfully Installed\n", productName);
    }
    return result;
}

void RemoveExtractedFiles(const std::string& installDirectory) {
    for (const std::string_view file : kCleanupFiles) {
        const std::string path = installDirectory + "\\patches\\" + std::string(file);
        DeleteFileA(path.c_str());  // absent files are the normal case
    }
    LogInfo("Successfully deleted the extracted msi files\n");
}

// The Windows Installer in the system directory, or none when that directory is unknown:
// a bare or relative name would be looked for where others can put programs.
std::optional<std::string> InstallerProgram() {
    char buffer[255] = {};
    const UINT length = GetSystemDirectoryA(buffer, sizeof(buffer));
    if (length == 0 || length >= sizeof(buffer)) {
        buffer[0] = '\0';
        LogInfo("infoBuf : %s\n", buffer);
        LogError("main : The system directory is unknown; the dependency packages are not installed \n");
        return std::nullopt;
    }
    return CommandArgument(std::string(buffer, length) + "\\msiexec.exe");
}

DWORD Run(int argc, const char* const* argv) {
    const DWORD logResult = InitializeProcessLog("zqprereqhandler.log");
    // The start-up asks the server for a missing resource id.
#if VANTORRA_HAS_HTTP_CLIENT
    InstallResourceIdLookup();
#elif defined(VANTORRA_RESOURCE_LOOKUP_MODULE_DIR)
    SetResourceIdLookup(ResourceIdLookupFromModule(ResourceLookupModulePath()));
#endif
    InitializeAgentParameters();  // the handler installs whatever the start-up reports

    CommandLine options = ParseCommandLine(argc, argv);
    if (!options.archiveName || !options.productName) {
        std::fputs(kUsage, stderr);
        return ERROR_INVALID_DATA;
    }
    if (const std::string problem = CheckArchiveName(*options.archiveName); !problem.empty()) {
        LogError("main : Invalid patch name %s : %s \n", *options.archiveName, problem);
        std::fprintf(stderr, "zqprereqhandler: invalid patch name \"%s\": %s\n",
                     options.archiveName->c_str(), problem.c_str());
        StopLogRotation();
        return ERROR_INVALID_DATA;
    }
    if (!gv_agentInstallDir || gv_agentInstallDir->empty()) {
        // Every path hangs off the install directory; without it nothing can be found.
        std::fputs(
            "zqprereqhandler: the agent install directory (ZQAgentInstallDir) is not set in the "
            "registry\n",
            stderr);
        StopLogRotation();
        return logResult != 0 ? logResult : ERROR_FILE_NOT_FOUND;
    }
    if (!IsAbsolutePath(*gv_agentInstallDir)) {
        // Every program is started by its full path; a relative one would depend on
        // wherever the handler happens to run.
        LogError("main : The install directory %s is not an absolute path \n", *gv_agentInstallDir);
        std::fprintf(stderr,
                     "zqprereqhandler: the agent install directory (ZQAgentInstallDir) \"%s\" is not "
                     "an absolute path\n",
                     gv_agentInstallDir->c_str());
        StopLogRotation();
        return ERROR_BAD_PATHNAME;
    }

    std::string installDirectory = *gv_agentInstallDir;
    if (installDirectory.back() != '\\' && installDirectory.back() != '/') installDirectory += '\\';

    const std::string productName = RewriteProductName(*options.productName, gv_is64BitOS != 0);
    const std::string archive = CommandArgument(*options.archiveName);
    const std::string patchDirectory = installDirectory + "\\patches";
    // Every child by its full path: a bare name would be searched for, on PATH too, and
    // run as whatever program of that name someone put there.
    const std::string extraction = "\"" + installDirectory + "bin\\7za.exe\"" + " x -y " + archive;
    const std::optional<std::string> installerProgram = InstallerProgram();
    const std::string mainInstaller = "\"" + patchDirectory + "\\" + *options.archiveName + "\"";

    DWORD result = RunInstallerStep(patchDirectory, extraction);

    bool runMain = true;
    if (const ProductPlan* plan = FindProductPlan(productName)) {
        SlotCommands commands = BuildSlots(*plan, patchDirectory, installerProgram);
        result = RunDependencySteps(*plan, productName, commands, patchDirectory, result);
    } else if (result != 0) {
        LogInfo(" Itunes Dependencies failed to install with error %d \n", result);
        runMain = false;
    }

    if (runMain) {
        result = RunInstallerStep(patchDirectory, mainInstaller + " /passive /quiet /norestart");
        LogInfo("Main Application Execution completed... exit code : %d \n", result);
    }

    RemoveExtractedFiles(installDirectory);
    LogInfo("Exit Code : %d\n", result);
    StopLogRotation();
    return result;
}

}  // namespace

std::string_view PackageFile(Slot slot, bool packages64) {
    const PackageRow& row = kPackages[static_cast<int>(slot)];
    return packages64 ? row.file64 : row.file32;
}

const ProductPlan* FindProductPlan(std::string_view productName) {
    for (const ProductPlan& plan : kProducts) {
        if (plan.name == productName) return &plan;
    }
    return nullptr;
}

std::span<const Slot> PresenceCheckOrder(bool packages64) {
    if (packages64) return kPresenceOrder64;
    return kPresenceOrder32;
}

std::span<const std::string_view> CleanupFiles() {
    return kCleanupFiles;
}

bool ContainsNoCase(std::string_view text, std::string_view needle) {
    if (needle.empty()) return true;
    if (needle.size() > text.size()) return false;
    for (size_t start = 0; start + needle.size() <= text.size(); ++start) {
        size_t i = 0;
        while (i < needle.size() && std::tolower(static_cast<unsigned char>(text[start + i])) ==
                                        std::tolower(static_cast<unsigned char>(needle[i]))) {
            ++i;
        }
        if (i == needle.size()) return true;
    }
    return false;
}

std::string RewriteProductName(std::string productName, bool is64BitOS) {
    if (is64BitOS && ContainsNoCase(productName, "icloud")) return "icloud64";
    return productName;
}

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine options;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument == nullptr || argument[0] != '-') continue;
        std::optional<std::string>* target = nullptr;
        const char* label = nullptr;
        if (argument[1] == 'n') {
            target = &options.productName;
            label = "productName : %s\n";
        } else if (argument[1] == 'p') {
            target = &options.archiveName;
            label = "patchName : %s\n";
        } else {
            continue;
        }
        if (i + 1 >= argc || argv[i + 1] == nullptr) {
            target->reset();  // a trailing option has no value
            continue;
        }
        *target = argv[++i];
        LogInfo(label, **target);
    }
    return options;
}

std::string CheckArchiveName(std::string_view name) {
    if (name.empty()) return "the name is empty";
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20) return "the name holds a control character";
        if (std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos) {
            return "the name must be a plain file name in the patch directory";
        }
    }
    if (name == "." || name == "..")
        return "the name must be a plain file name in the patch directory";
    // 7-Zip reads the name as a switch or a list file.
    if (name.front() == '-' || name.front() == '@') return "the name must not begin with - or @";
    return {};
}

DWORD RunPrereqHandler(int argc, const char* const* argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zqprereqhandler: %s\n", error.what());
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace installer
