// The store against SQLite ":memory:" on the same rows and queries: appends, criteria
// selects, sorting and XML loads; the rows are generated once beforehand, outside
// every timed region. Each NAME_Baseline is the SQLite (or bare libxml2)
// figure for NAME; result counts are checked equal on both sides. SQLite's prepare is
// inside the timed loop, as the store parses its criteria per call; the PreparedOnce
// lines show SQLite with the statement prepared outside the loop.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <malloc.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <fmt/format.h>

#include "bench/in_turns.h"
#include "store/dictionary/dictionary.h"
#include "store/tables/tables.h"
#include "store/xml/table_xml.h"

namespace {

constexpr int kRows = 1000000;

const char* kDictionary = R"(<data-dictionary><table name="Bench"><columns>
  <column name="ID"><data-type>HYL_SQL_INT</data-type></column>
  <column name="NAME"><data-type>CHAR</data-type><max-size>32</max-size></column>
  <column name="VALUE"><data-type>HYL_SQL_INT</data-type></column>
  <column name="TAG"><data-type>CHAR</data-type><max-size>8</max-size></column>
  <column name="NOTE"><data-type>CHAR</data-type><max-size>64</max-size></column>
</columns></table>
<table name="BenchLoad"><columns>
  <column name="ID"><data-type>HYL_SQL_INT</data-type></column>
  <column name="NAME"><data-type>CHAR</data-type><max-size>32</max-size></column>
  <column name="VALUE"><data-type>HYL_SQL_INT</data-type></column>
  <column name="TAG"><data-type>CHAR</data-type><max-size>8</max-size></column>
  <column name="NOTE"><data-type>CHAR</data-type><max-size>64</max-size></column>
</columns></table></data-dictionary>)";

// The same deterministic rows for both sides; texts longer than 15 bytes on purpose.
struct RowText {
    int id;
    std::string name;
    int value;
    std::string tag;
    std::string note;
};
RowText MakeRow(int i) {
    return {i, fmt::format("customer-name-{:08d}", (static_cast<std::int64_t>(i) * 7919) % kRows), i % 1000, fmt::format("t{}", i % 50),
            fmt::format("note text for row {} with some padding", i)};
}

// The rows generated once, outside every timed region: both sides are timed on their
// inserts only, not on formatting the test data.
const std::vector<RowText>& Rows() {
    static const std::vector<RowText> rows = [] {
        std::vector<RowText> made;
        made.reserve(kRows);
        for (int i = 0; i < kRows; ++i) made.push_back(MakeRow(i));
        return made;
    }();
    return rows;
}

void EnsureDictionary() {
    static bool done = [] {
        const std::string path = fmt::format("/tmp/store-bench-dict-{}.xml", ::getpid());
        std::ofstream(path) << kDictionary;
        LoadDataDictFromXMLFile(path.c_str());
        std::remove(path.c_str());
        return true;
    }();
    (void)done;
}

void StoreInsert(const char* table, int rows) {
    const std::vector<RowText>& texts = Rows();
    for (int i = 0; i < rows; ++i) {
        const RowText& row = texts[static_cast<std::size_t>(i)];
        std::vector<ColumnValue> values(5);
        values[0] = ColumnValue::FromBytes(&row.id, 4);
        values[1] = ColumnValue::FromText(row.name);
        values[2] = ColumnValue::FromBytes(&row.value, 4);
        values[3] = ColumnValue::FromText(row.tag);
        values[4] = ColumnValue::FromText(row.note);
        AddNewRow(table, CreateNewRowObject(std::move(values)));
    }
}

sqlite3* OpenSqlite() {
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_exec(db, "CREATE TABLE Bench (ID INTEGER, NAME TEXT, VALUE INTEGER, TAG TEXT, NOTE TEXT)", nullptr, nullptr,
                 nullptr);
    return db;
}

