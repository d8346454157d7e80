// Entry point of the store-shell program.
#include <iostream>

#include "tools/store-shell/store_shell.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    const int status = storeshell::Run(std::vector<std::string>(argv + 1, argv + argc), std::cin, std::cout, std::cerr);
    std::cout.flush();
    return status;
}
