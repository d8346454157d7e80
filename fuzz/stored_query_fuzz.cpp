// Fuzz target: the stored-query catalogue (QueryDetails and its companion tables) read by
// the real loaders through the ODBC provider and the SQLite3 driver. Each input is a
// catalogue script, turned into a fresh SQLite file in a private folder:
//   TABLE VALUE...         one row of a catalogue table, values in its column order
//                          (missing ones NULL, extra ones dropped; 64 rows at most)
//   table NAME COL TYPE... the table with these columns and declared types instead
//   drop NAME              the table left out
// A value is NULL, a number, 'text' (a quote doubled inside), x'hex' bytes, or any other
// word as text. Every QUERY_ID named in QueryDetails or a Queryvs table (the first four)
// is loaded twice by the six loaders, and its SQL written in every dialect. Oracles: both
// loads give the same results, SQL and criteria text; a rebuilt criteria has sound parent
// links and its text holds its comparisons in order; with the standard layout and integer
// identifiers the FROM list has one entry per QueryvsTables row whose TableDetails row
// names a table. The SQL is written, never run: the catalogue's comparison values go into
// it as SQL fragments.
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "fuzz/store_fuzz_common.h"
#include "store/persistence/catalogue/stored_query.h"
#include "store/persistence/catalogue/table_statements.h"
#include "store/persistence/dialect/sql_dialect.h"
#include "store/persistence/provider/odbc_provider.h"

namespace {

struct TableLayout {
    std::vector<std::pair<std::string, std::string>> columns;  // name, declared type
    bool standard = true;
};

// The catalogue as the tests create it.
std::map<std::string, TableLayout> StandardLayouts() {
    const char* tables[][9] = {
        {"QueryDetails", "QUERY_ID", "int", "QUERYNAME", "varchar(40)"},
        {"QueryvsColumns", "QUERY_ID", "int", "COLUMN_ID", "int"},
        {"ColumnDetails", "COLUMN_ID", "int", "COLUMNNAME", "varchar(40)", "COLUMNALIAS", "varchar(40)",
         "TABLENAME", "varchar(40)"},
        {"QueryvsTables", "QUERY_ID", "int", "TABLE_ID", "int"},
        {"TableDetails", "TABLE_ID", "int", "TABLENAME", "varchar(40)", "TABLEALIAS", "varchar(40)"},
        {"QueryvsJoins", "QUERY_ID", "int", "JOIN_ID", "int"},
        {"QueryvsGB", "QUERY_ID", "int", "GB_ID", "int"},
        {"GroupByDetails", "GB_ID", "int", "TABLENAME", "varchar(40)", "COLUMNNAME", "varchar(40)"},
        {"QueryvsSort", "QUERY_ID", "int", "SORT_ID", "int"},
        {"SortDetails", "SORT_ID", "int", "TABLENAME", "varchar(40)", "COLUMNNAME", "varchar(40)", "SORTTYPE",
         "varchar(10)"},
        {"QueryvsCriteria", "QUERY_ID", "int", "B_ID", "int"},
        {"BooleanExp", "B_ID", "int", "LEXPRESSION", "int", "OPERATOR", "varchar(10)", "REXPRESSION", "int"},
        {"RelationalExp", "R_ID", "int", "LIDENTIFIER", "varchar(40)", "OPERATOR", "varchar(10)", "RIDENTIFIER",
         "varchar(60)"},
    };
    std::map<std::string, TableLayout> layouts;
    for (const auto& table : tables) {
        TableLayout& layout = layouts[table[0]];
        for (int i = 1; i + 1 < 9 && table[i]; i += 2) layout.columns.emplace_back(table[i], table[i + 1]);
    }
    // Two tables have more columns than fit in the rows above.
    layouts["ColumnDetails"].columns.emplace_back("TABLEALIAS", "varchar(40)");
    layouts["ColumnDetails"].columns.emplace_back("FUNCTIONNAME", "varchar(20)");
    TableLayout& joins = layouts["JoinDetails"];
    for (const char* name : {"JOIN_ID", "BASETABLENAME", "BASETABLEALIAS", "REFTABLENAME", "REFTABLEALIAS",
                             "BASETABLECOLUMN", "REFTABLECOLUMN", "JOINTYPE"})
        joins.columns.emplace_back(name, std::string_view(name) == "JOIN_ID" ? "int" : "varchar(40)");
    return layouts;
}

struct Value {
    enum Kind { Null, Integer, Real, Text, Blob } kind = Null;
    std::int64_t integer = 0;
    double real = 0;
    std::string bytes;
};

struct Row {
    std::string table;
    std::vector<Value> values;
};

bool NameCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '(' ||
           c == ')' || c == ',';
}

