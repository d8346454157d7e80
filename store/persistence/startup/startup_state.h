// Process-wide state of the store's persistence plumbing, shared by the start-up units.
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "store/persistence/startup/store_startup.h"

namespace startup_detail {

struct ConnectionPool {
    std::string name;
    std::vector<std::unique_ptr<DBConnection>> connections;
};

struct StartupState {
    std::mutex providersMutex;
    std::vector<const DBProvider*> registered;
    const DBProvider* slots[DB_PROVIDER_SLOTS] = {};

    std::mutex poolsMutex;  // the pool list and every connection's owner field
    std::vector<std::unique_ptr<ConnectionPool>> pools;

    std::mutex paramsMutex;
    std::vector<std::unique_ptr<ConnectionParams>> params;

    std::mutex mapMutex;
    std::vector<std::unique_ptr<DataSourceMapEntry>> map;

    std::atomic<bool> mapValid{false};
    std::atomic<int> dialectIndex{0};
};

StartupState& State();

// Opens a configuration file: the given relative path first, then "<root>/data/<name>";
// fromRoot tells which one opened.
std::FILE* OpenConfigFile(const char* relativePath, const char* name, bool* fromRoot = nullptr);
// "<root>/data/<name>", none while the root is unset.
std::optional<std::string> RootDataPath(const char* name);
// "..\data\<name>" beside the working directory, only while no root is set: a root names
// where the store's configuration is, and a file a user put beside the working
// directory must not stand in for it.
std::optional<std::string> UnrootedDataPath(const char* name);

// One line of a configuration file, read with the files' bound of 255 bytes (254 characters
// and the line end). A longer line is cut: its rest is consumed and logged, and cut is set.
struct BoundedLine {
    std::string text;  // without the line end
    bool cut = false;
    bool hadLineEnd = false;
};
inline constexpr std::size_t kConfigLineBound = 255;
// False at end of file. A secret line's cut rest is counted in the log, not shown.
bool ReadBoundedLine(std::FILE* file, BoundedLine* line, bool secret = false);

// Closes the connections of every pool and drops the pools.
void FreeAllPools();

}  // namespace startup_detail
