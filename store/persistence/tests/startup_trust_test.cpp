// What a local user or a server's settings can do to the store: configuration planted
// beside the working directory, passwords on their way into the log, and servers whose
// settings change how a backslash in a literal is read.
#include <gtest/gtest.h>

#include "store/persistence/tests/persistence_test_util.h"
#include "store/persistence/tests/round_trip.h"
#include "store/persistence/tests/startup_fixture.h"
#include "tests/support/database_servers.h"
#ifndef _WIN32
#include "tests/support/hostile_user.h"
#endif

using namespace startuptest;
using testsupport::MariaDbServer;
using testsupport::PostgresServer;

namespace {

// Runs in another working directory and comes back.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::filesystem::path& path) : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(path);
    }
    ~WorkingDirectory() { std::filesystem::current_path(previous_); }

private:
    std::filesystem::path previous_;
};

TEST(StartupTrustTest, AStartOnARootIgnoresConfigurationPlantedBesideTheWorkingDirectory) {
#ifdef _WIN32
    GTEST_SKIP() << "a local user of the POSIX host plants the files (nobody, file owners)";
#else
    if (!testsupport::Nobody().available()) GTEST_SKIP() << "needs root and the account nobody";
    testsupport::OdbcSandbox sandbox;
    StoreRoot root;
    root.UseSqliteDsn(sandbox);
    testsupport::TempDir base;
    const std::filesystem::path shared = base.path() / "shared";  // world-writable, as /tmp
    testsupport::OpenToUsers(shared);
    std::filesystem::create_directories(shared / "work");
    const std::filesystem::path evil = shared / "evil.so";
    ASSERT_TRUE(testsupport::AsUnprivilegedUser([&] {
        std::error_code error;
        std::filesystem::create_directory(shared / "data", error);
        const auto plant = [&](const char* name, const std::string& content) {
            testsupport::WriteFile(shared / "data" / name, content);
        };
        plant("connparams.txt",
              "evil 0 x x NULL 0 main ODBC SQLITE YES Driver=" + evil.string() + ";Database=/nonexistent;\n");
        plant("dsn_table_map.txt", "Planted main\n");
        plant("datadictionary.txt", "planted.xml\n");
        plant("planted.xml", R"(<?xml version="1.0"?><data-dictionary><table name="Planted"><columns>
<column name="ID"><data-type>HYL_SQL_INT</data-type></column></columns></table></data-dictionary>)");
        plant("loadtablelist.txt", "Planted\n");
        plant("defaultdata.txt", "planted.xml\n");
        return !error && std::filesystem::exists(shared / "data" / "connparams.txt");
    }));
    ASSERT_EQ(testsupport::OwnerOf(shared / "data" / "connparams.txt"), testsupport::Nobody().uid);
    {
        WorkingDirectory work(shared / "work");
        StartedStore store(root);
        ASSERT_TRUE(store.started());
        EXPECT_EQ(GetTableDefn("Planted"), nullptr);
        EXPECT_EQ(GetLiveRowCount("Customer"), 2u);  // the root's tables, data and database
        EXPECT_EQ(QueryTexts("Customer", "select ID from Customer").size(), 2u);
        const ConnectionParams* params = GetConnectionParams("main");
        ASSERT_NE(params, nullptr);
        EXPECT_EQ(params->dsn, std::optional<std::string>("quennet_test"));
        EXPECT_FALSE(params->direct);
    }
    // Without a root the folder beside the working directory is still where the store looks.
    const std::optional<std::string> previousRoot = gv_quennetRoot;
    gv_quennetRoot.reset();
    {
        persistencetest::LogCapture log;
        WorkingDirectory work(shared / "work");
        EXPECT_FALSE(InitQuennet(nullptr));
        DeInitQuennet();
        EXPECT_TRUE(log.has("Connecting to driver failed"));  // the planted record was used
    }
    gv_quennetRoot = previousRoot;
#endif
}

