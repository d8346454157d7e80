// Saves in transactions: the recording provider shows the exact order of statements,
// transactions and retries when statements, commits or the start of a transaction fail;
// SQLite, PostgreSQL and MariaDB show that a row the database refuses keeps its changes
// while the others are saved, that a lost connection or a refused commit never leaves a
// row marked saved that the database does not hold, and that a save commits once per
// batch instead of once per row.
#include <gtest/gtest.h>

#include <future>
#include <map>
#include <set>

#include "store/persistence/startup/batched_save.h"
#include "store/persistence/tests/recording_provider.h"
#include "store/persistence/tests/startup_fixture.h"

using namespace startuptest;
using testsupport::MariaDbServer;
using testsupport::PostgresServer;

namespace {

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// ---- the order of statements, on the recording provider ------------------------------

class SaveBatchRecordingTest : public recording::RecordedStartupTest {};

TEST_F(SaveBatchRecordingTest, FailuresRollBackTheBatchAndRunTheWrittenRowsAgain) {
    ASSERT_TRUE(InitQuennet(root_.path().string().c_str()));
    DBConnection* connection = GetConnection("main");
    ASSERT_NE(connection, nullptr);
    struct Case {
        const char* name;
        std::size_t batchRows;
        int writes;
        std::vector<std::string> failing;
        std::vector<std::string> statements;
        std::set<int> saved;
    };
    const Case cases[] = {
        {"batches of three", 3, 5, {}, {"BEGIN", "w1", "w2", "w3", "COMMIT", "BEGIN", "w4", "w5", "COMMIT"}, {1, 2, 3, 4, 5}},
        {"a failed statement",
         5,
         5,
         {"w3"},
         {"BEGIN", "w1", "w2", "w3", "ROLLBACK", "BEGIN", "w1", "w2", "COMMIT", "BEGIN", "w4", "w5", "COMMIT"},
         {1, 2, 4, 5}},
        {"every statement fails, as on a lost connection",
         4,
         3,
         {"w"},
         {"BEGIN", "w1", "ROLLBACK", "BEGIN", "w2", "ROLLBACK", "BEGIN", "w3", "ROLLBACK"},
         {}},
        {"a refused commit: each row alone in autocommit",
         2,
         3,
         {"COMMIT"},
         {"BEGIN", "w1", "w2", "COMMIT", "ROLLBACK", "w1", "w2", "BEGIN", "w3", "COMMIT", "ROLLBACK", "w3"},
         {1, 2, 3}},
        {"a refused commit and a row refused alone",
         2,
         2,
         {"COMMIT", "w2"},
         {"BEGIN", "w1", "w2", "ROLLBACK", "BEGIN", "w1", "COMMIT", "ROLLBACK", "w1"},
         {1}},
        {"no transaction to be had", 2, 3, {"BEGIN"}, {"BEGIN", "w1", "w2", "BEGIN", "w3"}, {1, 2, 3}},
    };
    for (const Case& c : cases) {
        std::vector<RowWrite> writes(static_cast<std::size_t>(c.writes));
        recording::TheRecorder().Take();
        recording::TheRecorder().failing = c.failing;
        const std::vector<bool> saved = WriteRowsInTransactions(
            connection, GetTableDialect("Customer"), "Customer", writes,
            [&writes](const RowWrite& write) -> SqlText { return "w" + std::to_string(&write - writes.data() + 1); },
            c.batchRows);
        recording::TheRecorder().failing.clear();
        EXPECT_EQ(recording::TheRecorder().Take(), c.statements) << c.name;
        std::set<int> savedRows;
        for (std::size_t i = 0; i < saved.size(); ++i)
            if (saved[i]) savedRows.insert(static_cast<int>(i) + 1);
        EXPECT_EQ(savedRows, c.saved) << c.name;
        EXPECT_EQ(connection->inTransaction, 0) << c.name;
    }
    // Each failed statement was reported once, however often the rows around it ran.
    const std::string log = testsupport::ReadFile(root_.path() / "logs" / "quennet.log");
    EXPECT_EQ(Occurrences(log, "QUERY : w3\n"), 2u) << log;  // two cases fail it
    EXPECT_EQ(Occurrences(log, "SaveTable : the commit of 2 rows of table Customer failed"), 1u) << log;
    EXPECT_EQ(Occurrences(log, "SaveTable : the commit of 1 rows of table Customer failed"), 2u) << log;
    ReleaseConnection("main");
}

TEST_F(SaveBatchRecordingTest, ACallersTransactionIsLeftToTheCaller) {
    ASSERT_TRUE(InitQuennet(root_.path().string().c_str()));
    DBConnection* connection = GetConnection("main");
    ASSERT_TRUE(BeginTransaction(connection));
    recording::TheRecorder().Take();
    std::vector<RowWrite> writes(2);
    const std::vector<bool> saved = WriteRowsInTransactions(
        connection, GetTableDialect("Customer"), "Customer", writes,
        [&writes](const RowWrite& write) -> SqlText { return "w" + std::to_string(&write - writes.data() + 1); });
    EXPECT_EQ(recording::TheRecorder().Take(), (std::vector<std::string>{"w1", "w2"}));
    EXPECT_EQ(saved, (std::vector<bool>{true, true}));
    EXPECT_EQ(connection->inTransaction, 1);
    EXPECT_TRUE(CommitTransaction(connection));
    ReleaseConnection("main");
}

TEST_F(SaveBatchRecordingTest, ARowTheGeneratorRefusesIsNotSentAndTheBatchGoesOn) {
    ASSERT_TRUE(InitQuennet(root_.path().string().c_str()));
    DBConnection* connection = GetConnection("main");
    recording::TheRecorder().Take();
    std::vector<RowWrite> writes(3);
    const std::vector<bool> saved = WriteRowsInTransactions(
        connection, GetTableDialect("Customer"), "Customer", writes, [&writes](const RowWrite& write) -> SqlText {
            if (&write == &writes[1]) return std::nullopt;
            return "w" + std::to_string(&write - writes.data() + 1);
        });
    EXPECT_EQ(recording::TheRecorder().Take(), (std::vector<std::string>{"BEGIN", "w1", "w3", "COMMIT"}));
    EXPECT_EQ(saved, (std::vector<bool>{true, false, true}));
    ReleaseConnection("main");
}

// ---- real databases ----------------------------------------------------------------------

class SaveTransactionsTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        database_ = "saves_" + std::to_string(++counter_);
        UseBackend(GetParam(), database_, sandbox_, root_);
        if (HasFatalFailure()) return;
        StartedStore first(root_);  // creates the tables, saves the default data
        ASSERT_TRUE(first.started());
    }
    bool Is(const char* backend) const { return std::string(GetParam()) == backend; }

    static bool Behind(const char* statement) {
        DBConnection* connection = GetTableConnection("Orders");
        const bool done = connection && ExecuteUpdate(connection, statement) == 1;
        ReleaseTableConnection("Orders");
        return done;
    }
    static RowObject* OrderRow(int id) {
        const std::string criteria = "ID = " + std::to_string(id);
        std::unique_ptr<ResultData> found = SelectRows("Orders", criteria.c_str());
        return found && found->rowCount() == 1 ? found->entries[0] : nullptr;
    }
    static void AddOrder(int id, const std::string& name, int customer) {
        std::vector<ColumnValue> values(5);
        values[0] = ColumnValue::FromObject<std::int32_t>(id, 4);
        values[1] = ColumnValue::FromText(name);
        values[4] = ColumnValue::FromObject<std::int32_t>(customer, 4);
        ASSERT_TRUE(AddNewRow("Orders", CreateNewRowObject(std::move(values))));
    }
    // ID -> NAME of the rows the database holds.
    static std::map<int, std::string> StoredNames() {
        std::map<int, std::string> names;
        for (const auto& row : QueryTexts("Orders", "select ID, NAME from Orders")) names[std::stoi(row[0])] = row[1];
        return names;
    }
    std::string Log() const { return testsupport::ReadFile(root_.path() / "logs" / "quennet.log"); }

    static inline int counter_ = 0;
    std::string database_;
    testsupport::OdbcSandbox sandbox_;
    StoreRoot root_;
};

