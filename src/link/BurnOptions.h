#pragma once

#include <cstdint>
#include <string>

#include "image/NvdsImage.h"
#include "link/AreaTransfer.h"

namespace nvds {

class CProgstarDlg;

/// What a burn does beyond erasing the area and programming pages 0 to 15.
struct BurnOptions {
    /// Program pages 1 to 15 first and page 0, which holds the "NVDS" magic, last: a burn cut
    /// off at any point leaves an area the image check rejects, never one that looks valid.
    bool safeOrder = false;
    /// After the last page, read the area back on the same link and compare.
    bool verify = false;
    /// Read the area first; when the chip already holds the image byte for byte, erase and
    /// program nothing.
    bool skipIdentical = false;
};

/// How a burn with options ended.
enum class BurnResult {
    Burned,        // erased, programmed (and read back equal when verifying)
    Identical,     // the chip already held the image; nothing was written
    VerifyFailed,  // programmed, but the read-back differs at `firstDifference`
    Failed,        // not connected, or a transfer failed (`link` says why)
};

struct BurnOutcome {
    BurnResult result = BurnResult::Failed;
    /// What the link says: NotConnected, Failed with the page and fault, else Ok.
    LinkOutcome link;
    /// Offset in the area of the first byte that read back wrong (page = offset / 256);
    /// -1 unless VerifyFailed.
    int firstDifference = -1;
    /// False only while the chip provably holds no valid image from this burn: nothing was
    /// erased, or with the safe order page 0 was not yet programmed.
    bool pageZeroMayBeWritten = false;
};

/// Events of a burn with options beyond the page count and status codes of BurnImage.
struct BurnEvents {
    TransferStatus status;  // status codes 8..13 as BurnImage/DumpImage report them
    PageProgress pages;     // 1..16 for each page read or programmed (reads and writes alike)
    std::function<void()> verified;  // the read-back matched
    std::function<void()> skipped;   // the chip already held the image
};

/// Burns `source` with the options on a connected engine (`connected` false: Failed and
/// NotConnected, nothing sent). Without options it does exactly what BurnImage does.
BurnOutcome BurnImageWithOptions(CProgstarDlg& engine, bool connected, const NvdsImage& source,
                                 const BurnOptions& options, const BurnEvents& events);

/// "Verify failed: page 5, offset 0x0580" for a difference at that offset.
std::string VerifyFailedText(int offset);

}  // namespace nvds
