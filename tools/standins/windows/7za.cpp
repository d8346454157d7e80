// Stand-in for the agent's "bin\7za.exe": runs the machine's real 7-Zip with the same
// arguments, as the POSIX stand-in does. Under Wine a Windows process can start the
// host's programs, but gets no handle to wait on nor an exit code from them, so the
// host's 7-Zip runs through a small shell script that leaves its exit code in a file,
// which this program waits for. 7-Zip's console output goes to C:\standins\7za.log.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/standins/windows/standin.h"

#include <shellapi.h>

namespace {

std::string Utf8(const wchar_t* wide) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string text(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1) WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), bytes, nullptr, nullptr);
    return text;
}

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The host path of a Windows path, through Wine's own kernel32 export.
std::string HostPath(const std::string& windowsPath) {
    using ToUnix = char* (*)(const wchar_t*);
    const auto toUnix = reinterpret_cast<ToUnix>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name"));
    if (!toUnix) return {};
    std::wstring wide(windowsPath.begin(), windowsPath.end());
    char* unixPath = toUnix(wide.c_str());
    if (!unixPath) return {};
    std::string path = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return path;
}

}  // namespace

int main() {
    const std::string arguments = standin::Arguments();
    const auto finish = [&arguments](DWORD code) { standin::Finish("7za.exe", arguments, code); };

    CreateDirectoryA(standin::kFolder, nullptr);
    const std::string folder = HostPath(standin::kFolder);
    if (folder.empty()) {
        std::fputs("7za.exe stand-in: runs under Wine only (no wine_get_unix_file_name)\n", stderr);
        finish(2);
    }

    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    std::string quoted;
    for (int i = 1; argv && i < count; ++i) quoted += " " + ShellQuote(Utf8(argv[i]));
    LocalFree(argv);

    const std::string codeFile = folder + "/7za.code";
    std::remove((std::string(standin::kFolder) + "\\7za.code").c_str());
    {
        std::ofstream script(std::string(standin::kFolder) + "\\7za-run.sh", std::ios::binary | std::ios::trunc);
        script << "sevenzip=$(command -v 7za || command -v 7z || command -v 7zz)\n"
               << "if [ -z \"$sevenzip\" ]; then echo 'no 7-Zip (7za, 7z or 7zz) on this machine' >&2; code=2\n"
               << "else \"$sevenzip\"" << quoted << " >>" << ShellQuote(folder + "/7za.log") << " 2>&1; code=$?; fi\n"
               << "echo $code >" << ShellQuote(codeFile + ".tmp") << " && mv " << ShellQuote(codeFile + ".tmp") << " "
               << ShellQuote(codeFile) << "\n";
    }
    // Wine splits the command line of a host program with the Windows rules.
    std::string command = "Z:\\bin\\sh \"" + folder + "/7za-run.sh\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "7za.exe stand-in: cannot start the host's shell (error %lu)\n", GetLastError());
        finish(2);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    const std::string codePath = std::string(standin::kFolder) + "\\7za.code";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
    while (GetFileAttributesA(codePath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fputs("7za.exe stand-in: the host's 7-Zip did not finish in 10 minutes\n", stderr);
            finish(2);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::ifstream in(codePath);
    unsigned long code = 2;
    in >> code;
    finish(static_cast<DWORD>(code));
}