TEST_P(SaveTransactionsTest, ARefusedRowKeepsItsChangesWhileTheRowsAroundItAreSaved) {
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    ASSERT_TRUE(Behind("insert into Orders (ID, NAME, CUSTOMER_ID) values (3100, 'there first', 1)"));
    ASSERT_TRUE(UpdateRowObject("Orders", OrderRow(10), "NAME", "renamed", 7));
    ASSERT_TRUE(DeleteRowObject("Orders", OrderRow(11)));
    // 4,500 new rows cross two batch ends; the key of one is taken already.
    for (int id = 6000; id < 10500; ++id) AddOrder(id == 9100 ? 3100 : id, "order " + std::to_string(id), 1);
    EXPECT_FALSE(SaveTable("Orders"));

    const std::map<int, std::string> stored = StoredNames();
    EXPECT_EQ(stored.size(), 4501u);  // 10, 3100 and 4,499 of the new rows
    EXPECT_EQ(stored.at(10), "renamed");
    EXPECT_EQ(stored.count(11), 0u);
    EXPECT_EQ(stored.at(3100), "there first");
    EXPECT_EQ(stored.at(10499), "order 10499");
    EXPECT_EQ(OrderRow(10)->state, ROW_SAVED);
    EXPECT_EQ(OrderRow(11), nullptr);  // deleted and removed
    EXPECT_EQ(OrderRow(6000)->state, ROW_SAVED);
    EXPECT_EQ(OrderRow(10499)->state, ROW_SAVED);
    std::unique_ptr<ResultData> refused = SelectRows("Orders", "NAME = 'order 9100'");
    ASSERT_EQ(refused->rowCount(), 1u);
    EXPECT_EQ(refused->entries[0]->state, ROW_NEW);
    EXPECT_EQ(GetLiveRowCount("Orders"), 4501u);
    EXPECT_EQ(Occurrences(Log(), "QUERY : insert into  Orders (ID,NAME,ACTIVE,NOTES,CUSTOMER_ID) values(3100,"), 1u);
    // The next save tries it again, and only it.
    EXPECT_FALSE(SaveTable("Orders"));
    EXPECT_EQ(Occurrences(Log(), "QUERY : insert into  Orders (ID,NAME,ACTIVE,NOTES,CUSTOMER_ID) values(3100,"), 2u);
}

