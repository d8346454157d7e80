// Fuzz target: a resumable download whose stored state and server answer come from the
// input. The input is the resume state the registry holds (recorded partial size, the
// Last-Modified stamp, the partial copy's bytes), then after a line "--" the answer a
// loopback server gives to every request of the download (status line, Content-Length,
// Content-Range, Last-Modified, Location, chunked bodies). Whatever comes, the call ends
// with a result; a failure leaves the destination as it was; a success leaves a
// destination no longer than the size the answer announced.
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "agent/agent.h"
#include "fuzz/fuzz_loopback.h"
#include "http/http.h"
#include "platform/win/errors.h"
#include "platform/win/winhttp.h"
#include "runtime/registry_access.h"

namespace {

namespace fs = std::filesystem;

// Answers every connection (at most 64) with the same bytes until told to stop.
void Serve(int listener, std::string answer, std::atomic<bool>* stop) {
    for (int served = 0; served < 64 && !stop->load();)
        if (fuzzloopback::ServeOnce(listener, answer, 100)) ++served;
}

const fs::path& Root() {
    static const fs::path root = [] {
        std::string pattern = (fs::temp_directory_path() / "http-resume-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data())) __builtin_trap();
        setenv("VANTORRA_MACHINE_ROOT", pattern.c_str(), 1);
        fs::create_directories(fs::path(pattern) / "drive_c" / "Agent");
        fs::create_directories(fs::path(pattern) / "temp");
        winhttp_seam::SetSleepFunction([](DWORD) {});  // retries do not wait
        return fs::path(pattern);
    }();
    return root;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The number after the first "Content-Length:" of the head, or -1.
long long AnnouncedLength(const std::string& answer) {
    const std::size_t head = answer.find("\r\n\r\n");
    std::string lower = answer.substr(0, head == std::string::npos ? answer.size() : head);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t at = lower.find("\ncontent-range:");
    if (at != std::string::npos) {
        const std::size_t slash = lower.find('/', at);
        if (slash != std::string::npos) return std::strtoll(lower.c_str() + slash + 1, nullptr, 10);
    }
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fs::path& root = Root();
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find("\n--\n");
    const std::string state = input.substr(0, split == std::string::npos ? 0 : split);
    const std::string answer = split == std::string::npos ? input : input.substr(split + 4);

    // The stored state: "SIZE STAMP\n" then the partial copy's bytes.
    const std::size_t line = state.find('\n');
    const std::string first = state.substr(0, line);
    const std::string partial = line == std::string::npos ? std::string() : state.substr(line + 1);
    const std::size_t space = first.find(' ');
    const std::string recorded = first.substr(0, space);
    const std::string stamp = space == std::string::npos ? std::string() : first.substr(space + 1);

    gv_agentInstallDir = std::string("C:\\Agent\\");
    gv_tempDir = (root / "temp").string();
    gv_httpRequestTimeout = 1000;
    gv_httpConnectionTimeout = 1000;
    ResetHttpSizeLimits();
    const std::string metaKey = gv_agentRootKey + "\\FileMetaData\\";
    const std::string id = "4242";
    writeValue(HKEY_LOCAL_MACHINE, metaKey.c_str(), "IntermediateRepositoryName", "DownloadRepository\\", REG_SZ);
    writeValue(HKEY_LOCAL_MACHINE, metaKey.c_str(), "/pkg/file.bin", id.c_str(), REG_SZ);
    writeValue(HKEY_LOCAL_MACHINE, (metaKey + id).c_str(), "PartialFileSize",
               std::to_string(std::strtoul(recorded.c_str(), nullptr, 10)).c_str(), REG_DWORD);
    writeValue(HKEY_LOCAL_MACHINE, (metaKey + id).c_str(), "LastModifiedTime", stamp.c_str(), REG_SZ);
    const fs::path repository = root / "drive_c" / "Agent" / "DownloadRepository";
    fs::create_directories(repository);
    std::ofstream(repository / id, std::ios::binary) << partial;
    const fs::path destination = root / "temp" / "file.bin";
    std::ofstream(destination, std::ios::binary) << "before";

    int port = 0;
    const int listener = fuzzloopback::Listener(port);
    std::atomic<bool> stop{false};
    std::thread server(Serve, listener, answer, &stop);
    const WideString target = destination.u16string();
    const DWORD result = ResumeGetRequestEx(false, "http", WTEXT("127.0.0.1"), static_cast<INTERNET_PORT>(port), nullptr,
                                            nullptr, nullptr, nullptr, WTEXT("/pkg/file.bin"), target.c_str(), nullptr,
                                            DOWNLOAD_FILE, true);
    stop = true;
    server.join();

    const std::string after = ReadAll(destination);
    if (result != 0 && after != "before") __builtin_trap();  // a failure leaves it as it was
    const long long announced = AnnouncedLength(answer);
    if (result == 0 && announced >= 0 && static_cast<long long>(after.size()) > announced) __builtin_trap();

    std::error_code ignored;
    fs::remove_all(root / "registry", ignored);
    fs::remove_all(repository, ignored);
    fs::remove(destination, ignored);
    return 0;
}
