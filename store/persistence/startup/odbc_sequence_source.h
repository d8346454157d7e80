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

private:
    // The reservation connection of the table's connection name, opened on first use.
    DBConnection* ReservationConnection(const std::string& connName);
    std::string ConnectionNameOf(const char* tableName);

    std::recursive_mutex mutex_;  // held from BeginReservation to EndReservation
    std::map<std::string, std::unique_ptr<DBConnection>> connections_;
    DBConnection* active_ = nullptr;  // the connection of the reservation under way
    std::string activeDialect_;
    bool holding_ = false;
};