TEST_P(SaveTransactionsTest, ASaveCommitsOncePerBatchNotOncePerRow) {
    if (Is("sqlite")) GTEST_SKIP() << "SQLite keeps no statement counters";
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    for (int id = 1000; id < 5500; ++id) AddOrder(id, "order " + std::to_string(id), 1);
    std::string output;
    if (Is("pgsql") && PostgresServer::Instance().Psql("create extension if not exists pg_stat_statements") != 0)
        GTEST_SKIP() << "pg_stat_statements is not available";
    // COMMIT statements the server ran; the store's connection is its only client meanwhile.
    const auto commits = [&]() -> long long {
        if (Is("mysql")) {
            MariaDbServer::Instance().Sql("SHOW GLOBAL STATUS LIKE 'Com_commit'", &output);
            return std::atoll(output.c_str() + output.find('\t') + 1);
        }
        PostgresServer::Instance().Psql(
            "select coalesce(sum(calls), 0) from pg_stat_statements where query ilike 'commit%'", &output);
        return std::atoll(output.c_str());
    };
    const long long before = commits();
    EXPECT_TRUE(SaveTable("Orders"));
    EXPECT_EQ(StoredNames().size(), 4502u);
    EXPECT_EQ(commits() - before, 3) << "batches of 2,000, 2,000 and 500 rows";
}

TEST_P(SaveTransactionsTest, ARefusedCommitMarksNothingSavedAndEachRowIsTriedAlone) {
    if (Is("mysql")) GTEST_SKIP() << "MariaDB checks every constraint at once";
    {
        StartedStore store(root_);
        ASSERT_TRUE(store.started());
        // The reference to Customer is checked only when the transaction commits.
        ASSERT_TRUE(Behind("drop table Orders"));
        const std::string active = Is("pgsql") ? "boolean" : "int";
        ASSERT_TRUE(Behind(("create table Orders(ID int not null primary key, NAME varchar(61), ACTIVE " + active +
                            ", NOTES text, CUSTOMER_ID int references Customer(ID) deferrable initially deferred)")
                               .c_str()));
    }
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    if (Is("sqlite")) {
        ASSERT_TRUE(Behind("PRAGMA foreign_keys = ON"));
    }
    AddOrder(20, "good", 1);
    AddOrder(21, "no such customer", 99);
    AddOrder(22, "good too", 2);
    EXPECT_FALSE(SaveTable("Orders"));
    EXPECT_EQ(StoredNames(), (std::map<int, std::string>{{20, "good"}, {22, "good too"}}));
    EXPECT_EQ(OrderRow(20)->state, ROW_SAVED);
    EXPECT_EQ(OrderRow(21)->state, ROW_NEW);
    EXPECT_EQ(OrderRow(22)->state, ROW_SAVED);
    const std::string log = Log();
    EXPECT_NE(log.find("SaveTable : the commit of 3 rows of table Orders failed"), std::string::npos) << log;
    EXPECT_EQ(Occurrences(log, "QUERY : insert into  Orders (ID,NAME,ACTIVE,NOTES,CUSTOMER_ID) values(21,"), 1u);
}

