// The handler's resource identifier lookup module: loaded only when the start-up asks the
// server, and a module that cannot be used is reported without stopping the installation.
#include <dlfcn.h>

#include "installer/installer.h"
#include "installer/tests/handler_machine.h"
#include "runtime/version.h"
#include "tests/support/http_fixtures.h"

namespace {

using namespace installertest;

const std::string kSystemDetails = "\"HKLM\\Software\\Halcyra\\Vantorra\\ZQAgent\\SystemDetails\"";

// The build's module, found the way the program finds it (the tests sit beside it in bin/).
fs::path BuiltModule() {
    return installer::ResourceLookupModulePath();
}

// A copy of the program in a folder of its own: bin/zqprereqhandler and, beside bin/, the
// module folder, empty until a test puts something there.
struct ProgramCopy {
    testsupport::TempDir dir;
    fs::path program = dir.path() / "bin/zqprereqhandler";
    fs::path module = (dir.path() / "bin" / fs::relative(BuiltModule(), testsupport::BinDir()))
                          .lexically_normal();

    ProgramCopy() {
        fs::create_directories(program.parent_path());
        fs::create_directories(module.parent_path());
        fs::copy_file(testsupport::BinDir() / "zqprereqhandler", program);
    }
};

// The loader's trace (LD_DEBUG=files) of the program's own process; the children write
// traces of their own into the same folder.
std::string ProgramTrace(const fs::path& folder, const fs::path& program) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string text = testsupport::ReadFile(entry.path());
        if (text.find("needed by " + program.string()) != std::string::npos) return text;
    }
    return {};
}

// A machine on which the handler asks the nginx server for a missing resource id.
void PointAtServer(HandlerMachine& machine, int port) {
    const std::string serverInfo = "\"HKLM\\Software\\Halcyra\\Vantorra\\ZQAgent\\ServerInfo\"";
    ASSERT_EQ(machine.Reg("add " + serverInfo + " /v ZQLastAccessName /t REG_SZ /d 127.0.0.1 /f"),
              0);
    ASSERT_EQ(machine.Reg("add " + serverInfo + " /v ZQServerPort /t REG_SZ /d " +
                          std::to_string(port) + " /f"),
              0);
}

TEST(LookupModule, IsLoadedOnlyWhenTheResourceIdIsMissing) {
    ASSERT_TRUE(fs::exists(BuiltModule())) << BuiltModule();
    testsupport::NginxServer nginx;
    HandlerMachine machine;
    machine.Prepare("itunes64", {"--agent-config"});
    PointAtServer(machine, nginx.port());
    testsupport::TempDir traces;
    machine.SetEnvironment("LD_DEBUG", "files");
    machine.SetEnvironment("LD_DEBUG_OUTPUT", (traces.path() / "ld").string());
    const fs::path program = testsupport::BinDir() / "zqprereqhandler";

    // The identifier is in the registry: neither the module nor the HTTP client's libraries.
    HandlerRun run = machine.Run({"-n", "itunes64", "-p", machine.Archive()});
    EXPECT_EQ(run.exitCode, 0u);
    std::string trace = ProgramTrace(traces.path(), program);
    ASSERT_FALSE(trace.empty()) << "no loader trace of the program";
    for (const char* library : {"resource-lookup.so", "libcurl", "libxml2", "libicu", "libcrypto"})
        EXPECT_EQ(trace.find(library), std::string::npos) << library << " loaded at start-up";
    EXPECT_TRUE(nginx.AccessLog().empty());

    // Missing: the module is loaded and asks the server.
    ASSERT_EQ(machine.Reg("delete " + kSystemDetails + " /v ZQAgentResourceID /f"), 0);
    fs::remove_all(traces.path());
    fs::create_directories(traces.path());
    run = machine.Run({"-n", "itunes64", "-p", machine.Archive()});
    EXPECT_EQ(run.exitCode, 0u);
    trace = ProgramTrace(traces.path(), program);
    EXPECT_NE(trace.find("resource-lookup.so"), std::string::npos);
    EXPECT_NE(trace.find("libcurl"), std::string::npos);
    ASSERT_TRUE(nginx.WaitForAccessLog(1));
    EXPECT_NE(nginx.AccessLog().front().target.find("/resources/"), std::string::npos);
    EXPECT_NE(run.logText.find("GetResourceIDFromServer : Unable to get the reource id xml from "),
              std::string::npos);
    EXPECT_EQ(run.logText.find("LoadResourceIdLookup"), std::string::npos);
}

