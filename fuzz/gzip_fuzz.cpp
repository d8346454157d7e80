// Fuzz target: gzip bodies through the agent's decoder with its size and ratio limits. A
// body either decodes into the target within the limits, or fails and leaves the target
// as it was, with nothing left behind in the folder.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "agent/agent.h"
#include "http/http.h"
#include "runtime/log.h"

namespace {

constexpr DWORD kMaxOutput = 4u << 20;  // passes the ratio floor, so both limits are reached
constexpr DWORD kMaxRatio = 64;
constexpr char kKept[] = "the previous target";

std::string folder;

void RemoveFolder() {
    std::remove((folder + "/body.gz").c_str());
    std::remove((folder + "/target").c_str());
    ::rmdir(folder.c_str());
}

bool WriteFile(const std::string& path, const void* data, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

std::size_t EntriesIn(const std::string& path) {
    std::size_t count = 0;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (dirent* entry = ::readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) ++count;
        ::closedir(dir);
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetLogDefaults();
    ConfigureLog("null", "/dev", 4);
    OpenLog();
    char name[] = "/tmp/gzip-fuzz-XXXXXX";
    if (!mkdtemp(name)) abort();
    folder = name;
    std::atexit(RemoveFolder);
    gv_httpMaxGzipSize = kMaxOutput;
    gv_httpMaxGzipRatio = kMaxRatio;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body = folder + "/body.gz";
    const std::string target = folder + "/target";
    if (!WriteFile(body, data, size) || !WriteFile(target, kKept, sizeof kKept - 1)) abort();

    const bool decoded = DecompressGzipFile(body.c_str(), target.c_str());
    struct stat info{};
    if (::stat(target.c_str(), &info) != 0) __builtin_trap();  // the target is never lost
    if (decoded) {
        if (static_cast<std::uint64_t>(info.st_size) > kMaxOutput) __builtin_trap();
    } else if (info.st_size != static_cast<off_t>(sizeof kKept - 1)) {
        __builtin_trap();  // a failed decode must not touch the target
    }
    // No partial output stays beside the target.
    if (EntriesIn(folder) != 2) __builtin_trap();
    std::remove(target.c_str());
    return 0;
}
