// Start and stop of the whole store, and the identifier batches of the sequences kept
// in the database through the store's own connections.
#include <cstring>
#include <map>

#include "runtime/log.h"
#include "store/dictionary/dictionary.h"
#include "store/foundation/mem_pool.h"
#include "store/foundation/text_utils.h"
#include "store/notify/notify.h"
#include "store/persistence/startup/odbc_sequence_source.h"
#include "store/persistence/startup/startup_state.h"

using namespace startup_detail;

namespace {

struct LifecycleState {
    std::mutex mutex;
    bool ownsLog = false;
    bool ownsMemPool = false;
    std::shared_ptr<ODBCSequenceSource> sequenceSource;
};

LifecycleState& Lifecycle() {
    static LifecycleState state;
    return state;
}

int DialectIndexOfType(const std::string& type) {
    for (int index = DIALECT_MYSQL; index <= DIALECT_SQLITE; ++index)
        if (CompareNoCase(type.c_str(), GetSqlDialectByIndex(static_cast<BYTE>(index))->name) == 0)
            return index;
    return -1;
}

bool Fail(const char* message) {
    if (message) LogError(message);
    DeInitQuennet();
    return false;
}

}  // namespace

bool InitQuennet(const char* root) {
    LogTrace("@@ Inside InitQuennet @@\n");
    SetQuennetRoot(root);
    LifecycleState& life = Lifecycle();
    bool poolReady = true;
    {
        std::lock_guard<std::mutex> hold(life.mutex);
        // A log the caller opened stays the caller's.
        if (!gv_logFilePtr) {
            if (!SetLogDefaults() || !OpenLogAppend()) return false;
            life.ownsLog = true;
        }
        poolReady = InitializeMemPool() != 0;
        if (poolReady) life.ownsMemPool = true;
    }
    // The clean-up takes the lifecycle lock itself: it runs after the lock is released.
    if (!poolReady) return Fail("InitializeMemPool failed.\n");
    if (!InitDBProvider()) LogError("InitDBProvider failed. Already initialized.\n");
    State().mapValid = false;
    State().dialectIndex = DIALECT_MYSQL;
    // The store starts from the dictionary of its own root, not from definitions an
    // earlier caller left behind.
    RemoveAllTableDefns();
    InitSequenceState();
    if (!LoadAllDataDictFiles()) return Fail("LoadAllDataDictFiles failed.\n");
    // "..\data\" beside the working directory only serves a store started without a root:
    // a root names where its configuration is, and nothing else may stand in for it.
    const bool rooted = gv_quennetRoot.has_value();
    if (!LoadDataSourceMapEntryFromFile(rooted ? nullptr : "..\\data\\dsn_table_map.txt"))
        return Fail("LoadDataSourceMapEntryFromFile failed.\n");
    if (!LoadConnParamsEntryFromFile(rooted ? nullptr : "..\\data\\connparams.txt"))
        return Fail("LoadConnParamsEntryFromFile failed.\n");
    const std::vector<const ConnectionParams*> records = GetAllConnectionParams();
    if (records.empty()) return Fail("No entires in data source vector. InitQuennet failed.\n");
    const int firstIndex = DialectIndexOfType(records.front()->dbType);
    if (firstIndex >= 0 && !records.front()->direct) {
        SetDSNMapValid(1, firstIndex);
    } else if (firstIndex >= 0) {
        // A direct record keeps the first pool for every table but speaks its own SQL.
        State().dialectIndex = firstIndex;
    }
    if (!EstablishDBConnections()) return Fail("EstablishDBConnections failed.\n");
    {
        auto source = std::make_shared<ODBCSequenceSource>();
        std::lock_guard<std::mutex> hold(life.mutex);
        life.sequenceSource = source;
        SetSequenceDataSource(source);
    }
    const bool freshDatabase = CreateAllTables();
    if (!SequenceGenerator()) return Fail("SequenceGenerator failed.\n");
    if (!LoadAllTables())
        LogError(
            "Error in loading tables from loadtablelist.txt.  Please check if there are any "
            "entries in your "
            "loadtablelist.txt or load the required tables manually.\n");
    if (freshDatabase && !SaveDefaultData()) return Fail("Cannot save default data.\n");
    LogDebug(
        "\nWelcome to Quennet.  You have successfully initialised the appropriate parameters, "
        "loaded the "
        "mentioned files/tables and established connection with the DB.\n");
    return true;
}

void DeInitQuennet() {
    LogTrace("Inside DeInitQuennet.\n");
    LifecycleState& life = Lifecycle();
    UnLoadAllTable();
    ReleaseSequenceState();
    std::shared_ptr<ODBCSequenceSource> source;
    {
        std::lock_guard<std::mutex> hold(life.mutex);
        source = std::move(life.sequenceSource);
    }
    if (source) {
        // Only our own source is removed; one a caller installed since stays.
        if (GetSequenceDataSource() == source) SetSequenceDataSource(nullptr);
        source->Close();
    }
    FreeAllPools();
    FreeAllConnectionParams();
    FreeAllDataSourceMapEntries();
    RemoveAllTableDefns();
    {
        StartupState& state = State();
        std::lock_guard<std::mutex> hold(state.providersMutex);
        for (auto& slot : state.slots) slot = nullptr;
    }
    State().mapValid = false;
    State().dialectIndex = DIALECT_MYSQL;
    std::lock_guard<std::mutex> hold(life.mutex);
    if (life.ownsMemPool) {
        TerminateMemPool();
        life.ownsMemPool = false;
    }
    if (life.ownsLog) {
        CloseLog();
        ReleaseLogSettings();
        life.ownsLog = false;
    }
}
