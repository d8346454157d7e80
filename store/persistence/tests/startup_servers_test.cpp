// The whole store cycle on SQLite, PostgreSQL and MariaDB, identifier batches shared by
// two processes, and threads on a five-connection pool. The servers are started by the
// tests on loopback; ctest runs each test in its own process.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <fstream>
#include <set>
#include <thread>

#include "store/persistence/tests/startup_fixture.h"
#include "tests/support/database_servers.h"

using namespace startuptest;
using testsupport::MariaDbServer;
using testsupport::PostgresServer;

namespace {

void UsePostgres(testsupport::OdbcSandbox& sandbox, const StoreRoot& root,
                 const std::string& database) {
    PostgresServer& server = PostgresServer::Instance();
    ASSERT_EQ(server.Psql("create database " + database), 0);
    sandbox.AddDsn("pgstore", "PostgreSQL Unicode",
                   {{"Servername", "127.0.0.1"},
                    {"Port", std::to_string(server.port())},
                    {"Database", database}});
    root.Write("connparams.txt", "agent 0 pgstore postgres secret 0 main ODBC PGSQL NO\n");
}

void UseMariaDb(testsupport::OdbcSandbox& sandbox, const StoreRoot& root) {
    MariaDbServer& server = MariaDbServer::Instance();
    ASSERT_EQ(server.Sql("create database cycle"), 0);
    sandbox.AddDsn(
        "mystore", "MariaDB Unicode",
        {{"Server", "127.0.0.1"}, {"Port", std::to_string(server.port())}, {"Database", "cycle"}});
    root.Write("connparams.txt", "agent 0 mystore tester secret 0 main ODBC MYSQL NO\n");
}

TEST(StartupCycleTest, SqliteFullCycle) {
    testsupport::OdbcSandbox sandbox;
    StoreRoot root;
    root.UseSqliteDsn(sandbox);
    RunFullCycle(root);
}

TEST(StartupCycleTest, PostgresFullCycle) {
    testsupport::OdbcSandbox sandbox;
    StoreRoot root;
    UsePostgres(sandbox, root, "cycle");
    RunFullCycle(root);
}

TEST(StartupCycleTest, MariaDbFullCycle) {
    testsupport::OdbcSandbox sandbox;
    StoreRoot root;
    UseMariaDb(sandbox, root);
    RunFullCycle(root);
}

#ifndef _WIN32
// Two processes start the store on one database and take 1,000 identifiers each; the
// identifiers are written to a file per process.
std::set<std::int32_t> IdentifiersOfTwoProcesses(const StoreRoot& root) {
    {
        StartedStore store(root);
        EXPECT_TRUE(store.started());
    }  // tables and first batch exist
    const ColumnDefn* column = nullptr;
    int gate[2];
    EXPECT_EQ(pipe(gate), 0);
    std::vector<pid_t> children;
    for (int child = 0; child < 2; ++child) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(gate[1]);
            char byte;
            (void)!read(gate[0], &byte, 1);  // both start together once the gate closes
            int status = 1;
            if (InitQuennet(root.path().string().c_str())) {
                column = GetColumnDefnEntry("Orders", "ID");
                std::ofstream out(root.path() / ("ids" + std::to_string(child)));
                // A fresh batch every ten identifiers keeps the two reserving side by side.
                for (int i = 0; i < 1000; ++i) {
                    if (i % 10 == 9) UpdateSeqGen("Orders", "ORDER_ID");
                    out << GenerateID("Orders", column) << "\n";
                }
                status = out.good() ? 0 : 1;
                DeInitQuennet();
            }
            _exit(status);  // no static destructors: they belong to the parent
        }
        children.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::set<std::int32_t> ids;
    std::size_t total = 0;
    for (int child = 0; child < 2; ++child) {
        std::ifstream in(root.path() / ("ids" + std::to_string(child)));
        std::int32_t id;
        while (in >> id) {
            ++total;
            EXPECT_GT(id, 0);
            ids.insert(id);
        }
    }
    EXPECT_EQ(total, 2000u);
    return ids;
}
#endif

