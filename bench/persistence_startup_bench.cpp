// The store on SQLite: LoadTable of 10k and 100k rows against a hand-written ODBC loop
// filling plain vectors, SaveTable of new rows against a hand-written loop issuing the
// same statements (and, for the gap, a prepared insert in one transaction and the sqlite3
// shell's .import), and InitQuennet of ten tables on a fresh and an existing database.
// SaveTable on PostgreSQL and MariaDB servers started on loopback, against a prepared
// insert in one transaction on the same server.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/in_turns.h"
#include "runtime/log.h"
#include "store/persistence/persistence.h"
#include "store/store.h"
#include "tests/support/database_servers.h"
#include "tests/support/test_support.h"

namespace {

const char* kOrdersColumns = R"(
    <columns>
      <column name="ID"><data-type>HYL_SQL_INT</data-type><nullable>false</nullable></column>
      <column name="NAME"><data-type>CHAR</data-type><max-size>40</max-size></column>
      <column name="CREATED"><data-type>DATE</data-type></column>
      <column name="ACTIVE"><data-type>BOOLEAN</data-type></column>
      <column name="AMOUNT"><data-type>BIGINT</data-type></column>
      <column name="NOTES"><data-type>TEXT</data-type></column>
      <column name="CUSTOMER_ID"><data-type>HYL_SQL_INT</data-type></column>
    </columns>
    <primary-key><primary-key-column>ID</primary-key-column></primary-key>)";

// A store root whose dictionary holds the named tables of the Orders shape and whose one
// direct record is an SQLite file (WAL, normal sync: commits do not wait for the disk).
class BenchRoot {
public:
    BenchRoot(const std::vector<std::string>& tables, const std::string& file) {
        const auto data = dir_.path() / "data";
        std::filesystem::create_directories(data);
        std::string dictionary = "<?xml version=\"1.0\"?>\n<data-dictionary>\n";
        for (const std::string& table : tables)
            dictionary += "  <table name=\"" + table + "\">" + kOrdersColumns + "\n  </table>\n";
        dictionary += "</data-dictionary>\n";
        testsupport::WriteFile(data / "bench.xml", dictionary);
        testsupport::WriteFile(data / "datadictionary.txt", "bench.xml\n");
        std::string map;
        for (const std::string& table : tables) map += table + " main\n";
        testsupport::WriteFile(data / "dsn_table_map.txt", map);
        testsupport::WriteFile(data / "loadtablelist.txt", "");
        db_ = (dir_.path() / file).string();
        testsupport::WriteFile(
            data / "connparams.txt",
            "bench 0 unused sa NULL 0 main ODBC SQLITE YES " + connectionString() + "\n");
    }
    // The one connection record goes to a server instead: a direct connection string
    // and the dialect of its database type.
    void UseServer(const std::string& dbType, const std::string& connection) {
        server_ = connection;
        testsupport::WriteFile(dir_.path() / "data" / "connparams.txt",
                               "bench 0 unused sa NULL 0 main ODBC " + dbType + " YES " + connection + "\n");
    }
    std::string path() const { return (dir_.path()).string(); }
    std::string db() const { return db_; }
    std::string connectionString() const {
        if (!server_.empty()) return server_;
        return "Driver={SQLite3};Database=" + db_ +
               ";JournalMode=WAL;SyncPragma=NORMAL;Timeout=20000;";
    }

private:
    testsupport::TempDir dir_;
    std::string db_;
    std::string server_;
};

ProviderConnectionPtr OpenDirect(const BenchRoot& root) {
    ConnectionParams params;
    params.dsn = "bench";
    params.direct = 1;
    params.connString = root.connectionString();
    params.connName = "baseline";
    params.providerName = "ODBC";
    return ODBCOpenConnection(&params);
}

