// The identifier sequences' data source on the store's own databases: each batch is
// reserved in one transaction on a connection kept for reservations only, with the
// dialect's lock taken first, so processes sharing a database never get the same batch.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "store/persistence/startup/store_startup.h"
#include "store/sequence_data_source.h"

class ODBCSequenceSource : public SequenceDataSource {
public:
    ODBCSequenceSource() = default;
    ~ODBCSequenceSource() override;

    std::unique_ptr<QueryResultSet> ExecuteQuery(const char* tableName,
                                                 const std::string& sql) override;
    bool ExecuteUpdate(const char* tableName, const std::string& sql) override;
    bool BeginReservation(const char* tableName, const char* generator) override;
    bool EndReservation(const char* tableName, bool succeeded) override;

    // Closes the reservation connections; later calls use the pools.
    void Close();
    // The reservation connection kept for a connection name, or null before its first use
    // (for tests: its opening time may be set back).
    DBConnection* ReservationConnectionFor(const std::string& connName);

private:
    // The reservation connection of the table's connection name: opened on first use,
    // reopened when older than the pools' age limit or after a reservation on it failed.
    DBConnection* ReservationConnection(const std::string& connName);
    std::string ConnectionNameOf(const char* tableName);
    // Starts the transaction and takes the dialect's lock; false (rolled back) on failure.
    bool StartOn(DBConnection* connection, const std::string& dialect, const char* generator);

    std::recursive_mutex mutex_;  // held from BeginReservation to EndReservation
    std::map<std::string, std::unique_ptr<DBConnection>> connections_;
    std::map<std::string, bool> failed_;  // connection names whose last reservation failed
    DBConnection* active_ = nullptr;  // the connection of the reservation under way
    std::string activeName_;
    std::string activeDialect_;
    bool holding_ = false;
};
