// The stored-query catalogue: loaders for each part of a query, the criteria rebuild,
// the catalogue run.
#include "store/persistence/catalogue/stored_query.h"

#include <fmt/format.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <tuple>
#include <vector>

#include "runtime/log.h"
#include "store/criteria/criteria.h"
#include "store/dictionary/dictionary.h"
#include "store/foundation/mem_pool.h"
#include "store/persistence/catalogue/table_statements.h"

namespace {

// Rows of a catalogue select; null (logged) when no source is available or it fails.
std::unique_ptr<QueryResultSet> CatalogueQuery(const char* table, const std::string& sql) {
    std::shared_ptr<TableStatements> source = GetTableStatements();
    if (!source) {
        LogError("No data source for table %s\n", table);
        return nullptr;
    }
    return source->Query(table, sql);
}

// The identifiers of the first column of every row of "SELECT <column> FROM <table>
// WHERE QUERY_ID = id". None when the statement failed.
std::optional<std::vector<std::int32_t>> ListIdentifiers(const char* table, const char* column,
                                                         std::int32_t id) {
    std::unique_ptr<QueryResultSet> result = CatalogueQuery(
        table, fmt::format("SELECT {} FROM {} WHERE QUERY_ID = {}", column, table, id));
    if (!result) return std::nullopt;
    std::vector<std::int32_t> ids;
    ResetResultSet(result.get());
    while (NextResultRow(result.get()))
        if (std::optional<std::int32_t> value = ResultIdentifier(result.get(), column))
            ids.push_back(*value);
    return ids;
}

// One field of a details row: "SELECT <field> FROM <table> WHERE <key> = id", first row.
// The outer none means the statement failed; the inner none is NULL or no row.
std::optional<std::optional<std::string>> DetailField(const char* table, const char* keyColumn,
                                                      std::int32_t id, const char* field) {
    std::unique_ptr<QueryResultSet> result = CatalogueQuery(
        table, fmt::format("SELECT {} FROM {} WHERE {} = {}", field, table, keyColumn, id));
    if (!result) return std::nullopt;
    ResetResultSet(result.get());
    if (!NextResultRow(result.get())) return std::optional<std::string>();
    return ResultText(result.get(), field);
}

// Several fields of one details row, each read by its own select. None on a failed read.
std::optional<std::vector<std::optional<std::string>>> DetailFields(
    const char* table, const char* keyColumn, std::int32_t id,
    std::initializer_list<const char*> fields) {
    std::vector<std::optional<std::string>> values;
    for (const char* field : fields) {
        std::optional<std::optional<std::string>> value = DetailField(table, keyColumn, id, field);
        if (!value) return std::nullopt;
        values.push_back(std::move(*value));
    }
    return values;
}

const char* TextOrNull(const std::optional<std::string>& text) {
    return text ? text->c_str() : nullptr;
}

// Type of a column of the dictionary, names compared case-sensitively; 14 when unknown.
BYTE DictionaryColumnType(const std::optional<std::string>& table,
                          const std::optional<std::string>& column) {
    if (!table || !column) return HYL_SQL_CHAR;
    const TableDefn* defn = GetTableDefn(table->c_str());
    if (!defn || defn->name != *table) return HYL_SQL_CHAR;
    for (const auto& columnDefn : defn->columns)
        if (columnDefn->name == *column) return columnDefn->type;
    return HYL_SQL_CHAR;
}

BYTE OperatorCode(const std::optional<std::string>& name) {
    if (!name) return CRITERIA_INVALID_OPERATOR;
    for (BYTE code = CRITERIA_LT; code <= CRITERIA_BETWEEN; ++code)
        if (*name == CriteriaOperatorName(code)) return code;
    return CRITERIA_INVALID_OPERATOR;
}

// A BooleanExp or RelationalExp row, read by identifier (the two share one number space).
struct CriteriaRow {
    bool boolean = false;
    std::optional<std::int32_t> left, right;       // BooleanExp
    std::optional<std::string> identifier, value;  // RelationalExp
    std::optional<std::string> op;
};

// None: a read failed or the identifier has no row in either table ("\nInvalid ID\n").
std::optional<CriteriaRow> ReadCriteriaRow(std::int32_t id) {
    std::unique_ptr<QueryResultSet> result =
        CatalogueQuery("BooleanExp", fmt::format("SELECT * FROM BooleanExp WHERE B_ID = {}", id));
    if (!result) return std::nullopt;
    ResetResultSet(result.get());
    CriteriaRow row;
    if (NextResultRow(result.get())) {
        row.boolean = true;
        row.left = ResultIdentifier(result.get(), "LEXPRESSION");
        row.right = ResultIdentifier(result.get(), "REXPRESSION");
        row.op = ResultText(result.get(), "OPERATOR");
        return row;
    }
    result = CatalogueQuery("RelationalExp",
                            fmt::format("SELECT * FROM RelationalExp WHERE R_ID = {}", id));
    if (!result) return std::nullopt;
    ResetResultSet(result.get());
    if (!NextResultRow(result.get())) {
        LogDebug("\nInvalid ID\n");
        return std::nullopt;
    }
    row.identifier = ResultText(result.get(), "LIDENTIFIER");
    row.op = ResultText(result.get(), "OPERATOR");
    row.value = ResultText(result.get(), "RIDENTIFIER");
    return row;
}

// Identifiers on the walk from the root: a BooleanExp that refers back to one of them
// would never end.
using CriteriaPath = std::set<std::int32_t>;

// The walks recurse once per level, so a catalogue whose chain of BooleanExp rows goes
// deeper than any real criteria is refused before it can exhaust the stack.
constexpr std::size_t kMaxCriteriaDepth = 1000;

bool EnterCriteria(CriteriaPath* path, std::int32_t id) {
    if (path->size() >= kMaxCriteriaDepth) {
        LogError("Stored criteria %d nests deeper than %zu levels\n", id, kMaxCriteriaDepth);
        return false;
    }
    if (path->insert(id).second) return true;
    LogError("Stored criteria %d refers back to itself\n", id);
    return false;
}

QueryCriteriaNode* BuildCriteria(std::int32_t id, MemPool* pool, CriteriaPath* path) {
    if (!EnterCriteria(path, id)) return nullptr;
    std::optional<CriteriaRow> row = ReadCriteriaRow(id);
    QueryCriteriaNode* node = nullptr;
    if (row && row->boolean) {
        QueryCriteriaNode* left = row->left ? BuildCriteria(*row->left, pool, path) : nullptr;
        QueryCriteriaNode* right =
            left && row->right ? BuildCriteria(*row->right, pool, path) : nullptr;
        if (left && right)
            node = row->op && *row->op == "AND" ? CreateAndNode(left, right, pool)
                                                : CreateOrNode(left, right, pool);
    } else if (row) {
        QueryColumn* column =
            CreateColumnDescriptor(nullptr, nullptr, TextOrNull(row->identifier), nullptr, 0,
                                   HYL_SQL_CHARACTER, AGGREGATE_NONE, pool);
        const std::string value = row->value.value_or("");
        node = CreateCriteriaLeaf(column, value.data(), static_cast<std::uint32_t>(value.size()),
                                  OperatorCode(row->op), pool);
        if (node) node->sqlFragment = true;
    }
    path->erase(id);
    return node;
}

bool AppendCriteriaText(std::int32_t id, CriteriaPath* path, bool nested, std::string* text) {
    if (!EnterCriteria(path, id)) return false;
    std::optional<CriteriaRow> row = ReadCriteriaRow(id);
    if (!row) return false;
    if (row->boolean) {
        if (!row->left || !row->right) return false;
        if (nested) *text += "(";
        if (!AppendCriteriaText(*row->left, path, true, text)) return false;
        *text += " " + row->op.value_or("") + " ";
        if (!AppendCriteriaText(*row->right, path, true, text)) return false;
        if (nested) *text += ")";
    } else {
        *text += row->identifier.value_or("") + " " + row->op.value_or("") + " " +
                 row->value.value_or("");
    }
    path->erase(id);
    return true;
}

std::optional<std::int32_t> CriteriaRoot(std::int32_t queryId, bool* failed) {
    std::unique_ptr<QueryResultSet> result = CatalogueQuery(
        "QueryvsCriteria",
        fmt::format("SELECT B_ID FROM QueryvsCriteria WHERE QUERY_ID = {}", queryId));
    *failed = !result;
    if (!result) return std::nullopt;
    ResetResultSet(result.get());
    if (!NextResultRow(result.get())) return std::nullopt;
    return ResultIdentifier(result.get(), "B_ID");
}

}  // namespace

