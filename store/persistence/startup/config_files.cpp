// The store's configuration files: connection parameters and the data-source map, with
// their lookups; the data directory and the bounded line reader the other lists share.
#include <fmt/printf.h>

#include <cctype>
#include <cstring>

#include "platform/win/host.h"
#include "runtime/log.h"
#include "store/foundation/text_utils.h"
#include "store/persistence/startup/startup_state.h"

using namespace startup_detail;

namespace {

constexpr std::size_t kTokenBound = 255;

// Whitespace-separated tokens of a file, as "%s" and "%d" read them, with line ends
// visible to the caller that then reads the rest of the line.
class TokenReader {
public:
    explicit TokenReader(std::FILE* file) : file_(file) {}

    // False at end of file. A token longer than the bound sets *unusable, and so does a
    // NUL byte: every name ends there when it is looked up or handed to a driver, so the
    // token would stand for another one.
    bool Next(std::string* token, bool* unusable) {
        int c;
        do c = std::fgetc(file_);
        while (c != EOF && std::isspace(c));
        if (c == EOF) return false;
        token->clear();
        *unusable = false;
        while (c != EOF && !std::isspace(c)) {
            if (token->size() < kTokenBound && c != '\0')
                token->push_back(static_cast<char>(c));
            else
                *unusable = true;
            c = std::fgetc(file_);
        }
        if (c != EOF) std::ungetc(c, file_);
        return true;
    }

    std::FILE* file() { return file_; }

private:
    std::FILE* file_;
};

std::optional<int> ParseDecimal(const std::string& token) {
    if (!IsIntegerString(token.c_str())) return std::nullopt;
    try {
        return std::stoi(token);
    } catch (...) {
        return std::nullopt;
    }
}

bool EqualsNoCase(const std::string& a, const char* b) {
    return CompareNoCase(a.c_str(), b) == 0;
}

}  // namespace

StartupState& startup_detail::State() {
    static StartupState state;
    return state;
}

std::optional<std::string> startup_detail::RootDataPath(const char* name) {
    if (!gv_quennetRoot) return std::nullopt;
    return fmt::sprintf("%s/data/%s", *gv_quennetRoot, name);
}

std::FILE* startup_detail::OpenConfigFile(const char* relativePath, const char* name,
                                          bool* fromRoot) {
    if (fromRoot) *fromRoot = false;
    if (relativePath)
        if (std::FILE* file = host::MappedFopen(relativePath, "r")) return file;
    const std::optional<std::string> path = RootDataPath(name);
    if (!path) return nullptr;
    LogDebug("Opening %s\n", *path);
    std::FILE* file = host::MappedFopen(path->c_str(), "r");
    if (file && fromRoot) *fromRoot = true;
    return file;
}

std::optional<std::string> startup_detail::UnrootedDataPath(const char* name) {
    if (gv_quennetRoot) return std::nullopt;
    return std::string("..\\data\\") + name;
}

bool startup_detail::ReadBoundedLine(std::FILE* file, BoundedLine* line, bool secret) {
    line->text.clear();
    line->cut = false;
    line->hadLineEnd = false;
    int c = std::fgetc(file);
    if (c == EOF) return false;
    std::string rest;
    for (; c != EOF; c = std::fgetc(file)) {
        if (c == '\n') {
            line->hadLineEnd = true;
            break;
        }
        if (line->text.size() + 1 < kConfigLineBound)
            line->text.push_back(static_cast<char>(c));
        else {
            line->cut = true;
            rest.push_back(static_cast<char>(c));
        }
    }
    if (!line->text.empty() && line->text.back() == '\r') line->text.pop_back();
    if (line->cut) {
        if (!rest.empty() && rest.back() == '\r') rest.pop_back();
        if (secret)
            LogError("Line longer than %d bytes cut, %d bytes ignored\n",
                     static_cast<int>(kConfigLineBound - 1), static_cast<int>(rest.size()));
        else
            LogError("Line longer than %d bytes cut, rest ignored : %s\n",
                     static_cast<int>(kConfigLineBound - 1), rest);
    }
    return true;
}

void SetQuennetRoot(const char* path) {
    if (!path) {
        LogDebug("Default Path Used");
        return;
    }
    gv_quennetRoot = path;
}

// ---- connection parameters ------------------------------------------------------------

