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

// One line of the data-source map: the connection that serves a table.
struct DataSourceMapEntry {
    std::string tableName;
    std::string connName;
};

// ---- start and stop ---------------------------------------------------------------

// Starts the whole store on the root directory (null keeps the previous root). True when
// the store is ready.
bool InitQuennet(const char* root);
// Stops the store: unloads every table and releases the sequences, pools, connection
// parameters and map. Safe to call after a failed InitQuennet.
void DeInitQuennet();
// Keeps the root for the configuration files (null keeps the previous one).
void SetQuennetRoot(const char* path);
// 1: tables take connection and dialect from the data-source map; 0: the map is not
// used, every table takes the dialect of `index` and the first pool.
void SetDSNMapValid(int status, int index);
// Whether tables take their connection from the data-source map (SetDSNMapValid).
bool IsDSNMapValid();

// ---- providers ----------------------------------------------------------------------

// Makes a provider descriptor known by its name (the "ODBC" one is always known).
// The descriptor must outlive its use; a later one of the same name replaces it.
void RegisterDBProvider(const DBProvider* provider);
// Forgets the provider of that name (nothing for an unknown or null name).
void UnregisterDBProvider(const char* name);
// Fills the slots with "ODBC" and "SQLITE" (when registered); false when already done.
bool InitDBProvider();
// LoadDBProvider, UnloadDBProvider: put the named registered provider into a free slot or
// take it out; false for an unknown name or no free slot (or, unloading, one not loaded).
bool LoadDBProvider(const char* name);
bool UnloadDBProvider(const char* name);

// ---- connections ----------------------------------------------------------------------

// Opens one connection with the record's provider; null (logged) when the provider is
// unknown or the database refuses. The caller owns it.
std::unique_ptr<DBConnection> OpenDBConnection(const ConnectionParams* params);
// One pool per connection-parameters record with one connection each.
bool EstablishDBConnections();
// One pool per record with n connections each (5 when n is 0).
bool EstablishDBConnectionPool(int connectionsPerPool);
// A connection of the named pool (null name: the only pool) for the calling thread; null
// when there is none free. Hand it back with ReleaseConnection.
DBConnection* GetConnection(const char* name);
bool ReleaseConnection(const char* name);

// Runs a statement without result rows under the connection's lock: 1 done, 0 failed (a
// null connection or statement, a missing provider, or the database's refusal, logged).
BYTE ExecuteUpdate(DBConnection* connection, const char* statement);
// As above; *rowCount takes the rows the statement touched (-1 when the database did not
// say or the statement failed).
BYTE ExecuteUpdate(DBConnection* connection, const char* statement, std::int64_t* rowCount);
// Runs a query under the connection's lock: its rows, owned by the caller; null when it
// fails (as ExecuteUpdate).
std::unique_ptr<QueryResultSet> ExecuteQuery(DBConnection* connection, const char* statement);
// Runs a query under the connection's lock and hands its rows to the reader as they are
// fetched, without holding them all; true when every row was read. Failures are logged as
// ExecuteQuery logs them.
bool ReadQueryRows(DBConnection* connection, const char* statement, QueryRowReader* reader);
// The statement's one parameter marker takes the bytes of the blob.
BYTE ExecuteUpdateBlob(DBConnection* connection, const char* statement, const void* blob,
                       std::int64_t length);
// Blob cells go to the consumer in chunks instead of into the result.
std::unique_ptr<QueryResultSet> ExecuteQueryBlob(DBConnection* connection, const char* statement,
                                                 BlobConsumer consumer, void* context);
// Starts a transaction on the connection; false when the provider cannot.
bool BeginTransaction(DBConnection* connection);
// A commit or rollback that fails leaves the connection out of its transaction all the
// same: rolled back and in autocommit, or reopened when even that fails.
bool CommitTransaction(DBConnection* connection);
// Ends the transaction, undoing its statements; false when the rollback failed (see above).
bool RollbackTransaction(DBConnection* connection);
// Closes the connection's provider connection and opens a new one in its place (same
// record, same owner); false when no new one could be opened.
bool ReopenConnection(DBConnection* connection);

// ---- connection parameters ------------------------------------------------------------

// Reads connparams.txt (one record per line, as the README describes); false when the file
// cannot be opened. Malformed or over-long records are skipped, logged.
bool LoadConnParamsEntryFromFile(const char* path);
// The records in file order (a snapshot of pointers valid until DeInitQuennet).
std::vector<const ConnectionParams*> GetAllConnectionParams();
// The record of that connection name, valid until DeInitQuennet; null when none.
const ConnectionParams* GetConnectionParams(const char* connName);
// The first record's connection name; null (logged) without records.
const char* GetFirstConnectionName();
// GetConnectionProviderName, GetConnectionDatabaseType: the provider ("ODBC") and the
// database type ("SQLITE", "PGSQL"...) of the named connection; null (logged) for an
// unknown one. Valid until DeInitQuennet.
const char* GetConnectionProviderName(const char* connName);
const char* GetConnectionDatabaseType(const char* connName);
// Forgets every connection-parameters record.
void FreeAllConnectionParams();

// ---- data-source map ------------------------------------------------------------------

// A new map entry owned by the caller; null for a null name.
std::unique_ptr<DataSourceMapEntry> CreateDataSourceMapEntry(const char* tableName,
                                                             const char* connName);
