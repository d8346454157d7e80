// Database providers, connection pools and the statements that pass through them.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "runtime/log.h"
#include "store/foundation/text_utils.h"
#include "store/persistence/provider/odbc_provider.h"
#include "store/persistence/startup/startup_state.h"

using namespace startup_detail;

namespace {

// Thread keys start above the shared key 1, so no thread is mistaken for a shared owner.
std::int64_t ThreadKey() {
    static std::atomic<std::int64_t> nextKey{CONNECTION_OWNER_SHARED + 1};
    thread_local const std::int64_t key = nextKey.fetch_add(1);
    return key;
}

const DBProvider* RegisteredProvider(StartupState& state, const char* name) {
    for (const DBProvider* provider : state.registered)
        if (std::strcmp(provider->name, name) == 0) return provider;
    return nullptr;
}

// The ODBC descriptor is always known; callers hold providersMutex.
void RegisterODBC(StartupState& state) {
    if (!RegisteredProvider(state, GetODBCProvider()->name))
        state.registered.push_back(GetODBCProvider());
}

const DBProvider* SlotProvider(int slot) {
    StartupState& state = State();
    std::lock_guard<std::mutex> hold(state.providersMutex);
    if (slot < 0 || slot >= DB_PROVIDER_SLOTS) return nullptr;
    return state.slots[slot];
}

const DBProvider* ConnectionProvider(const DBConnection* connection) {
    return connection ? SlotProvider(connection->providerSlot) : nullptr;
}

// The pool of that name (exact), or with no name the only pool; callers hold poolsMutex.
ConnectionPool* FindPool(StartupState& state, const char* name, bool firstWhenUnnamed) {
    if (state.pools.empty()) return nullptr;
    if (!name) {
        if (firstWhenUnnamed || state.pools.size() == 1) return state.pools.front().get();
        return nullptr;
    }
    for (auto& pool : state.pools)
        if (pool->name == name) return pool.get();
    return nullptr;
}

std::int64_t OwnerKey(const ConnectionPool& pool) {
    return pool.connections.size() == 1 ? CONNECTION_OWNER_SHARED : ThreadKey();
}

// Reopens a connection in place: the record keeps its address and owner, the old
// provider connection is closed. Callers hold the connection's lock.
bool ReopenConnectionLocked(DBConnection* connection) {
    const ConnectionParams* params = GetConnectionParams(connection->connName.c_str());
    if (!params) {
        LogError("Cannot return connection handle. Error in fetching connection parameters.\n");
        return false;
    }
    std::unique_ptr<DBConnection> fresh = OpenDBConnection(params);
    if (!fresh) {
        LogError(
            "Cannot return connection handle. Error in opening connection while re-establishing "
            "connection "
            "hanlde.\n");
        return false;
    }
    ProviderConnectionPtr old = std::move(connection->handle);
    const DBProvider* oldProvider = ConnectionProvider(connection);
    connection->handle = std::move(fresh->handle);
    connection->providerSlot = fresh->providerSlot;
    connection->openedAt = fresh->openedAt;
    if (old && oldProvider && oldProvider->close) oldProvider->close(std::move(old));
    connection->inTransaction = 0;
    LogDebug(" %s : Connection Established\n", connection->connName);
    return true;
}

// Reopens an aged connection, or one left without provider connection by a failed
// reopen. Never while a transaction is open.
bool RefreshConnection(DBConnection* connection) {
    std::lock_guard<std::recursive_mutex> hold(connection->lock);
    if (std::time(nullptr) - connection->openedAt <= CONNECTION_MAX_AGE_SECONDS && connection->handle)
        return true;  // done meanwhile
    if (connection->inTransaction) return true;
    return ReopenConnectionLocked(connection);
}

void CloseConnection(std::unique_ptr<DBConnection> connection) {
    if (!connection) return;
    std::lock_guard<std::recursive_mutex> hold(connection->lock);
    const DBProvider* provider = ConnectionProvider(connection.get());
    if (connection->handle && provider && provider->close)
        provider->close(std::move(connection->handle));
}

// Chunks of at most 1024 bytes of a caller's buffer.
struct BufferProducer {
    const char* data;
    std::int64_t left;
};

int ProduceChunk(const void** chunk, std::int64_t* length, void* context) {
    auto* producer = static_cast<BufferProducer*>(context);
    if (producer->left <= 0) {
        *chunk = nullptr;
        *length = 0;
        return BLOB_PRODUCER_END;
    }
    const std::int64_t size = std::min<std::int64_t>(producer->left, 1024);
    *chunk = producer->data;
    *length = size;
    producer->data += size;
    producer->left -= size;
    return 1;
}

bool OpenPools(int connectionsPerPool, bool numbered) {
    StartupState& state = State();
    const std::vector<const ConnectionParams*> records = GetAllConnectionParams();
    if (numbered && records.empty()) {
        LogError("There is no entry in data source vector\n");
        return false;
    }
    for (const ConnectionParams* params : records) {
        auto pool = std::make_unique<ConnectionPool>();
        pool->name = params->connName;
        for (int i = 0; i < connectionsPerPool; ++i) {
            std::unique_ptr<DBConnection> connection = OpenDBConnection(params);
            if (!connection) {
                LogError("Cannot establish connection.\n");
                for (auto& opened : pool->connections) CloseConnection(std::move(opened));
                return false;
            }
            if (numbered)
                LogDebug(" %d : %s : Connection Established\n", i + 1, params->connName);
            else
                LogDebug(" %s : Connection Established\n", params->connName);
            pool->connections.push_back(std::move(connection));
        }
        std::lock_guard<std::mutex> hold(state.poolsMutex);
        state.pools.push_back(std::move(pool));
    }
    return true;
}

}  // namespace