bool LoadConnParamsEntryFromFile(const char* path) {
    std::FILE* file = OpenConfigFile(path, "connparams.txt");
    if (!file) {
        LogError("Cannot open Connection Parameters File.\n");
        return false;
    }
    TokenReader reader(file);
    StartupState& state = State();
    // Records are named by their number in the log: a token of a malformed record may
    // be a password.
    for (int record = 1;; ++record) {
        std::string tokens[10];
        bool unusable = false;
        bool complete = true;
        for (int i = 0; i < 10; ++i) {
            bool tokenUnusable = false;
            if (!reader.Next(&tokens[i], &tokenUnusable)) {
                complete = false;
                break;
            }
            unusable = unusable || tokenUnusable;
        }
        if (!complete) break;
        const std::optional<int> port = ParseDecimal(tokens[1]);
        const std::optional<int> spare = ParseDecimal(tokens[5]);
        if (!port || !spare) {
            LogError("Connection parameters : not a number in record %d, reading stopped\n", record);
            break;
        }
        BoundedLine rest;
        ReadBoundedLine(file, &rest, true);
        auto params = std::make_unique<ConnectionParams>();
        params->name1 = tokens[0];
        params->port = static_cast<std::uint16_t>(*port);
        params->dsn = tokens[2];
        params->user = tokens[3];
        if (tokens[4] != "NULL") params->password = tokens[4];
        params->reserved = 0;
        params->connName = tokens[6];
        params->providerName = tokens[7];
        params->dbType = tokens[8];
        params->direct = EqualsNoCase(tokens[9], "YES") ? 1 : 0;
        if (params->direct)
            params->connString = rest.text.empty() ? std::string() : rest.text.substr(1);
        // A cut token or connection string would connect somewhere else: the record fails.
        const bool restUnusable = rest.cut || rest.text.find('\0') != std::string::npos;
        if (unusable || (params->direct && restUnusable)) {
            LogError("Connection parameters of record %d longer than the bound or holding a NUL byte, "
                     "record skipped\n",
                     record);
            continue;
        }
        std::lock_guard<std::mutex> hold(state.paramsMutex);
        state.params.push_back(std::move(params));
    }
    std::fclose(file);
    return true;
}

std::vector<const ConnectionParams*> GetAllConnectionParams() {
    StartupState& state = State();
    std::lock_guard<std::mutex> hold(state.paramsMutex);
    std::vector<const ConnectionParams*> all;
    for (const auto& params : state.params) all.push_back(params.get());
    return all;
}

const ConnectionParams* GetConnectionParams(const char* connName) {
    if (!connName) return nullptr;
    StartupState& state = State();
    std::lock_guard<std::mutex> hold(state.paramsMutex);
    for (const auto& params : state.params)
        if (params->connName == connName) return params.get();
    return nullptr;
}

const char* GetFirstConnectionName() {
    StartupState& state = State();
    std::lock_guard<std::mutex> hold(state.paramsMutex);
    if (state.params.empty() || state.params.front()->connName.empty()) {
        LogError("Connection Name IS NULL\n");
        return nullptr;
    }
    return state.params.front()->connName.c_str();
}

const char* GetConnectionProviderName(const char* connName) {
    const ConnectionParams* params = GetConnectionParams(connName);
    if (!params) {
        LogError("dbConnPtr is NULL for Connection Name %s \n", connName);
        return nullptr;
    }
    return params->providerName.c_str();
}

const char* GetConnectionDatabaseType(const char* connName) {
    const ConnectionParams* params = GetConnectionParams(connName);
    if (!params) {
        LogError("dbConnPtr is NULL for Connection Name %s \n", connName);
        return nullptr;
    }
    return params->dbType.c_str();
}

void FreeAllConnectionParams() {
    StartupState& state = State();
    std::lock_guard<std::mutex> hold(state.paramsMutex);
    state.params.clear();
}

// ---- data-source map ------------------------------------------------------------------

std::unique_ptr<DataSourceMapEntry> CreateDataSourceMapEntry(const char* tableName,
                                                             const char* connName) {
    LogTrace("@@@ Inside CreateDataSourceMapEntry @@@\n");
    if (!tableName || !connName) return nullptr;
    auto entry = std::make_unique<DataSourceMapEntry>();
    entry->tableName = tableName;
    entry->connName = connName;
    return entry;
}

bool AddDataSourceMapEntry(std::unique_ptr<DataSourceMapEntry> entry) {
    LogTrace("@@@ Inside AddDataSourceMapEntry @@@\n");
    if (!entry) return false;
    StartupState& state = State();
    std::lock_guard<std::mutex> hold(state.mapMutex);
    state.map.push_back(std::move(entry));
    return true;
}

