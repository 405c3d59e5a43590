#pragma once

#include <functional>

#include "image/NvdsImage.h"
#include "link/LinkTexts.h"

namespace nvds {

class CProgstarDlg;
class Prompter;

/// Receives status codes 8..13 (see image/StatusText.h) for the operation pane.
using TransferStatus = std::function<void(int code)>;
/// Receives the number of pages done (1..16) after each page.
using PageProgress = std::function<void(int pagesDone)>;

/// Reads the 4096-byte NVDS area page by page. `dest` changes only when all 16 pages arrived.
/// Returns 4096, or -1 (nothing sent when `connected` is false).
int DumpImage(CProgstarDlg& engine, bool connected, NvdsImage& dest, Prompter& prompter,
              const TransferStatus& status, const PageProgress& pages = {});

/// Erases the NVDS sector and programs `source` page by page. Returns 4096, or -1.
int BurnImage(CProgstarDlg& engine, bool connected, const NvdsImage& source, Prompter& prompter,
              const TransferStatus& status, const PageProgress& pages = {});

}  // namespace nvds
