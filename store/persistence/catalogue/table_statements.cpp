// Routing of catalogue and data-object statements to a table's database.
#include "store/persistence/catalogue/table_statements.h"

#include <mutex>

namespace {

class ConnectionTableStatements : public TableStatements {
public:
    ConnectionTableStatements(const DBProvider* provider, ProviderConnection* connection, const SqlDialect* dialect)
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

private:
    const DBProvider* provider_;
    ProviderConnection* connection_;
    const SqlDialect* dialect_;
    std::mutex mutex_;
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
    std::lock_guard<std::mutex> guard(gv_sourceMutex);
    return gv_installedSource;
}