// Adds the entry to the map, which takes it over; false for null.
bool AddDataSourceMapEntry(std::unique_ptr<DataSourceMapEntry> entry);
// Removes the table's entry; false when there is none.
bool DeleteDataSourceMapEntry(const char* tableName);
// The entry of the table (case-insensitive), valid until it is deleted; null when none.
const DataSourceMapEntry* GetDataSourceMapEntry(const char* tableName);
// Empties the data-source map.
void FreeAllDataSourceMapEntries();
// Reads dsn_table_map.txt ("TABLE connection" per line); false when the file cannot be
// opened. Over-long lines are skipped, logged.
bool LoadDataSourceMapEntryFromFile(const char* path);

// The connection name that serves the table: its map entry's with the map valid, the
// first pool's otherwise; none (logged) when there is none. A copy: the map may change.
std::optional<std::string> GetTableConnectionName(const char* tableName);
// GetConnection / ReleaseConnection for the table's connection.
DBConnection* GetTableConnection(const char* tableName);
// Hands the table's connection back; false when the table has none.
bool ReleaseTableConnection(const char* tableName);
// The SQL dialect of the table's connection (or of the dialect index); null when none.
const SqlDialect* GetTableDialect(const char* tableName);

// ---- statement generation through the table's dialect -----------------------------------

// GenerateSelectQuery, GenerateUpdateQuery, GenerateInsertQuery, GenerateDeleteQuery,
// GenerateCreateTableQuery: the statement in the dialect of the table's connection; none
// (logged) when there is no dialect, no definition or a value the dialect refuses.
SqlText GenerateSelectQuery(const SelectQuery* query);
SqlText GenerateUpdateQuery(const char* tableName, const RowObject* row);
SqlText GenerateInsertQuery(const char* tableName, const RowObject* row);
SqlText GenerateDeleteQuery(const char* tableName, const RowObject* row);
SqlText GenerateCreateTableQuery(const char* tableName);
// The current row of a query result as a new row of the table, through its dialect; null
// when there is no dialect or the row does not convert.
ConvertedRow ConvertResultRowToRowObject(const QueryResultSet* result, const char* tableName);

// ---- tables -----------------------------------------------------------------------------

// Loads the tables of loadtablelist.txt (../data/ first, then the root's data/); false
// when the list cannot be opened.
bool LoadAllTables();
// Loads each table of the list file, by its select when the line has one; false when the
// file cannot be opened (a table that fails is logged, the others still load).
bool LoadAllTablesFromFile(const char* path);
// Reads the whole table from its database into a new in-memory table; false (logged) when
// the table is already loaded, has no definition or connection, or the select fails.
bool LoadTable(const char* tableName);
// The same with the rows the given select returns.
bool LoadTableByQuery(const char* tableName, const char* query);
// Loads the rows of a select over the table into a new view of that name; false as
// LoadTable.
bool LoadViewByQuery(const char* viewName, const char* tableName, const char* query);
// Drops every loaded table and view from memory (nothing is saved).
void UnLoadAllTable();
// Drops the table from memory; false when it is not loaded.
bool UnLoadTable(const char* tableName);
// UnLoadAllTable, then LoadAllTables.
bool ReloadTableData();
// SaveTable for every loaded table; true when every one saved all its rows.
bool SaveAllTables();
// Writes the table's new, changed and deleted rows to its database, each in the statement
// its state asks for; true when every row was taken. A row that fails keeps its state for
// the next save. False for a view or an unknown table.
bool SaveTable(const char* tableName);
// SaveTable for each table of savetableslist.txt; true also when there is no list.
bool SaveTablesFromList();
// Loads the data file named last in defaultdata.txt and saves its tables (SaveDataInXML);
// true also when there is none.
bool SaveDefaultData();
// Loads a table-data XML file into the store and saves every table it names; false when
// it cannot be loaded or parsed.
bool SaveDataInXML(const char* path);
// Creates the database of that name on the first connection; false (logged) without a
// connection or when the database refuses.
bool CreateDB(const char* name);
// Creates every table of the dictionary, referenced tables first. True when every CREATE
// succeeded; tables that exist already are passed over (false then).
bool CreateAllTables();
// Runs the table's CREATE TABLE on the named connection; false without a dialect,
// definition or connection, or when the database refuses.
bool CreateTableOnConnection(const char* tableName, const char* connName);

// ---- index tables -----------------------------------------------------------------------

// Records the row in the index tables of the tables its foreign keys reach; true also when
// the table has no foreign keys, false (logged) without a definition or when an insert fails.
bool AddEntryToIndexTable(const char* tableName, const RowObject* row);
// The tables without foreign keys reached from the table through its foreign keys, in the
// order found (each once; cycles stop).
std::vector<std::string> FindRootTable(const char* tableName);
// Decides which tables are dominant tables of a personality (whose index table is kept);
// null restores the default: a table is dominant when the dictionary defines its
// "<table>_IDX".
using DominantTableCheck = bool (*)(const char* tableName);
// Installs the check (see above).
void SetDominantTableCheck(DominantTableCheck check);
// Position of the column (exact name), -1 when absent.
int GetColIndex(const TableDefn* defn, const char* columnName);
