#include "link/AreaTransfer.h"

#include <cstring>

#include "image/StatusText.h"
#include "link/LinkConstants.h"
#include "link/ProgstarDlg.h"

namespace nvds {

namespace {

// Tries one page up to PAGE_TRIES times. After a failed try the page is re-addressed, since
// the chip may or may not have advanced its address; a failed re-address ends at once.
template <typename TryPage>
bool PageWithRetries(CProgstarDlg& engine, uint32_t page, TryPage tryPage) {
    for (int attempt = 0; attempt < PAGE_TRIES; ++attempt) {
        if (tryPage()) {
            return true;
        }
        if (!engine.SetAddress(page * NVDS_PAGE_SIZE)) {
            break;
        }
    }
    engine.SetFailedPage(static_cast<int>(page));
    return false;
}

}  // namespace

bool ReadPages(CProgstarDlg& engine, NvdsImage& buffer, const PageProgress& pages,
               uint32_t pageCount) {
    if (!engine.SetAddress(0)) {
        return false;
    }
    uint8_t count[4] = {0x00, 0x01, 0x00, 0x00};  // 256 bytes per read
    for (uint32_t p = 0; p < pageCount; ++p) {
        uint8_t* dest = buffer.data() + p * NVDS_PAGE_SIZE;
        bool ok = PageWithRetries(engine, p, [&] {
            return engine.SendFrame(CMD_READ, count, READ_PAGE_READLEN, 4, 0) &&
                   engine.WaitDataFrame(dest, NVDS_PAGE_SIZE, READ_TIMEOUT.count());
        });
        if (!ok) {
            return false;
        }
        Notify(pages, static_cast<int>(p + 1));
    }
    return true;
}

bool EraseArea(CProgstarDlg& engine) {
    uint8_t one[4] = {0x01, 0x00, 0x00, 0x00};
    if (!engine.SetAddress(0)) {
        return false;
    }
    if (!engine.SendFrame(CMD_SECTOR_ERASE, one, 0, 4, 0) ||
        !engine.WaitStatus(STATUS_DONE, ERASE_TIMEOUT.count())) {
        return false;
    }
    return engine.SendFrame(CMD_SET_MEMORY_TYPE, one, 0, 4, 1) != 0;
}

bool ProgramPages(CProgstarDlg& engine, const NvdsImage& source, const std::vector<uint32_t>& order,
                  const PageProgress& pages, const PageStart& starting) {
    int done = 0;
    // The page the chip's address points at; none before the first page.
    uint32_t next = NVDS_PAGE_COUNT;
    for (uint32_t p : order) {
        if (p != next && !engine.SetAddress(p * NVDS_PAGE_SIZE)) {
            return false;
        }
        const uint8_t* data = source.data() + p * NVDS_PAGE_SIZE;
        bool ok = PageWithRetries(engine, p, [&] {
            Notify(starting, p);
            return engine.SendFrame(CMD_PROGRAM, data, 0, NVDS_PAGE_SIZE, 0) &&
                   engine.WaitStatus(STATUS_DONE, PROGRAM_TIMEOUT.count());
        });
        if (!ok) {
            return false;
        }
        next = p + 1;
        Notify(pages, ++done);
    }
    return true;
}

std::vector<uint32_t> PlainPageOrder() {
    std::vector<uint32_t> order;
    for (uint32_t p = 0; p < NVDS_PAGE_COUNT; ++p) {
        order.push_back(p);
    }
    return order;
}

LinkOutcome TransferFailed(const CProgstarDlg& engine) {
    return {LinkCode::Failed, "", engine.FailureCause()};
}

LinkOutcome DumpImage(CProgstarDlg& engine, bool connected, NvdsImage& dest,
                      const TransferStatus& status, const PageProgress& pages) {
    if (!connected) {
        return LinkOutcome{LinkCode::NotConnected, MSG_TARGET_DISCONNECT, ""};
    }
    Notify(status, STATUS_DUMP_BUSY);
    engine.ClearFailure();
    NvdsImage buffer{};
    if (!ReadPages(engine, buffer, pages)) {
        Notify(status, STATUS_DUMP_ERROR);
        return TransferFailed(engine);
    }
    engine.ClearFailure();
    dest = buffer;
    Notify(status, STATUS_DUMP_OK);
    return {};
}

LinkOutcome BurnImage(CProgstarDlg& engine, bool connected, const NvdsImage& source,
                      const TransferStatus& status, const PageProgress& pages) {
    if (!connected) {
        return LinkOutcome{LinkCode::NotConnected, MSG_TARGET_DISCONNECT, ""};
    }
    Notify(status, STATUS_BURN_BUSY);
    engine.ClearFailure();
    if (!EraseArea(engine) || !ProgramPages(engine, source, PlainPageOrder(), pages)) {
        Notify(status, STATUS_BURN_ERROR);
        return TransferFailed(engine);
    }
    engine.ClearFailure();
    Notify(status, STATUS_BURN_OK);
    return {};
}

}  // namespace nvds