void SqliteInsert(sqlite3* db, int rows) {
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO Bench VALUES (?, ?, ?, ?, ?)", -1, &insert, nullptr);
    const std::vector<RowText>& texts = Rows();
    for (int i = 0; i < rows; ++i) {
        const RowText& row = texts[static_cast<std::size_t>(i)];
        sqlite3_bind_int(insert, 1, row.id);
        sqlite3_bind_text(insert, 2, row.name.c_str(), static_cast<int>(row.name.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 3, row.value);
        sqlite3_bind_text(insert, 4, row.tag.c_str(), static_cast<int>(row.tag.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 5, row.note.c_str(), static_cast<int>(row.note.size()), SQLITE_TRANSIENT);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
}

// Bytes the process holds for data: the heap's blocks in use (mapped ones too) plus the
// chunks rows take from the system directly.
double DataBytesInUse() {
    const struct mallinfo2 heap = ::mallinfo2();
    return static_cast<double>(heap.uordblks + heap.hblkhd) + static_cast<double>(MappedRowMemoryBytes());
}

// SQLite's memory in use for the same rows, its statements finalised: measured once.
double SqliteBytesPerRow() {
    static const double perRow = [] {
        sqlite3* db = OpenSqlite();
        const sqlite3_int64 before = sqlite3_memory_used();
        SqliteInsert(db, kRows);
        const double bytes = static_cast<double>(sqlite3_memory_used() - before) / kRows;
        sqlite3_close(db);
        return bytes;
    }();
    return perRow;
}

void BM_Insert(benchmark::State& state) {
    EnsureDictionary();
    Rows();
    // The first fill of a fresh table: later fills reuse the freed rows' memory.
    static double perRow = 0;
    for (auto _ : state) {
        state.PauseTiming();
        FreeTableData(RemoveTableData("Bench").get());
        CreateTable("Bench");
        const double before = DataBytesInUse();
        state.ResumeTiming();
        StoreInsert("Bench", kRows);
        state.PauseTiming();
        if (perRow == 0) perRow = (DataBytesInUse() - before) / kRows;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRows);
    state.counters["bytes_per_row"] = perRow;
    state.counters["sqlite_bytes_per_row"] = SqliteBytesPerRow();
}
BENCHMARK(BM_Insert)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Insert_Baseline(benchmark::State& state) {
    Rows();
    double perRow = 0;
    for (auto _ : state) {
        state.PauseTiming();
        sqlite3* db = OpenSqlite();
        const sqlite3_int64 before = sqlite3_memory_used();
        state.ResumeTiming();
        SqliteInsert(db, kRows);
        state.PauseTiming();
        perRow = static_cast<double>(sqlite3_memory_used() - before) / kRows;
        sqlite3_close(db);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRows);
    state.counters["sqlite_bytes_per_row"] = perRow;
}
BENCHMARK(BM_Insert_Baseline)->Unit(benchmark::kMillisecond)->Iterations(3);

// Both sides filled once with the same million rows.
void EnsureStoreRows() {
    static bool done = [] {
        EnsureDictionary();
        Rows();
        FreeTableData(RemoveTableData("Bench").get());
        CreateTable("Bench");
        StoreInsert("Bench", kRows);
        return true;
    }();
    (void)done;
}
sqlite3* SqliteRows() {
    static sqlite3* db = [] {
        sqlite3* opened = OpenSqlite();
        SqliteInsert(opened, kRows);
        return opened;
    }();
    return db;
}

struct Query {
    const char* criteria;
    const char* sql;
};
const Query kQueries[] = {
    {"NAME='customer-name-00500000'", "SELECT NAME FROM Bench WHERE NAME='customer-name-00500000'"},
    {"VALUE<100", "SELECT NAME FROM Bench WHERE VALUE<100"},
    {"VALUE<100 and TAG='t3' or ID=77", "SELECT NAME FROM Bench WHERE VALUE<100 AND TAG='t3' OR ID=77"},
};

std::size_t StoreSelect(const Query& query) {
    std::unique_ptr<ResultData> result = SelectRows("Bench", query.criteria);
    std::size_t count = 0;
    std::uint32_t length = 0;
    while (GotoNextRowObject(result.get())) {
        benchmark::DoNotOptimize(GetColumnValueByName("NAME", &length, result.get()));
        ++count;
    }
    return count;
}

std::size_t SqliteStep(sqlite3_stmt* statement) {
    std::size_t count = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        benchmark::DoNotOptimize(sqlite3_column_text(statement, 0));
        ++count;
    }
    return count;
}

std::size_t SqliteSelect(const Query& query) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(SqliteRows(), query.sql, -1, &statement, nullptr);
    const std::size_t count = SqliteStep(statement);
    sqlite3_finalize(statement);
    return count;
}

void BM_Select(benchmark::State& state) {
    EnsureStoreRows();
    const Query& query = kQueries[state.range(0)];
    const std::size_t expected = SqliteSelect(query);
    for (auto _ : state) {
        if (StoreSelect(query) != expected) state.SkipWithError("result counts differ");
    }
    state.counters["rows"] = static_cast<double>(expected);
}
BENCHMARK(BM_Select)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

void BM_Select_Baseline(benchmark::State& state) {
    const Query& query = kQueries[state.range(0)];
    for (auto _ : state) benchmark::DoNotOptimize(SqliteSelect(query));
}
BENCHMARK(BM_Select_Baseline)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// The goal's figure: the store's select and SQLite's in turns (bench/in_turns.h), as
// BM_Select and its baseline, run apart, scatter by more than the goal's margin.
void BM_SelectInTurns(benchmark::State& state) {
    EnsureStoreRows();
    const Query& query = kQueries[state.range(0)];
    const std::size_t expected = SqliteSelect(query);
    bench::TimeInTurns(
        state, "store_ms", "sqlite_ms", [] {},
        [&] { return StoreSelect(query) == expected ? nullptr : "result counts differ"; },
        [&] { return SqliteSelect(query) == expected ? nullptr : "SQLite's count changed"; });
}
BENCHMARK(BM_SelectInTurns)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseManualTime();

void BM_SelectSqlitePreparedOnce(benchmark::State& state) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(SqliteRows(), kQueries[state.range(0)].sql, -1, &statement, nullptr);
    for (auto _ : state) {
        benchmark::DoNotOptimize(SqliteStep(statement));
        sqlite3_reset(statement);
    }
    sqlite3_finalize(statement);
}
BENCHMARK(BM_SelectSqlitePreparedOnce)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