// A table, column or type name goes into the CREATE statement as it is: only safe ones.
bool SafeName(const std::string& name) {
    if (name.empty() || name.size() > 40) return false;
    for (char c : name)
        if (!NameCharacter(c)) return false;
    return true;
}

// Splits a line into words; a quoted word keeps its quotes and may hold blanks.
std::vector<std::string> Words(std::string_view line) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        std::size_t start = i;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            if (line[i] == '\'') quoted = !quoted;
            ++i;
        }
        words.emplace_back(line.substr(start, i - start));
    }
    return words;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Value ParseValue(const std::string& word) {
    Value value;
    if (word == "NULL") return value;
    if (word.size() >= 2 && word.front() == '\'' && word.back() == '\'') {
        value.kind = Value::Text;
        for (std::size_t i = 1; i + 1 < word.size(); ++i) {
            value.bytes += word[i];
            if (word[i] == '\'' && i + 2 < word.size() && word[i + 1] == '\'') ++i;
        }
        return value;
    }
    if (word.size() >= 3 && (word[0] == 'x' || word[0] == 'X') && word[1] == '\'' && word.back() == '\'') {
        value.kind = Value::Blob;
        for (std::size_t i = 2; i + 2 < word.size(); i += 2) {
            const int high = HexDigit(word[i]), low = HexDigit(word[i + 1]);
            if (high < 0 || low < 0) break;
            value.bytes += static_cast<char>(high * 16 + low);
        }
        return value;
    }
    errno = 0;
    char* end = nullptr;
    const long long integer = std::strtoll(word.c_str(), &end, 10);
    if (!word.empty() && *end == '\0' && errno == 0) {
        value.kind = Value::Integer;
        value.integer = integer;
        return value;
    }
    const double real = std::strtod(word.c_str(), &end);
    if (!word.empty() && *end == '\0' && word.find_first_of("nN") == std::string::npos) {
        value.kind = Value::Real;
        value.real = real;
        return value;
    }
    value.kind = Value::Text;
    value.bytes = word;
    return value;
}

struct Catalogue {
    std::map<std::string, TableLayout> layouts = StandardLayouts();
    std::vector<Row> rows;
    std::set<std::int32_t> queries;
};

Catalogue ReadScript(std::string_view script) {
    Catalogue catalogue;
    std::size_t start = 0;
    int lines = 0;
    while (start <= script.size() && lines++ < 400) {
        std::size_t end = script.find('\n', start);
        if (end == std::string_view::npos) end = script.size();
        const std::vector<std::string> words = Words(script.substr(start, end - start));
        start = end + 1;
        if (words.empty()) continue;
        if (words[0] == "drop" && words.size() == 2) {
            catalogue.layouts.erase(words[1]);
            continue;
        }
        if (words[0] == "table" && words.size() >= 2 && SafeName(words[1])) {
            TableLayout layout;
            layout.standard = false;
            for (std::size_t i = 2; i + 1 < words.size() && layout.columns.size() < 12; i += 2)
                if (SafeName(words[i]) && SafeName(words[i + 1])) layout.columns.emplace_back(words[i], words[i + 1]);
            if (!layout.columns.empty()) catalogue.layouts[words[1]] = std::move(layout);
            continue;
        }
        // Each row costs the loaders several statements: a bounded catalogue keeps an input
        // within the time limit even on a busy machine.
        if (catalogue.rows.size() >= 64) continue;
        Row row{words[0], {}};
        for (std::size_t i = 1; i < words.size() && i <= 12; ++i) row.values.push_back(ParseValue(words[i]));
        if ((row.table == "QueryDetails" || row.table.rfind("Queryvs", 0) == 0) && !row.values.empty() &&
            row.values[0].kind == Value::Integer && catalogue.queries.size() < 4)
            catalogue.queries.insert(static_cast<std::int32_t>(row.values[0].integer));
        catalogue.rows.push_back(std::move(row));
    }
    return catalogue;
}

