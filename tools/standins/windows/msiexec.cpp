// Stand-in for the Windows Installer "msiexec.exe". Accepts "/i PACKAGE" with any of
// /qn, /quiet, /passive and /norestart, reads the exit code the stand-in package
// declares ("exit_code=N"), records the installation in the install log and ends with
// that code, 3010 and 1641 included.
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tools/standins/windows/standin.h"

#include <shellapi.h>

namespace {

constexpr DWORD kInvalidCommandLine = 1639;
constexpr DWORD kPackageOpenFailed = 1619;
constexpr DWORD kPackageInvalid = 1620;

std::vector<std::string> SplitArguments() {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 1; wide && i < count; ++i) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(bytes > 0 ? bytes - 1 : 0, '\0');
        if (bytes > 1) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), bytes, nullptr, nullptr);
        arguments.push_back(text);
    }
    LocalFree(wide);
    return arguments;
}

}  // namespace

int main() {
    const std::string line = standin::Arguments();
    const auto finish = [&line](DWORD code) { standin::Finish("msiexec.exe", line, code); };

    const std::vector<std::string> arguments = SplitArguments();
    std::string package;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "/i" || option == "/I" || option == "-i") {
            if (i + 1 >= arguments.size()) finish(kInvalidCommandLine);
            package = arguments[++i];
        } else if (option != "/qn" && option != "/QN" && option != "/quiet" && option != "/passive" &&
                   option != "/norestart" && option != "/NORESTART") {
            finish(kInvalidCommandLine);
        }
    }
    if (package.empty()) finish(kInvalidCommandLine);

    std::ifstream file(package);
    if (!file) finish(kPackageOpenFailed);
    static const std::regex declared(R"(^\s*exit_code\s*=\s*([0-9]+)\s*\r?$)");
    std::smatch match;
    for (std::string text; std::getline(file, text);) {
        if (std::regex_match(text, match, declared)) finish(static_cast<DWORD>(std::strtoul(match[1].str().c_str(), nullptr, 10)));
    }
    finish(kPackageInvalid);
}
