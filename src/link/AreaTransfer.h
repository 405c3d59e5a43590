#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "image/NvdsImage.h"
#include "link/LinkConstants.h"
#include "link/LinkOutcome.h"

namespace nvds {

class CProgstarDlg;

/// Receives status codes 8..13 (see image/StatusText.h) for the operation pane.
using TransferStatus = std::function<void(int code)>;
/// Receives the number of pages done (1..16) after each page.
using PageProgress = std::function<void(int pagesDone)>;

/// Called just before the program frame of `page` goes out.
using PageStart = std::function<void(uint32_t page)>;

/// Calls `callback` with `args` when one is set (every callback of a transfer is optional).
template <typename Callback, typename... Args>
void Notify(const Callback& callback, Args... args) {
    if (callback) {
        callback(args...);
    }
}

/// Sets the address 0 and reads the first `pageCount` pages into `buffer`, each page with its
/// retries and re-addressing. False as soon as a page fails (the engine keeps the failed page
/// and cause); `buffer` may then hold part of the area.
bool ReadPages(CProgstarDlg& engine, NvdsImage& buffer, const PageProgress& pages,
               uint32_t pageCount = NVDS_PAGE_COUNT);

/// Sets the address 0, erases the NVDS sector and selects the flash for programming.
bool EraseArea(CProgstarDlg& engine);

/// Programs the pages of `source` in `order`, each with its retries and re-addressing. The
/// address is set before the first page and before any page that does not follow the one
/// programmed last; the chip advances it by itself between consecutive pages. `pages` counts
/// 1..n in the order given.
bool ProgramPages(CProgstarDlg& engine, const NvdsImage& source, const std::vector<uint32_t>& order,
                  const PageProgress& pages, const PageStart& starting = {});

/// Page numbers 0 to 15 in ascending order.
std::vector<uint32_t> PlainPageOrder();

/// Reads the 4096-byte NVDS area page by page. `dest` changes only when all 16 pages arrived.
/// NotConnected (nothing sent) when `connected` is false; Failed with the page and fault.
LinkOutcome DumpImage(CProgstarDlg& engine, bool connected, NvdsImage& dest,
                      const TransferStatus& status, const PageProgress& pages = {});

/// Erases the NVDS sector and programs `source` page by page; fails as DumpImage does.
LinkOutcome BurnImage(CProgstarDlg& engine, bool connected, const NvdsImage& source,
                      const TransferStatus& status, const PageProgress& pages = {});

/// The outcome of a transfer that failed on the engine: Failed, with the page and fault.
LinkOutcome TransferFailed(const CProgstarDlg& engine);

}  // namespace nvds
