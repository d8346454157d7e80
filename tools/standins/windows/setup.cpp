// Stand-in for an Apple product's setup program. scripts/windows-test writes the
// declared exit code over the digits of kDeclaredCode in a copy of this program and
// appends a zip of the product's packages, which makes the file a self-extracting
// archive that 7-Zip reads.
#include <cstdlib>
#include <string>

#include "tools/standins/windows/standin.h"

// Fixed-width marker, patched in the binary; volatile so the digits are read at run time.
volatile const char kDeclaredCode[] = "VANTORRA_SETUP_EXIT_CODE=0000000000";

int main(int argc, char** argv) {
    char digits[11] = {};
    constexpr size_t prefix = sizeof("VANTORRA_SETUP_EXIT_CODE=") - 1;
    for (size_t i = 0; i < 10; ++i) digits[i] = kDeclaredCode[prefix + i];
    DWORD code = static_cast<DWORD>(std::strtoul(digits, nullptr, 10));
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option != "/passive" && option != "/quiet" && option != "/norestart") code = 1639;  // ERROR_INVALID_COMMAND_LINE
    }
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string name = path;
    name = name.substr(name.find_last_of("\\/") + 1);
    standin::Finish(name, standin::Arguments(), code);
}