// Writes the catalogue into a new SQLite file; rows of tables it does not have, or that
// the database refuses, are left out.
bool WriteDatabase(const Catalogue& catalogue, const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return false;
    }
    sqlite3_exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN", nullptr, nullptr, nullptr);
    for (const auto& [name, layout] : catalogue.layouts) {
        std::string sql = "CREATE TABLE " + name + "(";
        for (std::size_t i = 0; i < layout.columns.size(); ++i)
            sql += (i ? ", " : "") + layout.columns[i].first + " " + layout.columns[i].second;
        sqlite3_exec(db, (sql + ")").c_str(), nullptr, nullptr, nullptr);
    }
    for (const Row& row : catalogue.rows) {
        auto layout = catalogue.layouts.find(row.table);
        if (layout == catalogue.layouts.end()) continue;
        const std::size_t width = layout->second.columns.size();
        std::string sql = "INSERT INTO " + row.table + " VALUES(";
        for (std::size_t i = 0; i < width; ++i) sql += i ? ",?" : "?";
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, (sql + ")").c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            sqlite3_finalize(statement);
            continue;
        }
        for (std::size_t i = 0; i < width && i < row.values.size(); ++i) {
            const Value& v = row.values[i];
            const int at = static_cast<int>(i + 1);
            switch (v.kind) {
                case Value::Null: break;
                case Value::Integer: sqlite3_bind_int64(statement, at, v.integer); break;
                case Value::Real: sqlite3_bind_double(statement, at, v.real); break;
                case Value::Text:
                    sqlite3_bind_text(statement, at, v.bytes.data(), static_cast<int>(v.bytes.size()), SQLITE_STATIC);
                    break;
                case Value::Blob:
                    sqlite3_bind_blob(statement, at, v.bytes.data(), static_cast<int>(v.bytes.size()), SQLITE_STATIC);
                    break;
            }
        }
        sqlite3_step(statement);
        sqlite3_finalize(statement);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    return sqlite3_close(db) == SQLITE_OK;
}

bool ParentsSound(const QueryCriteriaNode* node) {
    std::vector<const QueryCriteriaNode*> stack{node};
    while (!stack.empty()) {
        const QueryCriteriaNode* at = stack.back();
        stack.pop_back();
        for (const QueryCriteriaNode* child : {at->left, at->right}) {
            if (!child) continue;
            if (child->parent != at) return false;
            stack.push_back(child);
        }
    }
    return !node->parent;
}

// A rebuilt criteria: its parent links are sound, and its text holds the column and the
// value of each comparison, left to right (the operator appears under its stored name).
void CheckCriteria(const QueryCriteriaNode* root, const std::optional<std::string>& text) {
    if (!ParentsSound(root)) __builtin_trap();
    if (!text) __builtin_trap();  // a tree that could be rebuilt can be written
    std::size_t at = 0;
    std::vector<const QueryCriteriaNode*> stack{root};
    while (!stack.empty()) {
        const QueryCriteriaNode* node = stack.back();
        stack.pop_back();
        if (node->left || node->right) {
            if (!node->left || !node->right) __builtin_trap();
            stack.push_back(node->right);
            stack.push_back(node->left);
            continue;
        }
        if (!node->column || !node->column->columnName) __builtin_trap();
        at = text->find(node->column->columnName, at);
        if (at == std::string::npos) __builtin_trap();
        at += std::string_view(node->column->columnName).size();
        at = text->find(std::string_view(node->value ? node->value : "", node->valueLength), at);
        if (at == std::string::npos) __builtin_trap();
        at += node->valueLength;
    }
}

// One load of a query: the object the six loaders built (each run whatever the others
// gave, so every part is read) and its text: what each loader said, the SQL of every
// dialect and the criteria text.
struct Loaded {
    SelectQueryPtr query;
    bool tables = false;
    bool criteria = false;
    std::string text;
};

Loaded LoadQuery(std::int32_t id) {
    Loaded loaded;
    loaded.query = CreateSelectQuery();
    if (!loaded.query) __builtin_trap();
    SelectQuery* query = loaded.query.get();
    loaded.tables = LoadStoredTables(id, query);
    loaded.criteria = LoadStoredCriteria(id, query);
    for (bool done : {LoadStoredColumns(id, query), loaded.tables, LoadStoredJoins(id, query),
                      LoadStoredGroupBy(id, query), LoadStoredOrderBy(id, query), loaded.criteria})
        loaded.text += done ? "1" : "0";
    loaded.text += "\n";
    for (BYTE dialect = DIALECT_MYSQL; dialect <= DIALECT_SQLITE; ++dialect)
        loaded.text += GetSqlDialectByIndex(dialect)->genSelect(query).value_or("<none>") + "\n";
    const std::optional<std::string> criteria = GetStoredCriteriaText(id);
    loaded.text += criteria.value_or("<no criteria>");
    if (loaded.criteria && query->criteria) CheckCriteria(query->criteria, criteria);
    return loaded;
}