// Runs the statement on the server as its administrator.
int AsAdministrator(const std::string& backend, const std::string& sql, std::string* output = nullptr) {
    return backend == "pgsql" ? PostgresServer::Instance().Psql(sql, output) : MariaDbServer::Instance().Sql(sql, output);
}

TEST_P(SaveTransactionsTest, ALostConnectionLeavesEveryRowItDidNotSavePending) {
    if (Is("sqlite")) GTEST_SKIP() << "an SQLite file has no connection to lose";
    const std::string backend = GetParam();
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    // Another client holds row 11, so the save waits on it after writing row 10.
    ConnectionParams params;
    params.dsn = "other";
    params.direct = 1;
    params.connString = Is("pgsql") ? PostgresServer::Instance().connectionString(database_)
                                     : "Driver={MariaDB Unicode};Server=127.0.0.1;Port=" +
                                           std::to_string(MariaDbServer::Instance().port()) + ";Database=" + database_ +
                                           ";Uid=tester;Pwd=secret;";
    ProviderConnectionPtr other = ODBCOpenConnection(&params);
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(ODBCBeginTransaction(other.get()));
    ASSERT_EQ(ODBCExecuteUpdate(other.get(), "update Orders set NAME = 'held' where ID = 11"), 1);

    ASSERT_TRUE(UpdateRowObject("Orders", OrderRow(10), "NAME", "ten", 3));
    ASSERT_TRUE(UpdateRowObject("Orders", OrderRow(11), "NAME", "eleven", 6));
    for (int id = 20; id < 30; ++id) AddOrder(id, "order " + std::to_string(id), 1);
    auto save = std::async(std::launch::async, [] { return SaveTable("Orders"); });

    // Once the save waits, its session is cut and no new one is let in.
    const std::string waiting =
        Is("pgsql") ? "select pid from pg_stat_activity where wait_event_type = 'Lock' and datname = '" + database_ + "'"
                    : "select trx_mysql_thread_id from information_schema.innodb_trx where trx_state = 'LOCK WAIT'";
    std::string session;
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return AsAdministrator(backend, waiting, &session) == 0 && std::atoi(session.c_str()) > 0; },
        std::chrono::seconds(30)));
    const std::string id = std::to_string(std::atoi(session.c_str()));
    if (Is("pgsql")) {
        ASSERT_EQ(AsAdministrator(backend, "alter database " + database_ + " allow_connections false"), 0);
        ASSERT_EQ(AsAdministrator(backend, "select pg_terminate_backend(" + id + ")"), 0);
    } else {
        ASSERT_EQ(AsAdministrator(backend, "alter user 'tester'@'127.0.0.1' account lock"), 0);
        ASSERT_EQ(AsAdministrator(backend, "kill connection " + id), 0);
    }
    EXPECT_FALSE(save.get());
    ASSERT_TRUE(ODBCRollbackTransaction(other.get()));
    other.reset();

    // With the server open again: nothing of the cut batch reached the database, and
    // nothing of it is marked saved.
    if (Is("pgsql"))
        ASSERT_EQ(AsAdministrator(backend, "alter database " + database_ + " allow_connections true"), 0);
    else
        ASSERT_EQ(AsAdministrator(backend, "alter user 'tester'@'127.0.0.1' account unlock"), 0);
    // Pooled connections are reopened for their age only: the test reopens the cut one.
    ASSERT_TRUE(ReopenConnection(GetTableConnection("Orders")));
    ReleaseTableConnection("Orders");
    const std::map<int, std::string> stored = StoredNames();
    ASSERT_EQ(stored.count(10), 1u);
    EXPECT_EQ(stored.at(10), "first");
    EXPECT_EQ(stored.at(11), "second");
    EXPECT_EQ(stored.count(20), 0u);
    EXPECT_EQ(OrderRow(10)->state, ROW_SAVED | ROW_UPDATED);
    EXPECT_EQ(OrderRow(11)->state, ROW_SAVED | ROW_UPDATED);
    EXPECT_EQ(OrderRow(20)->state, ROW_NEW);
    EXPECT_EQ(OrderRow(29)->state, ROW_NEW);
    // The next save writes them all.
    EXPECT_TRUE(SaveTable("Orders"));
    const std::map<int, std::string> saved = StoredNames();
    EXPECT_EQ(saved.at(10), "ten");
    EXPECT_EQ(saved.at(11), "eleven");
    EXPECT_EQ(saved.at(29), "order 29");
    EXPECT_EQ(OrderRow(29)->state, ROW_SAVED);
}

INSTANTIATE_TEST_SUITE_P(Databases, SaveTransactionsTest, ::testing::Values("sqlite", "pgsql", "mysql"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
