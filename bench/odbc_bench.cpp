// ODBCExecuteQuery against a hand-written ODBC loop binding the same columns, on an
// SQLite file of 10k and 100k rows of the Orders shape; and the statements and round
// trips a generated update costs on a MariaDB server (its own counters).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "store/persistence/persistence.h"
#include "tests/support/database_servers.h"
#include "tests/support/test_support.h"

namespace {

const char* kSelect = "select ID, NAME, CREATED, ACTIVE, AMOUNT, NOTES, CUSTOMER_ID from Orders";

// One SQLite file per row count, filled once per run.
std::string OrdersDatabase(int rows) {
    static testsupport::TempDir dir;
    const std::filesystem::path file = dir.path() / ("orders" + std::to_string(rows) + ".db");
    const std::string connection = "Driver={SQLite3};Database=" + file.string() + ";";
    if (std::filesystem::exists(file)) return connection;
    ConnectionParams params;
    params.dsn = "bench";
    params.direct = 1;
    params.connString = connection;
    ProviderConnectionPtr db = ODBCOpenConnection(&params);
    ODBCExecuteUpdate(db.get(),
                      "create table Orders(ID int primary key, NAME varchar(40), CREATED date, ACTIVE boolean, "
                      "AMOUNT bigint, NOTES text, CUSTOMER_ID int)");
    const std::string fill =
        "insert into Orders with recursive n(i) as (select 1 union all select i+1 from n where i<" +
        std::to_string(rows) +
        ") select i, 'customer name ' || i, '2024-03-05', i % 2, i * 1000003, "
        "'a note of about fifty bytes for every order row ' || i, i % 97 from n";
    ODBCExecuteUpdate(db.get(), fill.c_str());
    return connection;
}

ProviderConnectionPtr Open(const std::string& connection) {
    ConnectionParams params;
    params.dsn = "bench";
    params.direct = 1;
    params.connString = connection;
    return ODBCOpenConnection(&params);
}

void BM_ODBCExecuteQuery(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    ProviderConnectionPtr db = Open(OrdersDatabase(rows));
    for (auto _ : state) {
        auto result = ODBCExecuteQuery(db.get(), kSelect);
        if (!result || result->rows.size() != static_cast<std::size_t>(rows)) state.SkipWithError("query failed");
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * rows);
}

// The loop a developer would write by hand: every column bound as text, rows copied out.
void BM_ODBCExecuteQuery_Baseline(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    ProviderConnectionPtr db = Open(OrdersDatabase(rows));
    SQLHDBC connection = static_cast<ODBCConnection*>(db.get())->connection;
    for (auto _ : state) {
        SQLHSTMT statement = SQL_NULL_HSTMT;
        SQLAllocHandle(SQL_HANDLE_STMT, connection, &statement);
        SQLExecDirect(statement, reinterpret_cast<SQLCHAR*>(const_cast<char*>(kSelect)), SQL_NTS);
        SQLSMALLINT columns = 0;
        SQLNumResultCols(statement, &columns);
        std::vector<std::vector<char>> buffers(columns);
        std::vector<SQLLEN> indicators(columns);
        for (SQLUSMALLINT i = 1; i <= columns; ++i) {
            SQLCHAR name[99];
            SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
            SQLULEN size = 0;
            SQLDescribeCol(statement, i, name, sizeof name, &nameLength, &type, &size, &digits, &nullable);
            buffers[i - 1].resize(std::max<SQLULEN>(size, 64) + 1);
            SQLBindCol(statement, i, SQL_C_CHAR, buffers[i - 1].data(), static_cast<SQLLEN>(buffers[i - 1].size()),
                       &indicators[i - 1]);
        }
        std::vector<std::vector<std::string>> table;
        while (SQL_SUCCEEDED(SQLFetch(statement))) {
            std::vector<std::string> row(columns);
            for (SQLSMALLINT i = 0; i < columns; ++i)
                if (indicators[i] != SQL_NULL_DATA) row[i].assign(buffers[i].data(), static_cast<std::size_t>(indicators[i]));
            table.push_back(std::move(row));
        }
        SQLFreeHandle(SQL_HANDLE_STMT, statement);
        if (table.size() != static_cast<std::size_t>(rows)) state.SkipWithError("query failed");
        benchmark::DoNotOptimize(table);
    }
    state.SetItemsProcessed(state.iterations() * rows);
}

BENCHMARK(BM_ODBCExecuteQuery)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ODBCExecuteQuery_Baseline)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

