#pragma once

// A scratch folder for record files and a few direct looks into them with the SQLite API.

#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "line/SqliteRecord.h"

namespace nvds::test {

class ScratchFolder {
public:
    ScratchFolder() {
        char pattern[] = "/tmp/nvds_record.XXXXXX";
        m_dir = mkdtemp(pattern);
    }
    ~ScratchFolder() { std::filesystem::remove_all(m_dir); }
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

private:
    std::string m_dir;
};

inline line::AddressPool Pool(const std::string& first, int step = 1,
                              const std::string& last = "") {
    line::AddressPool pool;
    pool.first = line::AddressValue(first);
    pool.step = step;
    if (!last.empty()) {
        pool.last = line::AddressValue(last);
    }
    return pool;
}

inline const line::Station STATION{"bench1", "/dev/ttyUSB0"};

inline const std::string DIGEST(64, 'a');

/// A record opened for allocation; the test fails when it does not open.
inline std::unique_ptr<line::SqliteRecord> OpenRecord(const std::string& path,
                                                      const line::AddressPool& pool) {
    auto record = std::make_unique<line::SqliteRecord>();
    EXPECT_TRUE(record->OpenForAllocation(path, pool)) << record->LastError();
    return record;
}

/// The next address as text, or "error: ..." when the reservation failed.
inline std::string ReserveText(line::ProductionRecord& record) {
    uint64_t address = 0;
    if (!record.Reserve(STATION, address)) {
        return "error: " + record.LastError();
    }
    return line::AddressText(address);
}

/// Runs one statement on the file outside the record; the first column of every row as text
/// ("NULL" for null), or "error: ..." as the only value when it fails.
inline std::vector<std::string> Sql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::vector<std::string> values;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) ==
        SQLITE_OK) {
        sqlite3_busy_timeout(db, 10000);
        sqlite3_stmt* stmt = nullptr;
        int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
        while (rc == SQLITE_OK && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(stmt, 0);
            values.push_back(text ? reinterpret_cast<const char*>(text) : "NULL");
            rc = SQLITE_OK;
        }
        if (rc != SQLITE_DONE) {
            values = {std::string("error: ") + sqlite3_errmsg(db)};
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close_v2(db);
    return values;
}

/// "address state" for every row of the record, in address order.
inline std::vector<std::string> States(const std::string& path) {
    return Sql(path,
               "SELECT address_text || ' ' || state || CASE WHEN reusable = 1 THEN ' reusable'"
               " ELSE '' END FROM record_address ORDER BY address");
}

}  // namespace nvds::test
