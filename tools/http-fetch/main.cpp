// http-fetch: runs one download or upload of the agent's HTTP client on the agent
// configuration of the machine root, for people and for tests that need a process of
// their own. The result code is the exit code (in full through VANTORRA_EXIT_CODE_FILE).
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "http/http.h"
#include "platform/win/host.h"
#include "runtime/runtime.h"
#include "runtime/version.h"

namespace {

constexpr const char* kUsage = R"(usage: http-fetch COMMAND PATH [ARGS] [options]

Commands (PATH is the URL path and query on the server, e.g. /files/patch.zip):
  get-ex PATH          one GET of the whole body (InternetGetRequestEx)
  get-bitrate PATH     the body in throttled ranges of DataTransferRate_KBps x 500 bytes
                       (InternetGetRequestByBitrate)
  resume-ex PATH       resumable download: continues the partial copy kept for the URL
                       from where it ended, in one range request (ResumeGetRequestEx)
  resume-bitrate PATH  resumable download in throttled ranges (ResumeGetRequestByBitrate)
  send-ex PATH         POST of --data TEXT or --data-file FILE (InternetSendRequestEx)
  send-file PATH FILE  POST of FILE streamed in chunks (InternetSendRequestByBitRate)
  agent PATH           one agent request (AgentSendRequest): the server, the edition's
                       path and the fail-over over the server's addresses come from the
                       agent configuration; the address that answers is remembered

Without --dest a download is read into memory (GET_DATA) and printed on stdout.
A resumable download keeps its partial copy in <install dir>DownloadRepository\ and its
state under the agent key's FileMetaData; run the same command again to continue it.

Server and proxy (defaults from the agent configuration of VANTORRA_MACHINE_ROOT):
  --server HOST        server name or address (ZQLastAccessName, else ZQServerName)
  --port N             server port (ZQServerPort)
  --protocol P         http or https (ZQServerProtocol)
  --proxy HOST:PORT    use this proxy (default: the configured one when enabled)
  --proxy-user U       proxy user name      --proxy-password P   proxy password
  --bypass LIST        proxy bypass list    --no-proxy           never use a proxy

Request:
  --dest FILE          store the body in FILE (DOWNLOAD_FILE)
  --mode N             request mode code (11001 GET_DATA ... 11006 POST_BY_BITRATE)
  --gzip               get-ex: ask for a gzip body and decode it
  --close              send "Connection: close" instead of keep-alive
  --if-modified-since TEXT
                       send If-Modified-Since with TEXT (conditional requests on)
  --rate KBPS          DataTransferRate_KBps for get-bitrate and resume-bitrate
  --timeout MS         HTTPRequestTimeout    --connect-timeout MS  HTTPConnectionTimeout
  --data TEXT          send-ex: the text to post
  --data-file FILE     send-ex: post the bytes of FILE
  --multipart          send-ex: POST_MULTIPART with the data's byte count
  --chunk N            send-file: chunk size in bytes (default 65536)
  --reply              print the server's reply to an upload on stdout

Agent requests (agent PATH):
  --mode NAME          GET_DATA (default), DOWNLOAD_FILE, POST_DATA, POST_DATA_UNTIMED,
                       POST_MULTIPART or POST_BY_BITRATE (or the mode's code)
  --file LOCAL         the destination of DOWNLOAD_FILE, the file POST_BY_BITRATE uploads
  --data TEXT          the text POST_DATA, POST_DATA_UNTIMED and POST_MULTIPART send
  --style 0|1|2        0 one request (default), 1 throttled, 2 data passed unconverted
  --to-ds              to the distribution server when one is enabled
  --no-keep-alive      send "Connection: close"
  --post-length N      POST_MULTIPART byte count (default: the data's), POST_BY_BITRATE
                       chunk size (default 65536)
  --out FILE           write the body or reply to FILE instead of stdout

Output:
  --log FILE           agent log file (default: <install dir>logs\http-fetch.log)
  --log-level N        1 info, 2 error, 3 debug, 4 trace (default ZQAgentLogLevel)
  --progress           progress bar on stderr even when stderr is not a terminal
  --help               this text
  --version            the version

The exit code is the result code: 0 success, 90001 not modified, 707 partial download,
an HTTP status, or a WinHTTP or system error code.
)";

struct Options {
    std::string command;
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;
    std::map<std::string, bool> flags;

    bool has(const std::string& name) const { return values.count(name) || flags.count(name); }
    std::optional<std::string> value(const std::string& name) const {
        auto it = values.find(name);
        if (it == values.end()) return std::nullopt;
        return it->second;
    }
};

const char* const kValueOptions[] = {"--server", "--port", "--protocol", "--proxy", "--proxy-user",
                                     "--proxy-password", "--bypass", "--dest", "--mode", "--rate",
                                     "--timeout", "--connect-timeout", "--data", "--data-file", "--chunk",
                                     "--log", "--log-level", "--if-modified-since",
                                     "--file", "--style", "--post-length", "--out"};
const char* const kFlagOptions[] = {"--gzip", "--close", "--no-proxy", "--multipart", "--reply", "--progress",
                                    "--help", "--version", "--to-ds", "--no-keep-alive"};

bool ParseOptions(int argc, char** argv, Options* options, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        bool known = false;
        for (const char* name : kValueOptions) {
            if (arg == name) {
                if (i + 1 >= argc) {
                    *error = "option " + arg + " needs a value";
                    return false;
                }
                options->values[arg] = argv[++i];
                known = true;
            }
        }
        for (const char* name : kFlagOptions) {
            if (arg == name) options->flags[arg] = known = true;
        }
        if (known) continue;
        if (arg.size() > 1 && arg[0] == '-') {
            *error = "unknown option " + arg;
            return false;
        }
        if (options->command.empty())
            options->command = arg;
        else
            options->positional.push_back(arg);
    }
    return true;
}

// A whole decimal number within [low, high], or nullopt.
std::optional<long long> ParseNumber(const std::string& text, long long low, long long high) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) return std::nullopt;
    return value;
}

