// Store start-up and shutdown, the configuration files of the data directory, database
// providers, connection pools, the data-source map (table -> connection and dialect),
// loading tables from and saving them to their databases, and index tables.
//
// Threads: every list here has its own lock. A pool with one connection shares it among
// all threads (each statement runs under the connection's lock); a pool with several
// gives each thread its own until ReleaseConnection.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/win/types.h"
#include "store/foundation/result_set.h"
#include "store/persistence/dialect/sql_dialect.h"
#include "store/persistence/provider/db_provider.h"
#include "store/tables/tables.h"

struct SelectQuery;

// Connections older than this (seconds) are reopened when handed out.
inline constexpr std::time_t CONNECTION_MAX_AGE_SECONDS = 27900;
inline constexpr std::int64_t CONNECTION_OWNER_FREE = -1;
// Owner key of the one connection of a single-connection pool.
inline constexpr std::int64_t CONNECTION_OWNER_SHARED = 1;
inline constexpr int DB_PROVIDER_SLOTS = 2;

// An open connection of a pool. Statements, transactions and the age-based reopening
// run under `lock`, so a refresh never closes a connection another thread is using.
struct DBConnection {
    ProviderConnectionPtr handle;  // the provider's connection
    std::string connName;
    int providerSlot = -1;
    std::int64_t owner = CONNECTION_OWNER_FREE;
    BYTE inTransaction = 0;
    std::time_t openedAt = 0;
    std::recursive_mutex lock;
};

struct DataSourceMapEntry {
    std::string tableName;
    std::string connName;
};

// ---- start and stop ---------------------------------------------------------------

// Starts the whole store on the root directory (null keeps the previous root). True when
// the store is ready.
bool InitQuennet(const char* root);
void DeInitQuennet();
// Keeps the root for the configuration files (null keeps the previous one).
void SetQuennetRoot(const char* path);
// 1: tables take connection and dialect from the data-source map; 0: the map is not
// used, every table takes the dialect of `index` and the first pool.
void SetDSNMapValid(int status, int index);
bool IsDSNMapValid();

// ---- providers ----------------------------------------------------------------------

// Makes a provider descriptor known by its name (the "ODBC" one is always known).
// The descriptor must outlive its use; a later one of the same name replaces it.
void RegisterDBProvider(const DBProvider* provider);
void UnregisterDBProvider(const char* name);
// Fills the slots with "ODBC" and "SQLITE" (when registered); false when already done.
bool InitDBProvider();
bool LoadDBProvider(const char* name);
bool UnloadDBProvider(const char* name);

// ---- connections ----------------------------------------------------------------------

std::unique_ptr<DBConnection> OpenDBConnection(const ConnectionParams* params);
// One pool per connection-parameters record with one connection each.
bool EstablishDBConnections();
// One pool per record with n connections each (5 when n is 0).
bool EstablishDBConnectionPool(int connectionsPerPool);
// A connection of the named pool (null name: the only pool) for the calling thread; null
// when there is none free. Hand it back with ReleaseConnection.
DBConnection* GetConnection(const char* name);
bool ReleaseConnection(const char* name);

BYTE ExecuteUpdate(DBConnection* connection, const char* statement);
// As above; *rowCount takes the rows the statement touched (-1 when the database did not
// say or the statement failed).
BYTE ExecuteUpdate(DBConnection* connection, const char* statement, std::int64_t* rowCount);
std::unique_ptr<QueryResultSet> ExecuteQuery(DBConnection* connection, const char* statement);
// The statement's one parameter marker takes the bytes of the blob.
BYTE ExecuteUpdateBlob(DBConnection* connection, const char* statement, const void* blob,
                       std::int64_t length);
// Blob cells go to the consumer in chunks instead of into the result.
std::unique_ptr<QueryResultSet> ExecuteQueryBlob(DBConnection* connection, const char* statement,
                                                 BlobConsumer consumer, void* context);
