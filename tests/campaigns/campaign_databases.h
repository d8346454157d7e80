// Store roots of the campaigns on SQLite or a PostgreSQL/MariaDB database of the test
// program's server, and the database read through its own client (never through the
// store under test).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "store/persistence/tests/startup_fixture.h"
#include "tests/support/database_servers.h"

namespace campaign {

// The database's answer to one statement, rows on lines, columns separated by '|'.
using SqlClient = std::function<std::string(const std::string& sql)>;

inline std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

inline SqlClient SqliteClient(const startuptest::StoreRoot& root, const std::filesystem::path& workDir) {
    const std::string file = root.dbFile();
    return [file, workDir](const std::string& sql) {
        auto run = testsupport::RunProgram("/usr/bin/sqlite3", {"-cmd", ".timeout 20000", file, sql}, workDir);
        EXPECT_EQ(run.code, 0) << sql << ": " << run.err;
        return Trimmed(run.out);
    };
}

// A fresh database on the program's PostgreSQL server behind the root.
inline SqlClient UsePostgres(testsupport::OdbcSandbox& sandbox, const startuptest::StoreRoot& root,
                             const std::string& database) {
    testsupport::PostgresServer& server = testsupport::PostgresServer::Instance();
    EXPECT_EQ(server.Psql("create database " + database), 0);
    sandbox.AddDsn("pgstore", "PostgreSQL Unicode",
                   {{"Servername", "127.0.0.1"}, {"Port", std::to_string(server.port())}, {"Database", database}});
    root.Write("connparams.txt", "agent 0 pgstore postgres secret 0 main ODBC PGSQL NO\n");
    const std::string out = (root.path() / "psql.out").string();
    return [database, out](const std::string& sql) {
        const int rc = testsupport::RunCommand("PGPASSWORD=secret psql -X -q -t -A -h 127.0.0.1 -p " +
                                               std::to_string(testsupport::PostgresServer::Instance().port()) +
                                               " -U postgres -d " + database + " -c " +
                                               testsupport::ShellQuote(sql) + " > " + out + " 2>&1");
        const std::string text = testsupport::ReadFile(out);
        EXPECT_EQ(rc, 0) << sql << ": " << text;
        return Trimmed(text);
    };
}

inline SqlClient UseMariaDb(testsupport::OdbcSandbox& sandbox, const startuptest::StoreRoot& root,
                            const std::string& database) {
    testsupport::MariaDbServer& server = testsupport::MariaDbServer::Instance();
    EXPECT_EQ(server.Sql("create database " + database), 0);
    sandbox.AddDsn("mystore", "MariaDB Unicode",
                   {{"Server", "127.0.0.1"}, {"Port", std::to_string(server.port())}, {"Database", database}});
    root.Write("connparams.txt", "agent 0 mystore tester secret 0 main ODBC MYSQL NO\n");
    return [database](const std::string& sql) {
        std::string text;
        const int rc = testsupport::MariaDbServer::Instance().Sql("use " + database + "; " + sql, &text);
        EXPECT_EQ(rc, 0) << sql << ": " << text;
        std::string rows;
        for (char c : Trimmed(text)) rows += c == '\t' ? '|' : c;
        return rows;
    };
}

inline long long Number(const std::string& text) { return text.empty() ? 0 : std::stoll(text); }

}  // namespace campaign