WideString Wide(const std::string& text) {
    WideString wide;
    ChangeUtf8ToWideStr(text.c_str(), &wide);
    return wide;
}

const WCHAR* OrNull(const std::optional<WideString>& text) { return text ? text->c_str() : nullptr; }

// Progress bar with rate and time left, redrawn at most ten times a second.
class ProgressBar {
public:
    void update(ULONGLONG done, ULONGLONG total) {
        const auto now = std::chrono::steady_clock::now();
        if (!started_) started_ = now;
        const bool complete = total != 0 && done >= total;
        if (!complete && last_ && now - *last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        const double seconds = std::chrono::duration<double>(now - *started_).count();
        const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
        char line[160];
        if (total != 0) {
            const int width = 30;
            const int filled = static_cast<int>(width * std::min(1.0, static_cast<double>(done) / total));
            std::string bar(filled, '#');
            bar.append(width - filled, ' ');
            const double left = rate > 0 ? static_cast<double>(total - std::min(done, total)) / rate : 0;
            std::snprintf(line, sizeof line, "\r[%s] %3d%% %8.2f MiB %7.2f MiB/s ETA %02d:%02d", bar.c_str(),
                          static_cast<int>(100.0 * std::min(done, total) / total), done / 1048576.0,
                          rate / 1048576.0, static_cast<int>(left) / 60, static_cast<int>(left) % 60);
        } else {
            std::snprintf(line, sizeof line, "\r%8.2f MiB %7.2f MiB/s", done / 1048576.0, rate / 1048576.0);
        }
        std::fputs(line, stderr);
        drawn_ = true;
    }
    void finish() {
        if (drawn_) std::fputc('\n', stderr);
    }

private:
    std::optional<std::chrono::steady_clock::time_point> started_;
    std::optional<std::chrono::steady_clock::time_point> last_;
    bool drawn_ = false;
};

// Opens the agent log: --log FILE, else "<install dir>logs\http-fetch.log".
void OpenLog(const Options& options) {
    std::string directory;
    std::string name = "http-fetch.log";
    if (auto file = options.value("--log")) {
        const std::size_t slash = file->find_last_of("/\\");
        directory = slash == std::string::npos ? "." : file->substr(0, slash);
        name = slash == std::string::npos ? *file : file->substr(slash + 1);
    } else if (gv_agentInstallDir && !gv_agentInstallDir->empty()) {
        directory = *gv_agentInstallDir + "logs";
    } else {
        return;
    }
    WideString wideDirectory = Wide(directory + "\\");
    CreateFolder(wideDirectory.c_str());
    InitializeAgentLog(name.c_str(), directory.c_str(), 1);
    if (auto level = options.value("--log-level")) {
        if (auto number = ParseNumber(*level, 0, 4)) SetLogLevel(static_cast<BYTE>(*number));
    }
}

int Fail(const std::string& message) {
    std::cerr << "http-fetch: " << message << "\n" << "Try 'http-fetch --help'.\n";
    return 87;  // ERROR_INVALID_PARAMETER
}

// A request mode by name or code.
std::optional<DWORD> ParseMode(const std::string& text) {
    static const std::pair<const char*, DWORD> kModes[] = {
        {"GET_DATA", GET_DATA},           {"POST_DATA", POST_DATA},         {"DOWNLOAD_FILE", DOWNLOAD_FILE},
        {"POST_DATA_UNTIMED", POST_DATA_UNTIMED}, {"POST_MULTIPART", POST_MULTIPART}, {"POST_BY_BITRATE", POST_BY_BITRATE}};
    for (const auto& [name, code] : kModes)
        if (text == name) return code;
    if (auto number = ParseNumber(text, 0, 0xFFFFFFFF)) return static_cast<DWORD>(*number);
    return std::nullopt;
}

// What "agent PATH" sends, checked before anything goes on the wire.
struct AgentRequest {
    DWORD mode = GET_DATA;
    std::string localData;
    DWORD postLength = 0;
    DWORD style = 0;
};

std::optional<AgentRequest> ParseAgentRequest(const Options& options, std::string* error) {
    AgentRequest request;
    if (auto text = options.value("--mode")) {
        auto mode = ParseMode(*text);
        if (!mode) return *error = "--mode takes a request mode name or code", std::nullopt;
        request.mode = *mode;
    }
    if (auto text = options.value("--style")) {
        auto style = ParseNumber(*text, 0, 2);
        if (!style) return *error = "--style takes 0, 1 or 2", std::nullopt;
        request.style = static_cast<DWORD>(*style);
    }
    const auto file = options.value("--file");
    const auto data = options.value("--data");
    switch (request.mode) {
    case DOWNLOAD_FILE:
    case POST_BY_BITRATE:
        if (!file) return *error = "this mode needs --file", std::nullopt;
        request.localData = *file;
        request.postLength = request.mode == POST_BY_BITRATE ? 65536 : 0;
        break;
    case POST_DATA:
    case POST_DATA_UNTIMED:
    case POST_MULTIPART:
        if (!data) return *error = "this mode needs --data", std::nullopt;
        request.localData = *data;
        request.postLength = request.mode == POST_MULTIPART ? static_cast<DWORD>(data->size()) : 0;
        break;
    default:
        break;
    }
    if (auto text = options.value("--post-length")) {
        auto length = ParseNumber(*text, 0, 0xFFFFFFFF);
        if (!length) return *error = "--post-length takes a byte count", std::nullopt;
        if (request.mode == POST_MULTIPART && static_cast<std::size_t>(*length) > request.localData.size())
            return *error = "--post-length is larger than the data", std::nullopt;
        request.postLength = static_cast<DWORD>(*length);
    }
    return request;
}

int Run(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, &options, &error)) return Fail(error);
    if (options.has("--help")) {
        std::cout << kUsage;
        return 0;
    }
    if (options.has("--version")) {
        std::cout << "http-fetch " VANTORRA_VERSION "\n";
        return 0;
    }
    const std::string& command = options.command;
    const bool download = command == "get-ex" || command == "get-bitrate" || command == "resume-ex" ||
                          command == "resume-bitrate";
    const bool upload = command == "send-ex" || command == "send-file";
    const bool agent = command == "agent";
    if (!download && !upload && !agent) return Fail(command.empty() ? "no command given" : "unknown command " + command);
    const std::size_t wanted = command == "send-file" ? 2 : 1;
    if (options.positional.size() != wanted)
        return Fail(command + (wanted == 2 ? " takes a URL path and a file" : " takes one URL path"));

    // Only the body goes to stdout: whatever the agent code prints on its way goes to stderr.
    std::fflush(stdout);
    const int bodyFd = dup(STDOUT_FILENO);
    std::FILE* bodyOut = bodyFd >= 0 ? fdopen(bodyFd, "wb") : nullptr;
    if (bodyOut) dup2(STDERR_FILENO, STDOUT_FILENO);
    struct BodyOutCloser {
        std::FILE* file;
        ~BodyOutCloser() {
            if (file) std::fclose(file);
        }
    } bodyOutCloser{bodyOut};

    // The agent configuration first, then what the command line says instead.
    std::optional<std::string> installDir;
    if (ReadRegSZ(HKEY_LOCAL_MACHINE, gv_agentRootKey.c_str(), "ZQAgentInstallDir", &installDir) == ERROR_SUCCESS)
        gv_agentInstallDir = installDir;
    OpenLog(options);