void RegisterDBProvider(const DBProvider* provider) {
    if (!provider || !provider->name) return;
    StartupState& state = State();
    std::lock_guard<std::mutex> hold(state.providersMutex);
    for (auto& known : state.registered)
        if (std::strcmp(known->name, provider->name) == 0) {
            known = provider;
            return;
        }
    state.registered.push_back(provider);
}

void UnregisterDBProvider(const char* name) {
    if (!name) return;
    StartupState& state = State();
    std::lock_guard<std::mutex> hold(state.providersMutex);
    std::erase_if(state.registered,
                  [name](const DBProvider* p) { return std::strcmp(p->name, name) == 0; });
}

bool InitDBProvider() {
    StartupState& state = State();
    {
        std::lock_guard<std::mutex> hold(state.providersMutex);
        if (state.slots[0]) {
            LogError("InitDBProvider Failed as already initialized\n");
            return false;
        }
        for (auto& slot : state.slots) slot = nullptr;
        RegisterODBC(state);
    }
    LoadDBProvider("ODBC");
    LoadDBProvider("SQLITE");
    FreeAllPools();
    FreeAllConnectionParams();
    return true;
}

bool LoadDBProvider(const char* name) {
    if (!name) return false;
    StartupState& state = State();
    std::lock_guard<std::mutex> hold(state.providersMutex);
    RegisterODBC(state);
    const DBProvider* provider = RegisteredProvider(state, name);
    if (!provider) return false;
    for (auto& slot : state.slots)
        if (!slot) {
            slot = provider;
            return true;
        }
    return false;
}

bool UnloadDBProvider(const char* name) {
    if (!name) return false;
    StartupState& state = State();
    std::lock_guard<std::mutex> hold(state.providersMutex);
    for (auto& slot : state.slots)
        if (slot && std::strcmp(slot->name, name) == 0) {
            slot = nullptr;
            return true;
        }
    return false;
}

std::unique_ptr<DBConnection> OpenDBConnection(const ConnectionParams* params) {
    LogTrace("## Inside OpenDBConnection ##\n");
    if (!params) return nullptr;
    int slot = -1;
    const DBProvider* provider = nullptr;
    {
        StartupState& state = State();
        std::lock_guard<std::mutex> hold(state.providersMutex);
        for (int i = 0; i < DB_PROVIDER_SLOTS; ++i)
            if (state.slots[i] && params->providerName == state.slots[i]->name) {
                slot = i;
                provider = state.slots[i];
                break;
            }
    }
    if (!provider || !provider->open) return nullptr;
    ProviderConnectionPtr handle = provider->open(params);
    if (!handle) return nullptr;
    auto connection = std::make_unique<DBConnection>();
    connection->handle = std::move(handle);
    connection->connName = params->connName;
    connection->providerSlot = slot;
    connection->owner = CONNECTION_OWNER_FREE;
    connection->inTransaction = 0;
    connection->openedAt = std::time(nullptr);
    return connection;
}

