// store-shell on a store root: start-up on the root's configuration and SQLite database,
// insert, save and restart, each run a new process of the built program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "store/persistence/tests/startup_fixture.h"
#include "tests/support/hostile_user.h"

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

// A sequence table the store cannot use: the insert gets no identifier (-1), and the save
// says the row is not saved instead of writing it keyed -1 and ending with success.
TEST_F(StoreShellRootTest, ARowWithoutAnIdentifierIsNotSavedAndTheSaveFails) {
    const struct {
        const char* name;
        const char* breakSequences;
    } cases[] = {
        {"its columns missing", "DROP TABLE SeqGenState; CREATE TABLE SeqGenState(OTHER int)"},
        {"a view in its place",
         "DROP TABLE SeqGenState; CREATE VIEW SeqGenState AS SELECT 'ORDER_ID' AS SEQNAME, 900 AS CURRENTBATCHEND"},
    };
    int number = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StoreRoot root;
        root.UseSqliteDsn(sandbox_, "broken_sequences_" + std::to_string(++number));
        const auto shell = [&](std::vector<std::string> commands) {
            commands.insert(commands.begin(), {"--root", root.path().string()});
            return testsupport::RunProgram("store-shell", commands, work_.path());
        };
        const auto sql = [&](const char* statement) {
            return testsupport::RunProgram("/usr/bin/sqlite3", {root.dbFile(), statement}, work_.path());
        };
        ASSERT_EQ(shell({"count Orders"}).out, "2\n");  // the first run creates the database
        const auto broken = sql(c.breakSequences);
        ASSERT_EQ(broken.code, 0) << broken.err;

        auto run = shell({"insert Orders NAME='keyless' CUSTOMER_ID=1", "save all"});
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.out, "-1\n");
        EXPECT_EQ(run.err, "store-shell: 1 rows not saved (see the store log)\n");
        EXPECT_EQ(sql("select count(*) from Orders").out, "2\n");
        const std::string log = testsupport::ReadFile(root.path() / "logs" / "quennet.log");
        EXPECT_NE(log.find("Row of table Orders has no identifier in ID"), std::string::npos) << log;
    }
}