bool BeginTransaction(DBConnection* connection);
// A commit or rollback that fails leaves the connection out of its transaction all the
// same: rolled back and in autocommit, or reopened when even that fails.
bool CommitTransaction(DBConnection* connection);
bool RollbackTransaction(DBConnection* connection);
// Closes the connection's provider connection and opens a new one in its place (same
// record, same owner); false when no new one could be opened.
bool ReopenConnection(DBConnection* connection);

// ---- connection parameters ------------------------------------------------------------

bool LoadConnParamsEntryFromFile(const char* path);
// The records in file order (a snapshot of pointers valid until DeInitQuennet).
std::vector<const ConnectionParams*> GetAllConnectionParams();
const ConnectionParams* GetConnectionParams(const char* connName);
const char* GetFirstConnectionName();
const char* GetConnectionProviderName(const char* connName);
const char* GetConnectionDatabaseType(const char* connName);
void FreeAllConnectionParams();

// ---- data-source map ------------------------------------------------------------------

std::unique_ptr<DataSourceMapEntry> CreateDataSourceMapEntry(const char* tableName,
                                                             const char* connName);
bool AddDataSourceMapEntry(std::unique_ptr<DataSourceMapEntry> entry);
bool DeleteDataSourceMapEntry(const char* tableName);
// The entry of the table (case-insensitive), valid until it is deleted; null when none.
const DataSourceMapEntry* GetDataSourceMapEntry(const char* tableName);
void FreeAllDataSourceMapEntries();
bool LoadDataSourceMapEntryFromFile(const char* path);

// The connection name that serves the table: its map entry's with the map valid, the
// first pool's otherwise; none (logged) when there is none. A copy: the map may change.
std::optional<std::string> GetTableConnectionName(const char* tableName);
// GetConnection / ReleaseConnection for the table's connection.
DBConnection* GetTableConnection(const char* tableName);
bool ReleaseTableConnection(const char* tableName);
// The SQL dialect of the table's connection (or of the dialect index); null when none.
const SqlDialect* GetTableDialect(const char* tableName);

// ---- statement generation through the table's dialect -----------------------------------

SqlText GenerateSelectQuery(const SelectQuery* query);
SqlText GenerateUpdateQuery(const char* tableName, const RowObject* row);
SqlText GenerateInsertQuery(const char* tableName, const RowObject* row);
SqlText GenerateDeleteQuery(const char* tableName, const RowObject* row);
SqlText GenerateCreateTableQuery(const char* tableName);
ConvertedRow ConvertResultRowToRowObject(const QueryResultSet* result, const char* tableName);

// ---- tables -----------------------------------------------------------------------------

bool LoadAllTables();
bool LoadAllTablesFromFile(const char* path);
bool LoadTable(const char* tableName);
bool LoadTableByQuery(const char* tableName, const char* query);
bool LoadViewByQuery(const char* viewName, const char* tableName, const char* query);
void UnLoadAllTable();
bool UnLoadTable(const char* tableName);
bool ReloadTableData();
bool SaveAllTables();
bool SaveTable(const char* tableName);
bool SaveTablesFromList();
bool SaveDefaultData();
bool SaveDataInXML(const char* path);
bool CreateDB(const char* name);
// Creates every table of the dictionary, referenced tables first. True when every CREATE
// succeeded; tables that exist already are passed over (false then).
bool CreateAllTables();
bool CreateTableOnConnection(const char* tableName, const char* connName);

// ---- index tables -----------------------------------------------------------------------

bool AddEntryToIndexTable(const char* tableName, const RowObject* row);
// The tables without foreign keys reached from the table through its foreign keys, in the
// order found (each once; cycles stop).
std::vector<std::string> FindRootTable(const char* tableName);
// Decides which tables are dominant tables of a personality (whose index table is kept);
// null restores the default: a table is dominant when the dictionary defines its
// "<table>_IDX".
using DominantTableCheck = bool (*)(const char* tableName);
void SetDominantTableCheck(DominantTableCheck check);
// Position of the column (exact name), -1 when absent.
int GetColIndex(const TableDefn* defn, const char* columnName);