void Fill(const char* table, int rows) {
    DBConnection* connection = GetConnection(nullptr);
    const std::string fill =
        std::string("insert into ") + table +
        " with recursive n(i) as (select 1 union all select i+1 from n where i<" +
        std::to_string(rows) +
        ") select i, 'customer name ' || i, '2024-03-05', i % 2, i * 1000003, "
        "'a note of about fifty bytes for every order row ' || i, i % 97 from n";
    ExecuteUpdate(connection, fill.c_str());
    ReleaseConnection(nullptr);
}

// Whether the load benchmarks' store runs: the start-up benchmark stops it (one store per
// process), and the next load or save benchmark starts it again, whatever their order.
bool loadStoreRunning = false;
// The server (0 PostgreSQL, 1 MariaDB) whose store runs instead, -1 when none.
int serverStoreRunning = -1;

// One started store for the load benchmarks, its tables filled once.
BenchRoot& LoadRoot() {
    static BenchRoot root({"Orders10k", "Orders100k"}, "load.db");
    static bool filled = false;
    if (!loadStoreRunning) {
        if (serverStoreRunning >= 0) DeInitQuennet();
        serverStoreRunning = -1;
        loadStoreRunning = InitQuennet(root.path().c_str());
        SetLogLevel(2);  // figures of the store, not of its trace
    }
    if (loadStoreRunning && !filled) {
        Fill("Orders10k", 10000);
        Fill("Orders100k", 100000);
        filled = true;
    }
    return root;
}

const char* LoadTableName(int rows) {
    return rows == 10000 ? "Orders10k" : "Orders100k";
}

// Bytes of the values held: the raw data of the table.
std::size_t RawBytes(const char* table) {
    std::size_t bytes = 0;
    std::unique_ptr<ResultData> all = SelectRows(table, nullptr);
    if (!all) return 0;
    for (const RowObject* row : all->entries)
        for (const ColumnValue& value : row->values) bytes += value.length;
    return bytes;
}

void BM_LoadTable(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    LoadRoot();
    const char* table = LoadTableName(rows);
    std::size_t held = 0;
    for (auto _ : state) {
        state.PauseTiming();
        UnLoadTable(table);
        malloc_trim(0);
        const std::size_t before = mallinfo2().uordblks;
        state.ResumeTiming();
        if (!LoadTable(table)) {
            state.SkipWithError("LoadTable failed");
            break;
        }
        state.PauseTiming();
        held = mallinfo2().uordblks - before;
        state.ResumeTiming();
    }
    const double raw = static_cast<double>(RawBytes(table));
    state.counters["memory_per_raw_data"] = static_cast<double>(held) / raw;
    state.counters["bytes_per_row"] = static_cast<double>(held) / rows;
    state.counters["raw_bytes_per_row"] = raw / rows;
    state.SetItemsProcessed(state.iterations() * rows);
}

// A hand-written ODBC loop: every column bound as text, rows copied into plain vectors
// (table is emptied first). False when the query fails or yields another row count.
bool HandWrittenLoad(SQLHDBC connection, int rows, std::vector<std::vector<std::string>>& table) {
    table.clear();
    const std::string select = std::string("select * from ") + LoadTableName(rows);
    SQLHSTMT statement = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, connection, &statement);
    SQLExecDirect(statement, reinterpret_cast<SQLCHAR*>(const_cast<char*>(select.c_str())), SQL_NTS);
    SQLSMALLINT columns = 0;
    SQLNumResultCols(statement, &columns);
    std::vector<std::vector<char>> buffers(columns, std::vector<char>(256));
    std::vector<SQLLEN> indicators(columns);
    for (SQLUSMALLINT i = 1; i <= columns; ++i)
        SQLBindCol(statement, i, SQL_C_CHAR, buffers[i - 1].data(), 256, &indicators[i - 1]);
    while (SQL_SUCCEEDED(SQLFetch(statement))) {
        std::vector<std::string> row(columns);
        for (SQLSMALLINT i = 0; i < columns; ++i)
            if (indicators[i] != SQL_NULL_DATA)
                row[i].assign(buffers[i].data(), static_cast<std::size_t>(indicators[i]));
        table.push_back(std::move(row));
    }
    SQLFreeHandle(SQL_HANDLE_STMT, statement);
    benchmark::DoNotOptimize(table);
    return table.size() == static_cast<std::size_t>(rows);
}

