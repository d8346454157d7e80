// Running the statement that saves one row (insert, update or delete) and telling whether
// the row was written: the tables' save and the data objects' save share it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "store/foundation/result_set.h"
#include "store/persistence/dialect/sql_dialect.h"
#include "store/tables/tables.h"

enum class RowStatementKind { Insert, Update, Delete };
enum class RowWriteResult { Written, Failed, NoRowMatched };

// Where the statements run.
struct RowStatementRunner {
    // An insert, update or delete: the rows it touched (-1 when the database did not say);
    // none when it failed.
    std::function<std::optional<std::int64_t>(const std::string& sql)> update;
    // A select: its rows, or null.
    std::function<std::unique_ptr<QueryResultSet>(const std::string& sql)> query;
};

// Runs the row's statement. A failure logs "Error in executing update query \n" and
// "QUERY : %s\n". An update or delete that matches no row (another client deleted the
// row or changed its key) did not save the row: an ERROR line names the table and the key
// and the result is NoRowMatched. An update reported as touching no row is checked with a
// select of the key first, since MySQL counts only rows whose values changed.
RowWriteResult RunRowStatement(const SqlDialect* dialect, const char* table, const RowObject* row,
                               RowStatementKind kind, const std::string& sql, const RowStatementRunner& run);