constexpr int kSortRows = 100000;

void BM_Sort(benchmark::State& state) {
    EnsureDictionary();
    Rows();
    static bool filled = [] {
        CreateTable("BenchLoad");
        StoreInsert("BenchLoad", kSortRows);
        return true;
    }();
    (void)filled;
    for (auto _ : state) {
        std::unique_ptr<ResultData> result = SelectRows("BenchLoad", nullptr);
        SortResultSet(result.get(), "VALUE", 1);
        benchmark::DoNotOptimize(result->entries.data());
    }
    state.SetItemsProcessed(state.iterations() * kSortRows);
}
BENCHMARK(BM_Sort)->Unit(benchmark::kMillisecond);

void BM_Sort_Baseline(benchmark::State& state) {
    static sqlite3* db = [] {
        sqlite3* opened = OpenSqlite();
        SqliteInsert(opened, kSortRows);
        return opened;
    }();
    for (auto _ : state) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, "SELECT ID FROM Bench ORDER BY VALUE", -1, &statement, nullptr);
        benchmark::DoNotOptimize(SqliteStep(statement));
        sqlite3_finalize(statement);
    }
    state.SetItemsProcessed(state.iterations() * kSortRows);
}
BENCHMARK(BM_Sort_Baseline)->Unit(benchmark::kMillisecond);

std::string XmlDocument(int rows) {
    std::string document = "<?xml version=\"1.0\"?>\n<Rows>\n";
    for (int i = 0; i < rows; ++i) {
        const RowText row = MakeRow(i);
        document += fmt::format("  <BenchLoad ID=\"{}\" NAME=\"{}\" VALUE=\"{}\" TAG=\"{}\" NOTE=\"{}\"/>\n", row.id,
                                row.name, row.value, row.tag, row.note);
    }
    return document + "</Rows>\n";
}