// store-shell reading its commands from a pipe the test writes as it goes.
class Conversation {
public:
    Conversation(const std::vector<std::string>& args, const std::filesystem::path& workDir) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        errPath_ = (workDir / "stderr.txt").string();
        const std::string program = (testsupport::BinDir() / "store-shell").string();
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(workDir.c_str()) != 0) _exit(126);
            const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err, 2);
            close(in[1]);
            close(out[0]);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        toShell_ = in[1];
        fromShell_ = out[0];
    }
    ~Conversation() { Finish(); }
    void Send(const std::string& line) {
        const std::string text = line + "\n";
        EXPECT_EQ(write(toShell_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // The next line the shell printed (empty at its end).
    std::string ReadLine() {
        std::string line;
        char c;
        while (read(fromShell_, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    // Closes its input and waits for its exit status.
    int Finish() {
        if (toShell_ >= 0) close(toShell_);
        toShell_ = -1;
        if (pid_ <= 0) return -1;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        if (fromShell_ >= 0) close(fromShell_);
        fromShell_ = -1;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return code_;
    }
    std::string Err() const { return testsupport::ReadFile(errPath_); }

private:
    pid_t pid_ = -1;
    int toShell_ = -1, fromShell_ = -1, code_ = -1;
    std::string errPath_;
};

TEST_F(StoreShellRootTest, ARowAnotherClientDeletedIsNotSavedAndTheSaveFails) {
    ASSERT_EQ(Shell({"count Orders"}).out, "2\n");  // the first run creates the database
    Conversation shell({"--root", root_.path().string()}, work_.path());
    shell.Send("update Orders set NAME = 'late' where ID = 10");
    shell.Send("count Customer");  // its start shows the update's output
    ASSERT_EQ(shell.ReadLine(), "1");
    // Another client deletes the row the shell holds.
    auto other = testsupport::RunProgram("/usr/bin/sqlite3", {root_.dbFile(), "DELETE FROM Orders WHERE ID = 10"},
                                         work_.path());
    ASSERT_EQ(other.code, 0) << other.err;
    shell.Send("save Orders");
    EXPECT_EQ(shell.Finish(), 1);
    EXPECT_EQ(shell.Err(), "store-shell: 1 rows not saved (see the store log)\n");
    const std::string log = testsupport::ReadFile(root_.path() / "logs" / "quennet.log");
    EXPECT_NE(log.find("No row of table Orders has the key ID=10"), std::string::npos) << log;
}

TEST(DemoStoreTest, TheStoreRootHoldingThePasswordIsTheOwnersAlone) {
    testsupport::TempDir dir;
    const std::filesystem::path root = dir.path() / "demo";
    setenv("VANTORRA_DEMO_STORE_ROOT", root.c_str(), 1);
    const std::string script = std::string(VANTORRA_SOURCE_DIR) + "/tools/demo-store/run-demo-store";
    auto run = testsupport::RunProgram(script, {"sqlite"}, dir.path());
    unsetenv("VANTORRA_DEMO_STORE_ROOT");
    ASSERT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_EQ(testsupport::ModeOf(root), 0700);
    for (const char* file : {"data/connparams.txt", "odbc.ini", "data/datadictionary.txt", "quennet.db"})
        EXPECT_EQ(testsupport::ModeOf(root / file) & 077, 0) << file;
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
        {{"query CustomersByName"}, 1, "store-shell: query CustomersByName failed (see the store log)\n"},
    };
    for (const Case& c : cases) {
        auto run = Shell(c.args);
        EXPECT_EQ(run.code, c.code) << c.args[0];
        EXPECT_EQ(run.err, c.err) << c.args[0];
    }
    EXPECT_EQ(Shell({"count Customer"}).out, "2\n");  // nothing was added
}

TEST_F(StoreShellRootTest, StoredQueriesRunByNameOrIdentifier) {
    root_.Write("dsn_table_map.txt",
                "SeqGenState main\nOrders main\nCustomer main\nQueryDetails main\n"
                "QueryvsColumns main\nColumnDetails main\nQueryvsTables main\nTableDetails main\n"
                "QueryvsJoins main\nQueryvsGB main\nQueryvsSort main\nSortDetails main\n"
                "QueryvsCriteria main\nBooleanExp main\nRelationalExp main\n");
    ASSERT_EQ(Shell({"count Customer"}).out, "2\n");  // the first run creates the database
    // The catalogue is written by the database's own client, as an administrator would.
    auto catalogue = testsupport::RunProgram(
        "/usr/bin/sqlite3",
        {root_.dbFile(),
         "CREATE TABLE QueryDetails(QUERY_ID int, QUERYNAME varchar(40));"
         "CREATE TABLE QueryvsColumns(QUERY_ID int, COLUMN_ID int);"
         "CREATE TABLE ColumnDetails(COLUMN_ID int, COLUMNNAME varchar(40), COLUMNALIAS varchar(40),"
         " TABLENAME varchar(40), TABLEALIAS varchar(40), FUNCTIONNAME varchar(20));"
         "CREATE TABLE QueryvsTables(QUERY_ID int, TABLE_ID int);"
         "CREATE TABLE TableDetails(TABLE_ID int, TABLENAME varchar(40), TABLEALIAS varchar(40));"
         "CREATE TABLE QueryvsJoins(QUERY_ID int, JOIN_ID int);"
         "CREATE TABLE QueryvsGB(QUERY_ID int, GB_ID int);"
         "CREATE TABLE QueryvsSort(QUERY_ID int, SORT_ID int);"
         "CREATE TABLE SortDetails(SORT_ID int, TABLENAME varchar(40), COLUMNNAME varchar(40), SORTTYPE varchar(8));"
         "CREATE TABLE QueryvsCriteria(QUERY_ID int, B_ID int);"
         "CREATE TABLE BooleanExp(B_ID int, LEXPRESSION int, OPERATOR varchar(8), REXPRESSION int);"
         "CREATE TABLE RelationalExp(R_ID int, LIDENTIFIER varchar(40), OPERATOR varchar(8), RIDENTIFIER varchar(40));"
         "INSERT INTO QueryDetails VALUES(7,'names');"
         "INSERT INTO QueryvsColumns VALUES(7,1);"
         "INSERT INTO ColumnDetails VALUES(1,'NAME',NULL,'Customer',NULL,NULL);"
         "INSERT INTO QueryvsTables VALUES(7,1);"
         "INSERT INTO TableDetails VALUES(1,'Customer',NULL);"
         "INSERT INTO QueryvsSort VALUES(7,1);"
         "INSERT INTO SortDetails VALUES(1,'Customer','NAME','A');"},
        work_.path());
    ASSERT_EQ(catalogue.code, 0) << catalogue.err;

    for (const char* name : {"names", "7"}) {
        auto run = Shell({std::string("query ") + name});
        EXPECT_EQ(run.code, 0) << name << ": " << run.err;
        EXPECT_EQ(run.out, "NAME\nAda\nBrian\n") << name;
    }
    auto json = Shell({"--format", "json", "query names"});
    EXPECT_EQ(json.out, "{\"NAME\":\"Ada\"}\n{\"NAME\":\"Brian\"}\n");
    auto unknown = Shell({"query 8"});
    EXPECT_EQ(unknown.code, 1);
    EXPECT_EQ(unknown.err, "store-shell: query 8 failed (see the store log)\n");
    auto noRoot = testsupport::RunProgram("store-shell", {"query names"}, work_.path());
    EXPECT_EQ(noRoot.err, "store-shell: query needs a store started with --root\n");
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