#if VANTORRA_HTTP_HAS_RESOURCE_LOOKUP
    InstallResourceIdLookup();  // the start-up asks the server for a missing resource id
#endif
    InitializeAgentParameters();

    std::optional<AgentRequest> agentRequest;
    if (agent && !(agentRequest = ParseAgentRequest(options, &error))) return Fail(error);

    std::optional<std::string> server = options.value("--server");
    if (!server) server = gv_lastAccessName && !gv_lastAccessName->empty() ? gv_lastAccessName : gv_serverName;
    if (!agent && (!server || server->empty())) return Fail("no server: give --server or configure ZQServerName");
    long long port = gv_serverPort;
    if (auto text = options.value("--port")) {
        auto number = ParseNumber(*text, 1, 65535);
        if (!number) return Fail("--port takes a number from 1 to 65535");
        port = *number;
    }
    if (port < 1 || port > 65535) return Fail("no valid server port: give --port");
    const std::string protocol = options.value("--protocol").value_or(gv_serverProtocol.value_or("http"));

    bool useProxy = gv_proxyEnabled && (*gv_proxyEnabled == "YES" || *gv_proxyEnabled == "yes") && gv_proxyServerName;
    std::optional<WideString> proxyServer, proxyBypass, proxyUser, proxyPassword;
    if (gv_proxyServerName) proxyServer = Wide(*gv_proxyServerName);
    if (gv_proxyBypass) proxyBypass = Wide(*gv_proxyBypass);
    if (gv_proxyUserName) proxyUser = Wide(*gv_proxyUserName);
    if (gv_proxyPassword) proxyPassword = Wide(*gv_proxyPassword);
    if (auto text = options.value("--proxy")) useProxy = true, proxyServer = Wide(*text);
    if (auto text = options.value("--proxy-user")) proxyUser = Wide(*text);
    if (auto text = options.value("--proxy-password")) proxyPassword = Wide(*text);
    if (auto text = options.value("--bypass")) proxyBypass = Wide(*text);
    if (options.has("--no-proxy")) useProxy = false;

    struct NumberOption {
        const char* name;
        long long low, high;
        std::function<void(long long)> apply;
    };
    const NumberOption numbers[] = {
        {"--rate", 0, 4194303, [](long long v) { gv_dataTransferRateKBps = static_cast<DWORD>(v); }},
        {"--timeout", 0, 0x7FFFFFFF, [](long long v) { gv_httpRequestTimeout = static_cast<int>(v); }},
        {"--connect-timeout", 0, 0x7FFFFFFF, [](long long v) { gv_httpConnectionTimeout = static_cast<int>(v); }},
    };
    for (const auto& number : numbers) {
        if (auto text = options.value(number.name)) {
            auto value = ParseNumber(*text, number.low, number.high);
            if (!value) return Fail(std::string(number.name) + " takes a whole number");
            number.apply(*value);
        }
    }
    if (auto text = options.value("--if-modified-since")) {
        ifModifiedSinceEnabled = 1;
        lastModifiedTime = Wide(*text);
    }

    const std::optional<std::string> dest = options.value("--dest");
    DWORD mode = download ? (dest ? DOWNLOAD_FILE : GET_DATA)
                          : (command == "send-file" ? POST_BY_BITRATE
                                                    : (options.has("--multipart") ? POST_MULTIPART : POST_DATA));
    if (auto text = options.value("--mode"); text && !agent) {
        auto number = ParseNumber(*text, 0, 0xFFFFFFFF);
        if (!number) return Fail("--mode takes a request mode code");
        mode = static_cast<DWORD>(*number);
    }
    const bool keepAlive = !options.has("--close");

    ProgressBar bar;
    if (options.has("--progress") || isatty(STDERR_FILENO)) {
        SetTransferProgressObserver([&bar](ULONGLONG done, ULONGLONG total) { bar.update(done, total); });
    }

    const WideString serverWide = Wide(server.value_or(""));
    const WideString path = Wide(options.positional[0]);
    const auto portValue = static_cast<INTERNET_PORT>(port);
    DWORD result = 0;
    std::optional<std::string> body;
    if (agent) {
        const bool wantsReply = agentRequest->mode != DOWNLOAD_FILE;
        result = AgentSendRequest(options.positional[0].c_str(), agentRequest->localData.c_str(),
                                  wantsReply ? &body : nullptr, agentRequest->mode, !options.has("--no-keep-alive"),
                                  !options.has("--to-ds"), agentRequest->postLength, agentRequest->style);
    } else if (download) {
        const std::optional<WideString> destination = dest ? std::optional(Wide(*dest)) : std::nullopt;
        if (command == "resume-ex")
            result = ResumeGetRequestEx(useProxy, protocol.c_str(), serverWide.c_str(), portValue, OrNull(proxyServer),
                                        OrNull(proxyBypass), OrNull(proxyUser), OrNull(proxyPassword), path.c_str(),
                                        OrNull(destination), &body, mode, keepAlive);
        else if (command == "resume-bitrate")
            result = ResumeGetRequestByBitrate(useProxy, protocol.c_str(), serverWide.c_str(), portValue,
                                               OrNull(proxyServer), OrNull(proxyBypass), OrNull(proxyUser),
                                               OrNull(proxyPassword), path.c_str(), OrNull(destination), &body, mode,
                                               keepAlive);
        else if (command == "get-ex")
            result = InternetGetRequestEx(useProxy, protocol.c_str(), serverWide.c_str(), portValue, OrNull(proxyServer),
                                          OrNull(proxyBypass), OrNull(proxyUser), OrNull(proxyPassword), path.c_str(),
                                          OrNull(destination), &body, mode, keepAlive, options.has("--gzip"));
        else
            result = InternetGetRequestByBitrate(useProxy, protocol.c_str(), serverWide.c_str(), portValue,
                                                 OrNull(proxyServer), OrNull(proxyBypass), OrNull(proxyUser),
                                                 OrNull(proxyPassword), path.c_str(), OrNull(destination), &body, mode,
                                                 keepAlive);
    } else if (command == "send-ex") {
        std::string data;
        if (auto text = options.value("--data")) {
            data = *text;
        } else if (auto file = options.value("--data-file")) {
            std::FILE* in = std::fopen(file->c_str(), "rb");
            if (!in) return Fail("cannot read " + *file);
            char chunk[65536];
            std::size_t read;
            while ((read = std::fread(chunk, 1, sizeof chunk, in)) > 0) data.append(chunk, read);
            std::fclose(in);
        } else {
            return Fail("send-ex needs --data or --data-file");
        }
        const DWORD length = options.has("--multipart") ? static_cast<DWORD>(data.size()) : 0;
        result = InternetSendRequestEx(useProxy, protocol.c_str(), serverWide.c_str(), portValue, OrNull(proxyServer),
                                       OrNull(proxyBypass), OrNull(proxyUser), OrNull(proxyPassword), path.c_str(),
                                       data.c_str(), options.has("--reply") ? &body : nullptr, mode, keepAlive, length);
    } else {
        long long chunk = 65536;
        if (auto text = options.value("--chunk")) {
            auto number = ParseNumber(*text, 0, 0xFFFFFFFF);
            if (!number) return Fail("--chunk takes a byte count");
            chunk = *number;
        }
        result = InternetSendRequestByBitRate(useProxy, protocol.c_str(), serverWide.c_str(), portValue,
                                              OrNull(proxyServer), OrNull(proxyBypass), OrNull(proxyUser),
                                              OrNull(proxyPassword), path.c_str(), options.positional[1].c_str(),
                                              options.has("--reply") ? &body : nullptr, mode, keepAlive,
                                              static_cast<DWORD>(chunk));
    }
    SetTransferProgressObserver(nullptr);
    bar.finish();
    std::FILE* out = bodyOut ? bodyOut : stdout;
    std::FILE* outFile = nullptr;
    if (auto path = options.value("--out"); path && body) {
        outFile = std::fopen(path->c_str(), "wb");
        if (!outFile) {
            std::cerr << "http-fetch: cannot write " << *path << "\n";
            if (result == 0) result = ERROR_WRITE_FAULT;
        } else {
            out = outFile;
        }
    }
    if (body) std::fwrite(body->data(), 1, body->size(), out);
    if (std::fflush(out) != 0 && outFile && result == 0) result = ERROR_WRITE_FAULT;
    if (outFile && std::fclose(outFile) != 0 && result == 0) result = ERROR_WRITE_FAULT;
    if (result != 0) {
        std::cerr << "http-fetch: " << command << " ended with " << result;
        if (const char* text = HttpErrorText(result)) {
            std::string line = text;
            const std::string prefix = "HttpGetLastError: ";
            if (line.compare(0, prefix.size(), prefix) == 0) line.erase(0, prefix.size());
            while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
            std::cerr << " (" << line << ")";
        }
        std::cerr << "\n";
    }
    return static_cast<int>(result);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef SIGXFSZ
    // Past a file-size limit a write fails and the download ends cleanly instead of the
    // process being killed.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    const int result = Run(argc, argv);
    CloseLog();
    return host::ExitStatus(static_cast<DWORD>(result));
}