TEST(StartupTrustTest, PasswordsNeverReachTheLog) {
    const std::string secret = "S3cr3t-Pa55word";
    PostgresServer& server = PostgresServer::Instance();
    ASSERT_EQ(server.Psql("create role keeper login password '" + secret + "'"), 0);
    ASSERT_EQ(server.Psql("create database guarded owner keeper"), 0);
    testsupport::OdbcSandbox sandbox;
    sandbox.AddDsn("guarded", "PostgreSQL Unicode",
                   {{"Servername", "127.0.0.1"}, {"Port", std::to_string(server.port())}, {"Database", "guarded"}});
    StoreRoot root;
    const std::string direct = "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + std::to_string(server.port()) +
                               ";Database=guarded;ApplicationName=" + std::string(200, 'a') + ";Uid=keeper;Pwd=" +
                               secret + ";";
    root.Write("connparams.txt", "agent 0 guarded keeper " + secret + " 0 main ODBC PGSQL NO\n" +
                                     "cut 0 unused keeper NULL 0 longone ODBC PGSQL YES " + direct + "\n");
    persistencetest::LogCapture log;
    {
        StartedStore store(root);
        ASSERT_TRUE(store.started());
        // A connection the server refuses: its error is logged, the password is not.
        ConnectionParams wrong = *GetConnectionParams("main");
        wrong.password = secret + "-wrong";
        EXPECT_EQ(OpenDBConnection(&wrong), nullptr);
        ConnectionParams wrongDirect = persistencetest::DirectParams(
            "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + std::to_string(server.port()) +
            ";Database=guarded;Uid=keeper;Pwd={" + secret + "-brace};");
        wrongDirect.dbType = "PGSQL";
        EXPECT_EQ(OpenDBConnection(&wrongDirect), nullptr);
    }
    const std::string text = log.text();
    EXPECT_NE(text.find("Connecting to driver failed"), std::string::npos);
    EXPECT_NE(text.find("Line longer than 254 bytes cut"), std::string::npos);
    EXPECT_EQ(text.find(secret), std::string::npos) << text;
}

TEST(SecretsTest, DirectConnectionStringsGiveUpTheirPasswords) {
    ConnectionParams params;
    params.password = "p1";
    params.connString = "Driver={x};PWD=p2;password = {p;3}}x} ;Uid=pwd;Pwd=";
    const std::vector<std::string> secrets = ConnectionSecrets(params);
    EXPECT_EQ(WithoutSecrets("p1 p2 p;3}x {p;3}}x} pwd", secrets), "**** **** **** **** pwd");
    EXPECT_EQ(WithoutSecrets("nothing", {}), "nothing");
    EXPECT_EQ(WithoutSecrets("aaa", {"a"}), "************");
}

// Hostile values through a connection of the store on a server whose setting would read
// backslashes the other way.
void RoundTripOn(const std::string& connectionString, const char* dbType) {
    ConnectionParams params = persistencetest::DirectParams(connectionString);
    params.dbType = dbType;
    ProviderConnectionPtr connection = ODBCOpenConnection(&params);
    ASSERT_NE(connection, nullptr);
    persistencetest::HostileRoundTrip(GetSqlDialect(dbType), connection.get());
}

TEST(LiteralModeTest, PostgresWithNonStandardStringsKeepsEveryValue) {
    PostgresServer& server = PostgresServer::Instance();
    ASSERT_EQ(server.Psql("create database oldstrings"), 0);
    ASSERT_EQ(server.Psql("alter database oldstrings set standard_conforming_strings = off"), 0);
    RoundTripOn(server.connectionString("oldstrings"), "PGSQL");
    // The role's setting wins over the database's: off there too.
    ASSERT_EQ(server.Psql("alter role postgres set standard_conforming_strings = off"), 0);
    RoundTripOn(server.connectionString("postgres"), "PGSQL");
    ASSERT_EQ(server.Psql("alter role postgres reset standard_conforming_strings"), 0);
}

TEST(LiteralModeTest, MariaDbWithOrWithoutBackslashEscapesKeepsEveryValue) {
    MariaDbServer& server = MariaDbServer::Instance();
    for (const char* mode : {"NO_BACKSLASH_ESCAPES,STRICT_TRANS_TABLES", "NO_BACKSLASH_ESCAPES", ""}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(server.Sql(std::string("set global sql_mode = '") + mode + "'"), 0);
        RoundTripOn(server.connectionString(), "MYSQL");
    }
}

}  // namespace
