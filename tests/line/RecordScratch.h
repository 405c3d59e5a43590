#pragma once

// A scratch folder for record files, the burns a record test makes, and a few direct looks into
// a record file with the SQLite API.

#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "line/ProductionRecord.h"

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

/// The value of an address text the test knows to be well formed.
inline uint64_t Addr(const std::string& text) {
    const std::optional<uint64_t> value = ParseAddress(text);
    EXPECT_TRUE(value) << text;
    return value.value_or(0);
}

inline line::AddressPool Pool(const std::string& first, int step = 1,
                              const std::string& last = "") {
    line::AddressPool pool;
    pool.first = Addr(first);
    pool.step = step;
    if (!last.empty()) {
        pool.last = Addr(last);
    }
    return pool;
}

inline const line::Station STATION{"bench1", "/dev/ttyUSB0"};

inline const std::string DIGEST(64, 'a');

inline line::BurnContext Context(const std::string& station = STATION.port,
                                 const std::string& lot = "") {
    return {{STATION.host, station}, lot, "golden.nvds", std::string(64, 'C')};
}

inline line::BurnEnd Verified(const std::string& digest = DIGEST, double seconds = 2.5) {
    line::BurnEnd end;
    end.outcome = line::RECORD_VERIFIED;
    end.imageSha256 = digest;
    end.seconds = seconds;
    return end;
}

inline line::BurnEnd Failed(bool reusable, const std::string& reason = "") {
    line::BurnEnd end;
    end.outcome = line::RECORD_FAILED;
    end.reusable = reusable;
    end.reason = reason;
    end.seconds = 1;
    return end;
}

/// The record at `target` opened for allocation from `pool`; the test fails when it does not open.
inline std::unique_ptr<line::ProductionRecord> Open(const std::string& target,
                                                    const line::AddressPool& pool) {
    std::string error;
    auto record = line::OpenProductionRecord(target, pool, error);
    EXPECT_NE(record, nullptr) << error;
    return record;
}

/// The next address as text, or "error: ..." when the reservation failed.
inline std::string ReserveText(line::ProductionRecord& record) {
    uint64_t address = 0;
    int64_t attempt = 0;
    if (!record.ReserveNext(Context(), address, attempt)) {
        return "error: " + record.LastError();
    }
    return line::AddressText(address);
}

/// The attempt of a burn at `address` (the window's way), ended with `end`; 0 on a failure.
inline int64_t Burn(line::ProductionRecord& record, uint64_t address, const line::BurnEnd& end,
                    const line::BurnContext& context = Context()) {
    int64_t attempt = 0;
    EXPECT_TRUE(record.ReserveAddress(address, context, attempt) && record.EndBurn(attempt, end))
        << record.LastError();
    return attempt;
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

/// "address state" (and " reusable") for every row of a record, in address order.
inline const std::string STATES_SQL =
    "SELECT address_text || ' ' || state || CASE WHEN reusable = 1 THEN ' reusable' ELSE '' END"
    " FROM record_address ORDER BY address";

inline std::vector<std::string> States(const std::string& path) {
    return Sql(path, STATES_SQL);
}

}  // namespace nvds::test
