#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "image/CheckImage.h"
#include "image/StatusText.h"
#include "link/BurnOptions.h"
#include "link/ConnectTarget.h"
#include "link/LinkConstants.h"
#include "link/LinkRig.h"
#include "link/ProgstarDlg.h"
#include "sim/InProcessLink.h"

namespace nvds::test {
namespace {

// An image with the magic and a byte pattern that differs on every page.
NvdsImage Golden() {
    NvdsImage image = Pattern(0);
    std::memcpy(image.data(), "NVDS", 4);
    return image;
}

// A connected engine on a simulated chip in the same process, and what the burn reported.
struct Bench : LinkRig {
    explicit Bench(SimOptions options) : LinkRig(LinkKind::InProcess, Instant(options)) {
        connected = ConnectTarget(engine).Ok();
        events.status = [this](int code) { statuses.push_back(code); };
        events.pages = [this](int done) { pages.push_back(done); };
        events.verified = [this] { said.push_back("verified"); };
        events.skipped = [this] { said.push_back("skipped"); };
    }
    BurnOutcome Burn(const BurnOptions& options) {
        framesBefore = FramesHandled();
        return BurnImageWithOptions(engine, connected, Golden(), options, events);
    }
    int Frames() const { return FramesHandled() - framesBefore; }

    bool connected = false;
    BurnEvents events;
    std::vector<int> statuses;
    std::vector<int> pages;
    std::vector<std::string> said;
    int framesBefore = 0;
};

// Flash addresses of the pages, in the order given.
std::vector<uint32_t> Order(uint32_t first, uint32_t last, bool zeroLast) {
    std::vector<uint32_t> addresses;
    for (uint32_t p = first; p <= last; ++p) {
        addresses.push_back(p * NVDS_PAGE_SIZE);
    }
    if (zeroLast) {
        addresses.push_back(0);
    }
    return addresses;
}

// Page counts 1..16, `passes` times over, then 1..`partial`.
std::vector<int> Counts(int passes, int partial = 0) {
    std::vector<int> counts;
    for (int i = 0; i < passes * 16 + partial; ++i) {
        counts.push_back(i % 16 + 1);
    }
    return counts;
}

// What the chip holds before a burn with --skip-identical.
enum class Held { Erased, Image, PageZeroOnly, AllButLastByte };

// What each option sends, in which order the chip sees the pages programmed, and how the
// read-back judges the result; a chip that already holds the image is left alone, and only
// one that holds every byte of it.
TEST(BurnWithOptions, OrderVerifyAndSkip) {
    const std::vector<uint32_t> plain = Order(0, 15, false), safe = Order(1, 15, true);
    const BurnOptions safeOrder{true, false, false}, verify{false, true, false},
        safeVerify{true, true, false}, skip{false, false, true};
    struct Case {
        const char* name;
        BurnOptions options;
        int weakPage, weakByte;
        Held held;
        BurnResult result;
        int firstDifference;
        int frames;  // frames the chip handled during the burn
        std::vector<uint32_t> programs;
        int passes;  // of 16 pages read or programmed
        std::vector<std::string> said;
    };
    const BurnResult burned = BurnResult::Burned, failed = BurnResult::VerifyFailed;
    const Held none = Held::Erased, pageZero = Held::PageZeroOnly, lastByte = Held::AllButLastByte;
    // clang-format off
    const Case cases[] = {
        // Address, erase, memory type, address, 16 pages: the plain burn, unchanged.
        {"no options", {}, -1, 0, none, burned, -1, 20, plain, 1, {}},
        // Page 0 costs one more address frame.
        {"safe order", safeOrder, -1, 0, none, burned, -1, 21, safe, 1, {}},
        {"verify", verify, -1, 0, none, burned, -1, 20 + 17, plain, 2, {"verified"}},
        {"verify, weak page 5", verify, 5, 0x80, none, failed, 0x580, 37, plain, 2, {}},
        {"safe, verify, weak page 0", safeVerify, 0, 0x80, none, failed, 0x80, 38, safe, 2, {}},
        // The very last byte of the area is compared too.
        {"verify, weak last byte", verify, 15, 0xFF, none, failed, 0xFFF, 37, plain, 2, {}},
        {"skip, chip holds it", skip, -1, 0, Held::Image, BurnResult::Identical, -1, 17, {}, 1,
         {"skipped"}},
        {"skip, chip differs", skip, -1, 0, none, burned, -1, 17 + 20, plain, 2, {}},
        {"skip, page 0 held only", skip, -1, 0, pageZero, burned, -1, 17 + 20, plain, 2, {}},
        {"skip, last byte differs", skip, -1, 0, lastByte, burned, -1, 17 + 20, plain, 2, {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimOptions sim;
        sim.weakPage = c.weakPage;
        sim.weakByte = c.weakByte;
        Bench bench(sim);
        ASSERT_TRUE(bench.connected);
        NvdsImage held = ErasedImage();
        NvdsImage golden = Golden();
        switch (c.held) {
            case Held::Erased:
                break;
            case Held::Image:
                held = golden;
                break;
            case Held::PageZeroOnly:
                std::copy_n(golden.begin(), NVDS_PAGE_SIZE, held.begin());
                break;
            case Held::AllButLastByte:
                held = golden;
                held.back() ^= 0x01;
                break;
        }
        bench.line->SetFlash(std::vector<uint8_t>(held.begin(), held.end()));
        BurnOutcome outcome = bench.Burn(c.options);
        EXPECT_EQ(outcome.result, c.result);
        EXPECT_EQ(outcome.firstDifference, c.firstDifference);
        EXPECT_TRUE(outcome.pageZeroMayBeWritten);
        EXPECT_EQ(bench.Frames(), c.frames);
        EXPECT_EQ(bench.line->ErasesHandled(), c.programs.empty() ? 0 : 1);
        EXPECT_EQ(bench.line->ProgramAddresses(), c.programs);
        EXPECT_EQ(bench.pages, Counts(c.passes));
        EXPECT_EQ(bench.said, c.said);
        int last = c.result == failed ? STATUS_BURN_ERROR : STATUS_BURN_OK;
        EXPECT_EQ(bench.statuses, (std::vector<int>{STATUS_BURN_BUSY, last}));
        EXPECT_EQ(outcome.link.cause, "");
        if (c.weakPage < 0) {
            EXPECT_EQ(bench.FlashArea(), Golden());
        }
    }
    EXPECT_EQ(VerifyFailedText(0x580), "Verify failed: page 5, offset 0x0580");
    EXPECT_EQ(VerifyFailedText(0xFFF), "Verify failed: page 15, offset 0x0FFF");
}

// The line hangs up as the fourth page is programmed: in the safe order the area is left
// without its magic and the burn says page 0 was not reached; in the plain order page 0 went
// out first, so the chip may carry a valid-looking image.
TEST(BurnWithOptions, CutBurnTellsWhetherPageZeroWasWritten) {
    struct Case {
        const char* name;
        bool safeOrder;
        bool pageZero;
        int checked;  // what the image check makes of the chip's area
        std::string cause;
    };
    const Case cases[] = {
        {"safe order", true, false, 0, "page 5 of 16: the line hung up"},
        {"plain order", false, true, 1, "page 4 of 16: the line hung up"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimOptions sim;
        sim.hangupAfterPages = 4;
        Bench bench(sim);
        ASSERT_TRUE(bench.connected);
        BurnOptions options;
        options.safeOrder = c.safeOrder;
        options.verify = true;
        BurnOutcome outcome = bench.Burn(options);
        EXPECT_EQ(outcome.result, BurnResult::Failed);
        EXPECT_EQ(outcome.pageZeroMayBeWritten, c.pageZero);
        EXPECT_EQ(outcome.link.code, LinkCode::Failed);
        EXPECT_EQ(outcome.link.cause, c.cause);
        EXPECT_EQ(bench.pages, Counts(0, 3));
        EXPECT_EQ(bench.statuses, (std::vector<int>{STATUS_BURN_BUSY, STATUS_BURN_ERROR}));
        TagTable table;
        NvdsImage area = bench.FlashArea();
        EXPECT_EQ(CheckImage(table, area).result, c.checked);
    }
}

}  // namespace
}  // namespace nvds::test
