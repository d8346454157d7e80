// gzip decoding of a downloaded body, streamed in fixed chunks between two files, and
// stopped before a hostile body fills the disk or the memory it is loaded into.
#include "http/src/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "http/http.h"
#include "http/src/internal.h"
#include "http/src/temp_files.h"
#include "runtime/log.h"

namespace httpclient {

namespace {

constexpr std::size_t kChunk = 256 * 1024;
constexpr int kGzipOnlyWindow = 31;  // 32 KB window, gzip wrapper only

class InflateStream {
public:
    InflateStream() { ready_ = inflateInit2(&stream_, kGzipOnlyWindow) == Z_OK; }
    ~InflateStream() {
        if (ready_) inflateEnd(&stream_);
    }
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;
    bool ready() const { return ready_; }
    z_stream* operator->() { return &stream_; }
    z_stream* get() { return &stream_; }

private:
    z_stream stream_{};
    bool ready_ = false;
};

}  // namespace

GzipLimits AgentGzipLimits(bool inMemory) {
    GzipLimits limits;
    limits.maxOutput = gv_httpMaxGzipSize;
    limits.outputSetting = "HTTPMaxGzipSize";
    if (inMemory && gv_httpMaxDataSize < limits.maxOutput) {
        limits.maxOutput = gv_httpMaxDataSize;
        limits.outputSetting = "HTTPMaxDataSize";
    }
    limits.maxRatio = gv_httpMaxGzipRatio;
    return limits;
}

bool DecodeGzip(HANDLE in, HANDLE out, const GzipLimits& limits) {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(in, start, nullptr, FILE_BEGIN)) return false;
    std::vector<unsigned char> input(kChunk);
    std::vector<unsigned char> output(kChunk);
    InflateStream stream;
    if (!stream.ready()) return false;

    ULONGLONG readTotal = 0;  // bytes read from `in`
    ULONGLONG produced = 0;   // bytes written to `out`
    bool endOfInput = false;
    // Moves what zlib has not taken yet to the front and reads more behind it; false on a
    // read error.
    const auto fill = [&]() {
        const std::size_t kept = stream->avail_in;
        if (kept > 0) std::memmove(input.data(), stream->next_in, kept);
        DWORD read = 0;
        if (!ReadFile(in, input.data() + kept, static_cast<DWORD>(input.size() - kept), &read, nullptr)) return false;
        if (read == 0) endOfInput = true;
        readTotal += read;
        stream->next_in = input.data();
        stream->avail_in = static_cast<uInt>(kept + read);
        return true;
    };

    bool ended = false;  // the current member reached its end
    bool ok = true;
    bool needInput = true;  // false while zlib may still hold output for a full buffer
    for (;;) {
        if (stream->avail_in == 0 && needInput) {
            if (!fill()) {
                ok = false;
                break;
            }
            if (stream->avail_in == 0) break;  // the end of the body
        }
        if (ended) {
            // Bytes after a member form the next member only when they start with the
            // gzip magic; anything else is trailing data that gzip(1) ignores too.
            if (stream->avail_in < 2 && !endOfInput) {
                if (!fill()) {
                    ok = false;
                    break;
                }
                continue;
            }
            if (stream->avail_in < 2 || stream->next_in[0] != 0x1f || stream->next_in[1] != 0x8b) {
                LogInfo("DecompressGzipFile : bytes after the last gzip member ignored\n");
                break;
            }
            if (inflateReset(stream.get()) != Z_OK) {
                ok = false;
                break;
            }
            ended = false;
        }
        stream->next_out = output.data();
        stream->avail_out = static_cast<uInt>(output.size());
        const int code = inflate(stream.get(), Z_NO_FLUSH);
        const std::size_t bytes = output.size() - stream->avail_out;
        if (produced + bytes > limits.maxOutput) {
            LogError("DecompressGzipFile : decoding stopped, the data passes the limit of %llu bytes (%s)\n",
                     limits.maxOutput, limits.outputSetting);
            ok = false;
            break;
        }
        produced += bytes;
        const ULONGLONG consumed = std::max<ULONGLONG>(readTotal - stream->avail_in, 1);
        if (produced > kGzipRatioFloor && produced > limits.maxRatio * consumed) {
            LogError(
                "DecompressGzipFile : decoding stopped, %llu bytes came from %llu, more than %llu times as many "
                "(HTTPMaxGzipRatio)\n",
                produced, consumed, limits.maxRatio);
            ok = false;
            break;
        }
        DWORD written = 0;
        if (bytes > 0 && (!WriteFile(out, output.data(), static_cast<DWORD>(bytes), &written, nullptr) ||
                          written != bytes)) {
            ok = false;
            break;
        }
        needInput = stream->avail_out != 0;
        if (code == Z_STREAM_END) {
            ended = true;
            needInput = true;
        } else if (code == Z_BUF_ERROR) {
            if (stream->avail_in != 0) {  // no progress although input is there
                ok = false;
                break;
            }
        } else if (code != Z_OK) {
            ok = false;
            break;
        }
    }
    return ok && (ended || readTotal == 0);
}

}  // namespace httpclient

using namespace httpclient;

bool DecompressGzipFile(const char* sourcePath, const char* targetPath) {
    if (!sourcePath || !targetPath) return false;
    HANDLE in = CreateFileA(sourcePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
    if (in == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(in, &size) && size.QuadPart == 0) {
        // An empty body counts as decoded and leaves the target as it is.
        CloseHandle(in);
        return true;
    }
    // The output is written beside the target under a name nobody else holds, and
    // replaces the target only once every byte decoded.
    ExclusiveFile out;
    if (out.Create(ToWide(std::string(targetPath) + ".inflate")) != ERROR_SUCCESS) {
        CloseHandle(in);
        return false;
    }
    const bool decoded = DecodeGzip(in, out.handle(), AgentGzipLimits(false));
    CloseHandle(in);
    out.Close();
    if (!decoded) return false;
    const std::string from = ToUtf8(out.path().c_str());
    if (!MoveFileExA(from.c_str(), targetPath, MOVEFILE_REPLACE_EXISTING)) return false;
    out.Forget();
    return true;
}