// libcrypto is opened only for the key check that an enabled proxy asks for: the check
// then makes the key container's two key pairs through it.
TEST(HandlerStart, OpensLibcryptoOnlyForTheProxysKeyCheck) {
    HandlerMachine machine;
    machine.Prepare("itunes64", {"--agent-config"});
    ASSERT_EQ(machine.Reg("add \"HKLM\\Software\\Halcyra\\Vantorra\\ZQAgent\" /v ProxyEnabled /t "
                          "REG_SZ /d yes /f"),
              0);
    testsupport::TempDir traces;
    machine.SetEnvironment("LD_DEBUG", "files");
    machine.SetEnvironment("LD_DEBUG_OUTPUT", (traces.path() / "ld").string());

    const HandlerRun run = machine.Run({"-n", "itunes64", "-p", machine.Archive()});
    EXPECT_EQ(run.exitCode, 0u);
    const std::string trace =
        ProgramTrace(traces.path(), testsupport::BinDir() / "zqprereqhandler");
    const size_t opened = trace.find("file=libcrypto.so");
    ASSERT_NE(opened, std::string::npos) << "libcrypto not opened";
    EXPECT_NE(trace.substr(opened, trace.find('\n', opened) - opened).find("dynamically loaded by"),
              std::string::npos)
        << "libcrypto linked rather than opened";
    const fs::path container = machine.Root() / "crypto" / MS_DEF_PROV_A / "default";
    for (const char* key : {"signature.pem", "exchange.pem"})
        EXPECT_NE(testsupport::ReadFile(container / key).find("PRIVATE KEY"), std::string::npos)
            << key;
}

// The path of the shared object that holds symbol (loaded for the purpose).
fs::path LibraryHolding(const char* library, const char* symbol) {
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (!handle) return {};
    Dl_info info{};
    const bool found = dladdr(dlsym(handle, symbol), &info) != 0 && info.dli_fname;
    return found ? fs::path(info.dli_fname) : fs::path();
}

// A version text of the same length as this build's and different from it.
std::string OtherVersion() {
    std::string other = VANTORRA_VERSION;
    for (char& c : other)
        if (c >= '0' && c <= '9') c = c == '9' ? '8' : '9';
    return other;
}

// The build's module with its version text replaced by OtherVersion().
std::string ModuleOfAnotherBuild() {
    std::string bytes = testsupport::ReadBytes(BuiltModule());
    const std::string version = VANTORRA_VERSION;
    size_t replaced = 0;
    for (size_t at = bytes.find(version); at != std::string::npos;
         at = bytes.find(version, at + 1), ++replaced)
        bytes.replace(at, version.size(), OtherVersion());
    return replaced > 0 ? bytes : std::string();
}

