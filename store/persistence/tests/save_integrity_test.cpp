// Saving never loses what the database holds: rows read through a selection of some
// columns, rows another client deleted, NULLs in columns with a default, tables whose
// columns the database orders differently and values too short for their column. Each
// case runs on SQLite and on a PostgreSQL server started by the test (MariaDB too where
// its row counts differ).
#include <gtest/gtest.h>

#include "store/persistence/tests/startup_fixture.h"
#include "tests/support/database_servers.h"

using namespace startuptest;

namespace {

using Rows = std::vector<std::vector<std::string>>;

class SaveIntegrityTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        UseBackend(GetParam(), "integrity_" + std::to_string(++counter_), sandbox_, root_);
        if (HasFatalFailure()) return;
        // A first start creates the tables and saves the default data.
        StartedStore first(root_);
        ASSERT_TRUE(first.started());
    }

    // Runs a statement on the table's connection, as another client would.
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
    static Rows Stored(const char* where) {
        return QueryTexts("Orders", (std::string("select NAME, case when ACTIVE is null then 'NULL' when ACTIVE then "
                                                 "'true' else 'false' end, NOTES, CUSTOMER_ID from Orders where ") +
                                     where)
                                        .c_str());
    }
    std::string Log() const { return testsupport::ReadFile(root_.path() / "logs" / "quennet.log"); }

    static inline int counter_ = 0;
    testsupport::OdbcSandbox sandbox_;
    StoreRoot root_;
};

TEST_P(SaveIntegrityTest, RowsLoadedWithSomeColumnsKeepTheOthers) {
    root_.Write("loadtablelist.txt", "Customer\nOrders select ID, NAME from Orders\n");
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    RowObject* row = OrderRow(10);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(CellOf(row, "Orders", "NOTES"), "<NULL>");  // not read
    ASSERT_TRUE(UpdateRowObject("Orders", row, "NAME", "renamed", 7));
    ASSERT_TRUE(UpdateRowObject("Orders", OrderRow(11), "NOTES", "now noted", 9));
    EXPECT_TRUE(SaveTable("Orders"));
    Rows stored = Stored("ID = 10");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0][0], "renamed");
    EXPECT_EQ(stored[0][1], "true");
    EXPECT_EQ(stored[0][2], "n1");
    EXPECT_EQ(stored[0][3], "1");
    // A column set after loading is written too; the others of that row stay.
    stored = Stored("ID = 11");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0][0], "second");
    EXPECT_EQ(stored[0][1], "false");
    EXPECT_EQ(stored[0][2], "now noted");
    EXPECT_EQ(stored[0][3], "2");
    // A second change of the saved row still leaves the unread columns alone.
    ASSERT_TRUE(UpdateRowObject("Orders", OrderRow(10), "NAME", "again", 5));
    EXPECT_TRUE(SaveTable("Orders"));
    stored = Stored("ID = 10");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0][0], "again");
    EXPECT_EQ(stored[0][2], "n1");
    EXPECT_EQ(stored[0][3], "1");
}

TEST_P(SaveIntegrityTest, RowsAnotherClientRemovedAreNotSavedAndSaySo) {
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    ASSERT_TRUE(Behind("delete from Orders where ID = 10"));
    ASSERT_TRUE(Behind("update Orders set ID = 12 where ID = 11"));
    ASSERT_TRUE(UpdateRowObject("Orders", OrderRow(10), "NAME", "lost?", 5));
    ASSERT_TRUE(DeleteRowObject("Orders", OrderRow(11)));
    EXPECT_FALSE(SaveTable("Orders"));
    ASSERT_NE(OrderRow(10), nullptr);
    EXPECT_EQ(OrderRow(10)->state, ROW_SAVED | ROW_UPDATED);
    ASSERT_NE(OrderRow(11), nullptr);
    EXPECT_EQ(OrderRow(11)->state, ROW_SAVED | ROW_DELETED);
    const std::string log = Log();
    EXPECT_NE(log.find("No row of table Orders has the key ID=10"), std::string::npos) << log;
    EXPECT_NE(log.find("No row of table Orders has the key ID=11"), std::string::npos) << log;
    EXPECT_EQ(Stored("ID = 12").size(), 1u);  // the other client's row stays
    EXPECT_FALSE(SaveAllTables());
}