bool EstablishDBConnections() {
    return OpenPools(1, false);
}

bool EstablishDBConnectionPool(int connectionsPerPool) {
    return OpenPools(connectionsPerPool == 0 ? 5 : std::max(connectionsPerPool, 1), true);
}

DBConnection* GetConnection(const char* name) {
    StartupState& state = State();
    DBConnection* chosen = nullptr;
    bool newlyOwned = false;
    {
        std::lock_guard<std::mutex> hold(state.poolsMutex);
        ConnectionPool* pool = FindPool(state, name, false);
        if (!pool) return nullptr;
        const std::int64_t key = OwnerKey(*pool);
        for (auto& connection : pool->connections)
            if (connection->owner == key) {
                chosen = connection.get();
                break;
            }
        if (!chosen)
            for (auto& connection : pool->connections)
                if (connection->owner == CONNECTION_OWNER_FREE) {
                    chosen = connection.get();
                    chosen->owner = key;
                    newlyOwned = true;
                    break;
                }
    }
    if (!chosen) return nullptr;
    const std::time_t now = std::time(nullptr);
    if (now - chosen->openedAt <= CONNECTION_MAX_AGE_SECONDS) return chosen;
    if (RefreshConnection(chosen)) return chosen;
    if (newlyOwned) {
        std::lock_guard<std::mutex> hold(state.poolsMutex);
        chosen->owner = CONNECTION_OWNER_FREE;
    }
    return nullptr;
}

bool ReleaseConnection(const char* name) {
    StartupState& state = State();
    std::lock_guard<std::mutex> hold(state.poolsMutex);
    ConnectionPool* pool = FindPool(state, name, true);
    if (!pool) return false;
    const std::int64_t key = OwnerKey(*pool);
    for (auto& connection : pool->connections)
        if (connection->owner == key) {
            connection->owner = CONNECTION_OWNER_FREE;
            return true;
        }
    return false;
}

void startup_detail::FreeAllPools() {
    StartupState& state = State();
    std::vector<std::unique_ptr<ConnectionPool>> pools;
    {
        std::lock_guard<std::mutex> hold(state.poolsMutex);
        pools.swap(state.pools);
    }
    for (auto& pool : pools)
        for (auto& connection : pool->connections) CloseConnection(std::move(connection));
}

namespace {

// After a failed statement: a connection whose server went away is taken as aged, so the
// next GetConnection opens a new one (not while a transaction is open: ending it reopens).
void NoteIfLost(DBConnection* connection, const DBProvider* provider) {
    if (!provider->isLost || !provider->isLost(connection->handle.get())) return;
    LogError("Connection %s to the database is lost; it is opened again before its next use\n", connection->connName);
    connection->openedAt = 0;
}

// Runs a statement through the connection's provider entry (a member of DBProvider) under
// the connection's lock. A null connection or statement is logged in the caller's words;
// a missing provider, entry or handle gives the empty result as well.
template <auto Entry, typename... Args>
auto RunOnProvider(DBConnection* connection, const char* statement, const char* operation,
                   const char* noStatementText, Args... args) {
    using Result = decltype((std::declval<const DBProvider&>().*Entry)(nullptr, statement, args...));
    if (!connection) {
        LogError("ConnectionHandle NULL in %s for Query %s \n", operation, statement);
        return Result{};
    }
    if (!statement) {
        LogError(noStatementText);
        return Result{};
    }
    std::lock_guard<std::recursive_mutex> hold(connection->lock);
    const DBProvider* provider = ConnectionProvider(connection);
    if (!provider || !(provider->*Entry) || !connection->handle) return Result{};
    Result result = (provider->*Entry)(connection->handle.get(), statement, args...);
    if (!result) NoteIfLost(connection, provider);
    return result;
}

constexpr const char* kNoUpdateText = " No Query To be Updated \n";
constexpr const char* kNoQueryText = " No Query To be Executed \n";

}  // namespace

BYTE ExecuteUpdate(DBConnection* connection, const char* statement) {
    return RunOnProvider<&DBProvider::executeUpdate>(connection, statement, "ExecuteUpdate", kNoUpdateText);
}