std::optional<std::int32_t> ResultIdentifier(const QueryResultSet* result, const char* column) {
    const ColumnValue* cell = GetResultCellByName(result, column);
    if (!cell || cell->isNull()) return std::nullopt;
    const int type = GetResultColumnTypeByName(result, column);
    std::optional<ColumnValue> value =
        ConvertCellToColumnType(*cell, static_cast<BYTE>(type), HYL_SQL_INT);
    if (!value) return std::nullopt;
    return value->As<std::int32_t>();
}

std::optional<std::string> ResultText(const QueryResultSet* result, const char* column) {
    const ColumnValue* cell = GetResultCellByName(result, column);
    if (!cell || cell->isNull()) return std::nullopt;
    const int type = GetResultColumnTypeByName(result, column);
    std::optional<ColumnValue> value =
        ConvertCellToColumnType(*cell, static_cast<BYTE>(type), HYL_SQL_CHARACTER);
    if (!value || value->isNull()) return std::nullopt;
    return std::string(value->buffer->data(), value->length);
}

bool LoadStoredColumns(std::int32_t queryId, SelectQuery* query) {
    if (!query) return false;
    std::optional<std::vector<std::int32_t>> ids =
        ListIdentifiers("QueryvsColumns", "COLUMN_ID", queryId);
    if (!ids) return false;
    if (ids->empty()) LogDebug("\nNo Columns to be selected.\n");
    for (std::int32_t id : *ids) {
        auto fields =
            DetailFields("ColumnDetails", "COLUMN_ID", id,
                         {"COLUMNNAME", "COLUMNALIAS", "TABLENAME", "TABLEALIAS", "FUNCTIONNAME"});
        if (!fields) return false;
        const auto& [name, alias, table, tableAlias, function] =
            std::tie((*fields)[0], (*fields)[1], (*fields)[2], (*fields)[3], (*fields)[4]);
        const BYTE aggregate = function ? AggregateCode(function->c_str()) : BYTE{AGGREGATE_NONE};
        QueryColumn* column = CreateSelectColumnDescriptor(
            TextOrNull(table), TextOrNull(tableAlias), TextOrNull(name), TextOrNull(alias), 0,
            DictionaryColumnType(table, name), aggregate, query->pool);
        if (column) AddSelectColumn(query, column);
    }
    return true;
}

