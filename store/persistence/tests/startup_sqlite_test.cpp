// Store start-up on SQLite through the unixODBC SQLite3 driver: fresh and second starts,
// connections, load and save, and the configuration-file edge cases.
#include <gtest/gtest.h>

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
    std::unique_ptr<QueryResultSet> result = ExecuteQuery(connection, "select NAME from Customer where ID = 7");
    ASSERT_NE(result, nullptr);
    ASSERT_EQ(result->rows.size(), 1u);
    EXPECT_TRUE(ReleaseConnection("main"));
    EXPECT_EQ(ExecuteUpdate(connection, "insert into Nowhere values (1)"), 0);
    EXPECT_EQ(ExecuteUpdate(nullptr, "select 1"), 0);
    EXPECT_EQ(ExecuteQuery(connection, nullptr), nullptr);
    EXPECT_EQ(GetConnection("other"), nullptr);
}

}  // namespace
