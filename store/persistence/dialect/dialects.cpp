// The four dialect descriptors and their rules.
#include "store/foundation/text_utils.h"
#include "store/persistence/dialect/dialect_rules.h"

namespace {

const DialectRules kMysqlRules = {
    "Mysql", "MysqlGenDelteQuery", true, PagingStyle::LimitOffsetComma, true, true, "1", "0", true,
    BlobLiteralStyle::XQuoted, true, true, 0,
    // MySQL 5.5 and MariaDB dropped "Type = InnoDB"; ENGINE is the form they accept.
    "\n) ENGINE = InnoDB;\n\n", false,
    {nullptr, "int", "int unsigned", "int", "int unsigned", "int", "int unsigned", "bigint", "bigint unsigned",
     "float", "double", "float", "decimal(38,10)", "numeric(38,10)", "varchar", "varchar", "date", "time",
     "datetime", "tinyint", "blob", "blob", "text"},
};

const DialectRules kPgsqlRules = {
    "Pgsql", "PgsqlGenDeleteQuery", true, PagingStyle::LimitOffset, true, true, "'t'", "'f'", false,
    BlobLiteralStyle::PostgresBytea, false, false, 1, "\n);\n\n", false,
    {nullptr, "int", "int", "int", "int", "int", "bigint", "bigint", "bigint", "real", "double precision", "real",
     "numeric", "numeric", "varchar", "varchar", "date", "time", "timestamp", "boolean", "bytea", "text",
     "text"},
};

const DialectRules kFirebirdRules = {
    "Firebird", "FirebirdGenDeleteQuery", true, PagingStyle::FirstSkip, false, false, "1", "0", false,
    BlobLiteralStyle::XQuoted, false, false, 0, "\n);\n\n", false,
    {nullptr, "int", "int", "int", "int", "int", "bigint", "bigint", "bigint", "float", "double precision",
     "float", "decimal(18,4)", "numeric(18,4)", "varchar", "varchar", "date", "time", "timestamp", "SMALLINT",
     "BLOB SUB_TYPE 0", "BLOB SUB_TYPE TEXT", "BLOB SUB_TYPE TEXT"},
};

const DialectRules kSqliteRules = {
    "Sqlite", "SqliteGenDeleteQuery", false, PagingStyle::LimitOffset, true, false, "1", "0", false,
    BlobLiteralStyle::XQuoted, false, false, 0, "\n);\n\n", true,
    {nullptr, "int", "int", "int", "int", "int", "bigint", "bigint", "bigint", "real", "double", "real",
     "decimal", "numeric", "varchar", "varchar", "varchar(30)", "varchar(30)", "varchar(30)", "boolean", "blob",
     "text", "text"},
};

const SqlDialect kDialects[] = {
    {"MYSQL", MysqlGenSelectQuery, MysqlGenUpdateQuery, MysqlGenInsertQuery, MysqlGenDelteQuery,
     MysqlGenCreateQuery, MysqlConvResultsetToRowobject, &kMysqlRules},
    {"PGSQL", PgsqlGenSelectQuery, PgsqlGenUpdateQuery, PgsqlGenInsertQuery, PgsqlGenDeleteQuery,
     PgsqlGenCreateQuery, PgsqlConvResultsetToRowobject, &kPgsqlRules},
    {"FIREBIRD", FirebirdGenSelectQuery, FirebirdGenUpdateQuery, FirebirdGenInsertQuery, FirebirdGenDeleteQuery,
     FirebirdGenCreateQuery, FirebirdConvResultsetToRowobject, &kFirebirdRules},
    {"SQLITE", SqliteGenSelectQuery, SqliteGenUpdateQuery, SqliteGenInsertQuery, SqliteGenDeleteQuery,
     SqliteGenCreateQuery, SqliteConvResultsetToRowobject, &kSqliteRules},
};

// A row the generators refuse as too short when there is none.
RowValues ValuesOf(const RowObject* row) { return row ? RowValues(row->values) : RowValues(); }

ConvertedRow RowFromValues(std::optional<std::vector<ColumnValue>> values) {
    if (!values) return nullptr;
    auto row = std::make_unique<RowObject>(std::move(*values));
    row->state = ROW_SAVED;
    return row;
}

}  // namespace

const SqlDialect* GetSqlDialect(const char* name) {
    if (!name) return nullptr;
    for (const SqlDialect& dialect : kDialects)
        if (CompareNoCase(dialect.name, name) == 0) return &dialect;
    return nullptr;
}

const SqlDialect* GetSqlDialectByIndex(BYTE index) {
    return index < std::size(kDialects) ? &kDialects[index] : nullptr;
}

SqlText KeyCondition(const SqlDialect* dialect, const char* table, const RowObject* row) {
    if (!dialect || !row) return std::nullopt;
    return GenerateKeyCondition(*dialect->rules, table, ValuesOf(row));
}

#define VANTORRA_DIALECT_FUNCTIONS(Prefix, DeleteName, rules)                                                   \
    SqlText Prefix##GenSelectQuery(const SelectQuery* query) { return GenerateSelect(rules, query); }           \
    SqlText Prefix##GenUpdateQuery(const char* table, const RowObject* row) {                                 \
        return GenerateUpdate(rules, table, ValuesOf(row), row ? row->heldColumns.get() : nullptr);             \
    }                                                                                                           \
    SqlText Prefix##GenInsertQuery(const char* table, const RowObject* row) {                                 \
        return GenerateInsert(rules, table, ValuesOf(row));                                                     \
    }                                                                                                           \
    SqlText DeleteName(const char* table, const RowObject* row) {                                             \
        return GenerateDelete(rules, table, ValuesOf(row));                                                     \
    }                                                                                                           \
    SqlText Prefix##GenCreateQuery(const char* table) { return GenerateCreate(rules, table); }                  \
    ConvertedRow Prefix##ConvResultsetToRowobject(const QueryResultSet* result, const char* table) {          \
        return RowFromValues(ConvertResultRow(rules, result, table));                                           \
    }

VANTORRA_DIALECT_FUNCTIONS(Mysql, MysqlGenDelteQuery, kMysqlRules)
VANTORRA_DIALECT_FUNCTIONS(Pgsql, PgsqlGenDeleteQuery, kPgsqlRules)
VANTORRA_DIALECT_FUNCTIONS(Firebird, FirebirdGenDeleteQuery, kFirebirdRules)
VANTORRA_DIALECT_FUNCTIONS(Sqlite, SqliteGenDeleteQuery, kSqliteRules)
