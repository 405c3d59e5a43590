#pragma once

#include <string>

#include "line/RecordStore.h"

namespace nvds::line {

/// The production record in an SQLite file: WAL journal, synchronous=FULL, every change one
/// transaction under the database's write lock.
class SqliteRecord : public RecordStore {
public:
    /// Opens or creates the file, registers this opening as a run and abandons the
    /// reservations of dead processes of this host. An existing file is identified as a
    /// record before anything is written to it.
    bool OpenForAllocation(const std::string& path, const AddressPool& pool);

    /// Opens an existing record for reading only.
    bool OpenToRead(const std::string& path);
};

}  // namespace nvds::line
