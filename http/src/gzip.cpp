// gzip decoding of a downloaded body, streamed in fixed chunks into a file beside the
// target that replaces it only when every member decoded and every byte was written.
#include <zlib.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "http/http.h"
#include "runtime/log.h"

namespace {

constexpr std::size_t kChunk = 256 * 1024;
constexpr int kGzipOnlyWindow = 31;  // 32 KB window, gzip wrapper only

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Decodes every gzip member of `in` into `out`; false on any decoding or write error.
bool Inflate(std::FILE* in, std::FILE* out, bool* emptyInput) {
    std::vector<unsigned char> input(kChunk);
    std::vector<unsigned char> output(kChunk);
    z_stream stream{};
    if (inflateInit2(&stream, kGzipOnlyWindow) != Z_OK) return false;
    bool ended = false;  // the current member reached its end
    bool sawInput = false;
    bool ok = true;
    bool needInput = true;  // false while zlib may still hold output for a full buffer
    for (;;) {
        if (stream.avail_in == 0 && needInput) {
            const std::size_t read = std::fread(input.data(), 1, input.size(), in);
            if (read == 0) {
                if (std::ferror(in)) ok = false;
                break;
            }
            sawInput = true;
            stream.next_in = input.data();
            stream.avail_in = static_cast<uInt>(read);
        }
        if (ended) {
            // More bytes after a member's end: they must form the next member.
            if (inflateReset(&stream) != Z_OK) {
                ok = false;
                break;
            }
            ended = false;
        }
        stream.next_out = output.data();
        stream.avail_out = static_cast<uInt>(output.size());
        const int code = inflate(&stream, Z_NO_FLUSH);
        const std::size_t produced = output.size() - stream.avail_out;
        if (produced > 0 && std::fwrite(output.data(), 1, produced, out) != produced) {
            ok = false;
            break;
        }
        needInput = stream.avail_out != 0;
        if (code == Z_STREAM_END) {
            ended = true;
            needInput = true;
        } else if (code == Z_BUF_ERROR) {
            if (stream.avail_in != 0) {  // no progress although input is there
                ok = false;
                break;
            }
        } else if (code != Z_OK) {
            ok = false;
            break;
        }
    }
    inflateEnd(&stream);
    *emptyInput = !sawInput;
    return ok && (ended || !sawInput);
}

}  // namespace

bool DecompressGzipFile(const char* sourcePath, const char* targetPath) {
    if (!sourcePath || !targetPath) return false;
    File in(host::MappedFopen(sourcePath, "rb"));
    if (!in) return false;
    const std::string partial = std::string(targetPath) + ".inflate.part";
    File out(host::MappedFopen(partial.c_str(), "wb"));
    if (!out) return false;
    bool emptyInput = false;
    bool ok = Inflate(in.get(), out.get(), &emptyInput);
    in.reset();
    if (std::fflush(out.get()) != 0) ok = false;
    if (std::fclose(out.release()) != 0) ok = false;
    if (emptyInput) {
        // An empty body counts as decoded and leaves the target as it is.
        host::MappedRemove(partial.c_str());
        return true;
    }
    if (!ok || host::MappedRename(partial.c_str(), targetPath) != 0) {
        host::MappedRemove(partial.c_str());
        return false;
    }
    return true;
}
