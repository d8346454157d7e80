// store-shell on a store root: start-up on the root's configuration and SQLite database,
// insert, save and restart, each run a new process of the built program.
#include <gtest/gtest.h>

#include "store/persistence/tests/startup_fixture.h"

namespace {

using startuptest::StoreRoot;

class StoreShellRootTest : public ::testing::Test {
protected:
    void SetUp() override { root_.UseSqliteDsn(sandbox_); }
    testsupport::ProgramResult Shell(std::vector<std::string> commands) {
        commands.insert(commands.begin(), {"--root", root_.path().string()});
        return testsupport::RunProgram("store-shell", commands, work_.path());
    }
    testsupport::OdbcSandbox sandbox_;
    StoreRoot root_;
    testsupport::TempDir work_;
};

TEST_F(StoreShellRootTest, ChangesSavedInOneRunAreThereInTheNext) {
    auto first = Shell({"--no-header", "select Customer sort ID"});
    EXPECT_EQ(first.code, 0) << first.err;
    EXPECT_EQ(first.out, "1\tAda\n2\tBrian\n");

    auto second = Shell({"insert Orders NAME='it''s a \\ path' CUSTOMER_ID=1 ACTIVE=true",
                         "update Orders set ACTIVE = 0 where ID = 10",
                         "delete Orders where ID = 11", "save all"});
    EXPECT_EQ(second.code, 0) << second.err;
    EXPECT_EQ(second.out, "301\n1\n1\n");  // the first identifier of this process's batch

    auto third = Shell({"--no-header", "select Orders sort ID", "insert Customer ID=3 NAME='Cy'",
                        "save Customer"});
    EXPECT_EQ(third.code, 0) << third.err;
    EXPECT_EQ(third.out, "10\tfirst\tfalse\tn1\t1\n301\tit's a \\\\ path\ttrue\t\\N\t1\n3\n");

    // Without save nothing reaches the database.
    auto fourth = Shell({"insert Customer ID=4 NAME='Dora'", "count Customer"});
    EXPECT_EQ(fourth.out, "4\n4\n");
    EXPECT_EQ(Shell({"count Customer"}).out, "3\n");
}

TEST_F(StoreShellRootTest, RowsTheDatabaseRefusesAreReportedAndKept) {
    auto run = Shell({"insert Customer ID=1 NAME='Twin'", "save Customer"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "1\n");
    EXPECT_EQ(run.err, "store-shell: 1 rows not saved (see the store log)\n");
}

TEST_F(StoreShellRootTest, BadInputGivesClearErrors) {
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string err;
    };
    const Case cases[] = {
        {{"insert Customer ID=5 NAME='open"},
         2,
         "store-shell: unterminated text literal for column NAME\n"},
        {{"insert Customer ID=5 NAME=bare"},
         2,
         "store-shell: malformed literal: bare (digits, true, false, 'text' or NULL)\n"},
        {{"insert Customer NOPE=1"}, 1, "store-shell: unknown column: NOPE\n"},
        {{"insert Customer"}, 2, "store-shell: usage: insert TABLE COLUMN=LITERAL...\n"},
        {{"save Nowhere"}, 1, "store-shell: unknown table: Nowhere\n"},
        {{"query CustomersByName"},
         1,
         "store-shell: query: stored queries are not available in this build\n"},
    };
    for (const Case& c : cases) {
        auto run = Shell(c.args);
        EXPECT_EQ(run.code, c.code) << c.args[0];
        EXPECT_EQ(run.err, c.err) << c.args[0];
    }
    EXPECT_EQ(Shell({"count Customer"}).out, "2\n");  // nothing was added
}

TEST_F(StoreShellRootTest, StartFailuresAndMisuseEndWithTheirStatus) {
    auto missing = testsupport::RunProgram(
        "store-shell", {"--root", (work_.path() / "none").string(), "tables"}, work_.path());
    EXPECT_EQ(missing.code, 5);
    EXPECT_NE(missing.err.find("cannot start the store on"), std::string::npos);
    auto both = Shell({"--seq-db", "x.db", "tables"});
    EXPECT_EQ(both.code, 2);
    auto noRoot = testsupport::RunProgram("store-shell", {"save all"}, work_.path());
    EXPECT_EQ(noRoot.code, 1);
    EXPECT_EQ(noRoot.err, "store-shell: save needs a store started with --root\n");
}

}  // namespace
