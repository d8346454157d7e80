// The database seam of the identifier sequences: the store reserves batches of
// identifiers in "SeqGenState" through whatever source is installed. The persistence
// layer installs its own; tests and the store shell install a SQLite-backed one. The
// reservation is a select, then an update or insert, bracketed by BeginReservation and
// EndReservation: a source whose database other processes share makes the pair one
// transaction there, so two processes never reserve the same batch.
#pragma once

#include <memory>
#include <string>

#include "store/foundation/result_set.h"

// Where the identifier sequences read and reserve their batches.
class SequenceDataSource {
public:
    virtual ~SequenceDataSource() = default;
    // Runs a select for the table's data source (null table: the default one) and returns
    // its rows with the columns by name; null when the statement could not run.
    virtual std::unique_ptr<QueryResultSet> ExecuteQuery(const char* tableName,
                                                         const std::string& sql) = 0;
    // Runs an update or insert; true when it succeeded.
    virtual bool ExecuteUpdate(const char* tableName, const std::string& sql) = 0;
    // Starts one reservation of the generator's next batch; false when it cannot start.
    virtual bool BeginReservation(const char* /*tableName*/, const char* /*generator*/) { return true; }
    // Ends it: commits when its statements succeeded, else rolls back. False asks for the
    // reservation to be tried again (it lost a lock conflict or its commit failed).
    virtual bool EndReservation(const char* /*tableName*/, bool /*succeeded*/) { return true; }
};

// Installs the source (null: none, so every reservation fails) and returns the previous one.
std::shared_ptr<SequenceDataSource> SetSequenceDataSource(std::shared_ptr<SequenceDataSource> source);
// The installed source (shared with the caller); null when none.
std::shared_ptr<SequenceDataSource> GetSequenceDataSource();
