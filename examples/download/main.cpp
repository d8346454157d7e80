// Downloads a URL to a file through the agent's HTTP client, with a progress line.
//   download http://127.0.0.1:8080/files/patch.zip patch.zip
#include <cstdio>
#include <cstdlib>
#include <string>

#include "http/http.h"
#include "runtime/runtime.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: download http[s]://HOST[:PORT]/PATH FILE\n");
        return 2;
    }
    // The client takes the URL in parts: protocol, server, port and path.
    const std::string url = argv[1];
    const std::size_t schemeEnd = url.find("://");
    const std::string protocol = schemeEnd == std::string::npos ? "" : url.substr(0, schemeEnd);
    if (protocol != "http" && protocol != "https") {
        std::fprintf(stderr, "download: only http:// and https:// URLs\n");
        return 2;
    }
    const std::size_t hostStart = schemeEnd + 3;
    const std::size_t pathStart = url.find('/', hostStart);
    const std::string hostPort = url.substr(hostStart, pathStart - hostStart);
    const std::string path = pathStart == std::string::npos ? "/" : url.substr(pathStart);
    const std::size_t colon = hostPort.rfind(':');
    const std::string host = colon == std::string::npos ? hostPort : hostPort.substr(0, colon);
    const int port = colon == std::string::npos ? (protocol == "https" ? 443 : 80)
                                                : std::atoi(hostPort.c_str() + colon + 1);
    WideString wideHost, widePath, wideFile;
    if (host.empty() || port <= 0 || port > 65535 || !ChangeUtf8ToWideStr(host.c_str(), &wideHost) ||
        !ChangeUtf8ToWideStr(path.c_str(), &widePath) || !ChangeUtf8ToWideStr(argv[2], &wideFile)) {
        std::fprintf(stderr, "download: cannot read the URL %s\n", argv[1]);
        return 2;
    }

    // Called on the downloading thread after every chunk; total is 0 when unknown.
    SetTransferProgressObserver([](ULONGLONG done, ULONGLONG total) {
        const auto bytes = static_cast<unsigned long long>(done), size = static_cast<unsigned long long>(total);
        if (size > 0)
            std::fprintf(stderr, "\r%llu of %llu bytes (%llu%%)", bytes, size, bytes * 100 / size);
        else
            std::fprintf(stderr, "\r%llu bytes", bytes);
    });
    const DWORD result = InternetGetRequestEx(false, protocol.c_str(), wideHost.c_str(),
                                              static_cast<INTERNET_PORT>(port), nullptr, nullptr, nullptr,
                                              nullptr, widePath.c_str(), wideFile.c_str(), nullptr,
                                              DOWNLOAD_FILE, false, false);
    std::fprintf(stderr, "\n");
    if (result != 0) {
        // An HTTP status, or a WinHTTP or system error code.
        const char* text = HttpErrorText(result);
        std::fprintf(stderr, "download: failed with %u (%s)\n", static_cast<unsigned>(result),
                     text ? text : GetErrorMessageStr(result).c_str());
        return 1;
    }
    std::printf("%s saved as %s\n", url.c_str(), argv[2]);
    return 0;
}