// A connection of the baselines' own to the store's SQLite database; null, with the
// benchmark skipped, when it cannot connect.
ProviderConnectionPtr OpenBaselineConnection(benchmark::State& state) {
    ProviderConnectionPtr db = OpenDirect(LoadRoot());
    if (!db) state.SkipWithError("cannot connect");
    return db;
}

// The hand-written loop on its own. As for LoadTable, the rows of the run before are
// freed and the heap trimmed outside the timing, so both start each run from the same heap.
void BM_LoadTable_Baseline(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    ProviderConnectionPtr db = OpenBaselineConnection(state);
    if (!db) return;
    SQLHDBC connection = static_cast<ODBCConnection*>(db.get())->connection;
    std::vector<std::vector<std::string>> table;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::vector<std::string>>().swap(table);
        malloc_trim(0);
        state.ResumeTiming();
        if (!HandWrittenLoad(connection, rows, table)) state.SkipWithError("query failed");
    }
    state.SetItemsProcessed(state.iterations() * rows);
}

// LoadTable and the hand-written loop in turns (bench/in_turns.h). The iteration time is
// LoadTable's; the quotient of loop_ms and load_ms is how many times as fast as the loop
// LoadTable is.
void BM_LoadTableInTurns(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    ProviderConnectionPtr db = OpenBaselineConnection(state);
    if (!db) return;
    SQLHDBC connection = static_cast<ODBCConnection*>(db.get())->connection;
    const char* name = LoadTableName(rows);
    std::vector<std::vector<std::string>> table;
    bench::TimeInTurns(
        state, "load_ms", "loop_ms",
        [&] {
            UnLoadTable(name);
            std::vector<std::vector<std::string>>().swap(table);
            malloc_trim(0);
        },
        [&] { return LoadTable(name) ? nullptr : "LoadTable failed"; },
        [&] { return HandWrittenLoad(connection, rows, table) ? nullptr : "query failed"; });
    state.SetItemsProcessed(state.iterations() * rows);
}

BENCHMARK(BM_LoadTable)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadTable_Baseline)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_LoadTableInTurns)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseManualTime();

// ---- save ------------------------------------------------------------------------------

constexpr const char* kSaveTable = "Orders100k";

// The table in memory holds n new rows; the database table is empty.
void PrepareNewRows(int rows, const char* table = kSaveTable) {
    UnLoadTable(table);
    DBConnection* connection = GetConnection(nullptr);
    ExecuteUpdate(connection, (std::string("delete from ") + table).c_str());
    ReleaseConnection(nullptr);
    CreateTable(table);
    for (int i = 1; i <= rows; ++i) {
        std::vector<ColumnValue> values(7);
        values[0] = ColumnValue::FromObject<std::int32_t>(i, 4);
        values[1] = ColumnValue::FromText("customer name " + std::to_string(i));
        values[3] = ColumnValue::FromObject<unsigned char>(static_cast<unsigned char>(i % 2), 1);
        values[4] =
            ColumnValue::FromObject<std::int64_t>(static_cast<std::int64_t>(i) * 1000003, 8);
        values[5] = ColumnValue::FromText("a note of about fifty bytes for every order row " +
                                          std::to_string(i));
        values[6] = ColumnValue::FromObject<std::int32_t>(i % 97, 4);
        AddNewRow(table, CreateNewRowObject(std::move(values)));
    }
}

