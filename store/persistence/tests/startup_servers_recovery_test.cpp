// A running store through a PostgreSQL restart, and a commit the server refuses.
#include <gtest/gtest.h>

#include "store/persistence/tests/startup_fixture.h"
#include "tests/support/database_servers.h"

using namespace startuptest;
using testsupport::PostgresServer;

namespace {

void UsePostgres(testsupport::OdbcSandbox& sandbox, const StoreRoot& root, const std::string& database) {
    PostgresServer& server = PostgresServer::Instance();
    ASSERT_EQ(server.Psql("create database " + database), 0);
    sandbox.AddDsn("pgstore", "PostgreSQL Unicode",
                   {{"Servername", "127.0.0.1"}, {"Port", std::to_string(server.port())}, {"Database", database}});
    root.Write("connparams.txt", "agent 0 pgstore postgres secret 0 main ODBC PGSQL NO\n");
}

// What psql prints for the statements on the database.
std::string PsqlOn(const std::string& database, const std::string& sql) {
    std::string output;
    PostgresServer::Instance().Psql(sql, &output, database);
    return output;
}

TEST(StartupServersRecoveryTest, IdentifiersComeAgainAfterThePostgresServerRestarted) {
    testsupport::OdbcSandbox sandbox;
    StoreRoot root;
    UsePostgres(sandbox, root, "restarted");
    StartedStore store(root);
    ASSERT_TRUE(store.started());
    const ColumnDefn* id = GetColumnDefnEntry("Orders", "ID");
    EXPECT_EQ(GenerateID("Orders", id), 1);
    ASSERT_TRUE(PostgresServer::Instance().Restart());
    // The next batch is reserved on a connection opened after the restart.
    EXPECT_TRUE(UpdateSeqGen("Orders", "ORDER_ID"));
    EXPECT_EQ(GenerateID("Orders", id), 301);
    EXPECT_EQ(PsqlOn("restarted", "select CURRENTBATCHEND from SeqGenState"), "600\n");
}

TEST(StartupServersRecoveryTest, AConnectionWhoseCommitFailedCommitsItsLaterStatements) {
    testsupport::OdbcSandbox sandbox;
    StoreRoot root;
    UsePostgres(sandbox, root, "deferred");
    StartedStore store(root);
    ASSERT_TRUE(store.started());
    DBConnection* connection = GetConnection("main");
    ASSERT_NE(connection, nullptr);
    ASSERT_EQ(ExecuteUpdate(connection, "create table parent(id int primary key)"), 1);
    ASSERT_EQ(ExecuteUpdate(connection,
                            "create table child(id int, parent_id int references parent(id) "
                            "deferrable initially deferred)"),
              1);
    // The server checks the deferred reference only at the commit, and refuses it there.
    ASSERT_TRUE(BeginTransaction(connection));
    ASSERT_EQ(ExecuteUpdate(connection, "insert into child values (1, 99)"), 1);
    EXPECT_FALSE(CommitTransaction(connection));
    EXPECT_EQ(connection->inTransaction, 0);
    // Back in autocommit: a statement now is visible to every other session at once.
    ASSERT_EQ(ExecuteUpdate(connection, "insert into parent values (7)"), 1);
    ReleaseConnection("main");
    EXPECT_EQ(PsqlOn("deferred", "select id from parent; select count(*) from child"), "7\n0\n");
}

}  // namespace
