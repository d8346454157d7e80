// The prerequisite handler: the process runner with its time limit, the installation
// plan of each Apple product and the handler's entry point.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "agent/agent.h"
#include "platform/platform.h"

// Runs commandLine as a child process, in workingDirectory when given (the runner's own
// current directory is switched there for the call and restored afterwards), and waits
// up to timeLimitMinutes (0: do not wait). Returns a Windows error code when the runner
// fails, 258 when the limit was exceeded (the child is terminated), else the child's
// exit code; remarks receives the system text of the result.
DWORD execute(const char* workingDirectory, const char* commandLine, std::string* remarks,
              DWORD timeLimitMinutes, int showWindow);
// execute with the installer success codes 0, 1508, 1641 and 3010 folded into 0.
DWORD executeInstaller(const char* workingDirectory, const char* commandLine, std::string* remarks,
                       DWORD timeLimitMinutes, int showWindow);

namespace installer {

// Every child of the handler gets this limit.
inline constexpr DWORD kChildTimeLimitMinutes = 45;

// The runner with its limit in milliseconds: execute calls it with minutes x 60000.
// Lets tests drive the time-limit path with a short limit.
DWORD ExecuteWithLimit(const char* workingDirectory, const char* commandLine, std::string* remarks,
                       ULONGLONG limitMilliseconds, int showWindow);
DWORD ExecuteInstallerWithLimit(const char* workingDirectory, const char* commandLine,
                                std::string* remarks, ULONGLONG limitMilliseconds, int showWindow);
// 0, 1508, 1641 and 3010 become 0; anything else passes unchanged.
DWORD MapInstallerResult(DWORD result);

// ---- Installation plan ----

enum class Slot { AAS, AAS32, AMDS, ASU, QT, BONJOUR, ITUNES, ICLOUD };
inline constexpr int kSlotCount = 8;

// How a product's dependency steps run and how their result is settled.
enum class DependencyKind {
    Full,       // the seven-step sequence; a failure is logged and reset before the main installer
    QuickTime,  // AAS and ASU only, results not carried
};

struct ProductPlan {
    std::string_view name;
    bool packages64;  // the 64-bit files of the package table
    DependencyKind kind;
};

// Package file of a slot for the 32-bit or 64-bit plan; empty when the plan has no such slot.
std::string_view PackageFile(Slot slot, bool packages64);
// The plan of an exactly (case-sensitively) matching product name, else null.
const ProductPlan* FindProductPlan(std::string_view productName);
// Slots in the order their presence is tested.
std::span<const Slot> PresenceCheckOrder(bool packages64);
// The files removed from the patch directory after every run, in removal order.
std::span<const std::string_view> CleanupFiles();

// True when text contains needle, ignoring ASCII letter case.
bool ContainsNoCase(std::string_view text, std::string_view needle);
// The product name after the 64-bit rewrite of iCloud names.
std::string RewriteProductName(std::string productName, bool is64BitOS);

// ---- Command line ----

struct CommandLine {
    std::optional<std::string> productName;  // -n
    std::optional<std::string> archiveName;  // -p
};
// Scans argv[1..argc-1]; each accepted value is logged at INFO level.
CommandLine ParseCommandLine(int argc, const char* const* argv);
// Empty when name is usable as the archive's file name in the patch directory, else
// the reason it is not.
std::string CheckArchiveName(std::string_view name);

#ifndef _WIN32
// ---- Resource identifier lookup, loaded on first use ----
// The HTTP client and the store behind the lookup bring libcurl, libxml2 and their own
// dependencies; most runs find the identifier in the registry and never need them, so
// the handler keeps them in a shared module and loads it only when the lookup is asked for.

// Where the module is: the module folder beside the program's own folder, the same in the
// build tree and in an installation; empty when the program's location is unknown.
std::string ResourceLookupModulePath();
// A lookup that loads the module at modulePath on its first call and then calls into it.
// A module that cannot be loaded, lacks the entry point or belongs to another build is
// reported once (log and standard error) and every call returns ERROR_MOD_NOT_FOUND or
// ERROR_PROC_NOT_FOUND; one that another user owns or may change (the file or its folder)
// is not loaded and gives ERROR_ACCESS_DENIED. Nothing is looked up then.
ResourceIdLookup ResourceIdLookupFromModule(std::string modulePath);
#endif

// The whole run of zqprereqhandler; returns the process exit code.
DWORD RunPrereqHandler(int argc, const char* const* argv);

}  // namespace installer
