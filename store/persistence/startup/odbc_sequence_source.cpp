// Batch reservations of the identifier sequences in "SeqGenState" on the store's databases.
#include "store/persistence/startup/odbc_sequence_source.h"

#include <fmt/printf.h>

#include "runtime/log.h"
#include "store/foundation/text_utils.h"

namespace {

std::string Quote(const char* text) {
    std::string quoted;
    for (const char* c = text; c && *c; ++c) {
        quoted += *c;
        if (*c == '\'') quoted += '\'';
    }
    return quoted;
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
        const char* name = GetTableConnectionName(tableName);
        return name ? name : std::string();
    }
    const char* first = GetFirstConnectionName();
    return first ? first : std::string();
}

DBConnection* ODBCSequenceSource::ReservationConnection(const std::string& connName) {
    auto found = connections_.find(connName);
    if (found != connections_.end()) return found->second.get();
    std::unique_ptr<DBConnection> connection =
        OpenDBConnection(GetConnectionParams(connName.c_str()));
    if (!connection) {
        LogError("Cannot open a connection for identifier batches on %s\n", connName);
        return nullptr;
    }
    DBConnection* raw = connection.get();
    connections_.emplace(connName, std::move(connection));
    return raw;
}

bool ODBCSequenceSource::BeginReservation(const char* tableName, const char* generator) {
    mutex_.lock();
    const std::string connName = ConnectionNameOf(tableName);
    DBConnection* connection = connName.empty() ? nullptr : ReservationConnection(connName);
    const char* type = connName.empty() ? nullptr : GetConnectionDatabaseType(connName.c_str());
    if (!connection || !type || !::BeginTransaction(connection)) {
        mutex_.unlock();
        return false;
    }
    active_ = connection;
    activeDialect_ = type;
    // The lock that makes the select and its update one step for every process: SQLite
    // takes its write lock with a first write, PostgreSQL locks the table against other
    // reservations (inserts of a first batch included), MySQL locks the row in the select.
    std::string lock;
    if (IsDialect(activeDialect_, "SQLITE"))
        lock = fmt::sprintf(
            "update SeqGenState set CURRENTBATCHEND = CURRENTBATCHEND where SEQNAME = '%s'",
            Quote(generator));
    else if (IsDialect(activeDialect_, "PGSQL"))
        lock = "LOCK TABLE SeqGenState IN SHARE ROW EXCLUSIVE MODE";
    if (!lock.empty() && ::ExecuteUpdate(connection, lock.c_str()) != 1) {
        RollbackTransaction(connection);
        active_ = nullptr;
        mutex_.unlock();
        return false;
    }
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
