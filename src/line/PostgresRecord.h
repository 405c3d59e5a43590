#pragma once

#include <string>

#include "line/RecordStore.h"

namespace nvds::line {

/// The production record in a PostgreSQL database shared by the stations of several machines:
/// the same tables as the SQLite file, every change one transaction, allocations serialised
/// by a transaction-level advisory lock and backed by the UNIQUE address constraint. A lost
/// connection fails the call under way and is made again by the next one.
class PostgresRecord : public RecordStore {
public:
    /// Connects with the libpq connection string or URI `target`, creates the tables on first
    /// use, registers this opening as a run and abandons the reservations of runs whose server
    /// session is gone.
    bool OpenForAllocation(const std::string& target, const AddressPool& pool);

    /// Connects to an existing record to read it; creates and changes nothing.
    bool OpenToRead(const std::string& target);
};

}  // namespace nvds::line