TEST(LookupModule, AModuleThatCannotBeUsedIsReportedAndTheInstallationGoesOn) {
    const fs::path zlib = LibraryHolding("libz.so.1", "zlibVersion");
    ASSERT_FALSE(zlib.empty()) << "libz.so.1 is needed as a shared object that is not the module";
    const std::string anotherBuild = ModuleOfAnotherBuild();
    ASSERT_FALSE(anotherBuild.empty()) << "the module does not carry its version";

    struct Case {
        const char* name;
        std::function<void(const fs::path& module)> place;
        std::string reason;  // part of the loader's reason; <module> and <folder> name the copy's
    };
    const std::vector<Case> cases = {
        {"absent", [](const fs::path&) {}, "No such file or directory"},
        {"not a shared object",
         [](const fs::path& module) { testsupport::WriteFile(module, std::string(4096, 'x')); },
         "invalid ELF header"},
        {"empty file", [](const fs::path& module) { testsupport::WriteFile(module, ""); },
         "file too short"},
        {"another library", [&](const fs::path& module) { fs::copy_file(zlib, module); },
         "it has no entry point vantorra_resource_id_lookup"},
        {"another build",
         [&](const fs::path& module) { testsupport::WriteFile(module, anotherBuild); },
         "it belongs to version " + OtherVersion() + ", the program to " VANTORRA_VERSION},
        {"writable by others",
         [](const fs::path& module) {
             fs::copy_file(BuiltModule(), module);
             fs::permissions(module, fs::perms::others_write, fs::perm_options::add);
         },
         "<module> is writable by other users"},
        {"in a folder writable by others",
         [](const fs::path& module) {
             fs::copy_file(BuiltModule(), module);
             fs::permissions(module.parent_path(), fs::perms::others_write, fs::perm_options::add);
         },
         "<folder> is writable by other users"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramCopy copy;
        c.place(copy.module);
        HandlerMachine machine;
        machine.Prepare("itunes64", {"--agent-config"});
        ASSERT_EQ(machine.Reg("delete " + kSystemDetails + " /v ZQAgentResourceID /f"), 0);
        machine.SetProgram(copy.program);

        const HandlerRun run = machine.Run({"-n", "itunes64", "-p", machine.Archive()});
        EXPECT_EQ(run.exitCode, 0u);
        const std::string line =
            "ERROR LoadResourceIdLookup : Unable to load the resource id lookup module " +
            copy.module.string() + " : ";
        const auto reported =
            std::find_if(run.log.begin(), run.log.end(),
                         [&](const std::string& entry) { return entry.rfind(line, 0) == 0; });
        ASSERT_NE(reported, run.log.end()) << run.logText;
        std::string reason = c.reason;
        for (const auto& [token, path] :
             {std::pair{std::string("<module>"), copy.module},
              std::pair{std::string("<folder>"), copy.module.parent_path()}})
            if (const size_t at = reason.find(token); at != std::string::npos)
                reason.replace(at, token.size(), path.string());
        EXPECT_NE(reported->find(reason), std::string::npos) << *reported;
        EXPECT_NE(run.stderrText.find("zqprereqhandler: the resource id lookup module " +
                                      copy.module.string() + " cannot be used: "),
                  std::string::npos)
            << run.stderrText;
        // The rest of the run as without the lookup: every step, the setup program last.
        const std::vector<std::string> started = StartedCommands(run);
        ASSERT_FALSE(started.empty());
        EXPECT_EQ(started.back(), MainCommand(machine.Archive()));
        EXPECT_NE(run.logText.find("Exit Code : 0"), std::string::npos);
        EXPECT_NE(machine.Reg("query " + kSystemDetails + " /v ZQAgentResourceID"), 0);
    }
}

}  // namespace

namespace {

// The codes the agent's lookup gets back, and the report given once per process.
TEST(LookupModule, AModuleThatCannotBeUsedFailsEveryCallWithItsCodeAndIsReportedOnce) {
    const fs::path zlib = LibraryHolding("libz.so.1", "zlibVersion");
    ASSERT_FALSE(zlib.empty());
    testsupport::TempDir dir;
    const fs::path writable = dir.path() / "writable.so";
    fs::copy_file(zlib, writable);
    fs::permissions(writable, fs::perms::others_write, fs::perm_options::add);

    const struct {
        std::string path;
        DWORD code;
        std::string reason;
    } cases[] = {
        {"", ERROR_MOD_NOT_FOUND, "the program's own location is unknown"},
        {(dir.path() / "absent.so").string(), ERROR_MOD_NOT_FOUND, "No such file or directory"},
        {zlib.string(), ERROR_PROC_NOT_FOUND, "it has no entry point"},
        {writable.string(), ERROR_ACCESS_DENIED, writable.string() + " is writable by other users"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const ResourceIdLookup lookup = installer::ResourceIdLookupFromModule(c.path);
        std::optional<std::string> id;
        testing::internal::CaptureStderr();
        EXPECT_EQ(lookup("/client-data/resources/pc-01.xml", &id), c.code);
        const std::string first = testing::internal::GetCapturedStderr();
        EXPECT_NE(first.find(c.reason), std::string::npos) << first;
        testing::internal::CaptureStderr();
        EXPECT_EQ(lookup("/client-data/resources/pc-01.xml", &id), c.code);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_FALSE(id.has_value());
    }
}

}  // namespace
