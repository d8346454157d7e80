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

}  // namespace testsupport
