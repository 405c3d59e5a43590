#pragma once

#include <cstdint>
#include <string>

#include "line/ProductionRecord.h"

namespace nvds::line {

// What the record's parts share beyond the interface: the pool's bounds, the clock of the
// rows and the forms of the values they store.

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
