// Store start-up on SQLite through the unixODBC SQLite3 driver: fresh and second starts,
// connections, load and save, and the configuration-file edge cases.
#include <gtest/gtest.h>

#include <thread>

#include "store/persistence/tests/startup_fixture.h"

using namespace startuptest;

namespace {

class StartupSqliteTest : public ::testing::Test {
protected:
    void SetUp() override { root_.UseSqliteDsn(sandbox_); }
    testsupport::OdbcSandbox sandbox_;
    StoreRoot root_;
};

TEST_F(StartupSqliteTest, FreshStartCreatesTablesAndSavesDefaultDataThenSecondStartLoadsIt) {
    {
        StartedStore store(root_);
        ASSERT_TRUE(store.started());
        EXPECT_EQ(QueryTexts("Customer", "select ID, NAME from Customer order by ID"),
                  (std::vector<std::vector<std::string>>{{"1", "Ada"}, {"2", "Brian"}}));
        EXPECT_EQ(QueryTexts("Orders", "select ID, NAME from Orders order by ID").size(), 2u);
        // The first batch of the generator is reserved in the database.
        EXPECT_EQ(QueryTexts("SeqGenState", "select SEQNAME, CURRENTBATCHEND from SeqGenState"),
                  (std::vector<std::vector<std::string>>{{"ORDER_ID", "300"}}));
    }
    {
        StartedStore store(root_);
        ASSERT_TRUE(store.started());
        EXPECT_EQ(GetLiveRowCount("Customer"), 2u);
        EXPECT_EQ(GetLiveRowCount("Orders"), 2u);
        // Default data is not saved a second time: still two customers in the database.
        EXPECT_EQ(QueryTexts("Customer", "select ID from Customer").size(), 2u);
        EXPECT_EQ(QueryTexts("SeqGenState", "select CURRENTBATCHEND from SeqGenState"),
                  (std::vector<std::vector<std::string>>{{"600"}}));
    }
}

TEST_F(StartupSqliteTest, ConnectionsAreHandedOutAndStatementsRun) {
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    DBConnection* connection = GetConnection("main");
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(GetConnection(nullptr), connection);  // the only pool
    EXPECT_EQ(ExecuteUpdate(connection, "insert into Customer values (7, 'Gus')"), 1);
    std::unique_ptr<QueryResultSet> result =
        ExecuteQuery(connection, "select NAME from Customer where ID = 7");
    ASSERT_NE(result, nullptr);
    ASSERT_EQ(result->rows.size(), 1u);
    EXPECT_TRUE(ReleaseConnection("main"));
    EXPECT_EQ(ExecuteUpdate(connection, "insert into Nowhere values (1)"), 0);
    EXPECT_EQ(ExecuteUpdate(nullptr, "select 1"), 0);
    EXPECT_EQ(ExecuteQuery(connection, nullptr), nullptr);
    EXPECT_EQ(GetConnection("other"), nullptr);
}

}  // namespace

