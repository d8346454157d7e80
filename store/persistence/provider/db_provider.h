// Database providers: the connection parameters of one configured connection and the
// table of operations a provider offers on its connections.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/win/types.h"
#include "store/foundation/result_set.h"

// One record of the connection parameters file.
struct ConnectionParams {
    std::string name1;
    std::uint16_t port = 0;
    std::optional<std::string> dsn;
    std::optional<std::string> user;
    std::optional<std::string> password;  // none for "NULL"
    std::int32_t reserved = 0;
    std::string connName;
    BYTE direct = 0;                        // 1: connString is used as it stands
    std::optional<std::string> connString;  // direct records only
    std::string providerName;
    std::string dbType;
};

// The secrets of a record that must never reach a log: its password and the password
// values of a direct connection string (PWD=, Password=, brace-quoted or not).
std::vector<std::string> ConnectionSecrets(const ConnectionParams& params);
// The text with every occurrence of each (non-empty) secret replaced by "****".
std::string WithoutSecrets(std::string text, const std::vector<std::string>& secrets);

// A provider's open connection; each provider derives its own.
struct ProviderConnection {
    std::string connName;
    // Rows touched by the last update on this connection (-1 when the database did not
    // say); read it under the same lock as the update ran.
    std::int64_t lastRowCount = -1;
    virtual ~ProviderConnection() = default;
};
// Owning pointer to a ProviderConnection.
using ProviderConnectionPtr = std::unique_ptr<ProviderConnection>;

// BlobProducer: sets the next chunk and its length; returns BLOB_PRODUCER_END when no data
// is left and a negative value to abort the statement. Any other value sends the chunk.
inline constexpr int BLOB_PRODUCER_END = 2;
using BlobProducer = int (*)(const void** chunk, std::int64_t* length, void* context);
// Blob consumer: receives each chunk of a blob value, then (null, 0) at its end.
using BlobConsumer = void (*)(const void* chunk, std::int64_t length, void* context);

// Takes the rows of a query one at a time instead of a whole result set.
class QueryRowReader {
public:
    virtual ~QueryRowReader() = default;
    // The result's columns, before the first row; false ends the query (a failure). When
    // it comes again, the query is read anew: the rows handed over before are void.
    virtual bool Columns(const std::vector<ResultColumnDescriptor>& columns) = 0;
    // The cells of one row, each in the store type of its column as a query result holds
    // them; they may be moved out. False ends the query (a failure).
    virtual bool Row(std::span<ColumnValue> cells) = 0;
};

// The operations of a provider, in slot order.
struct DBProvider {
    const char* name;
    ProviderConnectionPtr (*open)(const ConnectionParams* params);
    BYTE (*executeUpdate)(ProviderConnection* connection, const char* statement);
    std::unique_ptr<QueryResultSet> (*executeQuery)(ProviderConnection* connection, const char* statement);
    bool (*close)(ProviderConnectionPtr connection);
    bool (*beginTransaction)(ProviderConnection* connection);
    bool (*commitTransaction)(ProviderConnection* connection);
    bool (*rollbackTransaction)(ProviderConnection* connection);
    BYTE (*executeUpdateBlob)(ProviderConnection* connection, const char* statement,
                              BlobProducer producer, void* context);
    std::unique_ptr<QueryResultSet> (*executeQueryBlob)(ProviderConnection* connection, const char* statement,
                                                        BlobConsumer consumer, void* context);
    // Runs a query and hands its rows to the reader as they come; true when every row was
    // read. Optional: without it the rows of executeQuery are handed over.
    bool (*readQuery)(ProviderConnection* connection, const char* statement, QueryRowReader* reader) = nullptr;
    // True when the database connection is gone (the server restarted or cut it), so that
    // after a failed statement the pool opens a new one instead of reusing a dead handle
    // forever. Optional: without it a connection is reopened only for its age.
    bool (*isLost)(ProviderConnection* connection) = nullptr;
};
