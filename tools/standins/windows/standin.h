// What the Windows stand-ins share: their arguments as the command line holds them, and
// the install log "C:\standins\install.log" where every call is recorded, as the POSIX
// stand-ins record theirs in <machine root>/standins/install.log.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

namespace standin {

inline constexpr const char* kFolder = "C:\\standins";

// The command line after the program name, as it was given.
inline std::string Arguments() {
    const char* line = GetCommandLineA();
    bool quoted = false;
    while (*line && (quoted || (*line != ' ' && *line != '\t'))) {
        if (*line == '"') quoted = !quoted;
        ++line;
    }
    while (*line == ' ' || *line == '\t') ++line;
    return line;
}

inline void Record(const std::string& program, const std::string& arguments, DWORD code) {
    CreateDirectoryA(kFolder, nullptr);
    const std::string path = std::string(kFolder) + "\\install.log";
    if (std::FILE* log = std::fopen(path.c_str(), "a")) {
        std::fprintf(log, "%s %s => %lu\n", program.c_str(), arguments.c_str(), code);
        std::fclose(log);
    }
}

// Ends the process with the full 32-bit code.
[[noreturn]] inline void Finish(const std::string& program, const std::string& arguments, DWORD code) {
    Record(program, arguments, code);
    std::fflush(nullptr);
    ExitProcess(code);
}

}  // namespace standin
