// Routing of catalogue and data-object statements to a table's database.
#include "store/persistence/catalogue/table_statements.h"

#include <mutex>

#include "store/persistence/startup/store_startup.h"

namespace {

class ConnectionTableStatements : public TableStatements {
public:
    ConnectionTableStatements(const DBProvider* provider, ProviderConnection* connection,
                              const SqlDialect* dialect)
        : provider_(provider), connection_(connection), dialect_(dialect) {}

    const SqlDialect* Dialect(const char*) override { return dialect_; }

    std::unique_ptr<QueryResultSet> Query(const char*, const std::string& sql) override {
        std::lock_guard<std::mutex> guard(mutex_);
        return provider_->executeQuery(connection_, sql.c_str());
    }

    bool Update(const char*, const std::string& sql) override {
        std::lock_guard<std::mutex> guard(mutex_);
        return provider_->executeUpdate(connection_, sql.c_str()) == 1;
    }

    std::optional<std::int64_t> UpdateRows(const char*, const std::string& sql) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (provider_->executeUpdate(connection_, sql.c_str()) != 1) return std::nullopt;
        return connection_->lastRowCount;
    }

private:
    const DBProvider* provider_;
    ProviderConnection* connection_;
    const SqlDialect* dialect_;
    std::mutex mutex_;
};

// The store's configured data sources: the table's pooled connection and dialect.
class StoreTableStatements : public TableStatements {
public:
    const SqlDialect* Dialect(const char* table) override { return GetTableDialect(table); }

    std::unique_ptr<QueryResultSet> Query(const char* table, const std::string& sql) override {
        DBConnection* connection = GetTableConnection(table);
        if (!connection) return nullptr;
        std::unique_ptr<QueryResultSet> result = ExecuteQuery(connection, sql.c_str());
        ReleaseTableConnection(table);
        return result;
    }

    bool Update(const char* table, const std::string& sql) override { return UpdateRows(table, sql).has_value(); }

    std::optional<std::int64_t> UpdateRows(const char* table, const std::string& sql) override {
        DBConnection* connection = GetTableConnection(table);
        if (!connection) return std::nullopt;
        std::int64_t rows = -1;
        const bool done = ExecuteUpdate(connection, sql.c_str(), &rows) == 1;
        ReleaseTableConnection(table);
        if (!done) return std::nullopt;
        return rows;
    }
};

std::mutex gv_sourceMutex;
std::shared_ptr<TableStatements> gv_installedSource;

}  // namespace

std::shared_ptr<TableStatements> MakeConnectionTableStatements(const DBProvider* provider,
                                                               ProviderConnection* connection,
                                                               const SqlDialect* dialect) {
    if (!provider || !connection || !dialect) return nullptr;
    return std::make_shared<ConnectionTableStatements>(provider, connection, dialect);
}

std::shared_ptr<TableStatements> SetTableStatements(std::shared_ptr<TableStatements> source) {
    std::lock_guard<std::mutex> guard(gv_sourceMutex);
    std::swap(source, gv_installedSource);
    return source;
}

std::shared_ptr<TableStatements> GetTableStatements() {
    static const std::shared_ptr<TableStatements> store = std::make_shared<StoreTableStatements>();
    std::lock_guard<std::mutex> guard(gv_sourceMutex);
    return gv_installedSource ? gv_installedSource : store;
}
