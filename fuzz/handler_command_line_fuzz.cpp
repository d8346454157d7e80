// Fuzz target: the handler's command line. The input, split at NUL bytes, is argv after the
// program name. Every patch name the handler accepts must come back whole from the command
// lines it is put into (7-Zip's extraction and the installer's path), as one argument.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "installer/installer.h"
#include "platform/win/host.h"
#include "runtime/log.h"

namespace {

// How the handler puts one argument into a command line: quoted when a blank would split it.
std::string Quoted(const std::string& name) {
    return name.find_first_of(" \t") == std::string::npos ? name : "\"" + name + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetLogDefaults();
    ConfigureLog("null", "/dev", 4);
    OpenLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words{"zqprereqhandler"};
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = text.find('\0', start);
        if (end == std::string::npos) end = text.size();
        words.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::vector<const char*> argv;
    for (const std::string& word : words) argv.push_back(word.c_str());
    argv.push_back(nullptr);

    const installer::CommandLine options =
        installer::ParseCommandLine(static_cast<int>(words.size()), argv.data());
    if (options.productName) {
        for (bool is64 : {false, true}) {
            const std::string product = installer::RewriteProductName(*options.productName, is64);
            installer::FindProductPlan(product);
        }
    }
    if (options.archiveName && installer::CheckArchiveName(*options.archiveName).empty()) {
        const std::string& name = *options.archiveName;
        const std::vector<std::string> extraction =
            host::SplitCommandLine("\"C:\\Agent\\bin\\7za.exe\" x -y " + Quoted(name));
        if (extraction.size() != 4 || extraction[3] != name) __builtin_trap();
        const std::vector<std::string> main =
            host::SplitCommandLine("\"C:\\Agent\\patches\\" + name + "\"");
        if (main.size() != 1 || main[0] != "C:\\Agent\\patches\\" + name) __builtin_trap();
    }
    return 0;
}
