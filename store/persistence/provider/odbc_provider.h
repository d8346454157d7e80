// The "ODBC" provider: connections through the ODBC driver manager, statements, query
// results converted to the store's column types, blob streaming, transactions and the
// creation of data sources.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "store/persistence/provider/db_provider.h"
#include "store/persistence/provider/odbc_api.h"

// Each connection has its own environment, so closing one never touches another.
struct ODBCConnection : ProviderConnection {
    SQLHENV environment = SQL_NULL_HENV;
    SQLHDBC connection = SQL_NULL_HDBC;
    // SQL_GETDATA_EXTENSIONS of the driver, read once on first use.
    std::optional<SQLUINTEGER> getDataExtensions;
    // The statement handle updates run on, allocated on first use and kept: a save runs
    // thousands of updates, and a handle per update costs the driver manager as much as
    // the statement itself on a local database. Used under the connection's lock.
    SQLHSTMT updateStatement = SQL_NULL_HSTMT;

    ODBCConnection() = default;
    ODBCConnection(const ODBCConnection&) = delete;
    ODBCConnection& operator=(const ODBCConnection&) = delete;
    ~ODBCConnection() override;  // disconnects and frees both handles
};

// The provider descriptor named "ODBC".
const DBProvider* GetODBCProvider();

// The connection string of non-direct parameters: "DSN=", "UID=", "PWD=" parts, each
// followed by ";" (an absent password leaves its ";"). Values holding ';', '}' or a
// leading '{' are brace-quoted. No "Driver={provider}" part: the DSN names the driver,
// and drivers that read the string themselves (MariaDB's) refuse a driver named "ODBC".
std::string BuildODBCConnectionString(const ConnectionParams& params);

// Connects with the record (direct connection string or DSN, user and password), in
// autocommit; null with the driver's diagnostics logged when it cannot.
ProviderConnectionPtr ODBCOpenConnection(const ConnectionParams* params);
// 1 when the statement ran and its row count could be read (a count of 0 included).
BYTE ODBCExecuteUpdate(ProviderConnection* connection, const char* statement);
// The rows of the statement, or null on any failure (a fetch error included).
std::unique_ptr<QueryResultSet> ODBCExecuteQuery(ProviderConnection* connection, const char* statement);
// As ODBCExecuteQuery, but the rows go to the reader as they are fetched, a block of rows
// at a time; true when every row was read (a reader that says stop is a failure too).
bool ODBCReadQuery(ProviderConnection* connection, const char* statement, QueryRowReader* reader);
// Disconnects and frees the handles; false when the disconnect failed.
bool ODBCCloseConnection(ProviderConnectionPtr connection);
// True when the driver reports the connection dead (the server went away or cut it).
bool ODBCConnectionLost(ProviderConnection* connection);
// ODBCBeginTransaction, ODBCCommitTransaction, ODBCRollbackTransaction: autocommit off, then
// commit or roll back and autocommit on again; false when the driver refuses.
bool ODBCBeginTransaction(ProviderConnection* connection);
bool ODBCCommitTransaction(ProviderConnection* connection);
bool ODBCRollbackTransaction(ProviderConnection* connection);
// The statement's one parameter marker takes the bytes the producer hands out.
BYTE ODBCExecuteUpdateBlob(ProviderConnection* connection, const char* statement, BlobProducer producer,
                           void* context);
// As ODBCExecuteQuery, but cells of type 20 go to the consumer in chunks of at most
// 1024 bytes (then an end call) and stay empty in the result.
std::unique_ptr<QueryResultSet> ODBCExecuteQueryBlob(ProviderConnection* connection, const char* statement,
                                                     BlobConsumer consumer, void* context);

// Store column type of an ODBC SQL data type; 0 for types without one.
BYTE MapODBCTypeToColumnType(SQLSMALLINT sqlType);

// One data source: DSN and driver are required; attributes whose value is "NULL" (any
// case) are left out. Uses SQLConfigDataSource, and where the driver has no setup
// library writes the DSN into odbc.ini through the installer library instead.
bool ODBCCreateDSN(const char* dsn, const char* description, const char* server, const char* user,
                   const char* password, const char* database, const char* driver);
// One data source per line: DSN DESCRIPTION SERVER UID PWD DATABASE driver name...
// True once the file was read, whatever became of its records.
bool ODBCCreateDSNsFromFile(const char* path);