namespace {

std::string LogOf(const StoreRoot& root) {
    return testsupport::ReadFile(root.path() / "logs" / "quennet.log");
}

TEST_F(StartupSqliteTest, ConnectionParameterRecordsAreReadAsWritten) {
    const std::string longString(300, 'x');
    root_.Write("connparams.txt",
                "n1 5432 dsn1 user1 NULL 0 plain ODBC PGSQL NO trailing words ignored\n"
                "n2 0 unused u p 0 direct1 ODBC SQLITE yes Driver={SQLite3};Database=/tmp/x.db;\n"
                "n3 0 unused u p 0 toolong ODBC SQLITE YES " +
                    longString +
                    "\n"
                    "n4 0 dsn4 u secret 0 after ODBC MYSQL NO\n"
                    "n5 notaport dsn5 u p 0 stopped ODBC MYSQL NO\n"
                    "n6 0 dsn6 u p 0 never ODBC MYSQL NO\n");
    ASSERT_TRUE(InitDBProvider());
    ASSERT_TRUE(LoadConnParamsEntryFromFile((root_.data() / "connparams.txt").string().c_str()));
    const std::vector<const ConnectionParams*> records = GetAllConnectionParams();
    ASSERT_EQ(records.size(), 3u);  // the cut record fails, the bad port stops reading
    EXPECT_EQ(records[0]->connName, "plain");
    EXPECT_EQ(records[0]->port, 5432);
    EXPECT_FALSE(records[0]->password.has_value());
    EXPECT_EQ(records[0]->direct, 0);
    EXPECT_FALSE(records[0]->connString.has_value());
    EXPECT_EQ(records[1]->direct, 1);
    EXPECT_EQ(records[1]->connString, "Driver={SQLite3};Database=/tmp/x.db;");
    EXPECT_EQ(records[1]->password, "p");
    EXPECT_EQ(records[2]->connName, "after");
    EXPECT_STREQ(GetFirstConnectionName(), "plain");
    EXPECT_STREQ(GetConnectionDatabaseType("after"), "MYSQL");
    EXPECT_STREQ(GetConnectionProviderName("direct1"), "ODBC");
    EXPECT_EQ(GetConnectionDatabaseType("missing"), nullptr);
    DeInitQuennet();
}

TEST_F(StartupSqliteTest, RecordsAndMapEntriesHoldingANulByteAreSkipped) {
    using namespace std::string_literals;
    // Looked up by name, a NUL-bearing name would stop at the NUL and stand for another.
    root_.Write("connparams.txt",
                "n1 0 dsn1 u p 0 ma\0in ODBC PGSQL NO\n"
                "n2 0 unused u p 0 direct ODBC SQLITE YES Database=/tmp/a.db\0;Database=/etc/x\n"
                "n3 0 dsn3 u pass\0word 0 third ODBC PGSQL NO\n"
                "n4 0 dsn4 u p 0 good ODBC MYSQL NO\n"s);
    root_.Write("dsn_table_map.txt", "Cust\0omer main\nOrders ma\0in\nItems good\n"s);
    ASSERT_TRUE(InitDBProvider());
    ASSERT_TRUE(LoadConnParamsEntryFromFile((root_.data() / "connparams.txt").string().c_str()));
    const std::vector<const ConnectionParams*> records = GetAllConnectionParams();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->connName, "good");
    EXPECT_EQ(GetConnectionParams("ma"), nullptr);

    ASSERT_TRUE(LoadDataSourceMapEntryFromFile((root_.data() / "dsn_table_map.txt").string().c_str()));
    EXPECT_EQ(GetDataSourceMapEntry("Cust"), nullptr);
    EXPECT_EQ(GetDataSourceMapEntry("Orders"), nullptr);
    ASSERT_NE(GetDataSourceMapEntry("Items"), nullptr);
    EXPECT_EQ(GetDataSourceMapEntry("Items")->connName, "good");
    DeInitQuennet();
}

TEST_F(StartupSqliteTest, DirectFirstRecordSpeaksItsOwnDialectOnTheFirstPool) {
    root_.Write("connparams.txt",
                "agent 0 unused sa NULL 0 main ODBC SQLITE YES Driver={SQLite3};Database=" +
                    root_.dbFile("direct.db") + ";\n");
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    EXPECT_FALSE(IsDSNMapValid());
    EXPECT_STREQ(GetTableDialect("Orders")->name, "SQLITE");
    EXPECT_EQ(QueryTexts("Customer", "select ID from Customer").size(), 2u);
}

TEST_F(StartupSqliteTest, LoadListLinesLoadSelectionsOrWholeTablesAndSkipCutLines) {
    {
        StartedStore store(root_);
        ASSERT_TRUE(store.started());
    }
    root_.Write("loadtablelist.txt",
                "Customer select NAME from Customer where ID = 2\nOrders\nSeqGenState select " +
                    std::string(300, ' ') + "* from SeqGenState\n");
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    // Only the selected column came back; the others of the row are NULL.
    ASSERT_EQ(GetLiveRowCount("Customer"), 1u);
    std::unique_ptr<ResultData> customer = SelectRowByRowIdx("Customer", 1);
    RowObject* row = GotoNextRowObject(customer.get());
    ASSERT_NE(row, nullptr);
    ASSERT_EQ(row->values.size(), 2u);
    EXPECT_EQ(CellOf(row, "Customer", "NAME"), "Brian");
    EXPECT_EQ(CellOf(row, "Customer", "ID"), "<NULL>");
    EXPECT_EQ(GetLiveRowCount("Orders"), 2u);
    EXPECT_EQ(GetTableDataByName("SeqGenState"), nullptr);  // its line was cut
}

