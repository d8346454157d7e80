// SQL generation by dialect. Each dialect descriptor turns a select query object, a table
// row or a table definition into statement text for its database, and a database result
// row back into a store row. Descriptors are found by name, ignoring case: "MYSQL",
// "PGSQL", "FIREBIRD", "SQLITE".
//
// Every literal written into a statement is escaped for its dialect (quotes doubled, and
// backslashes for MYSQL); text holding a NUL byte is refused, binary values are written
// as the dialect's hex literal.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/win/types.h"
#include "store/foundation/column_value.h"
#include "store/foundation/result_set.h"
#include "store/tables/tables.h"

struct SelectQuery;
struct TableDefn;
struct DialectRules;

// Index of each dialect, in the order the store configuration numbers them.
enum SqlDialectIndex : BYTE { DIALECT_MYSQL = 0, DIALECT_PGSQL = 1, DIALECT_FIREBIRD = 2, DIALECT_SQLITE = 3 };

// A generated statement; none when it cannot be written (the generator logged why).
using SqlText = std::optional<std::string>;
// Values of one row in the column order of the table definition.
using RowValues = std::span<const ColumnValue>;
// A row read from the database, in state ROW_SAVED; null on failure.
using ConvertedRow = std::unique_ptr<RowObject>;

// One SQL dialect: its name, its statement generators and its row conversion.
struct SqlDialect {
    const char* name;
    SqlText (*genSelect)(const SelectQuery* query);
    SqlText (*genUpdate)(const char* table, const RowObject* row);
    SqlText (*genInsert)(const char* table, const RowObject* row);
    SqlText (*genDelete)(const char* table, const RowObject* row);
    SqlText (*genCreate)(const char* table);
    // The current result row as a store row, its cells converted to the column types of
    // the table's definition when there is one; null without a current row (or, where the
    // dialect needs it, a definition).
    ConvertedRow (*convertRow)(const QueryResultSet* result, const char* table);
    const DialectRules* rules;
};

// For each column of the definition, the result column it is read from: the one of its
// name (case-insensitive), else the one at its position.
std::vector<std::size_t> ResultSourcesOfColumns(const TableDefn& defn,
                                                const std::vector<ResultColumnDescriptor>& columns);
// The cells of one result row as the values of a row of the table, converted to the
// definition's types as the dialect's row converter does, its log lines included; the
// cells may be moved out. None (logged) when a cell does not convert.
std::optional<std::vector<ColumnValue>> ConvertCellsForTable(const SqlDialect* dialect, const TableDefn& defn,
                                                             const std::vector<ResultColumnDescriptor>& columns,
                                                             std::span<ColumnValue> cells,
                                                             const std::vector<std::size_t>& sources);
// The same into values, one NULL per column of the definition (a row's own values); false
// when a cell does not convert.
bool ConvertCellsIntoRow(const SqlDialect* dialect, const TableDefn& defn,
                         const std::vector<ResultColumnDescriptor>& columns, std::span<ColumnValue> cells,
                         const std::vector<std::size_t>& sources, std::span<ColumnValue> values);

// The descriptor of that name (case-insensitive), or null.
const SqlDialect* GetSqlDialect(const char* name);
// The descriptor of a SqlDialectIndex, or null for another number.
const SqlDialect* GetSqlDialectByIndex(BYTE index);

// The where condition that selects the row by its primary-key values in the dialect
// ("ID=5 and CODE='x'"); empty when the row has no key value, none when one cannot be
// written.
SqlText KeyCondition(const SqlDialect* dialect, const char* table, const RowObject* row);

// The SQL literal of one value for a column of that type in the dialect: "NULL", a
// number, a quoted and escaped text or date, a boolean as the dialect stores it, a hex
// literal for binary values. None (with an ERROR line) when the value cannot be written.
SqlText SqlLiteral(const SqlDialect* dialect, const ColumnValue& value, BYTE type);

// The cell converted to the column type of a definition: NULL stays NULL; a cell whose
// result type differs is taken as text and converted (booleans from 1/t/true in any
// case). None when the text does not convert.
std::optional<ColumnValue> ConvertCellToColumnType(const ColumnValue& cell, BYTE cellType, BYTE columnType);

// The entries of the MYSQL (MySQL and MariaDB) descriptor: MysqlGenSelectQuery, MysqlGenUpdateQuery, MysqlGenInsertQuery, MysqlGenDelteQuery,
// MysqlGenCreateQuery, MysqlConvResultsetToRowobject.
SqlText MysqlGenSelectQuery(const SelectQuery* query);
SqlText MysqlGenUpdateQuery(const char* table, const RowObject* row);
SqlText MysqlGenInsertQuery(const char* table, const RowObject* row);
SqlText MysqlGenDelteQuery(const char* table, const RowObject* row);
SqlText MysqlGenCreateQuery(const char* table);
ConvertedRow MysqlConvResultsetToRowobject(const QueryResultSet* result, const char* table);

// The entries of the PGSQL (PostgreSQL) descriptor: PgsqlGenSelectQuery, PgsqlGenUpdateQuery, PgsqlGenInsertQuery, PgsqlGenDeleteQuery,
// PgsqlGenCreateQuery, PgsqlConvResultsetToRowobject.
SqlText PgsqlGenSelectQuery(const SelectQuery* query);
SqlText PgsqlGenUpdateQuery(const char* table, const RowObject* row);
SqlText PgsqlGenInsertQuery(const char* table, const RowObject* row);
SqlText PgsqlGenDeleteQuery(const char* table, const RowObject* row);
SqlText PgsqlGenCreateQuery(const char* table);
ConvertedRow PgsqlConvResultsetToRowobject(const QueryResultSet* result, const char* table);

// The entries of the FIREBIRD descriptor: FirebirdGenSelectQuery, FirebirdGenUpdateQuery, FirebirdGenInsertQuery, FirebirdGenDeleteQuery,
// FirebirdGenCreateQuery, FirebirdConvResultsetToRowobject.
SqlText FirebirdGenSelectQuery(const SelectQuery* query);
SqlText FirebirdGenUpdateQuery(const char* table, const RowObject* row);
SqlText FirebirdGenInsertQuery(const char* table, const RowObject* row);
SqlText FirebirdGenDeleteQuery(const char* table, const RowObject* row);
SqlText FirebirdGenCreateQuery(const char* table);
ConvertedRow FirebirdConvResultsetToRowobject(const QueryResultSet* result, const char* table);

// The entries of the SQLITE descriptor: SqliteGenSelectQuery, SqliteGenUpdateQuery, SqliteGenInsertQuery, SqliteGenDeleteQuery,
// SqliteGenCreateQuery, SqliteConvResultsetToRowobject.
SqlText SqliteGenSelectQuery(const SelectQuery* query);
SqlText SqliteGenUpdateQuery(const char* table, const RowObject* row);
SqlText SqliteGenInsertQuery(const char* table, const RowObject* row);
SqlText SqliteGenDeleteQuery(const char* table, const RowObject* row);
SqlText SqliteGenCreateQuery(const char* table);
ConvertedRow SqliteConvResultsetToRowobject(const QueryResultSet* result, const char* table);
