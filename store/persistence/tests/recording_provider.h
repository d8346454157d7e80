// A provider that records every statement instead of reaching a database, registered
// under the name "SQLITE": start-up can then be checked statement by statement. Selects
// answer with the columns of the table they name and no rows; statements holding a
// configured text fail.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "store/foundation/text_utils.h"
#include "store/persistence/persistence.h"
#include "store/persistence/tests/startup_fixture.h"

namespace recording {

struct Recorder {
    std::mutex mutex;
    std::vector<std::string> statements;   // "BEGIN", "COMMIT", "ROLLBACK" included
    std::vector<std::string> failing;      // statements containing one of these fail
    std::set<std::string> existingTables;  // CREATE of these fails, their probe answers
    int opened = 0;
    int closed = 0;
    bool failOpen = false;

    void Reset() {
        std::lock_guard<std::mutex> hold(mutex);
        statements.clear();
        failing.clear();
        existingTables.clear();
        opened = closed = 0;
        failOpen = false;
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> hold(mutex);
        std::vector<std::string> taken;
        taken.swap(statements);
        return taken;
    }
};

inline Recorder& TheRecorder() {
    static Recorder recorder;
    return recorder;
}

struct RecordingConnection : ProviderConnection {
    int serial = 0;
    ~RecordingConnection() override {
        std::lock_guard<std::mutex> hold(TheRecorder().mutex);
        ++TheRecorder().closed;
    }
};

inline bool Fails(const std::string& statement) {
    Recorder& recorder = TheRecorder();
    for (const std::string& marker : recorder.failing)
        if (statement.find(marker) != std::string::npos) return true;
    return false;
}

// "create table X", "CREATE TABLE X (" ...: the table a create names.
inline std::string CreatedTable(const std::string& statement) {
    std::string lower = ToLowerString(statement.c_str());
    const std::size_t at = lower.find("create table ");
    if (at == std::string::npos) return {};
    std::size_t start = at + 13;
    std::size_t end = statement.find_first_of(" (", start);
    return statement.substr(start, end - start);
}

inline ProviderConnectionPtr Open(const ConnectionParams*) {
    Recorder& recorder = TheRecorder();
    std::lock_guard<std::mutex> hold(recorder.mutex);
    if (recorder.failOpen) return nullptr;
    auto connection = std::make_unique<RecordingConnection>();
    connection->serial = ++recorder.opened;
    return connection;
}

inline BYTE Update(ProviderConnection*, const char* statement) {
    Recorder& recorder = TheRecorder();
    std::lock_guard<std::mutex> hold(recorder.mutex);
    recorder.statements.emplace_back(statement);
    const std::string created = CreatedTable(statement);
    if (!created.empty() && recorder.existingTables.count(ToLowerString(created.c_str()))) return 0;
    return Fails(statement) ? 0 : 1;
}

inline std::unique_ptr<QueryResultSet> Query(ProviderConnection*, const char* statement) {
    Recorder& recorder = TheRecorder();
    std::lock_guard<std::mutex> hold(recorder.mutex);
    recorder.statements.emplace_back(statement);
    if (Fails(statement)) return nullptr;
    const std::string text = statement;
    const std::size_t from = ToLowerString(statement).find(" from ");
    auto result = std::make_unique<QueryResultSet>();
    if (from == std::string::npos) return result;
    std::string table = text.substr(from + 6);
    table = table.substr(0, table.find_first_of(" ;"));
    const bool probe = text.find("where 1 = 0") != std::string::npos;
    if (probe && !recorder.existingTables.count(ToLowerString(table.c_str()))) return nullptr;
    if (const TableDefn* defn = GetTableDefn(table.c_str()))
        for (const auto& column : defn->columns)
            result->columns.push_back({column->name, column->type});
    result->columnCount = static_cast<std::int32_t>(result->columns.size());
    return result;
}

inline bool Close(ProviderConnectionPtr connection) {
    connection.reset();
    return true;
}

inline bool Mark(const char* what) {
    Recorder& recorder = TheRecorder();
    std::lock_guard<std::mutex> hold(recorder.mutex);
    recorder.statements.emplace_back(what);
    return !Fails(what);
}
inline bool Begin(ProviderConnection*) {
    return Mark("BEGIN");
}
inline bool Commit(ProviderConnection*) {
    return Mark("COMMIT");
}
inline bool Rollback(ProviderConnection*) {
    return Mark("ROLLBACK");
}
inline BYTE UpdateBlob(ProviderConnection* connection, const char* statement, BlobProducer, void*) {
    return Update(connection, statement);
}
inline std::unique_ptr<QueryResultSet> QueryBlob(ProviderConnection* connection,
                                                 const char* statement, BlobConsumer, void*) {
    return Query(connection, statement);
}

inline const DBProvider* Provider() {
    static const DBProvider provider{"SQLITE", Open,   Update,   Query,      Close,
                                     Begin,    Commit, Rollback, UpdateBlob, QueryBlob};
    return &provider;
}

// A store root whose one connection goes to the recording provider; the store is stopped
// and the provider unregistered after each test.
class RecordedStartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        TheRecorder().Reset();
        RegisterDBProvider(Provider());
        root_.Write("connparams.txt", "agent 0 recdsn sa NULL 0 main SQLITE SQLITE NO\n");
    }
    void TearDown() override {
        DeInitQuennet();
        UnregisterDBProvider("SQLITE");
    }
    startuptest::StoreRoot root_;
};

}  // namespace recording
