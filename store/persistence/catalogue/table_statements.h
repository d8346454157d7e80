// How the stored-query catalogue and the data objects reach a table's database: the
// dialect that writes its SQL and the connection that runs it. The store's start-up
// routes every table through its configured data source; a caller holding one open
// connection (a tool, a test) can install that instead.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "store/foundation/result_set.h"
#include "store/persistence/dialect/sql_dialect.h"
#include "store/persistence/provider/db_provider.h"

// Where the statements of table-level work run: the dialect, queries and updates of each
// table's data source (the store's own routing, or a test's stand-in).
class TableStatements {
public:
    virtual ~TableStatements() = default;
    // The dialect of the table's data source; null when the table cannot be routed.
    virtual const SqlDialect* Dialect(const char* table) = 0;
    // The rows of a select run for the table's data source; null when it could not run.
    virtual std::unique_ptr<QueryResultSet> Query(const char* table, const std::string& sql) = 0;
    // Runs an insert, update, delete or create; true when it succeeded.
    virtual bool Update(const char* table, const std::string& sql) = 0;
    // As Update, with the rows the statement touched (-1 when the database did not say);
    // none when it failed.
    virtual std::optional<std::int64_t> UpdateRows(const char* table, const std::string& sql) {
        return Update(table, sql) ? std::optional<std::int64_t>(-1) : std::nullopt;
    }
};

// Every table on one open connection in one dialect. The connection is used under a
// mutex of its own, so threads sharing the source take turns.
std::shared_ptr<TableStatements> MakeConnectionTableStatements(const DBProvider* provider,
                                                               ProviderConnection* connection,
                                                               const SqlDialect* dialect);

// Installs a source (null: back to the store's configured data sources) and returns the
// previous one.
std::shared_ptr<TableStatements> SetTableStatements(std::shared_ptr<TableStatements> source);
// The installed source, else the store's configured data sources (InitQuennet).
std::shared_ptr<TableStatements> GetTableStatements();
