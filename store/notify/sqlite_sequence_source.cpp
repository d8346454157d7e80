// SQLite-backed sequence source through the sqlite3 C API.
#include "store/notify/sqlite_sequence_source.h"

#include <sqlite3.h>

#include <limits>

#include "runtime/log.h"
#include "store/dictionary/column_types.h"

std::shared_ptr<SqliteSequenceSource> SqliteSequenceSource::Open(const std::string& path, const Options& options,
                                                                 std::string* error) {
    sqlite3* db = nullptr;
    const int flags = options.readOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
        if (error) *error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return nullptr;
    }
    // Another process holding the file waits a bounded time, never forever.
    sqlite3_busy_timeout(db, 2000);
    if (options.createTable && !options.readOnly) {
        char* message = nullptr;
        if (sqlite3_exec(db,
                         "CREATE TABLE IF NOT EXISTS SeqGenState (SEQNAME VARCHAR(255) PRIMARY KEY, "
                         "CURRENTBATCHEND INTEGER)",
                         nullptr, nullptr, &message) != SQLITE_OK) {
            if (error) *error = message ? message : "cannot create SeqGenState";
            sqlite3_free(message);
            sqlite3_close(db);
            return nullptr;
        }
    }
    return std::shared_ptr<SqliteSequenceSource>(new SqliteSequenceSource(db));
}

SqliteSequenceSource::~SqliteSequenceSource() { sqlite3_close(db_); }

std::unique_ptr<QueryResultSet> SqliteSequenceSource::ExecuteQuery(const char* /*tableName*/,
                                                                   const std::string& sql) {
    std::lock_guard<std::mutex> hold(mutex_);
    ++queries_;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        LogDebug("SQLite : %s\n", sqlite3_errmsg(db_));
        sqlite3_finalize(statement);
        return nullptr;
    }
    auto result = std::make_unique<QueryResultSet>();
    const int columns = sqlite3_column_count(statement);
    result->columnCount = columns;
    for (int i = 0; i < columns; ++i) result->columns.push_back({sqlite3_column_name(statement, i), HYL_SQL_TEXT});
    int status;
    while ((status = sqlite3_step(statement)) == SQLITE_ROW) {
        ResultRow row;
        for (int i = 0; i < columns; ++i) {
            switch (sqlite3_column_type(statement, i)) {
                case SQLITE_NULL:
                    row.push_back(ColumnValue::Null());
                    break;
                case SQLITE_INTEGER: {
                    const sqlite3_int64 value = sqlite3_column_int64(statement, i);
                    if (value >= std::numeric_limits<std::int32_t>::min() &&
                        value <= std::numeric_limits<std::int32_t>::max()) {
                        const auto narrow = static_cast<std::int32_t>(value);
                        row.push_back(ColumnValue::FromBytes(&narrow, 4));
                        result->columns[static_cast<std::size_t>(i)].type = HYL_SQL_INT;
                    } else {
                        const std::int64_t wide = value;
                        row.push_back(ColumnValue::FromBytes(&wide, 8));
                        result->columns[static_cast<std::size_t>(i)].type = HYL_SQL_BIGINT;
                    }
                    break;
                }
                default: {
                    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
                    row.push_back(ColumnValue::FromBytes(text ? text : "",
                                                         static_cast<std::uint32_t>(sqlite3_column_bytes(statement, i))));
                }
            }
        }
        result->rows.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
    if (status != SQLITE_DONE) return nullptr;
    return result;
}

bool SqliteSequenceSource::ExecuteUpdate(const char* /*tableName*/, const std::string& sql) {
    std::lock_guard<std::mutex> hold(mutex_);
    ++updates_;
    char* message = nullptr;
    const bool ok = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK &&
                    sqlite3_changes(db_) > 0;
    if (message) LogDebug("SQLite : %s\n", message);
    sqlite3_free(message);
    return ok;
}