bool SmallInteger(const Value& value) {
    return value.kind == Value::Integer && value.integer >= INT32_MIN && value.integer <= INT32_MAX;
}

// With both tables as the tests lay them out, integer identifiers and texts for names,
// the FROM list has an entry per QueryvsTables row whose first TableDetails row has a name.
std::optional<std::size_t> ExpectedTables(const Catalogue& catalogue, std::int32_t id) {
    for (const char* name : {"QueryvsTables", "TableDetails"}) {
        auto layout = catalogue.layouts.find(name);
        if (layout == catalogue.layouts.end() || !layout->second.standard) return std::nullopt;
    }
    std::map<std::int32_t, bool> named;  // TABLE_ID: its first row has a TABLENAME
    std::vector<std::int32_t> listed;
    for (const Row& row : catalogue.rows) {
        if (row.table != "QueryvsTables" && row.table != "TableDetails") continue;
        for (std::size_t i = 0; i < row.values.size() && i < 2; ++i)
            if (row.values[i].kind != Value::Null && !SmallInteger(row.values[i])) {
                if (row.table == "QueryvsTables" || i == 0) return std::nullopt;
                if (row.values[i].kind != Value::Text) return std::nullopt;
            }
        if (row.values.empty() || row.values[0].kind == Value::Null) continue;
        const auto first = static_cast<std::int32_t>(row.values[0].integer);
        if (row.table == "TableDetails") {
            named.emplace(first, row.values.size() > 1 && row.values[1].kind != Value::Null);
        } else if (first == id && row.values.size() > 1 && row.values[1].kind != Value::Null) {
            listed.push_back(static_cast<std::int32_t>(row.values[1].integer));
        }
    }
    std::size_t count = 0;
    for (std::int32_t table : listed) {
        auto it = named.find(table);
        if (it != named.end() && it->second) ++count;
    }
    return count;
}

std::string& Folder() {
    static std::string folder;
    return folder;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    storefuzz::Setup();
    // Table aliases are echoed on standard output; the fuzzer reports on standard error.
    if (!std::freopen("/dev/null", "w", stdout)) __builtin_trap();
    std::string pattern = (std::filesystem::temp_directory_path() / "stored-query-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) __builtin_trap();
    Folder() = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(Folder(), ignored);
    });
    // The driver list of the machine, and no data sources of the user's.
    std::filesystem::copy_file("/etc/odbcinst.ini", pattern + "/odbcinst.ini");
    if (std::FILE* ini = std::fopen((pattern + "/odbc.ini").c_str(), "w")) std::fclose(ini);
    setenv("ODBCSYSINI", pattern.c_str(), 1);
    setenv("ODBCINI", (pattern + "/odbc.ini").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Catalogue catalogue = ReadScript(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::string path = Folder() + "/catalogue.db";
    std::remove(path.c_str());
    if (!WriteDatabase(catalogue, path)) __builtin_trap();

    ConnectionParams params;
    params.dsn = "unused";
    params.direct = 1;
    params.connString = "Driver={SQLite3};Database=" + path + ";";
    params.connName = "catalogue";
    params.providerName = "ODBC";
    ProviderConnectionPtr connection = ODBCOpenConnection(&params);
    if (!connection) __builtin_trap();
    std::shared_ptr<TableStatements> previous = SetTableStatements(
        MakeConnectionTableStatements(GetODBCProvider(), connection.get(), GetSqlDialect("SQLITE")));

    for (std::int32_t id : catalogue.queries) {
        const Loaded first = LoadQuery(id);
        if (LoadQuery(id).text != first.text) __builtin_trap();
        const std::optional<std::size_t> expected = ExpectedTables(catalogue, id);
        if (expected && first.tables && first.query->tables.size() != *expected) __builtin_trap();
    }

    SetTableStatements(previous);
    if (!ODBCCloseConnection(std::move(connection))) __builtin_trap();
    std::remove(path.c_str());
    return 0;
}
