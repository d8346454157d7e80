// Entry point of the reg program.
#include <cstring>
#include <iostream>

#include "platform/win/host.h"
#include "runtime/version.h"
#include "tools/reg/reg_tool.h"

int main(int argc, char** argv) {
    // reg's own switches are Windows style (/?); --version is the one every program shares.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "reg " VANTORRA_VERSION "\n";
        return 0;
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    int code = regtool::Run(args, std::cout, std::cerr);
    std::cout.flush();
    return host::ExitStatus(static_cast<DWORD>(code));
}
