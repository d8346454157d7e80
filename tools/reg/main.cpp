// Entry point of the reg program.
#include <iostream>

#include "platform/win/host.h"
#include "tools/reg/reg_tool.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    int code = regtool::Run(args, std::cout, std::cerr);
    std::cout.flush();
    return host::ExitStatus(static_cast<DWORD>(code));
}
