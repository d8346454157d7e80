// A sequence data source over a SQLite database (file or ":memory:"), for the store shell
// and the tests until the persistence layer installs its own.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "store/sequence_data_source.h"

struct sqlite3;

// The identifier sequences on a SQLite file of their own (SeqGenState), for the store
// shell and tests.
class SqliteSequenceSource : public SequenceDataSource {
public:
    // How the database is opened.
    struct Options {
        bool readOnly = false;
        // Creates "SeqGenState" when the database lacks it.
        bool createTable = true;
    };
    // Null with the reason in error when the database cannot be opened.
    static std::shared_ptr<SqliteSequenceSource> Open(const std::string& path, const Options& options,
                                                      std::string* error);
    static std::shared_ptr<SqliteSequenceSource> Open(const std::string& path, std::string* error = nullptr) {
        return Open(path, Options{}, error);
    }
    ~SqliteSequenceSource() override;

    std::unique_ptr<QueryResultSet> ExecuteQuery(const char* tableName, const std::string& sql) override;
    bool ExecuteUpdate(const char* tableName, const std::string& sql) override;

    // queryCount, updateCount: statements run so far (for tests and diagnostics).
    int queryCount() const { return queries_.load(); }
    int updateCount() const { return updates_.load(); }
    // The open database.
    sqlite3* handle() const { return db_; }

private:
    explicit SqliteSequenceSource(sqlite3* db) : db_(db) {}
    sqlite3* db_;
    std::mutex mutex_;
    std::atomic<int> queries_{0};
    std::atomic<int> updates_{0};
};