TEST_P(SaveIntegrityTest, AnUpdateThatChangesNothingIsStillSaved) {
    // MySQL counts only rows whose values changed: a row written back unchanged is saved.
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    ASSERT_TRUE(UpdateRowObject("Orders", OrderRow(10), "NAME", "first", 5));
    EXPECT_TRUE(SaveTable("Orders"));
    EXPECT_EQ(OrderRow(10)->state, ROW_SAVED);
}

TEST_P(SaveIntegrityTest, NullsInColumnsWithADefaultStayNull) {
    {
        StartedStore store(root_);
        ASSERT_TRUE(store.started());
        ASSERT_TRUE(Behind("update Orders set ACTIVE = NULL where ID = 11"));
    }
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    EXPECT_EQ(CellOf(OrderRow(11), "Orders", "ACTIVE"), "<NULL>");
    ASSERT_TRUE(UpdateRowObject("Orders", OrderRow(11), "NAME", "renamed", 7));
    EXPECT_TRUE(SaveTable("Orders"));
    EXPECT_EQ(Stored("ID = 11"), (Rows{{"renamed", "NULL", "<NULL>", "2"}}));
    // A new row still takes the default.
    std::vector<ColumnValue> values(5);
    values[1] = ColumnValue::FromText("fresh");
    ASSERT_TRUE(AddNewRow("Orders", CreateNewRowObject(std::move(values))));
    EXPECT_TRUE(SaveTable("Orders"));
    const Rows fresh = Stored("NAME = 'fresh'");
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(fresh[0][1], "true");
}

TEST_P(SaveIntegrityTest, TablesWhoseColumnsComeInAnotherOrderTakeEachValueInItsColumn) {
    {
        StartedStore store(root_);
        ASSERT_TRUE(store.started());
        // As after a migration: the same columns, in another order.
        ASSERT_TRUE(Behind("drop table Orders"));
        const std::string active = std::string(GetParam()) == "pgsql" ? "boolean" : "int";
        ASSERT_TRUE(Behind(
            ("create table Orders(NOTES text, CUSTOMER_ID int, NAME varchar(61), ID int not null primary key, ACTIVE " +
             active + ")")
                .c_str()));
    }
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    std::vector<ColumnValue> values(5);
    values[1] = ColumnValue::FromText("placed");
    values[3] = ColumnValue::FromText("note");
    values[4] = ColumnValue::FromObject<std::int32_t>(2, 4);
    ASSERT_TRUE(AddNewRow("Orders", CreateNewRowObject(std::move(values))));
    EXPECT_TRUE(SaveTable("Orders"));
    const Rows stored = Stored("NAME = 'placed'");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0][1], "true");
    EXPECT_EQ(stored[0][2], "note");
    EXPECT_EQ(stored[0][3], "2");
}

TEST_P(SaveIntegrityTest, ValuesTooShortForTheirColumnAreRefusedNotWrittenAsNull) {
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    ASSERT_TRUE(UpdateRowObject("Orders", OrderRow(10), "CUSTOMER_ID", "\x02\x00", 2));
    std::vector<ColumnValue> values(5);
    values[0] = ColumnValue::FromBytes("\x07", 1);  // a key of one byte
    values[1] = ColumnValue::FromText("short key");
    ASSERT_TRUE(AddNewRow("Orders", CreateNewRowObject(std::move(values))));
    EXPECT_FALSE(SaveTable("Orders"));
    EXPECT_EQ(OrderRow(10)->state, ROW_SAVED | ROW_UPDATED);
    const Rows stored = Stored("ID = 10");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0][3], "1");
    EXPECT_TRUE(Stored("NAME = 'short key'").empty());
    const std::string log = Log();
    EXPECT_NE(log.find("GenUpdateQuery : the value of column CUSTOMER_ID of table Orders cannot be written"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("GenInsertQuery : the value of column ID of table Orders cannot be written"),
              std::string::npos)
        << log;
}

INSTANTIATE_TEST_SUITE_P(Databases, SaveIntegrityTest, ::testing::Values("sqlite", "pgsql", "mysql"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