bool LoadStoredTables(std::int32_t queryId, SelectQuery* query) {
    if (!query) return false;
    std::optional<std::vector<std::int32_t>> ids =
        ListIdentifiers("QueryvsTables", "TABLE_ID", queryId);
    if (!ids) return false;
    if (ids->empty()) LogDebug("\nNo Tables to be selected\n");
    for (std::int32_t id : *ids) {
        auto fields = DetailFields("TableDetails", "TABLE_ID", id, {"TABLENAME", "TABLEALIAS"});
        if (!fields) return false;
        const std::optional<std::string>& alias = (*fields)[1];
        if (alias) std::printf("\nTable Alias = %s", alias->c_str());
        AddTable(query, TextOrNull((*fields)[0]), TextOrNull(alias));
    }
    return true;
}

bool LoadStoredJoins(std::int32_t queryId, SelectQuery* query) {
    if (!query) return false;
    std::optional<std::vector<std::int32_t>> ids =
        ListIdentifiers("QueryvsJoins", "JOIN_ID", queryId);
    if (!ids) return false;
    if (ids->empty()) LogDebug("\nNo Join details\n");
    for (std::int32_t id : *ids) {
        auto fields =
            DetailFields("JoinDetails", "JOIN_ID", id,
                         {"BASETABLENAME", "BASETABLEALIAS", "REFTABLENAME", "REFTABLEALIAS",
                          "BASETABLECOLUMN", "REFTABLECOLUMN", "JOINTYPE"});
        if (!fields) return false;
        const auto& f = *fields;
        QueryColumn* base =
            CreateColumnDescriptor(TextOrNull(f[0]), nullptr, TextOrNull(f[4]), nullptr, 0,
                                   HYL_SQL_INT, AGGREGATE_NONE, query->pool);
        QueryColumn* reference =
            CreateColumnDescriptor(TextOrNull(f[2]), nullptr, TextOrNull(f[5]), nullptr, 0,
                                   HYL_SQL_INT, AGGREGATE_NONE, query->pool);
        if (!base || !reference) continue;
        const BYTE joinType = f[6] ? JoinTypeCode(f[6]->c_str()) : BYTE{INNER_JOIN};
        AddJoin(query, TextOrNull(f[0]), TextOrNull(f[1]), TextOrNull(f[2]), TextOrNull(f[3]),
                joinType, {base}, {reference});
    }
    return true;
}