void BM_SaveTable(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    LoadRoot();
    for (auto _ : state) {
        state.PauseTiming();
        PrepareNewRows(rows);
        state.ResumeTiming();
        if (!SaveTable(kSaveTable)) {
            state.SkipWithError("SaveTable failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * rows);
}

// The same insert texts, issued one by one with SQLExecDirect in autocommit.
std::vector<std::string> InsertTexts(int rows) {
    PrepareNewRows(rows);
    std::vector<std::string> texts;
    std::unique_ptr<ResultData> all = SelectRows(kSaveTable, nullptr);
    for (const RowObject* row : all->entries)
        texts.push_back(*GenerateInsertQuery(kSaveTable, row));
    UnLoadTable(kSaveTable);
    return texts;
}

void ClearSaveTable(SQLHDBC connection) {
    SQLHSTMT statement = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, connection, &statement);
    const std::string clear = std::string("delete from ") + kSaveTable;
    SQLExecDirect(statement, reinterpret_cast<SQLCHAR*>(const_cast<char*>(clear.c_str())), SQL_NTS);
    SQLFreeHandle(SQL_HANDLE_STMT, statement);
}

void BM_SaveTable_Baseline(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    LoadRoot();
    const std::vector<std::string> texts = InsertTexts(rows);
    ProviderConnectionPtr db = OpenBaselineConnection(state);
    if (!db) return;
    SQLHDBC connection = static_cast<ODBCConnection*>(db.get())->connection;
    for (auto _ : state) {
        state.PauseTiming();
        ClearSaveTable(connection);
        state.ResumeTiming();
        for (const std::string& text : texts) {
            SQLHSTMT statement = SQL_NULL_HSTMT;
            SQLAllocHandle(SQL_HANDLE_STMT, connection, &statement);
            if (!SQL_SUCCEEDED(SQLExecDirect(
                    statement, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())),
                    SQL_NTS)))
                state.SkipWithError("insert failed");
            SQLFreeHandle(SQL_HANDLE_STMT, statement);
        }
    }
    state.SetItemsProcessed(state.iterations() * rows);
}

// For the gap: one prepared insert with bound parameters, all rows in one transaction.
void BM_SavePreparedInOneTransaction(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    ProviderConnectionPtr db = OpenBaselineConnection(state);
    if (!db) return;
    SQLHDBC connection = static_cast<ODBCConnection*>(db.get())->connection;
    for (auto _ : state) {
        state.PauseTiming();
        ClearSaveTable(connection);
        state.ResumeTiming();
        SQLSetConnectAttr(connection, SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), SQL_IS_UINTEGER);
        SQLHSTMT statement = SQL_NULL_HSTMT;
        SQLAllocHandle(SQL_HANDLE_STMT, connection, &statement);
        const std::string insert =
            std::string("insert into ") + kSaveTable + " values(?,?,NULL,?,?,?,?)";
        SQLPrepare(statement, reinterpret_cast<SQLCHAR*>(const_cast<char*>(insert.c_str())),
                   SQL_NTS);
        SQLINTEGER id = 0, customer = 0, active = 0;
        SQLBIGINT amount = 0;
        char name[64], notes[128];
        SQLLEN nameLength = SQL_NTS, notesLength = SQL_NTS;
        SQLBindParameter(statement, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &id, 0,
                         nullptr);
        SQLBindParameter(statement, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 40, 0, name,
                         sizeof name, &nameLength);
        SQLBindParameter(statement, 3, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &active, 0,
                         nullptr);
        SQLBindParameter(statement, 4, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &amount, 0,
                         nullptr);
        SQLBindParameter(statement, 5, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_LONGVARCHAR, 100, 0, notes,
                         sizeof notes, &notesLength);
        SQLBindParameter(statement, 6, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &customer,
                         0, nullptr);
        for (int i = 1; i <= rows; ++i) {
            id = i;
            active = i % 2;
            amount = static_cast<SQLBIGINT>(i) * 1000003;
            customer = i % 97;
            std::snprintf(name, sizeof name, "customer name %d", i);
            std::snprintf(notes, sizeof notes, "a note of about fifty bytes for every order row %d",
                          i);
            if (!SQL_SUCCEEDED(SQLExecute(statement)))
                state.SkipWithError("prepared insert failed");
        }
        SQLFreeHandle(SQL_HANDLE_STMT, statement);
        SQLEndTran(SQL_HANDLE_DBC, connection, SQL_COMMIT);
        SQLSetConnectAttr(connection, SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), SQL_IS_UINTEGER);
    }
    state.SetItemsProcessed(state.iterations() * rows);
}

