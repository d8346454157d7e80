// zqprereqhandler end to end: the real program on prepared machine roots, with real 7-Zip
// extracting a self-extracting product archive and the stand-in Windows Installer.
#include <gtest/gtest.h>

#include <set>

#include "installer/tests/handler_machine.h"
#include "runtime/version.h"

namespace installertest {
namespace {

const std::string kAAS = "AppleApplicationSupport.msi";
const std::string kAAS64 = "AppleApplicationSupport64.msi";
const std::string kAMDS = "AppleMobileDeviceSupport.msi";
const std::string kAMDS64 = "AppleMobileDeviceSupport64.msi";
const std::string kASU = "AppleSoftwareUpdate.msi";
const std::string kQT = "Quicktime.msi";
const std::string kBonjour = "Bonjour.msi";
const std::string kBonjour64 = "Bonjour64.msi";

enum class Plan { Full32, Itunes64, Icloud64, QuickTime, Other };

// Packages the plan installs, in order, when every file is present.
std::vector<std::string> PlannedPackages(Plan plan) {
    switch (plan) {
        case Plan::Full32:
            return {kAAS, kAAS, kAMDS, kASU, kQT, kBonjour};
        case Plan::Itunes64:
            return {kAAS64, kAAS64, kAMDS64, kASU, kQT, kBonjour64};
        case Plan::Icloud64:
            return {kAAS64, kAAS, kAAS64, kAMDS64, kASU, kQT, kBonjour64};
        case Plan::QuickTime:
            return {kAAS, kASU};
        case Plan::Other:
            return {};
    }
    return {};
}

std::vector<std::string> FullStepLines(Plan plan, const std::string& product) {
    const std::string p = "INFO " + product + " Dependencies ";
    std::vector<std::string> lines = {p + "appleApplicationSupport installation return code 0 "};
    if (plan == Plan::Icloud64)
        lines.push_back(p + "appleApplicationSupport 32 bit installation return code 0 ");
    lines.insert(lines.end(),
                 {p + "appleApplicationSupport installation return code 0 ",
                  p + " appleMobileDeviceSupport installation return code 0 ",
                  p + "appleSoftwareUpdate installation return code 0 ",
                  p + " quicktime installation return code 0 ",
                  p + " bonjour installation return code 0 ", p + "bonjour successfully Installed",
                  "INFO All the " + product + " Dependencies successfully Installed"});
    return lines;
}

struct ProductCase {
    const char* name;  // test name
    std::string product;
    int bits;
    std::string treatedAs;  // the product name after the 64-bit rewrite
    Plan plan;
};

void PrintTo(const ProductCase& c, std::ostream* out) { *out << c.name; }

class ProductPlanTest : public ::testing::TestWithParam<ProductCase> {};

TEST_P(ProductPlanTest, InstallsThePlannedPackagesInOrderThenTheProduct) {
    const ProductCase& c = GetParam();
    HandlerMachine machine;
    machine.Prepare(c.product, {"--bits", std::to_string(c.bits), "--packages", "all"});
    const std::string archive = machine.Archive();
    const HandlerRun run = machine.Run({"-n", c.product, "-p", archive});

    EXPECT_EQ(run.exitCode, 0u) << run.stderrText;
    EXPECT_EQ(run.exitStatus, 0);

    std::vector<std::string> commands = {ExtractionCommand(archive)};
    std::vector<std::string> installs = {"7za.exe x -y " + archive + " => 0"};
    for (const std::string& package : PlannedPackages(c.plan)) {
        commands.push_back(MsiCommand(package));
        installs.push_back("msiexec.exe /i " + package + " /qn /norestart => 0");
    }
    commands.push_back(MainCommand(archive));
    installs.push_back(archive + " /passive /quiet /norestart => 0");
    EXPECT_EQ(StartedCommands(run), commands);
    EXPECT_EQ(run.installs, installs);

    std::vector<std::string> lines = {"INFO productName : " + c.product,
                                      "INFO patchName : " + archive};
    if (c.plan == Plan::QuickTime) {
        lines.push_back(
            "INFO quicktime Dependencies appleApplicationSupport successfully Installed with "
            "status 0 ");
        lines.push_back(
            "INFO quicktime Dependencies appleSoftwareUpdate successfully Installed with status "
            "0 ");
    } else if (c.plan != Plan::Other) {
        const auto steps = FullStepLines(c.plan, c.treatedAs);
        lines.insert(lines.end(), steps.begin(), steps.end());
    }
    lines.insert(lines.end(),
                 {"INFO Main Application Execution completed... exit code : 0 ",
                  "INFO Successfully deleted the extracted msi files", "INFO Exit Code : 0"});
    EXPECT_EQ(MissingInOrder(run.log, lines), "") << run.logText;
    EXPECT_TRUE(EntriesAfter(run.log, "ERROR File not exist").empty());
    EXPECT_TRUE(EntriesAfter(run.log, "INFO  " + c.treatedAs + " Dependencies failed").empty());
    EXPECT_NE(run.logText.find("Log close time: "), std::string::npos);  // logging shut down
}

INSTANTIATE_TEST_SUITE_P(
    Products, ProductPlanTest,
    ::testing::Values(
        ProductCase{"itunes_on_32bit", "itunes", 32, "itunes", Plan::Full32},
        ProductCase{"itunes_on_64bit_stays_32bit", "itunes", 64, "itunes", Plan::Full32},
        ProductCase{"icloud_on_32bit", "icloud", 32, "icloud", Plan::Full32},
        ProductCase{"icloud_on_64bit_becomes_icloud64", "icloud", 64, "icloud64", Plan::Icloud64},
        ProductCase{"mixed_case_iCloud_on_64bit", "iCloud", 64, "icloud64", Plan::Icloud64},
        ProductCase{"upper_case_ICLOUD64_on_64bit", "ICLOUD64", 64, "icloud64", Plan::Icloud64},
        ProductCase{"icloud64_on_64bit", "icloud64", 64, "icloud64", Plan::Icloud64},
        ProductCase{"icloud64_on_32bit", "icloud64", 32, "icloud64", Plan::Icloud64},
        ProductCase{"itunes64_on_64bit", "itunes64", 64, "itunes64", Plan::Itunes64},
        ProductCase{"itunes64_on_32bit", "itunes64", 32, "itunes64", Plan::Itunes64},
        ProductCase{"quicktime_on_32bit", "quicktime", 32, "quicktime", Plan::QuickTime},
        ProductCase{"quicktime_on_64bit", "quicktime", 64, "quicktime", Plan::QuickTime},
        ProductCase{"mixed_case_iCloud_on_32bit_is_another_product", "iCloud", 32, "iCloud",
                    Plan::Other},
        ProductCase{"mixed_case_Itunes_is_another_product", "Itunes", 64, "Itunes", Plan::Other},
        ProductCase{"unknown_product", "safari", 64, "safari", Plan::Other}),
    [](const ::testing::TestParamInfo<ProductCase>& info) { return std::string(info.param.name); });

// Exit code of a stand-in program in the install log ("... => N").
int RecordedCode(const HandlerRun& run, const std::string& start) {
    for (const std::string& line : run.installs) {
        if (line.rfind(start, 0) == 0) return std::stoi(line.substr(line.rfind("=> ") + 3));
    }
    return -1;
}

TEST(HandlerEdgeCases, AbsentPackagesAreLoggedAndTheProductStillInstalls) {
    struct Case {
        const char* name;
        std::vector<std::string> options;
        bool extractionFails;
    };
    const Case cases[] = {
        {"archive without packages", {"--packages", "none"}, false},
        {"damaged archive", {"--corrupt-archive"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HandlerMachine machine;
        std::vector<std::string> options = {"--bits", "64"};
        options.insert(options.end(), c.options.begin(), c.options.end());
        machine.Prepare("itunes64", options);
        const HandlerRun run = machine.Run({"-n", "itunes64", "-p", machine.Archive()});

        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(StartedCommands(run),
                  (std::vector<std::string>{ExtractionCommand(machine.Archive()),
                                            MainCommand(machine.Archive())}));
        EXPECT_EQ(EntriesAfter(run.log, "ERROR File not exist "),
                  (std::vector<std::string>{
                      "AppleApplicationSupport64.msi ", "AppleApplicationSupport.msi ",
                      "AppleMobileDeviceSupport64.msi ", "AppleSoftwareUpdate.msi ",
                      "Quicktime.msi ", "Bonjour64.msi ", "iTunes64.msi ", "iCloud64.msi "}));
        const int extraction = RecordedCode(run, "7za.exe ");
        if (c.extractionFails) {
            ASSERT_GT(extraction, 0);
            EXPECT_EQ(MissingInOrder(
                          run.log, {"INFO  itunes64 Dependencies failed to install with error " +
                                        std::to_string(extraction) + " ",
                                    "INFO  proceeding to install main patch ",
                                    "INFO Main Application Execution completed... exit code : 0 "}),
                      "");
        } else {
            EXPECT_EQ(extraction, 0);
            EXPECT_EQ(MissingInOrder(
                          run.log, {"INFO itunes64 Dependencies bonjour successfully Installed",
                                    "INFO Main Application Execution completed... exit code : 0 "}),
                      "");
            EXPECT_TRUE(EntriesAfter(run.log, "INFO  itunes64 Dependencies failed").empty());
        }
    }
}

TEST(HandlerEdgeCases, ExtractionFailureOfAnotherProductSkipsTheMainInstaller) {
    struct Case {
        const char* name;
        bool removeSevenZip;
    };
    for (const Case c : {Case{"damaged archive", false}, Case{"7-Zip missing", true}}) {
        SCOPED_TRACE(c.name);
        HandlerMachine machine;
        machine.Prepare("safari", {"--corrupt-archive"});
        if (c.removeSevenZip) fs::remove(machine.InstallDir() / "bin/7za.exe");
        const HandlerRun run = machine.Run({"-n", "safari", "-p", machine.Archive()});

        const DWORD expected = c.removeSevenZip ? ERROR_FILE_NOT_FOUND
                                                : static_cast<DWORD>(RecordedCode(run, "7za.exe "));
        EXPECT_NE(expected, 0u);
        EXPECT_EQ(run.exitCode, expected);
        EXPECT_EQ(StartedCommands(run).size(), c.removeSevenZip ? 0u : 1u);
        EXPECT_EQ(
            MissingInOrder(run.log, {"INFO  Itunes Dependencies failed to install with error " +
                                         std::to_string(expected) + " ",
                                     "INFO Successfully deleted the extracted msi files",
                                     "INFO Exit Code : " + std::to_string(expected)}),
            "");
        EXPECT_TRUE(EntriesAfter(run.log, "INFO Main Application Execution completed").empty());
        EXPECT_EQ(RecordedCode(run, machine.Archive() + " "), -1);  // the setup program never ran
    }
}

TEST(HandlerEdgeCases, ArchiveMissingFromThePatchDirectoryFailsTheRun) {
    HandlerMachine machine;
    machine.Prepare("itunes64");
    fs::remove(machine.PatchDir() / machine.Archive());
    const HandlerRun run = machine.Run({"-n", "itunes64", "-p", machine.Archive()});

    EXPECT_EQ(run.exitCode, ERROR_FILE_NOT_FOUND);  // the setup program cannot be started
    EXPECT_GT(RecordedCode(run, "7za.exe "), 0);
    EXPECT_EQ(
        MissingInOrder(run.log,
                       {"INFO  proceeding to install main patch ",
                        "INFO execute : Failed to Create the Process for the application ",
                        "INFO Main Application Execution completed... exit code : 2 ",
                        "INFO Successfully deleted the extracted msi files", "INFO Exit Code : 2"}),
        "");
}

TEST(HandlerEdgeCases, OnlyTheLastDependencyResultDecidesTheDependencyVerdict) {
    struct Case {
        const char* name;
        std::string failing;
        bool reportedAsFailed;
    };
    const Case cases[] = {
        {"early failure hidden by later success", kAAS, false},
        {"failure of the last step", kBonjour, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HandlerMachine machine;
        machine.Prepare("itunes", {"--bits", "32", "--code", c.failing + "=1603"});
        const HandlerRun run = machine.Run({"-n", "itunes", "-p", machine.Archive()});

        EXPECT_EQ(run.exitCode, 0u);  // dependency failures never reach the exit code
        EXPECT_EQ(RecordedCode(run, "msiexec.exe /i " + c.failing), 1603);
        EXPECT_EQ(RecordedCode(run, machine.Archive() + " "), 0);
        if (c.reportedAsFailed) {
            EXPECT_EQ(
                MissingInOrder(run.log,
                               {"INFO itunes Dependencies  bonjour installation return code 1603 ",
                                "INFO  itunes Dependencies failed to install with error 1603 ",
                                "INFO  proceeding to install main patch ",
                                "INFO Main Application Execution completed... exit code : 0 "}),
                "");
        } else {
            EXPECT_EQ(CountEntries(run.log,
                                   "INFO itunes Dependencies appleApplicationSupport installation "
                                   "return code 1603 "),
                      2);
            EXPECT_EQ(MissingInOrder(
                          run.log, {"INFO itunes Dependencies  bonjour installation return code 0 ",
                                    "INFO itunes Dependencies bonjour successfully Installed",
                                    "INFO All the itunes Dependencies successfully Installed"}),
                      "");
        }
    }
}

TEST(HandlerEdgeCases, QuickTimeRunsOnlyItsTwoStepsAndCarriesNoResult) {
    HandlerMachine machine;
    machine.Prepare("quicktime",
                    {"--packages", "all", "--code", kAAS + "=1603", "--code", kASU + "=3010"});
    const HandlerRun run = machine.Run({"-n", "quicktime", "-p", machine.Archive()});

    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(StartedCommands(run),
              (std::vector<std::string>{ExtractionCommand(machine.Archive()), MsiCommand(kAAS),
                                        MsiCommand(kASU), MainCommand(machine.Archive())}));
    EXPECT_EQ(
        MissingInOrder(run.log, {"INFO quicktime Dependencies appleApplicationSupport successfully "
                                 "Installed with status 1603 ",
                                 "INFO quicktime Dependencies appleSoftwareUpdate successfully "
                                 "Installed with status 0 ",
                                 "INFO Main Application Execution completed... exit code : 0 "}),
        "");
    EXPECT_TRUE(EntriesAfter(run.log, "INFO  quicktime Dependencies failed").empty());
}

TEST(HandlerEdgeCases, Itunes64BuildsThe32BitSupportSlotButNeverRunsIt) {
    HandlerMachine machine;
    machine.Prepare("itunes64", {"--packages", kAAS64 + "," + kBonjour64});
    const HandlerRun run = machine.Run({"-n", "itunes64", "-p", machine.Archive()});

    EXPECT_EQ(run.exitCode, 0u);
    // Its presence is tested (and its absence logged) in its place in the order...
    EXPECT_EQ(MissingInOrder(run.log, {"ERROR File not exist AppleApplicationSupport.msi ",
                                       "ERROR File not exist AppleMobileDeviceSupport64.msi "}),
              "");
    // ...but only the 64-bit package runs, twice.
    EXPECT_EQ(StartedCommands(run),
              (std::vector<std::string>{ExtractionCommand(machine.Archive()), MsiCommand(kAAS64),
                                        MsiCommand(kAAS64), MsiCommand(kBonjour64),
                                        MainCommand(machine.Archive())}));
    EXPECT_TRUE(
        EntriesAfter(run.log, "INFO itunes64 Dependencies appleApplicationSupport 32 bit").empty());
}

TEST(HandlerEdgeCases, InstallerSuccessCodesOfTheSetupProgramBecomeZero) {
    struct Case {
        DWORD setupCode;
        DWORD exitCode;
    };
    for (const Case c :
         {Case{3010, 0}, Case{1641, 0}, Case{1508, 0}, Case{1603, 1603}, Case{1, 1}}) {
        SCOPED_TRACE(c.setupCode);
        HandlerMachine machine;
        machine.Prepare("itunes64",
                        {"--packages", "none", "--setup-code", std::to_string(c.setupCode)});
        const HandlerRun run = machine.Run({"-n", "itunes64", "-p", machine.Archive()});
        EXPECT_EQ(run.exitCode, c.exitCode);  // the full code, above 255 too
        EXPECT_EQ(run.exitStatus, static_cast<int>(c.exitCode % 256));
        EXPECT_EQ(
            MissingInOrder(run.log, {"INFO execute : Exit code for the application : " +
                                         std::to_string(c.setupCode) + " ",
                                     "INFO Main Application Execution completed... exit code : " +
                                         std::to_string(c.exitCode) + " ",
                                     "INFO Exit Code : " + std::to_string(c.exitCode)}),
            "");
    }
}

TEST(HandlerEdgeCases, DependencyRestartCodesCountAsSuccess) {
    HandlerMachine machine;
    machine.Prepare("itunes",
                    {"--bits", "32", "--code", kBonjour + "=3010", "--code", kASU + "=1641"});
    const HandlerRun run = machine.Run({"-n", "itunes", "-p", machine.Archive()});
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(
        MissingInOrder(run.log,
                       {"INFO itunes Dependencies appleSoftwareUpdate installation return code 0 ",
                        "INFO itunes Dependencies  bonjour installation return code 0 ",
                        "INFO itunes Dependencies bonjour successfully Installed"}),
        "");
}

TEST(HandlerCommandLine, MissingOptionEndsWithThirteenAndUsage) {
    HandlerMachine machine;
    machine.Prepare("itunes64");
    const std::vector<std::vector<std::string>> cases = {
        {"-p", "-n", "x"},  // -n is taken as the archive name
        {"-n", "itunes64"},
        {"-p", machine.Archive()},
        {},
        {"-n", "itunes64", "-p", machine.Archive(), "-p"},  // a trailing option has no value
        {"-N", "itunes64", "-p", machine.Archive()},        // options are case-sensitive
        {"itunes64", machine.Archive()},
        {"--version"},  // the version is on the usage line; the exit code stays 13
    };
    for (const auto& arguments : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        fs::remove(machine.InstallDir() / "logs/zqprereqhandler.log");
        const HandlerRun run = machine.Run(arguments);
        EXPECT_EQ(run.exitCode, 13u);
        EXPECT_EQ(run.exitStatus, 13);
        EXPECT_NE(run.stderrText.find("usage: zqprereqhandler -n "), std::string::npos);
        EXPECT_NE(run.stderrText.find("(version " VANTORRA_VERSION ")\n"), std::string::npos);
        EXPECT_EQ(std::count(run.stderrText.begin(), run.stderrText.end(), '\n'), 1);
        EXPECT_TRUE(run.installs.empty());
        EXPECT_TRUE(StartedCommands(run).empty());
        EXPECT_TRUE(EntriesAfter(run.log, "INFO Exit Code").empty());
        EXPECT_EQ(run.logText.find("Log close time: "), std::string::npos);
    }
    const HandlerRun run = machine.Run({"-p", "-n", "x"});
    EXPECT_EQ(MissingInOrder(run.log, {"INFO patchName : -n"}), "");
    EXPECT_TRUE(EntriesAfter(run.log, "INFO productName").empty());
}

TEST(HandlerCommandLine, ArchiveNamesThatLeaveThePatchDirectoryAreRefused) {
    HandlerMachine machine;
    machine.Prepare("itunes64", {"--packages", "none"});
    for (const std::string name :
         {"..\\..\\bin\\7za.exe", "C:\\Windows\\evil.exe", "sub/setup.exe", ".."}) {
        SCOPED_TRACE(name);
        const HandlerRun run = machine.Run({"-n", "itunes64", "-p", name});
        EXPECT_EQ(run.exitCode, 13u);
        EXPECT_NE(run.stderrText.find("invalid patch name"), std::string::npos);
        EXPECT_TRUE(StartedCommands(run).empty());
        EXPECT_TRUE(run.installs.empty());
    }
}

TEST(HandlerCommandLine, ArchiveNamesThat7ZipWouldReadAsSwitchesAreRefused) {
    HandlerMachine machine;
    machine.Prepare("itunes64", {"--packages", "none"});
    // Each a real file in the patch directory, so only the name's first character decides.
    for (const std::string name : {"-ssw", "-oevil", "-", "@list.txt", "-r", "@"}) {
        SCOPED_TRACE(name);
        testsupport::WriteFile(machine.PatchDir() / name, "a file");
        const HandlerRun run = machine.Run({"-n", "itunes64", "-p", name});
        EXPECT_EQ(run.exitCode, 13u);
        EXPECT_NE(run.stderrText.find("invalid patch name"), std::string::npos);
        EXPECT_NE(run.stderrText.find("must not begin with - or @"), std::string::npos) << run.stderrText;
        EXPECT_TRUE(StartedCommands(run).empty());
        EXPECT_TRUE(run.installs.empty());
    }
    // Inside the name they are plain characters.
    machine.Prepare("itunes64", {"--archive", "iTunes-64@home.exe", "--packages", "none"});
    EXPECT_EQ(machine.Run({"-n", "itunes64", "-p", "iTunes-64@home.exe"}).exitCode, 0u);
}

TEST(HandlerStartUp, RelativeInstallDirectoryRunsNothing) {
    HandlerMachine machine;
    machine.Prepare("itunes64", {"--packages", "none"});
    for (const std::string relative : {"Agent\\", "..\\Agent\\", "\\"}) {
        SCOPED_TRACE(relative);
        const std::string command = ShellQuote((testsupport::BinDir() / "reg").string()) +
                                    " add 'HKLM\\Software\\Halcyra\\Vantorra\\ZQAgent' /v ZQAgentInstallDir /d " +
                                    ShellQuote(relative) + " /f > /dev/null";
        ASSERT_EQ(std::system(("VANTORRA_MACHINE_ROOT=" + ShellQuote(machine.Root().string()) + " " + command).c_str()), 0);
        const HandlerRun run = machine.Run({"-n", "itunes64", "-p", machine.Archive()});
        EXPECT_EQ(run.exitCode, ERROR_BAD_PATHNAME);
        EXPECT_NE(run.stderrText.find("is not an absolute path"), std::string::npos) << run.stderrText;
        EXPECT_TRUE(run.installs.empty());
    }
}

TEST(HandlerCommandLine, ArchiveNameWithBlanksIsQuotedInTheCommandLines) {
    HandlerMachine machine;
    machine.Prepare("itunes64", {"--archive", "iTunes 64 Setup.exe", "--packages", kBonjour64});
    const HandlerRun run = machine.Run({"-n", "itunes64", "-p", "iTunes 64 Setup.exe"});
    EXPECT_EQ(run.exitCode, 0u) << run.logText;
    EXPECT_EQ(
        StartedCommands(run),
        (std::vector<std::string>{ExtractionCommand("\"iTunes 64 Setup.exe\""),
                                  MsiCommand(kBonjour64), MainCommand("iTunes 64 Setup.exe")}));
    EXPECT_EQ(run.installs.back(), "iTunes 64 Setup.exe /passive /quiet /norestart => 0");
}

TEST(HandlerCleanup, RemovesExactlyTheThirteenExtractedFilesAndKeepsTheArchive) {
    const std::string thirteen =
        "AppleApplicationSupport.msi,AppleMobileDeviceSupport.msi,AppleSoftwareUpdate.msi,"
        "Quicktime.msi,"
        "Bonjour.msi,iTunes.msi,iCloud.msi,AppleApplicationSupport64.msi,Bonjour64.msi,iTunes64."
        "msi,"
        "iCloud64.msi,SetupAdmin.exe,AppleMobileDeviceSupport64.msi";
    HandlerMachine machine;
    machine.Prepare("itunes64", {"--packages", thirteen + ",Extra.msi"});
    testsupport::WriteFile(machine.PatchDir() / "notes.txt", "kept");

    // Run from elsewhere: the packages are still looked for in the patch directory.
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        const HandlerRun run =
            machine.Run({"-n", "itunes64", "-p", machine.Archive()}, machine.Root());
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(StartedCommands(run).size(), 8u * round);  // the log is appended across runs
        EXPECT_TRUE(EntriesAfter(run.log, "ERROR File not exist").empty());

        std::set<std::string> left;
        for (const auto& entry : fs::directory_iterator(machine.PatchDir()))
            left.insert(entry.path().filename());
        EXPECT_EQ(left, (std::set<std::string>{machine.Archive(), "Extra.msi", "notes.txt"}));
    }
}

TEST(HandlerStartUp, MissingInstallDirectoryIsReportedWithoutRunningAnything) {
    testsupport::TempDir root;
    testsupport::TempDir cwd;
    const std::string command =
        "cd " + ShellQuote(cwd.str()) + " && VANTORRA_MACHINE_ROOT=" + ShellQuote(root.str()) +
        " " + ShellQuote((testsupport::BinDir() / "zqprereqhandler").string()) +
        " -n itunes64 -p iTunes64Setup.exe 2> " + ShellQuote(cwd.str() + "/err");
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 0);
    EXPECT_NE(testsupport::ReadFile(cwd.path() / "err").find("ZQAgentInstallDir"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(root.path() / "standins/install.log"));
}

}  // namespace
}  // namespace installertest
