// Writing the changed rows of one save in transactions of a few thousand statements
// instead of one commit per row.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "store/persistence/startup/row_write.h"
#include "store/persistence/startup/store_startup.h"

// One row of a save and the statement its state asks for; the text is made when the row
// is first written (generation logs as it always did) and kept while it may run again.
struct RowWrite {
    RowObject* row = nullptr;
    RowStatementKind kind = RowStatementKind::Insert;
};

// Statements per transaction.
inline constexpr std::size_t kSaveBatchRows = 2000;

// The statement of a write; none when the generator refuses the row (it logged why).
using RowStatementSource = std::function<SqlText(const RowWrite& write)>;

// Runs the writes in order on the connection, in transactions of at most batchRows
// statements, and tells for each whether the database holds it (committed). Each batch
// runs under the connection's lock, so no other thread's statement joins its transaction.
//
// A statement that fails is logged once (RunRowStatement) and its row is not saved; the
// batch is rolled back and the rows written before it run again in a new transaction,
// because some failures undo more than the statement (a deadlock on InnoDB, a full disk
// on SQLite, any failure on PostgreSQL). A commit that fails saves none of the batch:
// those rows are tried again one by one in autocommit, so a row the database refuses only
// at commit (a deferred constraint) does not hold the others back. When the connection is
// in a transaction of its caller, or cannot start one, every statement runs on its own
// as it comes.
std::vector<bool> WriteRowsInTransactions(DBConnection* connection, const SqlDialect* dialect, const char* table,
                                          const std::vector<RowWrite>& writes, const RowStatementSource& statementOf,
                                          std::size_t batchRows = kSaveBatchRows);
