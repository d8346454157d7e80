// Start-up without a database: a recording provider registered as "SQLITE" shows the
// exact statements of a fresh and of a second start, the save state table, the choice of
// pool and connection, and the ages of connections.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "store/persistence/tests/recording_provider.h"
#include "store/persistence/tests/startup_fixture.h"

using namespace startuptest;

namespace {

ColumnValue persistencetest_Value(const char* text, BYTE type) {
    std::uint32_t length = static_cast<std::uint32_t>(std::strlen(text));
    return ConvertTextToColumnValue(text, type, &length);
}

using StartupRecordingTest = recording::RecordedStartupTest;

// Statements of a start with the creates cut to their first line (their full text is
// checked with the dialects).
std::vector<std::string> Shortened(std::vector<std::string> statements) {
    for (std::string& statement : statements) {
        statement = statement.substr(statement.find_first_not_of("\n"));
        if (statement.rfind("CREATE TABLE", 0) == 0)
            statement = statement.substr(0, statement.find('('));
    }
    return statements;
}

const std::vector<std::string> kReservation = {
    "BEGIN",
    "update SeqGenState set CURRENTBATCHEND = CURRENTBATCHEND where SEQNAME = 'ORDER_ID'",
    "select * from SeqGenState where SEQNAME = 'ORDER_ID';",
    "insert into SeqGenState values ('ORDER_ID',300);",
    "COMMIT",
};

TEST_F(StartupRecordingTest, FreshStartCreatesInForeignKeyOrderReservesLoadsAndSavesDefaultData) {
    ASSERT_TRUE(InitQuennet(root_.path().string().c_str()));
    std::vector<std::string> expected = {"CREATE TABLE SeqGenState", "CREATE TABLE Customer",
                                         "CREATE TABLE Orders"};
    expected.insert(expected.end(), kReservation.begin(), kReservation.end());
    // Each table's rows are saved in one transaction.
    expected.insert(expected.end(), {"select * from Customer", "select * from Orders", "BEGIN",
                                     "insert into  Customer (ID,NAME) values(1,'Ada')",
                                     "insert into  Customer (ID,NAME) values(2,'Brian')", "COMMIT", "BEGIN",
                                     "insert into  Orders (ID,NAME,ACTIVE,NOTES,CUSTOMER_ID) values(10,'first',1,'n1',1)",
                                     "insert into  Orders (ID,NAME,ACTIVE,NOTES,CUSTOMER_ID) values(11,'second',0,NULL,2)",
                                     "COMMIT"});
    EXPECT_EQ(Shortened(recording::TheRecorder().Take()), expected);
    EXPECT_TRUE(IsDSNMapValid());
}

TEST_F(StartupRecordingTest,
       SecondStartPassesExistingTablesCreatesTheMissingOneAndSkipsDefaultData) {
    recording::TheRecorder().existingTables = {"seqgenstate", "orders"};
    ASSERT_TRUE(InitQuennet(root_.path().string().c_str()));
    std::vector<std::string> expected = {
        "CREATE TABLE SeqGenState", "select * from SeqGenState where 1 = 0",
        "CREATE TABLE Customer", "CREATE TABLE Orders", "select * from Orders where 1 = 0"};
    expected.insert(expected.end(), kReservation.begin(), kReservation.end());
    expected.insert(expected.end(), {"select * from Customer", "select * from Orders"});
    EXPECT_EQ(Shortened(recording::TheRecorder().Take()), expected);
}

TEST_F(StartupRecordingTest, RealCreateFailureIsLoggedAndStartUpStillSucceedsWithoutDefaultData) {
    recording::TheRecorder().failing = {"CREATE TABLE Customer"};
    ASSERT_TRUE(InitQuennet(root_.path().string().c_str()));
    const std::vector<std::string> statements = Shortened(recording::TheRecorder().Take());
    EXPECT_NE(std::find(statements.begin(), statements.end(), "CREATE TABLE Orders"),
              statements.end());
    for (const std::string& statement : statements)
        EXPECT_EQ(statement.rfind("insert into  ", 0), std::string::npos);
    const std::string log = testsupport::ReadFile(root_.path() / "logs" / "quennet.log");
    EXPECT_NE(log.find("Cannot create table Customer.\n"), std::string::npos);
}

TEST_F(StartupRecordingTest, StartFailsWithItsMessageForEachMissingPiece) {
    struct Case {
        const char* file;
        const char* content;  // null: the file is removed
        const char* message;
    };
    const Case cases[] = {
        {"connparams.txt", nullptr, "Cannot open Connection Parameters File.\n"},
        {"dsn_table_map.txt", nullptr, "Cannot open DataSourceMap Entry File.\n"},
        {"datadictionary.txt", nullptr, "LoadAllDataDictFiles failed.\n"},
        {"connparams.txt", "", "No entires in data source vector. InitQuennet failed.\n"},
    };
    for (const Case& c : cases) {
        StoreRoot root;
        root.Write("connparams.txt", "agent 0 recdsn sa NULL 0 main SQLITE SQLITE NO\n");
        if (c.content)
            root.Write(c.file, c.content);
        else
            std::filesystem::remove(root.data() / c.file);
        EXPECT_FALSE(InitQuennet(root.path().string().c_str())) << c.file;
        const std::string log = testsupport::ReadFile(root.path() / "logs" / "quennet.log");
        EXPECT_NE(log.find(c.message), std::string::npos) << c.message;
        // A failed start leaves the stopped state: the next start works.
        recording::TheRecorder().Reset();
        EXPECT_TRUE(InitQuennet(root_.path().string().c_str()));
        DeInitQuennet();
    }
}

TEST_F(StartupRecordingTest, SaveTableIssuesTheStatementOfEachStateAndKeepsFailedRows) {
    ASSERT_TRUE(InitQuennet(root_.path().string().c_str()));
    ASSERT_TRUE(DeleteAllTableRowObjects("Customer"));  // the saved default rows become 9
    struct Case {
        int id;
        BYTE state;
        const char* statement;  // null: none
        BYTE after;             // 0: removed from the table
    };
    const Case cases[] = {
        {101, 1, nullptr, 1},
        {102, 2, "insert into  Customer (ID,NAME) values(102,'n102')", 1},
        {103, 4, nullptr, 4},
        {104, 5, "update Customer set NAME='n104' where ID=104", 1},
        {105, 6, "insert into  Customer (ID,NAME) values(105,'n105')", 1},
        {106, 9, "delete from Customer  where ID=106", 0},
        {107, 13, "delete from Customer  where ID=107", 0},
        {108, 10, nullptr, 10},
        {109, 2, "insert into  Customer (ID,NAME) values(109,'n109')", 2},  // fails: keeps its state
    };
    recording::TheRecorder().failing = {"values(109,"};
    for (const Case& c : cases) {
        const std::string id = std::to_string(c.id), name = "n" + id;
        std::vector<ColumnValue> values;
        values.push_back(persistencetest_Value(id.c_str(), HYL_SQL_INT));
        values.push_back(ColumnValue::FromText(name));
        auto row = CreateNewRowObject(std::move(values));
        row->state = c.state;
        ASSERT_TRUE(AddNewRow("Customer", std::move(row)));
    }
    recording::TheRecorder().Take();
    EXPECT_FALSE(SaveTable("Customer"));  // row 109 was not saved
    // One transaction; the failed insert rolls it back and the rows written before it are
    // written again in a new one.
    std::vector<std::string> written = {"delete from Customer  where ID=1", "delete from Customer  where ID=2"};
    for (const Case& c : cases)
        if (c.statement && c.id != 109) written.push_back(c.statement);
    std::vector<std::string> expected = {"BEGIN"};
    expected.insert(expected.end(), written.begin(), written.end());
    expected.insert(expected.end(), {cases[8].statement, "ROLLBACK", "BEGIN"});
    expected.insert(expected.end(), written.begin(), written.end());
    expected.push_back("COMMIT");
    std::vector<std::string> statements = recording::TheRecorder().Take();
    for (std::string& s : statements) s = s.substr(s.find_first_not_of("\n"));
    EXPECT_EQ(statements, expected);
    for (const Case& c : cases) {
        const std::string criteria = "ID = " + std::to_string(c.id);
        std::unique_ptr<ResultData> found = SelectRows("Customer", criteria.c_str());
        ASSERT_NE(found, nullptr);
        if (c.after == 0) {
            EXPECT_EQ(found->rowCount(), 0u) << c.id;
        } else {
            ASSERT_EQ(found->rowCount(), 1u) << c.id;
            EXPECT_EQ(found->entries[0]->state, c.after) << c.id;
        }
    }
    EXPECT_EQ(GetLiveRowCount("Customer"), 7u);
}

TEST_F(StartupRecordingTest, SaveTableWithoutConnectionWritesNothing) {
    ASSERT_TRUE(InitQuennet(root_.path().string().c_str()));
    ASSERT_TRUE(DeleteDataSourceMapEntry("Customer"));
    recording::TheRecorder().Take();
    EXPECT_FALSE(SaveTable("Customer"));
    EXPECT_FALSE(SaveTable("NotLoaded"));
    EXPECT_TRUE(recording::TheRecorder().Take().empty());
}

TEST_F(StartupRecordingTest, ListenerThatSelectsDuringSaveDoesNotDeadlock) {
    ASSERT_TRUE(InitQuennet(root_.path().string().c_str()));
    std::atomic<int> heard{0};
    ASSERT_TRUE(AddNotificationListener("saver", 0,
                                        [&heard](const IMDSNotification&, const std::string&) {
                                            std::unique_ptr<ResultData> rows =
                                                SelectRows("Customer", "ID = 2");
                                            if (rows) ++heard;
                                        },
                                        true, {"Customer"}));
    ASSERT_TRUE(DeleteAllTableRowObjects("Customer"));
    EXPECT_TRUE(SaveTable("Customer"));
    RemoveNotification("saver");
    EXPECT_EQ(heard.load(), 2);
    EXPECT_EQ(GetLiveRowCount("Customer"), 0u);
}

TEST_F(StartupRecordingTest, DialectIndexAppliesWhileTheMapIsNotValid) {
    ASSERT_TRUE(InitQuennet(root_.path().string().c_str()));
    EXPECT_STREQ(GetTableDialect("Orders")->name, "SQLITE");
    SetDSNMapValid(0, DIALECT_PGSQL);
    EXPECT_FALSE(IsDSNMapValid());
    EXPECT_STREQ(GetTableDialect("Orders")->name, "PGSQL");
    EXPECT_STREQ(GetTableDialect("NotMapped")->name, "PGSQL");  // every table, first pool
    SetDSNMapValid(7, 0);
    EXPECT_FALSE(IsDSNMapValid());
    SetDSNMapValid(1, 0);
    EXPECT_EQ(GetTableDialect("NotMapped"), nullptr);
    EXPECT_EQ(GetTableConnection("NotMapped"), nullptr);
    const std::string log = testsupport::ReadFile(root_.path() / "logs" / "quennet.log");
    EXPECT_NE(log.find("\nInvalid Status\n"), std::string::npos);
    EXPECT_NE(log.find("No DataSourceMap Entry for Table name NotMapped \n"), std::string::npos);
}

TEST_F(StartupRecordingTest, SecondProviderInitialisationFails) {
    ASSERT_TRUE(InitQuennet(root_.path().string().c_str()));
    EXPECT_FALSE(InitDBProvider());
    EXPECT_TRUE(UnloadDBProvider("SQLITE"));
    EXPECT_FALSE(UnloadDBProvider("SQLITE"));
    EXPECT_TRUE(LoadDBProvider("SQLITE"));
    EXPECT_FALSE(LoadDBProvider("SQLITE"));  // both slots taken
    EXPECT_FALSE(LoadDBProvider("NOSUCH"));
}

// ---- pools and ages -----------------------------------------------------------------

class PoolTest : public StartupRecordingTest {
protected:
    int SerialOf(DBConnection* connection) {
        return static_cast<recording::RecordingConnection*>(connection->handle.get())->serial;
    }
    void StartPools(const std::string& connparams, int perPool) {
        root_.Write("connparams.txt", connparams);
        ASSERT_TRUE(InitDBProvider());
        ASSERT_TRUE(
            LoadConnParamsEntryFromFile((root_.data() / "connparams.txt").string().c_str()));
        ASSERT_TRUE(perPool == 1 ? EstablishDBConnections() : EstablishDBConnectionPool(perPool));
    }
};

TEST_F(PoolTest, UnnamedRequestNeedsExactlyOnePool) {
    StartPools("a 0 d u NULL 0 one SQLITE SQLITE NO\nb 0 d u NULL 0 two SQLITE SQLITE NO\n", 1);
    EXPECT_EQ(GetConnection(nullptr), nullptr);
    DBConnection* two = GetConnection("two");
    ASSERT_NE(two, nullptr);
    EXPECT_NE(GetConnection("one"), two);
    EXPECT_EQ(GetConnection("One"), nullptr);  // pool names are case-sensitive
    EXPECT_TRUE(ReleaseConnection(nullptr));   // the first pool
    EXPECT_TRUE(ReleaseConnection("two"));
    EXPECT_FALSE(ReleaseConnection("two"));  // nothing held any more
}

TEST_F(PoolTest, OneConnectionPoolIsSharedByAllThreads) {
    StartPools("a 0 d u NULL 0 one SQLITE SQLITE NO\n", 1);
    DBConnection* mine = GetConnection("one");
    ASSERT_NE(mine, nullptr);
    DBConnection* theirs = nullptr;
    std::thread([&theirs] { theirs = GetConnection("one"); }).join();
    EXPECT_EQ(theirs, mine);
    EXPECT_EQ(mine->owner, CONNECTION_OWNER_SHARED);
}

TEST_F(PoolTest, FiveConnectionPoolGivesEachThreadItsOwnUntilReleased) {
    StartPools("a 0 d u NULL 0 five SQLITE SQLITE NO\n", 0);
    std::vector<DBConnection*> held(6, nullptr);
    std::vector<std::thread> threads;
    std::atomic<int> ready{0};
    std::atomic<bool> release{false};
    for (int i = 0; i < 6; ++i)
        threads.emplace_back([&, i] {
            held[i] = GetConnection("five");
            EXPECT_EQ(GetConnection("five"), held[i]);  // the same thread gets its own again
            ++ready;
            testsupport::WaitUntil([&] { return release.load(); });
            if (held[i]) ReleaseConnection("five");
        });
    ASSERT_TRUE(testsupport::WaitUntil([&] { return ready.load() == 6; }));
    std::set<DBConnection*> distinct;
    int without = 0;
    for (DBConnection* connection : held) {
        if (connection)
            distinct.insert(connection);
        else
            ++without;
    }
    EXPECT_EQ(distinct.size(), 5u);
    EXPECT_EQ(without, 1);  // the sixth thread finds none free
    release = true;
    for (auto& thread : threads) thread.join();
    DBConnection* again = GetConnection("five");
    EXPECT_NE(again, nullptr);
}

TEST_F(PoolTest, ConnectionIsReusedUpToItsAgeAndReopenedInPlaceAfter) {
    StartPools("a 0 d u NULL 0 one SQLITE SQLITE NO\n", 1);
    DBConnection* connection = GetConnection("one");
    ASSERT_NE(connection, nullptr);
    const int first = SerialOf(connection);
    connection->openedAt = std::time(nullptr) - CONNECTION_MAX_AGE_SECONDS;
    EXPECT_EQ(GetConnection("one"), connection);
    EXPECT_EQ(SerialOf(connection), first);
    connection->openedAt = std::time(nullptr) - CONNECTION_MAX_AGE_SECONDS - 1;
    EXPECT_EQ(GetConnection("one"), connection);  // same record, new provider connection
    EXPECT_NE(SerialOf(connection), first);
    EXPECT_EQ(recording::TheRecorder().closed, 1);  // the old one was closed
    EXPECT_EQ(connection->owner, CONNECTION_OWNER_SHARED);
}

TEST_F(PoolTest, AgedConnectionInTransactionIsNotReopened) {
    StartPools("a 0 d u NULL 0 one SQLITE SQLITE NO\n", 1);
    DBConnection* connection = GetConnection("one");
    ASSERT_TRUE(BeginTransaction(connection));
    const int first = SerialOf(connection);
    connection->openedAt = std::time(nullptr) - CONNECTION_MAX_AGE_SECONDS - 100;
    EXPECT_EQ(GetConnection("one"), connection);
    EXPECT_EQ(SerialOf(connection), first);
    EXPECT_TRUE(CommitTransaction(connection));
    EXPECT_FALSE(CommitTransaction(connection));  // no transaction open any more
    EXPECT_NE(GetConnection("one"), nullptr);
    EXPECT_NE(SerialOf(connection), first);
}

TEST_F(PoolTest, FailedReopenGivesNullAndFreesTheConnection) {
    StartPools("a 0 d u NULL 0 p SQLITE SQLITE NO\n", 2);
    DBConnection* connection = GetConnection("p");
    ASSERT_NE(connection, nullptr);
    ReleaseConnection("p");
    for (DBConnection* c : {connection}) c->openedAt = 0;
    recording::TheRecorder().failOpen = true;
    EXPECT_EQ(GetConnection("p"), nullptr);
    EXPECT_EQ(connection->owner, CONNECTION_OWNER_FREE);
}

}  // namespace