BYTE ExecuteUpdate(DBConnection* connection, const char* statement, std::int64_t* rowCount) {
    if (rowCount) *rowCount = -1;
    if (!connection) return ExecuteUpdate(connection, statement);
    // The count is read under the lock the statement ran under: another thread sharing
    // the connection cannot put its own count there in between.
    std::lock_guard<std::recursive_mutex> hold(connection->lock);
    const BYTE done = ExecuteUpdate(connection, statement);
    if (done == 1 && rowCount && connection->handle) *rowCount = connection->handle->lastRowCount;
    return done;
}

bool ReopenConnection(DBConnection* connection) {
    if (!connection) return false;
    std::lock_guard<std::recursive_mutex> hold(connection->lock);
    return ReopenConnectionLocked(connection);
}

std::unique_ptr<QueryResultSet> ExecuteQuery(DBConnection* connection, const char* statement) {
    return RunOnProvider<&DBProvider::executeQuery>(connection, statement, "ExecuteQuery", kNoQueryText);
}

bool ReadQueryRows(DBConnection* connection, const char* statement, QueryRowReader* reader) {
    if (!reader) return false;
    if (!connection || !statement) return ExecuteQuery(connection, statement) != nullptr;  // logs as a query does
    std::lock_guard<std::recursive_mutex> hold(connection->lock);
    const DBProvider* provider = ConnectionProvider(connection);
    if (provider && provider->readQuery && connection->handle) {
        if (provider->readQuery(connection->handle.get(), statement, reader)) return true;
        NoteIfLost(connection, provider);
        return false;
    }
    std::unique_ptr<QueryResultSet> result = ExecuteQuery(connection, statement);
    if (!result || !reader->Columns(result->columns)) return false;
    for (ResultRow& row : result->rows)
        if (!reader->Row(row)) return false;
    return true;
}

BYTE ExecuteUpdateBlob(DBConnection* connection, const char* statement, const void* blob,
                       std::int64_t length) {
    BufferProducer producer{static_cast<const char*>(blob),
                            blob ? std::max<std::int64_t>(length, 0) : 0};
    return RunOnProvider<&DBProvider::executeUpdateBlob>(connection, statement, "ExecuteUpdateBlob",
                                                         kNoUpdateText, &ProduceChunk,
                                                         static_cast<void*>(&producer));
}

std::unique_ptr<QueryResultSet> ExecuteQueryBlob(DBConnection* connection, const char* statement,
                                                 BlobConsumer consumer, void* context) {
    return RunOnProvider<&DBProvider::executeQueryBlob>(connection, statement, "ExecuteQueryBlob",
                                                        kNoQueryText, consumer, context);
}

bool BeginTransaction(DBConnection* connection) {
    if (!connection) return false;
    std::lock_guard<std::recursive_mutex> hold(connection->lock);
    const DBProvider* provider = ConnectionProvider(connection);
    if (!provider || !provider->beginTransaction || !connection->handle) return false;
    if (!provider->beginTransaction(connection->handle.get())) return false;
    connection->inTransaction = 1;
    return true;
}

namespace {

// Commits or rolls back; the connection leaves its transaction either way. When that
// fails, the connection is rolled back (back in autocommit), or else reopened: a
// connection left in manual-commit mode would never commit the statements of whoever
// takes it next.
bool EndTransaction(DBConnection* connection, bool commit) {
    if (!connection) return false;
    std::lock_guard<std::recursive_mutex> hold(connection->lock);
    if (!connection->inTransaction) return false;
    const DBProvider* provider = ConnectionProvider(connection);
    auto end = provider ? (commit ? provider->commitTransaction : provider->rollbackTransaction) : nullptr;
    const bool done = end && connection->handle && end(connection->handle.get());
    if (!done) {
        const bool rolledBack = provider && provider->rollbackTransaction && connection->handle &&
                                provider->rollbackTransaction(connection->handle.get());
        if (!rolledBack) {
            LogError("Connection %s could not leave its transaction; it is reopened\n", connection->connName);
            if (!ReopenConnectionLocked(connection)) {
                // Nothing usable is left: the provider connection is closed, so no later
                // statement runs in the abandoned transaction.
                if (connection->handle && provider && provider->close) provider->close(std::move(connection->handle));
                connection->handle.reset();
                connection->openedAt = 0;  // taken as aged: the next GetConnection opens it again
            }
        }
    }
    connection->inTransaction = 0;
    return done;
}

}  // namespace

bool CommitTransaction(DBConnection* connection) { return EndTransaction(connection, true); }

bool RollbackTransaction(DBConnection* connection) { return EndTransaction(connection, false); }