TEST_F(StartupSqliteTest, LoadTableRefusesATableWhoseColumnsDifferFromItsDefinition) {
    {
        StartedStore store(root_);
        ASSERT_TRUE(store.started());
    }
    {
        StartedStore store(root_);
        DBConnection* connection = GetConnection("main");
        ASSERT_EQ(ExecuteUpdate(connection, "drop table Customer"), 1);
        ASSERT_EQ(ExecuteUpdate(connection, "create table Customer(ID int, FULLNAME varchar(20))"),
                  1);
        ReleaseConnection("main");
        UnLoadTable("Customer");
        EXPECT_FALSE(LoadTable("Customer"));
        EXPECT_EQ(GetTableDataByName("Customer"), nullptr);
        EXPECT_NE(LogOf(root_).find("mismatch between table definition in datadictionary"),
                  std::string::npos);
        // A selection maps by name: FULLNAME is no column of the definition, NAME is NULL.
        EXPECT_TRUE(LoadTableByQuery("Customer", "select * from Customer"));
    }
}

TEST_F(StartupSqliteTest, DefaultDataLoadsOnlyTheFileNamedLast) {
    root_.Write("first.xml", R"(<Data><Customer ID="5" NAME="Skipped"/></Data>)");
    root_.Write("defaultdata.txt", "first.xml defaults.xml\n");
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    EXPECT_EQ(QueryTexts("Customer", "select ID from Customer where ID = 5").size(), 0u);
    EXPECT_EQ(QueryTexts("Customer", "select ID from Customer").size(), 2u);
    EXPECT_NE(LogOf(root_).find("Default data file first.xml skipped"), std::string::npos);
}

TEST_F(StartupSqliteTest, BrokenDefaultDataFailsTheFreshStart) {
    root_.Write("defaults.xml", "<Data><Customer ID=\"1\"");
    StartedStore store(root_);
    EXPECT_FALSE(store.started());
    const std::string log = LogOf(root_);
    EXPECT_NE(log.find("Cannot create DO from"), std::string::npos);
    EXPECT_NE(log.find("Cannot save default data.\n"), std::string::npos);
}

TEST_F(StartupSqliteTest, TableAddedToTheDictionaryLaterIsCreatedOnTheNextStart) {
    {
        StartedStore store(root_);
        ASSERT_TRUE(store.started());
    }
    std::string dictionary = kStartupDictionary;
    dictionary.insert(dictionary.rfind("</data-dictionary>"), R"(  <table name="Notes">
    <columns><column name="NID"><data-type>HYL_SQL_INT</data-type></column></columns>
  </table>
)");
    root_.Write("startup_dictionary.xml", dictionary);
    root_.Write("dsn_table_map.txt", "SeqGenState main\nOrders main\nCustomer main\nNotes main\n");
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    DBConnection* connection = GetConnection("main");
    EXPECT_EQ(ExecuteUpdate(connection, "insert into Notes values (1)"), 1);
    ReleaseConnection("main");
    // Not a fresh database: default data stays as it was.
    EXPECT_EQ(QueryTexts("Customer", "select ID from Customer").size(), 2u);
}

TEST_F(StartupSqliteTest, ChangesSavedAreThereAfterRestartAndIdentifiersComeFromTheNextBatch) {
    {
        StartedStore store(root_);
        ASSERT_TRUE(store.started());
        std::vector<ColumnValue> values(5);
        values[1] = ColumnValue::FromText("it's a \\ test");
        ASSERT_TRUE(AddNewRow("Orders", CreateNewRowObject(std::move(values))));
        std::unique_ptr<ResultData> first = SelectRows("Orders", "ID = 10");
        ASSERT_TRUE(UpdateRowObject("Orders", GotoNextRowObject(first.get()), "ACTIVE", "0", 1));
        std::unique_ptr<ResultData> second = SelectRows("Orders", "ID = 11");
        ASSERT_TRUE(DeleteRowObject("Orders", GotoNextRowObject(second.get())));
        EXPECT_TRUE(SaveAllTables());
        EXPECT_EQ(GetLiveRowCount("Orders"), 2u);
    }
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    EXPECT_EQ(QueryTexts("Orders", "select ID, NAME, cast(ACTIVE as int) from Orders order by ID"),
              (std::vector<std::vector<std::string>>{{"10", "first", "0"},
                                                     {"12", "it's a \\ test", "1"}}));
    std::vector<ColumnValue> values(5);
    ASSERT_TRUE(AddNewRow("Orders", CreateNewRowObject(std::move(values))));
    std::unique_ptr<ResultData> added = SelectRows("Orders", "ID = 301");
    EXPECT_EQ(added->rowCount(), 1u);
}

