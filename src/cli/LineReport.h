#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "line/ProductionRecord.h"
#include "line/Station.h"

namespace nvds::cli {

/// What the operator is told before the first chip.
struct LineBanner {
    std::string goldenName;
    std::string goldenSha256;
    std::optional<uint64_t> next;             // the first address the line will give
    uint64_t left = 0;                        // addresses left in the range, the first one included
    std::string nextError;                    // why there is no first address
    uint64_t rangeSize = 0;                   // addresses in the whole range
    std::vector<line::HistoryRow> abandoned;  // burns cut off by a crash: chips to rework
};

/// What the line did, for the end summary on stderr and the "summary" JSON event.
struct LineSummary {
    std::vector<line::StationStatus> stations;  // the last status of each, in port order
    size_t addressesUsed = 0;                   // distinct addresses burned or failed
    std::optional<uint64_t> next;               // the address the next run would give
    std::string nextError;                      // why there is none
};

/// Addresses in `pool` from its first one to its last (or to the end of the lower three pairs
/// in the step's direction).
uint64_t RangeSize(const line::AddressPool& pool);

/// Whether so few addresses are left that the operator is warned: fewer than 100, or fewer
/// than 1% of the range.
bool FewLeft(uint64_t left, uint64_t rangeSize);

/// Verified chips over chips that ended (verified and failed); nothing before the first chip.
std::optional<double> Yield(int pass, int fail);

/// The start banner's lines: the golden image and its digest, the first address and what is
/// left (a warning when little), the chips to rework after a crash.
std::string BannerText(const LineBanner& banner);

/// The end summary's lines: one per station and the line's total (chips, yield), the
/// addresses used and the next address.
std::string SummaryText(const LineSummary& summary);

}  // namespace nvds::cli
