// The stand-in Vantorra server (tools/standin-server/run) for tests: the same server the
// HTTP demo shows, nginx over a folder plus the post endpoint, on a free loopback port
// in a temporary folder of its own. It can be stopped (cutting live transfers) and
// started again on the same port with its logs kept.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/http_fixtures.h"

namespace testsupport {

// One post as the server's endpoint received it.
struct StandinPost {
    int number = 0;
    int status = 0;  // what the endpoint answered
    std::uint64_t bytes = 0;
    std::string sha256;
    std::optional<std::uint64_t> declaredSize;  // the "filesize" of a file upload
    std::string target;
    std::string contentType;
};

class StandinServer {
public:
    StandinServer();
    ~StandinServer();
    StandinServer(const StandinServer&) = delete;
    StandinServer& operator=(const StandinServer&) = delete;

    int port() const { return port_; }
    std::string host() const { return "127.0.0.1"; }
    std::string url(const std::string& path) const;
    const std::filesystem::path& root() const { return root_; }
    const std::filesystem::path& state() const { return state_; }

    // Writes a file under root() readable by nginx's workers; returns its host path.
    std::filesystem::path AddFile(const std::string& relativePath, const std::string& content);
    std::vector<AccessLogEntry> AccessLog() const;
    bool WaitForAccessLog(size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10)) const;
    std::vector<StandinPost> Posts() const;

    // Stops the server at once (live transfers are cut), and starts it on the same port.
    void Stop();
    void Start();

private:
#ifdef _WIN32
    RemoteServer remote_;
#else
    TempDir dir_;
#endif
    std::filesystem::path root_;
    std::filesystem::path state_;
    int port_ = 0;
#ifndef _WIN32
    ChildProcess process_;
#endif
};

}  // namespace testsupport