TEST_F(StartupSqliteTest, SaveListSkipsAnUnendedLineWithABlank) {
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    for (const char* table : {"Customer", "Orders"}) {
        std::vector<ColumnValue> values(GetTableDefn(table)->columns.size());
        values[0] = ColumnValue::FromObject<std::int32_t>(77, 4);
        values[1] = ColumnValue::FromText("x");
        ASSERT_TRUE(AddNewRow(table, CreateNewRowObject(std::move(values))));
    }
    root_.Write("savetableslist.txt", "Customer\nOrders extra");
    EXPECT_TRUE(SaveTablesFromList());
    EXPECT_EQ(QueryTexts("Customer", "select ID from Customer where ID = 77").size(), 1u);
    EXPECT_EQ(QueryTexts("Orders", "select ID from Orders where ID = 77").size(), 0u);
    std::filesystem::remove(root_.data() / "savetableslist.txt");
    EXPECT_TRUE(SaveTablesFromList());
    EXPECT_NE(LogOf(root_).find("No tables to be saved.\n"), std::string::npos);
}

TEST_F(StartupSqliteTest, ViewLoadedByQueryHasTheTableColumnsAndUnloadAndReloadWork) {
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    ASSERT_TRUE(
        LoadViewByQuery("ActiveOrders", "Orders", "select ID, NAME from Orders where ACTIVE = 1"));
    TableData* view = GetTableDataByName("ActiveOrders");
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->kind, KIND_VIEW);
    EXPECT_EQ(view->columnCount, 5u);
    EXPECT_EQ(GetLiveRowCount("ActiveOrders"), 1u);
    EXPECT_FALSE(LoadViewByQuery("Broken", "Orders", "select nothing from nowhere"));
    EXPECT_TRUE(UnLoadTable("ActiveOrders"));
    EXPECT_FALSE(UnLoadTable("ActiveOrders"));
    EXPECT_TRUE(ReloadTableData());
    EXPECT_EQ(GetLiveRowCount("Orders"), 2u);
}

TEST_F(StartupSqliteTest, AgedConnectionIsReopenedAndStillWorks) {
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    DBConnection* connection = GetConnection("main");
    ProviderConnection* before = connection->handle.get();
    connection->openedAt -= CONNECTION_MAX_AGE_SECONDS + 1;
    ASSERT_EQ(GetConnection("main"), connection);
    EXPECT_NE(connection->handle.get(), before);
    EXPECT_EQ(QueryTexts("Customer", "select ID from Customer").size(), 2u);
}

TEST_F(StartupSqliteTest, ThreadsShareTheOneConnectionPool) {
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 25; ++i) {
                DBConnection* connection = GetConnection("main");
                const std::string insert =
                    "insert into Customer values (" + std::to_string(1000 + t * 100 + i) + ", 'T')";
                if (!connection || ExecuteUpdate(connection, insert.c_str()) != 1) ++failures;
                if (!ExecuteQuery(connection, "select count(*) from Customer")) ++failures;
                ReleaseConnection("main");
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(QueryTexts("Customer", "select ID from Customer").size(), 102u);
}

// ---- index tables -------------------------------------------------------------------

class IndexTableTest : public StartupSqliteTest {
protected:
    void SetUp() override {
        StartupSqliteTest::SetUp();
        std::string dictionary = kStartupDictionary;
        dictionary.insert(dictionary.rfind("</data-dictionary>"), R"(  <table name="Customer_IDX">
    <columns>
      <column name="ID"><data-type>HYL_SQL_INT</data-type></column>
      <column name="TABLENAME"><data-type>CHAR</data-type><max-size>60</max-size></column>
    </columns>
  </table>
  <table name="Tagged">
    <columns>
      <column name="TID"><data-type>HYL_SQL_INT</data-type></column>
      <column name="CUST"><data-type>CHAR</data-type><max-size>10</max-size></column>
    </columns>
    <foreign-keys>
      <foreign-key name="fk_t" reference-table-name="Customer">
        <fk-columns><fk-column><fk-local-column>CUST</fk-local-column><fk-reference-column>ID</fk-reference-column></fk-column></fk-columns>
      </foreign-key>
    </foreign-keys>
  </table>
  <table name="Employee">
    <columns>
      <column name="EID"><data-type>HYL_SQL_INT</data-type></column>
      <column name="BOSS"><data-type>HYL_SQL_INT</data-type></column>
    </columns>
    <foreign-keys>
      <foreign-key name="fk_boss" reference-table-name="Employee">
        <fk-columns><fk-column><fk-local-column>BOSS</fk-local-column><fk-reference-column>EID</fk-reference-column></fk-column></fk-columns>
      </foreign-key>
    </foreign-keys>
  </table>
)");
        root_.Write("startup_dictionary.xml", dictionary);
        root_.Write("dsn_table_map.txt",
                    "SeqGenState main\nOrders main\nCustomer main\nCustomer_IDX main\nTagged "
                    "main\nEmployee main\n");
    }
};

