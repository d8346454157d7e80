// Batch reservations of the identifier sequences in "SeqGenState" on the store's databases.
#include "store/persistence/startup/odbc_sequence_source.h"

#include <fmt/printf.h>

#include "runtime/log.h"
#include "store/dictionary/column_types.h"
#include "store/foundation/text_utils.h"

namespace {

// The text as an SQL literal of the dialect ('' for a text that cannot be one).
std::string Literal(const std::string& dialect, const char* text) {
    const SqlDialect* rules = GetSqlDialect(dialect.c_str());
    SqlText literal = rules && text ? SqlLiteral(rules, ColumnValue::FromText(text), HYL_SQL_CHARACTER) : std::nullopt;
    return literal ? *literal : std::string("''");
}

bool IsDialect(const std::string& type, const char* name) {
    return CompareNoCase(type.c_str(), name) == 0;
}

}  // namespace

ODBCSequenceSource::~ODBCSequenceSource() {
    Close();
}

void ODBCSequenceSource::Close() {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    for (auto& entry : connections_) {
        if (entry.second->inTransaction) RollbackTransaction(entry.second.get());
        // The provider's connection closes itself when its handle goes.
        entry.second->handle.reset();
    }
    connections_.clear();
    active_ = nullptr;
}

std::string ODBCSequenceSource::ConnectionNameOf(const char* tableName) {
    if (tableName) {
        return GetTableConnectionName(tableName).value_or(std::string());
    }
    const char* first = GetFirstConnectionName();
    return first ? first : std::string();
}

DBConnection* ODBCSequenceSource::ReservationConnectionFor(const std::string& connName) {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    auto found = connections_.find(connName);
    return found == connections_.end() ? nullptr : found->second.get();
}

DBConnection* ODBCSequenceSource::ReservationConnection(const std::string& connName) {
    auto found = connections_.find(connName);
    if (found != connections_.end()) {
        DBConnection* connection = found->second.get();
        const bool aged = std::time(nullptr) - connection->openedAt > CONNECTION_MAX_AGE_SECONDS;
        // A server that closed an idle session or restarted leaves a dead connection: a
        // failed reservation reopens it, so identifiers come again once the server is back.
        if (aged || failed_[connName] || !connection->handle) {
            if (!ReopenConnection(connection)) {
                LogError("Cannot open a connection for identifier batches on %s\n", connName);
                failed_[connName] = true;
                return nullptr;
            }
            failed_[connName] = false;
        }
        return connection;
    }
    std::unique_ptr<DBConnection> connection =
        OpenDBConnection(GetConnectionParams(connName.c_str()));
    if (!connection) {
        LogError("Cannot open a connection for identifier batches on %s\n", connName);
        return nullptr;
    }
    DBConnection* raw = connection.get();
    connections_.emplace(connName, std::move(connection));
    failed_[connName] = false;
    return raw;
}

bool ODBCSequenceSource::StartOn(DBConnection* connection, const std::string& dialect,
                                 const char* generator) {
    if (!::BeginTransaction(connection)) return false;
    // The lock that makes the select and its update one step for every process: SQLite
    // takes its write lock with a first write, PostgreSQL locks the table against other
    // reservations (inserts of a first batch included), MySQL locks the row in the select.
    std::string lock;
    if (IsDialect(dialect, "SQLITE"))
        lock = fmt::sprintf(
            "update SeqGenState set CURRENTBATCHEND = CURRENTBATCHEND where SEQNAME = %s",
            Literal(dialect, generator));
    else if (IsDialect(dialect, "PGSQL"))
        lock = "LOCK TABLE SeqGenState IN SHARE ROW EXCLUSIVE MODE";
    if (!lock.empty() && ::ExecuteUpdate(connection, lock.c_str()) != 1) {
        RollbackTransaction(connection);
        return false;
    }
    return true;
}

bool ODBCSequenceSource::BeginReservation(const char* tableName, const char* generator) {
    mutex_.lock();
    const std::string connName = ConnectionNameOf(tableName);
    const char* type = connName.empty() ? nullptr : GetConnectionDatabaseType(connName.c_str());
    DBConnection* connection = type ? ReservationConnection(connName) : nullptr;
    bool started = connection && StartOn(connection, type, generator);
    if (connection && !started) {
        // The connection may have died under us: once more on a new one.
        failed_[connName] = true;
        connection = ReservationConnection(connName);
        started = connection && StartOn(connection, type, generator);
    }
    if (!started) {
        if (connection) failed_[connName] = true;
        mutex_.unlock();
        return false;
    }
    active_ = connection;
    activeName_ = connName;
    activeDialect_ = type;
    holding_ = true;
    return true;
}

bool ODBCSequenceSource::EndReservation(const char*, bool succeeded) {
    if (!holding_) return true;
    DBConnection* connection = active_;
    bool settled = true;
    if (succeeded)
        settled = CommitTransaction(connection);
    else {
        RollbackTransaction(connection);
        settled = false;
    }
    // A reservation that failed is tried again on a fresh connection.
    if (!settled) failed_[activeName_] = true;
    active_ = nullptr;
    holding_ = false;
    mutex_.unlock();
    return settled;
}

std::unique_ptr<QueryResultSet> ODBCSequenceSource::ExecuteQuery(const char* tableName,
                                                                 const std::string& sql) {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    if (active_) {
        std::string statement = sql;
        if (IsDialect(activeDialect_, "MYSQL")) {
            while (!statement.empty() && (statement.back() == ';' || statement.back() == ' '))
                statement.pop_back();
            statement += " for update";
        }
        return ::ExecuteQuery(active_, statement.c_str());
    }
    const std::string connName = ConnectionNameOf(tableName);
    DBConnection* connection = connName.empty() ? nullptr : GetConnection(connName.c_str());
    if (!connection) return nullptr;
    std::unique_ptr<QueryResultSet> result = ::ExecuteQuery(connection, sql.c_str());
    ReleaseConnection(connName.c_str());
    return result;
}

bool ODBCSequenceSource::ExecuteUpdate(const char* tableName, const std::string& sql) {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    if (active_) return ::ExecuteUpdate(active_, sql.c_str()) == 1;
    const std::string connName = ConnectionNameOf(tableName);
    DBConnection* connection = connName.empty() ? nullptr : GetConnection(connName.c_str());
    if (!connection) return false;
    const bool done = ::ExecuteUpdate(connection, sql.c_str()) == 1;
    ReleaseConnection(connName.c_str());
    return done;
}
