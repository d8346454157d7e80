// The query result set that database reads return: column descriptors, rows of cells
// in column order, and a cursor that steps through the rows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/win/types.h"
#include "store/foundation/column_value.h"

// A column of a query result: name and type.
struct ResultColumnDescriptor {
    std::string name;
    BYTE type = 0;  // column type code (0 to 22)
};

// The cells of one result row, in column order.
using ResultRow = std::vector<ColumnValue>;

// The rows a database query returned, with a cursor.
struct QueryResultSet {
    std::int32_t columnCount = 0;
    std::vector<ResultColumnDescriptor> columns;
    std::vector<ResultRow> rows;
    std::optional<std::size_t> cursor;  // none before the first step
};

// Moves to the first row from none, otherwise to the following one; null past the end.
const ResultRow* NextResultRow(QueryResultSet* result);
// Puts the cursor before the first row again.
void ResetResultSet(QueryResultSet* result);
// Value of the named column (case-insensitive) in the current row; null for SQL NULL,
// no current row or an unknown column, with length 0 then.
const char* GetResultColumnValueByName(const QueryResultSet* result, const char* name,
                                       std::uint32_t* length);
// The whole cell of the named column in the current row; null as above.
const ColumnValue* GetResultCellByName(const QueryResultSet* result, const char* name);
// Type code of the named column, -1 when unknown.
int GetResultColumnTypeByName(const QueryResultSet* result, const char* name);
// Name of the column at index, null outside.
const char* GetResultColumnNameByIndex(const QueryResultSet* result, std::int32_t index);
// Writes the whole set to the log at DEBUG.
void PrintQueryResultSet(const QueryResultSet* result);
// Drops descriptors, cells and rows.
void FreeQueryResultSet(QueryResultSet* result);
