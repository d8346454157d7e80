// Helpers shared by the test suites: a private machine root per test, file helpers,
// bounded waiting and locating the project's programs.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace testsupport {

// A fresh temporary folder that is removed again at the end of the scope.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vantorra-test-XXXXXX");
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

// Points VANTORRA_MACHINE_ROOT at a fresh folder for the life of the object and puts
// the previous value back afterwards.
class MachineRoot {
public:
    MachineRoot() {
        if (const char* old = std::getenv("VANTORRA_MACHINE_ROOT")) previous_ = old, hadPrevious_ = true;
        setenv("VANTORRA_MACHINE_ROOT", dir_.str().c_str(), 1);
    }
    ~MachineRoot() {
        if (hadPrevious_) setenv("VANTORRA_MACHINE_ROOT", previous_.c_str(), 1);
        else unsetenv("VANTORRA_MACHINE_ROOT");
    }

    const std::filesystem::path& path() const { return dir_.path(); }
    // Host path of a drive path such as "C:\\Program Files" ('/' or '\\' separators).
    std::filesystem::path drivePath(char drive, const std::string& rest = "") const {
        std::string mapped = rest;
        for (char& c : mapped) if (c == '\\') c = '/';
        while (!mapped.empty() && mapped.front() == '/') mapped.erase(0, 1);
        std::string folder = "drive_";
        folder += static_cast<char>(std::tolower(static_cast<unsigned char>(drive)));
        return dir_.path() / folder / mapped;
    }

private:
    TempDir dir_;
    std::string previous_;
    bool hadPrevious_ = false;
};

inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Polls the condition until it holds or the bound passes; returns its last answer.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Folder of the project's built programs (build/bin for the debug preset).
inline std::filesystem::path BinDir() {
    if (const char* dir = std::getenv("VANTORRA_BIN_DIR")) return dir;
#ifdef VANTORRA_BIN_DIR
    return VANTORRA_BIN_DIR;
#else
    return "build/bin";
#endif
}

inline std::filesystem::path SourceDir() {
    if (const char* dir = std::getenv("VANTORRA_SOURCE_DIR")) return dir;
#ifdef VANTORRA_SOURCE_DIR
    return VANTORRA_SOURCE_DIR;
#else
    return ".";
#endif
}

}  // namespace testsupport