// For the gap: the sqlite3 shell importing the same rows from a CSV file.
void BM_SaveBySqlite3Import(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    BenchRoot& root = LoadRoot();
    static testsupport::TempDir dir;
    const std::string csv = (dir.path() / "rows.csv").string();
    {
        std::ofstream out(csv);
        for (int i = 1; i <= rows; ++i)
            out << i << ",customer name " << i << ",," << i % 2 << ","
                << static_cast<long long>(i) * 1000003
                << ",a note of about fifty bytes for every order row " << i << "," << i % 97
                << "\n";
    }
    const std::string clear = "sqlite3 " + root.db() + " 'delete from " + kSaveTable + "'";
    const std::string import =
        "sqlite3 -csv " + root.db() + " '.import " + csv + " " + kSaveTable + "'";
    for (auto _ : state) {
        state.PauseTiming();
        if (std::system(clear.c_str()) != 0) state.SkipWithError("sqlite3 delete failed");
        state.ResumeTiming();
        if (std::system(import.c_str()) != 0) state.SkipWithError("sqlite3 .import failed");
    }
    state.SetItemsProcessed(state.iterations() * rows);
}

BENCHMARK(BM_SaveTable)->Arg(100000)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SaveTable_Baseline)
    ->Arg(100000)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_SavePreparedInOneTransaction)
    ->Arg(100000)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_SaveBySqlite3Import)
    ->Arg(100000)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ---- saves on PostgreSQL and MariaDB ------------------------------------------------------

constexpr const char* kServerTable = "ServerOrders";

// A store on the server of range 0 (0 PostgreSQL, 1 MariaDB), started once per server;
// the SQLite store of the other benchmarks is stopped first (one store per process).
BenchRoot* ServerRoot(int server) {
    static std::unique_ptr<BenchRoot> roots[2];
    if (serverStoreRunning == server) return roots[server].get();
    DeInitQuennet();
    loadStoreRunning = false;
    serverStoreRunning = -1;
    try {
        if (!roots[server]) {
            auto root = std::make_unique<BenchRoot>(std::vector<std::string>{kServerTable}, "unused.db");
            if (server == 0) {
                testsupport::PostgresServer& pg = testsupport::PostgresServer::Instance();
                pg.Psql("create database benchsave");
                root->UseServer("PGSQL", pg.connectionString("benchsave"));
            } else {
                testsupport::MariaDbServer& maria = testsupport::MariaDbServer::Instance();
                maria.Sql("create database benchsave");
                root->UseServer("MYSQL", "Driver={MariaDB Unicode};Server=127.0.0.1;Port=" +
                                             std::to_string(maria.port()) +
                                             ";Database=benchsave;Uid=tester;Pwd=secret;");
            }
            roots[server] = std::move(root);
        }
    } catch (const std::exception&) {
        return nullptr;
    }
    if (!InitQuennet(roots[server]->path().c_str())) return nullptr;
    SetLogLevel(2);
    serverStoreRunning = server;
    return roots[server].get();
}

