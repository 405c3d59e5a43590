#include "link/BurnOptions.h"

#include <cstdio>

#include "image/StatusText.h"
#include "link/LinkConstants.h"
#include "link/ProgstarDlg.h"

namespace nvds {

namespace {

// Offset of the first byte where the two areas differ, or -1 when they are equal.
int FirstDifference(const NvdsImage& a, const NvdsImage& b) {
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Pages 1 to 15, then page 0: the "NVDS" magic at the start of page 0 is the last thing
// written, so the erased area stays one the image check rejects until every other page is in.
std::vector<uint32_t> SafePageOrder() {
    std::vector<uint32_t> order;
    for (uint32_t p = 1; p < NVDS_PAGE_COUNT; ++p) {
        order.push_back(p);
    }
    order.push_back(0);
    return order;
}

}  // namespace

BurnOutcome BurnImageWithOptions(CProgstarDlg& engine, bool connected, const NvdsImage& source,
                                 const BurnOptions& options, const BurnEvents& events) {
    BurnOutcome outcome;
    if (!connected) {
        outcome.link = LinkOutcome{LinkCode::NotConnected, MSG_TARGET_DISCONNECT, ""};
        return outcome;
    }
    Notify(events.status, STATUS_BURN_BUSY);
    engine.ClearFailure();
    auto fail = [&](BurnResult result) {
        Notify(events.status, STATUS_BURN_ERROR);
        outcome.result = result;
        if (result == BurnResult::Failed) {
            outcome.link = TransferFailed(engine);
        }
        return outcome;
    };

    if (options.skipIdentical) {
        NvdsImage held{};
        if (!ReadPages(engine, held, events.pages)) {
            return fail(BurnResult::Failed);
        }
        if (held == source) {
            // Nothing is written, but the chip holds this very image.
            engine.ClearFailure();
            outcome.pageZeroMayBeWritten = true;
            outcome.result = BurnResult::Identical;
            Notify(events.skipped);
            Notify(events.status, STATUS_BURN_OK);
            return outcome;
        }
    }

    std::vector<uint32_t> order = options.safeOrder ? SafePageOrder() : PlainPageOrder();
    auto starting = [&](uint32_t page) {
        if (page == 0) {
            outcome.pageZeroMayBeWritten = true;
        }
    };
    if (!EraseArea(engine) || !ProgramPages(engine, source, order, events.pages, starting)) {
        return fail(BurnResult::Failed);
    }

    if (options.verify) {
        NvdsImage readBack{};
        if (!ReadPages(engine, readBack, events.pages)) {
            return fail(BurnResult::Failed);
        }
        int offset = FirstDifference(readBack, source);
        if (offset >= 0) {
            engine.ClearFailure();
            outcome.firstDifference = offset;
            return fail(BurnResult::VerifyFailed);
        }
        Notify(events.verified);
    }
    engine.ClearFailure();
    outcome.result = BurnResult::Burned;
    Notify(events.status, STATUS_BURN_OK);
    return outcome;
}

std::string VerifyFailedText(int offset) {
    char text[64];
    std::snprintf(text, sizeof text, "Verify failed: page %d, offset 0x%04X",
                  offset / static_cast<int>(NVDS_PAGE_SIZE), static_cast<unsigned>(offset));
    return text;
}

}  // namespace nvds