bool LoadStoredGroupBy(std::int32_t queryId, SelectQuery* query) {
    if (!query) return false;
    std::optional<std::vector<std::int32_t>> ids = ListIdentifiers("QueryvsGB", "GB_ID", queryId);
    if (!ids) return false;
    if (ids->empty()) {
        LogDebug("\nNo GroupBy details\n");
        return true;
    }
    std::vector<QueryColumn*> columns;
    for (std::int32_t id : *ids) {
        auto fields = DetailFields("GroupByDetails", "GB_ID", id, {"TABLENAME", "COLUMNNAME"});
        if (!fields) return false;
        QueryColumn* column = CreateColumnDescriptor(
            TextOrNull((*fields)[0]), nullptr, TextOrNull((*fields)[1]), nullptr, 0,
            DictionaryColumnType((*fields)[0], (*fields)[1]), AGGREGATE_NONE, query->pool);
        if (column) columns.push_back(column);
    }
    return SetGroupBy(query, std::move(columns), nullptr);
}

bool LoadStoredOrderBy(std::int32_t queryId, SelectQuery* query) {
    if (!query) return false;
    std::optional<std::vector<std::int32_t>> ids =
        ListIdentifiers("QueryvsSort", "SORT_ID", queryId);
    if (!ids) return false;
    if (ids->empty()) {
        LogDebug("\nNo Sort details\n");
        return true;
    }
    std::vector<QueryColumn*> columns;
    BYTE sortType = 0;
    for (std::int32_t id : *ids) {
        auto fields =
            DetailFields("SortDetails", "SORT_ID", id, {"TABLENAME", "COLUMNNAME", "SORTTYPE"});
        if (!fields) return false;
        QueryColumn* column = CreateColumnDescriptor(
            TextOrNull((*fields)[0]), nullptr, TextOrNull((*fields)[1]), nullptr, 0,
            DictionaryColumnType((*fields)[0], (*fields)[1]), AGGREGATE_NONE, query->pool);
        if (column) columns.push_back(column);
        const std::optional<std::string>& type = (*fields)[2];
        sortType = type && !type->empty() ? static_cast<BYTE>((*type)[0]) : 0;
    }
    return SetOrderBy(query, std::move(columns), sortType);
}

bool LoadStoredCriteria(std::int32_t queryId, SelectQuery* query) {
    if (!query) return false;
    bool failed = false;
    std::optional<std::int32_t> root = CriteriaRoot(queryId, &failed);
    if (failed) return false;
    if (!root) return true;
    CriteriaPath path;
    QueryCriteriaNode* node = BuildCriteria(*root, query->pool, &path);
    if (!node) {
        LogError("Stored criteria %d of query %d cannot be rebuilt\n", *root, queryId);
        return false;
    }
    return SetCriteria(query, node);
}