// A field of /proc/self/status in bytes ("VmHWM", "VmRSS"); 0 when unreadable.
std::int64_t StatusBytes(const char* field) {
    std::int64_t kib = 0;
    if (std::FILE* file = std::fopen("/proc/self/status", "r")) {
        char line[256];
        const std::size_t length = std::strlen(field);
        while (std::fgets(line, sizeof line, file)) {
            if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
                kib = std::atoll(line + length + 1);
                break;
            }
        }
        std::fclose(file);
    }
    return kib * 1024;
}

// What one run of `load` costs in memory, measured in a forked child so the benchmark's
// own history does not count: the growth of the resident set's peak during the load, and
// what stays resident after it (the rows the load made).
struct LoadMemory {
    std::int64_t peak = 0;
    std::int64_t kept = 0;
};
template <typename Load>
LoadMemory MeasureLoadMemory(const Load& load) {
    int channel[2];
    LoadMemory measured;
    if (::pipe(channel) != 0) return measured;
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        std::ofstream("/proc/self/clear_refs") << "5";  // the peak restarts from here
        const std::int64_t before = StatusBytes("VmRSS");
        const std::int64_t peakBefore = StatusBytes("VmHWM");
        load();
        LoadMemory report{StatusBytes("VmHWM") - std::max(before, peakBefore), StatusBytes("VmRSS") - before};
        const bool sent = ::write(channel[1], &report, sizeof report) == static_cast<ssize_t>(sizeof report);
        ::_exit(sent ? 0 : 1);
    }
    ::close(channel[1]);
    if (child > 0) {
        if (::read(channel[0], &measured, sizeof measured) != static_cast<ssize_t>(sizeof measured)) measured = {};
        int status = 0;
        ::waitpid(child, &status, 0);
    }
    ::close(channel[0]);
    return measured;
}

// Counters of a load's memory against the document's size: peak_per_doc counts all the
// load added at its peak (the rows included), working_per_doc only what went again
// after it (parser and loader working memory).
void ReportLoadMemory(benchmark::State& state, const LoadMemory& memory, std::size_t documentBytes) {
    const double doc = static_cast<double>(documentBytes);
    state.counters["doc_bytes"] = doc;
    state.counters["peak_bytes"] = static_cast<double>(memory.peak);
    state.counters["peak_per_doc"] = static_cast<double>(memory.peak) / doc;
    state.counters["working_per_doc"] = static_cast<double>(std::max<std::int64_t>(memory.peak - memory.kept, 0)) / doc;
}

void BM_XmlLoad(benchmark::State& state) {
    EnsureDictionary();
    const std::string document = XmlDocument(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        FreeTableData(RemoveTableData("BenchLoad").get());
        state.ResumeTiming();
        if (!LoadTableDataFromXMLBuffer(document.data(), document.size())) state.SkipWithError("load failed");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(document.size()));
    state.SetComplexityN(state.range(0));
    FreeTableData(RemoveTableData("BenchLoad").get());
    ReportLoadMemory(state, MeasureLoadMemory([&document] {
                         LoadTableDataFromXMLBuffer(document.data(), document.size());
                     }),
                     document.size());
}
BENCHMARK(BM_XmlLoad)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(2)->Complexity(benchmark::oN);

void BM_XmlLoad_Baseline(benchmark::State& state) {
    const std::string document = XmlDocument(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        xmlDoc* doc = xmlReadMemory(document.data(), static_cast<int>(document.size()), nullptr, nullptr, XML_PARSE_NONET);
        xmlFreeDoc(doc);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(document.size()));
    // The parse's peak, with the tree still held.
    ReportLoadMemory(state, MeasureLoadMemory([&document] {
                         xmlDoc* doc = xmlReadMemory(document.data(), static_cast<int>(document.size()), nullptr,
                                                     nullptr, XML_PARSE_NONET);
                         benchmark::DoNotOptimize(doc);
                     }),
                     document.size());
}
BENCHMARK(BM_XmlLoad_Baseline)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