// SaveTable of new rows on the server: range 0 the server, range 1 the rows.
void BM_SaveTableOnServer(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(1));
    if (!ServerRoot(static_cast<int>(state.range(0)))) {
        state.SkipWithError("the server or its store did not start");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        PrepareNewRows(rows, kServerTable);
        state.ResumeTiming();
        if (!SaveTable(kServerTable)) {
            state.SkipWithError("SaveTable failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * rows);
}

// The same rows through one prepared insert with bound parameters, in one transaction.
void BM_SaveTableOnServer_Baseline(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(1));
    BenchRoot* root = ServerRoot(static_cast<int>(state.range(0)));
    ProviderConnectionPtr db = root ? OpenDirect(*root) : nullptr;
    if (!db) {
        state.SkipWithError("the server or its store did not start");
        return;
    }
    SQLHDBC connection = static_cast<ODBCConnection*>(db.get())->connection;
    const std::string clear = std::string("delete from ") + kServerTable;
    const std::string insert = std::string("insert into ") + kServerTable + " values(?,?,NULL,(? <> 0),?,?,?)";
    for (auto _ : state) {
        state.PauseTiming();
        ODBCExecuteUpdate(db.get(), clear.c_str());
        state.ResumeTiming();
        SQLSetConnectAttr(connection, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF),
                          SQL_IS_UINTEGER);
        SQLHSTMT statement = SQL_NULL_HSTMT;
        SQLAllocHandle(SQL_HANDLE_STMT, connection, &statement);
        SQLPrepare(statement, reinterpret_cast<SQLCHAR*>(const_cast<char*>(insert.c_str())), SQL_NTS);
        SQLINTEGER id = 0, customer = 0, active = 0;
        SQLBIGINT amount = 0;
        char name[64], notes[128];
        SQLLEN nameLength = SQL_NTS, notesLength = SQL_NTS;
        SQLBindParameter(statement, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &id, 0, nullptr);
        SQLBindParameter(statement, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 40, 0, name, sizeof name,
                         &nameLength);
        SQLBindParameter(statement, 3, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &active, 0, nullptr);
        SQLBindParameter(statement, 4, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &amount, 0, nullptr);
        SQLBindParameter(statement, 5, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_LONGVARCHAR, 100, 0, notes, sizeof notes,
                         &notesLength);
        SQLBindParameter(statement, 6, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &customer, 0, nullptr);
        for (int i = 1; i <= rows; ++i) {
            id = i;
            active = i % 2;
            amount = static_cast<SQLBIGINT>(i) * 1000003;
            customer = i % 97;
            std::snprintf(name, sizeof name, "customer name %d", i);
            std::snprintf(notes, sizeof notes, "a note of about fifty bytes for every order row %d", i);
            if (!SQL_SUCCEEDED(SQLExecute(statement))) {
                state.SkipWithError("prepared insert failed");
                break;
            }
        }
        SQLFreeHandle(SQL_HANDLE_STMT, statement);
        SQLEndTran(SQL_HANDLE_DBC, connection, SQL_COMMIT);
        SQLSetConnectAttr(connection, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON),
                          SQL_IS_UINTEGER);
    }
    state.SetItemsProcessed(state.iterations() * rows);
}

BENCHMARK(BM_SaveTableOnServer)
    ->Args({0, 20000})
    ->Args({1, 20000})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_SaveTableOnServer_Baseline)
    ->Args({0, 20000})
    ->Args({1, 20000})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ---- start-up ----------------------------------------------------------------------------

// InitQuennet of ten tables; range 1: the database exists already, 0: a fresh file each time.
void BM_InitQuennetTenTables(benchmark::State& state) {
    const bool existing = state.range(0) == 1;
    std::vector<std::string> tables;
    for (int i = 0; i < 10; ++i) tables.push_back("Table" + std::to_string(i));
    BenchRoot root(tables, existing ? "existing.db" : "fresh.db");
    // The load benchmarks' store is stopped first: one store per process.
    DeInitQuennet();
    loadStoreRunning = false;
    serverStoreRunning = -1;
    if (existing) {
        InitQuennet(root.path().c_str());
        DeInitQuennet();
    }
    for (auto _ : state) {
        if (!InitQuennet(root.path().c_str())) {
            state.SkipWithError("InitQuennet failed");
            break;
        }
        state.PauseTiming();
        DeInitQuennet();
        if (!existing) std::filesystem::remove(root.db());
        state.ResumeTiming();
    }
}
BENCHMARK(BM_InitQuennetTenTables)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
