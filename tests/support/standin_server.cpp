// The stand-in server of standin_server.h, started through its own launcher script.
#include "tests/support/standin_server.h"

#include <csignal>
#include <sstream>
#include <stdexcept>

namespace testsupport {
namespace fs = std::filesystem;

StandinServer::StandinServer() : root_(dir_.path() / "root"), state_(dir_.path() / "state") {
    fs::create_directories(root_);
    fs::create_directories(state_);
    Start();
}

StandinServer::~StandinServer() { process_.Stop(SIGTERM); }

std::string StandinServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void StandinServer::Start() {
    const fs::path launcher = SourceDir() / "tools/standin-server/run";
    const fs::path address = state_ / "address";
    std::error_code ignored;
    fs::remove(address, ignored);
    std::vector<std::string> argv{launcher.string(), "--root", root_.string(), "--state", state_.string()};
    if (port_ != 0) argv.insert(argv.end(), {"--port", std::to_string(port_)});
    process_ = ChildProcess(argv, state_ / "launcher.out");
    const bool up = WaitUntil([&] { return fs::exists(address) || !process_.Running(); }, std::chrono::seconds(30));
    if (!up || !fs::exists(address)) {
        process_.Stop(SIGTERM);
        throw std::runtime_error("the stand-in server did not start: " + ReadFile(state_ / "launcher.out"));
    }
    const std::string text = ReadFile(address);
    port_ = std::stoi(text.substr(text.rfind(':') + 1));
}

void StandinServer::Stop() { process_.Stop(SIGTERM); }

fs::path StandinServer::AddFile(const std::string& relativePath, const std::string& content) {
    const fs::path path = root_ / relativePath;
    WriteFile(path, content);
    return path;
}

std::vector<AccessLogEntry> StandinServer::AccessLog() const { return ParseAccessLog(state_ / "access.log"); }

bool StandinServer::WaitForAccessLog(size_t count, std::chrono::milliseconds bound) const {
    return WaitUntil([&] { return AccessLog().size() >= count; }, bound);
}

std::vector<StandinPost> StandinServer::Posts() const {
    std::vector<StandinPost> posts;
    std::istringstream log(ReadFile(state_ / "posts.log"));
    for (std::string line; std::getline(log, line);) {
        std::vector<std::string> fields;
        std::istringstream columns(line);
        for (std::string field; std::getline(columns, field, '\t');) fields.push_back(field);
        if (fields.size() < 7) continue;
        StandinPost post;
        post.number = std::stoi(fields[0]);
        post.status = std::stoi(fields[1]);
        post.bytes = std::stoull(fields[2]);
        post.sha256 = fields[3];
        if (fields[4] != "-") post.declaredSize = std::stoull(fields[4]);
        post.target = fields[5];
        post.contentType = fields[6] == "-" ? "" : fields[6];
        posts.push_back(std::move(post));
    }
    return posts;
}

}  // namespace testsupport