long long StatusCounter(const testsupport::MariaDbServer& server, const char* name) {
    std::string output;
    server.Sql(std::string("SHOW GLOBAL STATUS LIKE '") + name + "'", &output);
    const std::size_t tab = output.find('\t');
    return tab == std::string::npos ? -1 : std::atoll(output.c_str() + tab + 1);
}

// Statements the server sees per ODBCExecuteUpdate, and prepares among them: one
// statement and no prepare means one round trip per statement.
void BM_MariaDbUpdateStatements(benchmark::State& state) {
    testsupport::MariaDbServer* server = nullptr;
    try {
        server = &testsupport::MariaDbServer::Instance();
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return;
    }
    ProviderConnectionPtr db = Open(server->connectionString());
    ODBCExecuteUpdate(db.get(), "drop table if exists counted");
    ODBCExecuteUpdate(db.get(), "create table counted(id int primary key, name varchar(40))");
    ODBCExecuteUpdate(db.get(), "insert into counted values(1, 'x')");
    const long long questions = StatusCounter(*server, "Questions");
    const long long prepares = StatusCounter(*server, "Com_stmt_prepare");
    long long statements = 0;
    for (auto _ : state) {
        ODBCExecuteUpdate(db.get(), "update counted set name='y''s' where id=1");
        ++statements;
    }
    // Each counter query is itself one question.
    state.counters["server_statements_per_update"] =
        static_cast<double>(StatusCounter(*server, "Questions") - questions - 1) / static_cast<double>(statements);
    state.counters["prepares_per_update"] =
        static_cast<double>(StatusCounter(*server, "Com_stmt_prepare") - prepares) / static_cast<double>(statements);
    state.SetItemsProcessed(statements);
}
BENCHMARK(BM_MariaDbUpdateStatements)->Iterations(2000);

long long PostgresCounter(const testsupport::PostgresServer& server, const std::string& sql) {
    std::string output;
    if (server.Psql(sql, &output) != 0) return -1;
    return std::atoll(output.c_str());
}

// Statements PostgreSQL executes per ODBCExecuteUpdate (pg_stat_statements): one means no
// savepoint, prepare or other statement travels with the update.
void BM_PostgresUpdateStatements(benchmark::State& state) {
    testsupport::PostgresServer* server = nullptr;
    try {
        server = &testsupport::PostgresServer::Instance();
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return;
    }
    if (server->Psql("create extension if not exists pg_stat_statements") != 0) {
        state.SkipWithError("pg_stat_statements is not available");
        return;
    }
    ProviderConnectionPtr db = Open(server->connectionString());
    ODBCExecuteUpdate(db.get(), "drop table if exists counted");
    ODBCExecuteUpdate(db.get(), "create table counted(id int primary key, name varchar(40))");
    ODBCExecuteUpdate(db.get(), "insert into counted values(1, 'x')");
    server->Psql("select pg_stat_statements_reset()");
    long long statements = 0;
    for (auto _ : state) {
        ODBCExecuteUpdate(db.get(), "update counted set name='y''s' where id=1");
        ++statements;
    }
    const long long calls = PostgresCounter(
        *server, "select coalesce(sum(calls), 0) from pg_stat_statements where query not like '%pg_stat_statements%'");
    state.counters["server_statements_per_update"] = static_cast<double>(calls) / static_cast<double>(statements);
    state.SetItemsProcessed(statements);
}
BENCHMARK(BM_PostgresUpdateStatements)->Iterations(2000);

}  // namespace

BENCHMARK_MAIN();
