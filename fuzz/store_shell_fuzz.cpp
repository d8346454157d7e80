// Fuzz target: the store-shell command language. The input is the shell's standard input,
// one command per line, run with --keep-going over a dictionary of every column type and
// a few loaded rows. "load" and "dictionary" lines that name a path outside the working
// folder are left out, so an input never reads a device or another user's file.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/store_fuzz_common.h"
#include "tools/store-shell/store_shell.h"

namespace {

constexpr char kRows[] =
    "<?xml version=\"1.0\"?>\n<Root>"
    "<Parent P_ID=\"1\" REGION=\"2\" NAME=\"a\"/><Parent P_ID=\"2\" REGION=\"2\" NAME=\"b\"/>"
    "<Child C_ID=\"1\" P_REF=\"1\" REGION=\"2\"/><Child C_ID=\"2\" P_REF=\"2\" REGION=\"2\" PARENT_ID=\"1\"/>"
    "<AllTypes C5=\"7\" C14=\"x\" C16=\"2024-02-29\" C18=\"2024-02-29 12:00:00\" C19=\"1\"/></Root>\n";

std::string folder;

void RemoveFolder() {
    std::remove((folder + "/dictionary.xml").c_str());
    std::remove((folder + "/rows.xml").c_str());
    ::rmdir(folder.c_str());
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && ok;
}

// The commands with file arguments may only name a plain file of the working folder.
bool Allowed(const std::string& line) {
    std::istringstream words(line);
    std::string keyword;
    words >> keyword;
    if (keyword != "load" && keyword != "dictionary") return true;
    return line.find_first_of("/\\") == std::string::npos && line.find("..") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char name[] = "/tmp/store-shell-fuzz-XXXXXX";
    if (!mkdtemp(name)) abort();
    folder = name;
    std::atexit(RemoveFolder);
    if (!WriteFile(folder + "/dictionary.xml", storefuzz::kDictionary) || !WriteFile(folder + "/rows.xml", kRows))
        abort();
    SetLogDefaults();
    ConfigureLog("null", "/dev", 4);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string commands;
    std::istringstream lines(std::string(reinterpret_cast<const char*>(data), size));
    for (std::string line; std::getline(lines, line);)
        if (Allowed(line)) commands += line + '\n';

    std::istringstream in(commands);
    std::ostringstream out, err;
    const std::vector<std::string> args{"-d", folder + "/dictionary.xml", "-l", folder + "/rows.xml",
                                        "--keep-going", "--show-state"};
    storeshell::Run(args, in, out, err);

    // Every input starts from the same empty store.
    storefuzz::DropTables();
    RemoveAllTableDefns();
    return 0;
}
