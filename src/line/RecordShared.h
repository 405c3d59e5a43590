#pragma once

#include <cstdint>
#include <string>

#include "line/ProductionRecord.h"

namespace nvds::line {

// What the SQLite and the PostgreSQL record share beyond the interface: the pool's bounds,
// the clock of the rows and the forms of the values they store.

/// The table of addresses handed out, the same in every back end (plain SQL), and its index.
inline constexpr const char* ADDRESS_TABLE_SQL =
    "CREATE TABLE record_address ("
    " address BIGINT NOT NULL UNIQUE,"
    " address_text CHAR(17) NOT NULL,"
    " state VARCHAR(10) NOT NULL"
    "  CHECK (state IN ('reserved', 'verified', 'failed', 'abandoned')),"
    " reusable SMALLINT NOT NULL DEFAULT 0,"
    " station_host VARCHAR(255) NOT NULL,"
    " station_port VARCHAR(255) NOT NULL,"
    " owner BIGINT,"
    " reserved_at BIGINT NOT NULL,"
    " ended_at BIGINT,"
    " image_sha256 CHAR(64),"
    " seconds DOUBLE PRECISION)";
inline constexpr const char* ADDRESS_INDEX_SQL =
    "CREATE INDEX record_address_state ON record_address (state, owner)";

/// The lowest and highest address a pool may hand out: from the first address to the last one
/// (or the end of the lower half) in the step's direction.
struct PoolBounds {
    uint64_t low = 0;
    uint64_t high = 0;
};

/// The bounds of `pool`; false, with the reason in `error`, for a first address wider than
/// six pairs, a step other than +1 or -1, or a last address the step never reaches.
bool PoolBoundsOf(const AddressPool& pool, PoolBounds& bounds, std::string& error);

/// Milliseconds since 1970 (UTC), the time unit of every row.
int64_t NowMs();

/// The state stored under `name` ("reserved", ...); an unknown name counts as abandoned, the
/// state that never hands its address out again.
RecordState RecordStateFromName(const std::string& name);

/// Whether `text` is the 64 hex digits of a SHA-256.
bool IsSha256Hex(const std::string& text);

/// The digest as stored: lower-case hex.
std::string LowerHex(std::string text);

}  // namespace nvds::line
