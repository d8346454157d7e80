// Loads fetch their rows a block at a time: values longer than a bound buffer, NULLs and
// rows on both sides of a block's end come back whole on SQLite, PostgreSQL and MariaDB;
// a fetch that fails part way leaves no table, as it always did.
#include <gtest/gtest.h>

#include "store/persistence/tests/startup_fixture.h"

using namespace startuptest;

namespace {

class LoadBlocksTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        UseBackend(GetParam(), "blocks_" + std::to_string(++counter_), sandbox_, root_);
        if (HasFatalFailure()) return;
        StartedStore first(root_);
        ASSERT_TRUE(first.started());
    }
    static inline int counter_ = 0;
    testsupport::OdbcSandbox sandbox_;
    StoreRoot root_;
};

// The NOTES of the row at a position: NULL, long (past the bound buffer), or short.
std::optional<std::string> NotesAt(int position) {
    if (position % 7 == 0) return std::nullopt;
    if (position % 50 == 0 || position == 255 || position == 256 || position == 511)
        return std::string(2000 + position, static_cast<char>('a' + position % 26));
    return "note " + std::to_string(position);
}

TEST_P(LoadBlocksTest, LongValuesNullsAndBlockEndsComeBackWhole) {
    std::vector<std::vector<std::string>> before;
    {
        StartedStore store(root_);
        ASSERT_TRUE(store.started());
        for (int position = 0; position < 600; ++position) {
            std::vector<ColumnValue> values(5);
            values[0] = ColumnValue::FromObject<std::int32_t>(1000 + position, 4);
            if (position % 11 != 0) values[1] = ColumnValue::FromText("name " + std::to_string(position));
            if (const std::optional<std::string> notes = NotesAt(position)) values[3] = ColumnValue::FromText(*notes);
            values[4] = ColumnValue::FromObject<std::int32_t>(1 + position % 2, 4);
            ASSERT_TRUE(AddNewRow("Orders", CreateNewRowObject(std::move(values))));
        }
        ASSERT_TRUE(SaveTable("Orders"));
        before = TableTexts("Orders");
    }
    StartedStore store(root_);
    ASSERT_TRUE(store.started());
    const std::vector<std::vector<std::string>> after = TableTexts("Orders");
    ASSERT_EQ(after.size(), 602u);
    EXPECT_EQ(after, before);
    std::unique_ptr<ResultData> longest = SelectRows("Orders", "ID = 1255");
    ASSERT_EQ(longest->rowCount(), 1u);
    const std::string longNotes = *NotesAt(255);
    EXPECT_EQ(CellOf(longest->entries[0], "Orders", "NOTES"), longNotes);
    // A selection of some columns reads them the same way.
    ASSERT_TRUE(UnLoadTable("Orders"));
    ASSERT_TRUE(LoadTableByQuery("Orders", "select ID, NOTES from Orders where ID >= 1250"));
    std::unique_ptr<ResultData> some = SelectRows("Orders", "ID = 1256");
    ASSERT_EQ(some->rowCount(), 1u);
    const std::string notes256 = *NotesAt(256);
    EXPECT_EQ(CellOf(some->entries[0], "Orders", "NOTES"), notes256);
    EXPECT_EQ(CellOf(some->entries[0], "Orders", "NAME"), "<NULL>");
    EXPECT_EQ(GetLiveRowCount("Orders"), 350u);
}

INSTANTIATE_TEST_SUITE_P(Databases, LoadBlocksTest, ::testing::Values("sqlite", "pgsql", "mysql"),
                         [](const auto& info) { return std::string(info.param); });

// Orders as a view of 600 generated rows whose row 300 holds the given expression's value
// in CUSTOMER_ID, on an SQLite file read step by step (the driver fetches as asked).
class LoadFailureTest : public ::testing::Test {
protected:
    void StartWithOrdersOf(const std::string& row300) {
        sandbox_.AddDsn("stepping", "SQLite3", {{"Database", root_.dbFile()}, {"StepAPI", "1"}});
        root_.Write("connparams.txt", "agent 0 stepping sa NULL 0 main ODBC SQLITE NO\n");
        {
            StartedStore first(root_);
            ASSERT_TRUE(first.started());
            DBConnection* connection = GetTableConnection("Orders");
            ASSERT_EQ(ExecuteUpdate(connection, "drop table Orders"), 1);
            const std::string view =
                "create view Orders as with recursive n(x) as (select 1 union all select x+1 from n where x<600) "
                "select x as ID, 'name ' || x as NAME, 1 as ACTIVE, 'note' as NOTES, case when x=300 then " +
                row300 + " else 1 end as CUSTOMER_ID from n";
            ASSERT_EQ(ExecuteUpdate(connection, view.c_str()), 1);
            ReleaseTableConnection("Orders");
        }
        root_.Write("loadtablelist.txt", "Customer\n");
        ASSERT_TRUE(InitQuennet(root_.path().string().c_str()));
    }
    void TearDown() override { DeInitQuennet(); }
    std::string Log() const { return testsupport::ReadFile(root_.path() / "logs" / "quennet.log"); }

    testsupport::OdbcSandbox sandbox_;
    StoreRoot root_;
};

TEST_F(LoadFailureTest, AFetchThatFailsPartWayLeavesNoTable) {
    StartWithOrdersOf("json('not json')");
    if (HasFatalFailure()) return;
    EXPECT_FALSE(LoadTable("Orders"));
    EXPECT_EQ(GetTableDataByName("Orders"), nullptr);
    EXPECT_NE(Log().find("Error in executing select query for Orders\n"), std::string::npos);
    EXPECT_FALSE(LoadTableByQuery("Orders", "select ID, CUSTOMER_ID from Orders"));
    EXPECT_EQ(GetTableDataByName("Orders"), nullptr);
}

}  // namespace