bool DeleteDataSourceMapEntry(const char* tableName) {
    LogTrace("@@@ Inside DeleteDataSourceMapEntry @@@\n");
    if (!tableName) return false;
    StartupState& state = State();
    std::lock_guard<std::mutex> hold(state.mapMutex);
    for (auto it = state.map.begin(); it != state.map.end(); ++it)
        if (CompareNoCase((*it)->tableName.c_str(), tableName) == 0) {
            state.map.erase(it);
            return true;
        }
    return false;
}

const DataSourceMapEntry* GetDataSourceMapEntry(const char* tableName) {
    LogTrace("@@@ Inside GetDataSourceMapEntry @@@\n");
    if (!tableName) return nullptr;
    StartupState& state = State();
    std::lock_guard<std::mutex> hold(state.mapMutex);
    for (const auto& entry : state.map)
        if (CompareNoCase(entry->tableName.c_str(), tableName) == 0) return entry.get();
    return nullptr;
}

void FreeAllDataSourceMapEntries() {
    LogTrace("@@@ Inside FreeAllDataSourceMapEntries @@@\n");
    StartupState& state = State();
    std::lock_guard<std::mutex> hold(state.mapMutex);
    state.map.clear();
}

bool LoadDataSourceMapEntryFromFile(const char* path) {
    LogTrace("@@@ Inside LoadDataSourceMapEntryFromFile @@@\n");
    std::FILE* file = OpenConfigFile(path, "dsn_table_map.txt");
    if (!file) {
        LogError("Cannot open DataSourceMap Entry File.\n");
        return false;
    }
    TokenReader reader(file);
    std::string table, connection;
    bool cut = false, cutToo = false;
    while (reader.Next(&table, &cut) && reader.Next(&connection, &cutToo)) {
        if (cut || cutToo) {
            LogError("DataSourceMap entry for %s longer than the bound or holding a NUL byte, skipped\n",
                     table.c_str());
            continue;
        }
        AddDataSourceMapEntry(CreateDataSourceMapEntry(table.c_str(), connection.c_str()));
    }
    std::fclose(file);
    return true;
}

std::optional<std::string> GetTableConnectionName(const char* tableName) {
    if (IsDSNMapValid()) {
        // A copy taken under the map's lock: another thread may change the map afterwards.
        LogTrace("@@@ Inside GetDataSourceMapEntry @@@\n");
        StartupState& state = State();
        std::lock_guard<std::mutex> hold(state.mapMutex);
        for (const auto& entry : state.map)
            if (tableName && CompareNoCase(entry->tableName.c_str(), tableName) == 0) return entry->connName;
        LogError("No DataSourceMap Entry for Table name %s \n", tableName);
        return std::nullopt;
    }
    StartupState& state = State();
    std::lock_guard<std::mutex> hold(state.poolsMutex);
    if (state.pools.empty()) return std::nullopt;
    return state.pools.front()->name;
}

DBConnection* GetTableConnection(const char* tableName) {
    const std::optional<std::string> name = GetTableConnectionName(tableName);
    return name ? GetConnection(name->c_str()) : nullptr;
}

bool ReleaseTableConnection(const char* tableName) {
    const std::optional<std::string> name = GetTableConnectionName(tableName);
    return name ? ReleaseConnection(name->c_str()) : false;
}

const SqlDialect* GetTableDialect(const char* tableName) {
    if (!IsDSNMapValid())
        return GetSqlDialectByIndex(static_cast<BYTE>(State().dialectIndex.load()));
    const std::optional<std::string> connName = GetTableConnectionName(tableName);
    if (!connName) return nullptr;
    const char* type = GetConnectionDatabaseType(connName->c_str());
    return type ? GetSqlDialect(type) : nullptr;
}

void SetDSNMapValid(int status, int index) {
    StartupState& state = State();
    if (status == 1) {
        state.mapValid = true;
    } else if (status == 0) {
        state.mapValid = false;
        if (!GetSqlDialectByIndex(static_cast<BYTE>(index))) return;
        state.dialectIndex = index;
        LoadDBProvider(GetSqlDialectByIndex(static_cast<BYTE>(index))->name);
    } else {
        LogError("\nInvalid Status\n");
    }
}

bool IsDSNMapValid() {
    return State().mapValid.load();
}
