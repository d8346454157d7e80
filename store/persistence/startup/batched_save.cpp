// The changed rows of a save, written in transactions.
#include "store/persistence/startup/batched_save.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <optional>

#include "runtime/log.h"

namespace {

RowStatementRunner RunnerOn(DBConnection* connection) {
    RowStatementRunner run;
    run.update = [connection](const std::string& sql) -> std::optional<std::int64_t> {
        std::int64_t rows = -1;
        if (ExecuteUpdate(connection, sql.c_str(), &rows) != 1) return std::nullopt;
        return rows;
    };
    run.query = [connection](const std::string& sql) { return ExecuteQuery(connection, sql.c_str()); };
    return run;
}

}  // namespace

std::vector<bool> WriteRowsInTransactions(DBConnection* connection, const SqlDialect* dialect, const char* table,
                                          const std::vector<RowWrite>& writes, const RowStatementSource& statementOf,
                                          std::size_t batchRows) {
    std::vector<bool> saved(writes.size(), false);
    if (!connection || writes.empty()) return saved;
    const RowStatementRunner run = RunnerOn(connection);
    // Statement texts while their rows may still run (again); freed once a row is settled.
    std::vector<std::optional<std::string>> texts(writes.size());
    const auto write = [&](std::size_t i) {
        if (!texts[i]) {
            SqlText text = statementOf(writes[i]);
            if (!text) return RowWriteResult::NoRowMatched;  // refused: nothing was sent
            texts[i] = std::move(*text);
        }
        return RunRowStatement(dialect, table, writes[i].row, writes[i].kind, *texts[i], run);
    };
    const auto settle = [&](std::size_t i, bool written) {
        saved[i] = written;
        texts[i].reset();
    };

    std::deque<std::size_t> pending;
    for (std::size_t i = 0; i < writes.size(); ++i) pending.push_back(i);
    const std::size_t largest = std::max<std::size_t>(batchRows, 1);
    std::size_t limit = largest;
    std::vector<std::size_t> batch, written;
    while (!pending.empty()) {
        std::lock_guard<std::recursive_mutex> hold(connection->lock);
        batch.clear();
        written.clear();
        while (!pending.empty() && batch.size() < limit) {
            batch.push_back(pending.front());
            pending.pop_front();
        }
        if (connection->inTransaction || !BeginTransaction(connection)) {
            for (std::size_t i : batch) settle(i, write(i) == RowWriteResult::Written);
            continue;
        }
        std::optional<std::size_t> failedAt;
        for (std::size_t k = 0; k < batch.size() && !failedAt; ++k) {
            const std::size_t i = batch[k];
            switch (write(i)) {
                case RowWriteResult::Written:
                    written.push_back(i);
                    break;
                case RowWriteResult::NoRowMatched:  // changed nothing: the transaction goes on
                    settle(i, false);
                    break;
                case RowWriteResult::Failed:
                    settle(i, false);
                    failedAt = k;
                    break;
            }
        }
        if (failedAt) {
            RollbackTransaction(connection);
            // The rest of the batch, after the rows written before the failure.
            for (std::size_t k = batch.size(); k-- > *failedAt + 1;) pending.push_front(batch[k]);
            for (std::size_t k = written.size(); k-- > 0;) pending.push_front(written[k]);
            // Smaller batches while failures come, so rows are not run again over and over.
            limit = std::max<std::size_t>(limit / 2, 1);
            continue;
        }
        if (CommitTransaction(connection)) {
            for (std::size_t i : written) settle(i, true);
            limit = std::min(limit * 2, largest);
            continue;
        }
        LogError("SaveTable : the commit of %u rows of table %s failed; each is written again on its own\n",
                 static_cast<unsigned>(written.size()), table);
        for (std::size_t i : written) settle(i, write(i) == RowWriteResult::Written);
    }
    return saved;
}