TEST_F(IndexTableTest, NewRowsEnterTheRootIndexAndDeletedRowsLeaveIt) {
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    EXPECT_EQ(FindRootTable("Orders"), (std::vector<std::string>{"Customer"}));
    std::vector<ColumnValue> values(5);
    values[0] = ColumnValue::FromObject<std::int32_t>(50, 4);
    values[4] = ColumnValue::FromObject<std::int32_t>(2, 4);
    auto row = CreateNewRowObject(std::move(values));
    EXPECT_TRUE(AddEntryToIndexTable("Orders", row.get()));
    EXPECT_EQ(QueryTexts("Customer_IDX", "select ID, TABLENAME from Customer_IDX"),
              (std::vector<std::vector<std::string>>{{"2", "Orders"}}));
    row->state = ROW_SAVED | ROW_DELETED;
    EXPECT_TRUE(AddEntryToIndexTable("Orders", row.get()));
    EXPECT_TRUE(QueryTexts("Customer_IDX", "select ID from Customer_IDX").empty());
    // A table without references has nothing to index.
    EXPECT_TRUE(AddEntryToIndexTable("Customer", row.get()));
}

TEST_F(IndexTableTest, TextForeignKeysAndCyclesGiveNoEntryAndNoCrash) {
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    std::vector<ColumnValue> values(2);
    values[0] = ColumnValue::FromObject<std::int32_t>(1, 4);
    values[1] = ColumnValue::FromText("7");
    auto tagged = CreateNewRowObject(std::move(values));
    EXPECT_TRUE(AddEntryToIndexTable("Tagged", tagged.get()));
    EXPECT_TRUE(QueryTexts("Customer_IDX", "select ID from Customer_IDX").empty());
    // A table referencing itself has no root; the walk ends.
    EXPECT_TRUE(FindRootTable("Employee").empty());
    std::vector<ColumnValue> boss(2);
    boss[1] = ColumnValue::FromObject<std::int32_t>(1, 4);
    auto employee = CreateNewRowObject(std::move(boss));
    EXPECT_TRUE(AddEntryToIndexTable("Employee", employee.get()));
    EXPECT_EQ(GetColIndex(GetTableDefn("Tagged"), "CUST"), 1);
    EXPECT_EQ(GetColIndex(GetTableDefn("Tagged"), "cust"), -1);
}

}  // namespace

namespace {

void Gather(const void* chunk, std::int64_t length, void* context) {
    if (chunk)
        static_cast<std::string*>(context)->append(static_cast<const char*>(chunk),
                                                   static_cast<std::size_t>(length));
}

TEST_F(StartupSqliteTest, BlobsGoThroughThePooledConnectionInChunks) {
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    DBConnection* connection = GetConnection("main");
    ASSERT_EQ(ExecuteUpdate(connection, "create table blobs(id int, b blob)"), 1);
    ASSERT_EQ(ExecuteUpdate(connection, "insert into blobs values (1, NULL)"), 1);
    std::string bytes(2500, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 256);
    EXPECT_EQ(ExecuteUpdateBlob(connection, "update blobs set b = ? where id = 1", bytes.data(),
                                static_cast<std::int64_t>(bytes.size())),
              1);
    std::string streamed;
    EXPECT_NE(ExecuteQueryBlob(connection, "select id, b from blobs", Gather, &streamed), nullptr);
    EXPECT_TRUE(streamed == bytes) << streamed.size();
    EXPECT_EQ(ExecuteUpdateBlob(nullptr, "update blobs set b = ?", bytes.data(), 1), 0);
    EXPECT_EQ(ExecuteQueryBlob(connection, nullptr, Gather, &streamed), nullptr);
    ReleaseConnection("main");
}

TEST_F(StartupSqliteTest, CreateDatabaseFailureIsReported) {
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    EXPECT_FALSE(CreateDB("other"));  // SQLite has no CREATE DATABASE
    EXPECT_NE(LogOf(root_).find("Cannot create database other.\n"), std::string::npos);
}

}  // namespace