bool AssembleStoredQuery(std::int32_t queryId, SelectQuery* query) {
    if (!query) return false;
    return LoadStoredColumns(queryId, query) && LoadStoredTables(queryId, query) &&
           LoadStoredJoins(queryId, query) && LoadStoredGroupBy(queryId, query) &&
           LoadStoredOrderBy(queryId, query) && LoadStoredCriteria(queryId, query);
}

std::optional<std::string> GetStoredCriteriaText(std::int32_t queryId) {
    bool failed = false;
    std::optional<std::int32_t> root = CriteriaRoot(queryId, &failed);
    if (!root) return std::nullopt;
    CriteriaPath path;
    std::string text;
    if (!AppendCriteriaText(*root, &path, false, &text)) return std::nullopt;
    LogDebug("\n%s\n", text);
    return text;
}

const char* FirstQueryTable(const SelectQuery* query) {
    if (!query) return nullptr;
    if (!query->joins.empty()) return query->joins.front()->baseTable;
    if (!query->tables.empty()) return query->tables.front()->name;
    return nullptr;
}

std::unique_ptr<QueryResultSet> RunStoredQuery(std::int32_t queryId) {
    SelectQueryPtr query = CreateSelectQuery();
    if (!query) return nullptr;
    if (!AssembleStoredQuery(queryId, query.get())) {
        LogError("Stored query %d cannot be assembled\n", queryId);
        return nullptr;
    }
    const char* table = FirstQueryTable(query.get());
    std::shared_ptr<TableStatements> source = GetTableStatements();
    const SqlDialect* dialect = source && table ? source->Dialect(table) : nullptr;
    if (!dialect) {
        LogError("Stored query %d names no table with a data source\n", queryId);
        return nullptr;
    }
    SqlText sql = dialect->genSelect(query.get());
    if (!sql) return nullptr;
    LogDebug("Generated Select Query: %s\n", *sql);
    std::unique_ptr<QueryResultSet> result = source->Query(table, *sql);
    if (!result) LogError("Query failed\n");
    return result;
}

std::unique_ptr<QueryResultSet> RunStoredQueryByName(const char* name) {
    if (!name || !*name) return nullptr;
    char* end = nullptr;
    const long id = std::strtol(name, &end, 10);
    if (*end == '\0' && id >= INT32_MIN && id <= INT32_MAX)
        return RunStoredQuery(static_cast<std::int32_t>(id));
    std::shared_ptr<TableStatements> source = GetTableStatements();
    const SqlDialect* dialect = source ? source->Dialect("QueryDetails") : nullptr;
    if (!dialect) return nullptr;
    SqlText literal = SqlLiteral(dialect, ColumnValue::FromText(name), HYL_SQL_CHARACTER);
    if (!literal) return nullptr;
    std::unique_ptr<QueryResultSet> ids = source->Query(
        "QueryDetails", "SELECT QUERY_ID FROM QueryDetails WHERE QUERYNAME = " + *literal);
    if (!ids) return nullptr;
    ResetResultSet(ids.get());
    std::optional<std::int32_t> found =
        NextResultRow(ids.get()) ? ResultIdentifier(ids.get(), "QUERY_ID") : std::nullopt;
    if (!found) {
        LogError("No stored query named %s\n", name);
        return nullptr;
    }
    return RunStoredQuery(*found);
}

bool RunQueryCatalogue() {
    std::unique_ptr<QueryResultSet> queries =
        CatalogueQuery("QueryDetails", "SELECT QUERY_ID FROM QueryDetails");
    if (!queries) {
        LogError("Query failed\n");
        return false;
    }
    InitializeMemPool();
    ResetResultSet(queries.get());
    while (NextResultRow(queries.get())) {
        std::optional<std::int32_t> id = ResultIdentifier(queries.get(), "QUERY_ID");
        if (!id) continue;
        if (std::unique_ptr<QueryResultSet> result = RunStoredQuery(*id))
            PrintQueryResultSet(result.get());
    }
    TerminateMemPool();
    return true;
}