TEST(StartupBatchTest, TwoProcessesOnOneSqliteFileNeverShareAnIdentifier) {
#ifdef _WIN32
    GTEST_SKIP() << "the two processes are forked copies of this program (fork)";
#else
    testsupport::OdbcSandbox sandbox;
    StoreRoot root;
    root.UseSqliteDsn(sandbox);
    EXPECT_EQ(IdentifiersOfTwoProcesses(root).size(), 2000u);
#endif
}

TEST(StartupBatchTest, TwoProcessesOnOnePostgresDatabaseNeverShareAnIdentifier) {
#ifdef _WIN32
    GTEST_SKIP() << "the two processes are forked copies of this program (fork)";
#else
    testsupport::OdbcSandbox sandbox;
    StoreRoot root;
    UsePostgres(sandbox, root, "batches");
    EXPECT_EQ(IdentifiersOfTwoProcesses(root).size(), 2000u);
#endif
}

TEST(StartupCycleTest, PostgresCreatesADatabaseOnTheFirstPool) {
    testsupport::OdbcSandbox sandbox;
    StoreRoot root;
    UsePostgres(sandbox, root, "creator");
    StartedStore store(root);
    ASSERT_TRUE(store.started());
    EXPECT_TRUE(CreateDB("made_by_store"));
    std::string output;
    ASSERT_EQ(PostgresServer::Instance().Psql(
                  "select count(*) from pg_database where datname = 'made_by_store'", &output),
              0);
    EXPECT_EQ(output, "1\n");
    EXPECT_FALSE(CreateDB("made_by_store"));  // exists now
}

TEST(StartupPoolTest, FiveConnectionPoolOnPostgresGivesThreadsTheirOwnSessions) {
    testsupport::OdbcSandbox sandbox;
    StoreRoot root;
    UsePostgres(sandbox, root, "pooled");
    ASSERT_TRUE(InitDBProvider());
    ASSERT_TRUE(LoadConnParamsEntryFromFile((root.data() / "connparams.txt").string().c_str()));
    ASSERT_TRUE(EstablishDBConnectionPool(5));
    DBConnection* setup = GetConnection("main");
    ASSERT_EQ(ExecuteUpdate(setup, "create table hits(session int, n int)"), 1);
    ReleaseConnection("main");
    std::vector<std::thread> threads;
    std::atomic<int> failures{0}, ready{0};
    std::mutex sessionsMutex;
    std::set<std::int32_t> sessions;
    for (int t = 0; t < 5; ++t)
        threads.emplace_back([&, t] {
            DBConnection* connection = GetConnection("main");
            if (!connection) {
                ++failures;
                ++ready;
                return;
            }
            auto pid = ExecuteQuery(connection, "select pg_backend_pid()");
            if (pid && !pid->rows.empty()) {
                std::lock_guard<std::mutex> hold(sessionsMutex);
                sessions.insert(pid->rows[0][0].As<std::int32_t>().value_or(-1));
            }
            ++ready;
            testsupport::WaitUntil([&] { return ready.load() == 5; });  // all five held at once
            for (int i = 0; i < 20; ++i) {
                const std::string insert = "insert into hits values (" + std::to_string(t) + ", " +
                                           std::to_string(i) + ")";
                if (ExecuteUpdate(connection, insert.c_str()) != 1) ++failures;
            }
            ReleaseConnection("main");
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(sessions.size(), 5u);
    std::unique_ptr<QueryResultSet> count =
        ExecuteQuery(GetConnection("main"), "select count(*) from hits");
    ReleaseConnection("main");
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count->rows.at(0).at(0).As<std::int64_t>().value_or(0), 100);
    DeInitQuennet();
}

}  // namespace
