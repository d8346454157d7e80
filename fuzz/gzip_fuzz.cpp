// Fuzz target: gzip bodies through the agent's decoder with its size and ratio limits. A
// body either decodes into the target within the limits, or fails and leaves the target
// as it was, with nothing left behind in the folder.
// An input starting with 'Z' is not a body but a recipe, so that valid deflate streams
// (which zlib, not instrumented here, would rarely see) reach the decoder's member logic:
// the byte after 'Z' picks how many members (1-4) the rest is compressed into, whether
// bytes follow the last member, whether the body is cut short, and whether the text is
// repeated past the ratio floor. An uncut body of at most 1 MiB must decode to the text.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

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

// One gzip member holding text.
std::string GzipMember(std::string_view text) {
    z_stream stream{};
    if (deflateInit2(&stream, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) abort();
    std::string member(deflateBound(&stream, text.size()) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(member.data());
    stream.avail_out = static_cast<uInt>(member.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) abort();
    member.resize(stream.total_out);
    deflateEnd(&stream);
    return member;
}

struct Recipe {
    std::string body;
    std::string text;      // what the body decodes to
    bool mustDecode = false;
};

Recipe Cook(const std::uint8_t* data, std::size_t size) {
    Recipe recipe;
    const std::uint8_t control = size > 1 ? data[1] : 0;
    recipe.text.assign(reinterpret_cast<const char*>(data) + std::min<std::size_t>(size, 2),
                       size - std::min<std::size_t>(size, 2));
    if ((control & 0x80) && !recipe.text.empty())
        while (recipe.text.size() <= (2u << 20)) recipe.text += recipe.text;
    const std::size_t members = 1 + (control & 3);
    const std::size_t part = recipe.text.size() / members;
    for (std::size_t i = 0; i < members; ++i) {
        const std::size_t from = i * part;
        const std::size_t length = i + 1 == members ? recipe.text.size() - from : part;
        recipe.body += GzipMember(std::string_view(recipe.text).substr(from, length));
    }
    if (control & 4) recipe.body += "trailing bytes";
    const bool cut = control & 8;
    if (cut) recipe.body.resize(recipe.body.size() - std::min<std::size_t>(recipe.body.size(), 1 + ((control >> 4) & 7)));
    recipe.mustDecode = !cut && recipe.text.size() <= (1u << 20);
    return recipe;
}

std::string ReadAll(const std::string& path) {
    std::string content;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        char chunk[65536];
        for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) content.append(chunk, got);
        std::fclose(file);
    }
    return content;
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
    const bool recipe = size > 0 && data[0] == 'Z';
    Recipe cooked;
    if (recipe) cooked = Cook(data, size);
    const bool written = recipe ? WriteFile(body, cooked.body.data(), cooked.body.size()) : WriteFile(body, data, size);
    if (!written || !WriteFile(target, kKept, sizeof kKept - 1)) abort();

    const bool decoded = DecompressGzipFile(body.c_str(), target.c_str());
    struct stat info{};
    if (::stat(target.c_str(), &info) != 0) __builtin_trap();  // the target is never lost
    if (recipe && cooked.mustDecode) {
        // Every member decodes, in order, whatever follows the last one.
        if (!decoded) __builtin_trap();
        if (!cooked.body.empty() && ReadAll(target) != cooked.text) __builtin_trap();
    }
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
