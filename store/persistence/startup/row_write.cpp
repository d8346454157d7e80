// Saving one row and telling whether the database took it.
#include "store/persistence/startup/row_write.h"

#include <fmt/format.h>

#include "runtime/log.h"
#include "store/dictionary/dictionary.h"

RowWriteResult RunRowStatement(const SqlDialect* dialect, const char* table, const RowObject* row,
                               RowStatementKind kind, const std::string& sql, const RowStatementRunner& run) {
    const std::optional<std::int64_t> rows = run.update ? run.update(sql) : std::nullopt;
    if (!rows) {
        LogError("Error in executing update query \n");
        LogError("QUERY : %s\n", sql);
        return RowWriteResult::Failed;
    }
    if (kind == RowStatementKind::Insert || *rows != 0) return RowWriteResult::Written;
    const SqlText key = KeyCondition(dialect, table, row);
    if (kind == RowStatementKind::Update && key && !key->empty() && run.query) {
        const TableDefn* defn = GetTableDefn(table);
        const std::string probe =
            fmt::format("select * from {} where {}", defn ? defn->name : std::string(table), *key);
        std::unique_ptr<QueryResultSet> found = run.query(probe);
        if (!found) {
            LogError("Error in executing update query \n");
            LogError("QUERY : %s\n", probe);
            return RowWriteResult::Failed;
        }
        if (!found->rows.empty()) return RowWriteResult::Written;  // matched, nothing changed
    }
    LogError("No row of table %s has the key %s: another client deleted the row or changed its key; the row "
             "keeps its changes and is not saved\n",
             table, key ? *key : std::string("?"));
    LogError("QUERY : %s\n", sql);
    return RowWriteResult::NoRowMatched;
}
