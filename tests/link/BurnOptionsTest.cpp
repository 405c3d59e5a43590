#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "catalogue/NvdsConfig.h"
#include "image/CheckImage.h"
#include "image/StatusText.h"
#include "link/BaudTable.h"
#include "link/BurnOptions.h"
#include "link/ConnectTarget.h"
#include "link/ProgstarDlg.h"
#include "platform/Prompter.h"
#include "sim/InProcessLink.h"

namespace nvds {
namespace {

// An image with the magic and a byte pattern that differs on every page.
NvdsImage Golden() {
    NvdsImage image;
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    }
    std::memcpy(image.data(), "NVDS", 4);
    return image;
}

// A connected engine on a simulated chip in the same process, and what the burn reported.
struct Bench {
    explicit Bench(SimOptions options) {
        options.eraseMs = 0;
        options.programMs = 0;
        chip = std::make_shared<CSimLine>(options);
        engine.SetLink(std::make_unique<CInProcessLink>(chip), options.crystal,
                       FindBaudRow(115200, options.crystal));
        engine.StartReceiveDispatchThread();
        engine.ResetForConnect();
        connected = ConnectTarget(engine, prompter) == 1;
        events.status = [this](int code) { statuses.push_back(code); };
        events.pages = [this](int done) { pages.push_back(done); };
        events.verified = [this] { said.push_back("verified"); };
        events.skipped = [this] { said.push_back("skipped"); };
    }
    BurnOutcome Burn(const BurnOptions& options) {
        framesBefore = chip->FramesHandled();
        return BurnImageWithOptions(engine, connected, Golden(), prompter, options, events);
    }
    NvdsImage FlashArea() {
        std::vector<uint8_t> flash = chip->Flash();
        NvdsImage area;
        std::copy_n(flash.begin(), area.size(), area.begin());
        return area;
    }
    int Frames() const { return chip->FramesHandled() - framesBefore; }

    RecordingPrompter prompter;
    CProgstarDlg engine{prompter};
    std::shared_ptr<CSimLine> chip;
    bool connected = false;
    BurnEvents events;
    std::vector<int> statuses;
    std::vector<int> pages;
    std::vector<std::string> said;
    int framesBefore = 0;
};

std::vector<uint32_t> Addresses(std::initializer_list<uint32_t> pages) {
    std::vector<uint32_t> addresses;
    for (uint32_t p : pages) {
        addresses.push_back(p * NVDS_PAGE_SIZE);
    }
    return addresses;
}

const std::vector<uint32_t> PLAIN =
    Addresses({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});
const std::vector<uint32_t> SAFE =
    Addresses({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0});

std::vector<int> Count(int from, int to) {
    std::vector<int> counts;
    for (int i = from; i <= to; ++i) {
        counts.push_back(i);
    }
    return counts;
}

std::vector<int> TwoPasses() {
    std::vector<int> counts = Count(1, 16);
    std::vector<int> again = Count(1, 16);
    counts.insert(counts.end(), again.begin(), again.end());
    return counts;
}

// What each option sends, in which order the chip sees the pages programmed, and how the
// read-back judges the result; a chip that already holds the image is left alone.
TEST(BurnWithOptions, OrderVerifyAndSkip) {
    struct Case {
        const char* name;
        BurnOptions options;
        int weakPage;
        bool preload;  // the chip already holds the image
        BurnResult result;
        int firstDifference;
        int frames;  // frames the chip handled during the burn
        int erases;
        std::vector<uint32_t> programs;
        std::vector<int> pages;
        std::vector<std::string> said;
        int lastStatus;
    };
    const Case cases[] = {
        // Address, erase, memory type, address, 16 pages: the plain burn, unchanged.
        {"no options",
         {},
         -1,
         false,
         BurnResult::Burned,
         -1,
         20,
         1,
         PLAIN,
         Count(1, 16),
         {},
         STATUS_BURN_OK},
        // Page 0 costs one more address frame.
        {"safe order",
         {true, false, false},
         -1,
         false,
         BurnResult::Burned,
         -1,
         21,
         1,
         SAFE,
         Count(1, 16),
         {},
         STATUS_BURN_OK},
        {"verify",
         {false, true, false},
         -1,
         false,
         BurnResult::Burned,
         -1,
         20 + 17,
         1,
         PLAIN,
         TwoPasses(),
         {"verified"},
         STATUS_BURN_OK},
        {"verify, weak page 5",
         {false, true, false},
         5,
         false,
         BurnResult::VerifyFailed,
         0x580,
         20 + 17,
         1,
         PLAIN,
         TwoPasses(),
         {},
         STATUS_BURN_ERROR},
        {"safe order, verify, weak page 0",
         {true, true, false},
         0,
         false,
         BurnResult::VerifyFailed,
         0x080,
         21 + 17,
         1,
         SAFE,
         TwoPasses(),
         {},
         STATUS_BURN_ERROR},
        {"skip identical, chip holds it",
         {false, false, true},
         -1,
         true,
         BurnResult::Identical,
         -1,
         17,
         0,
         {},
         Count(1, 16),
         {"skipped"},
         STATUS_BURN_OK},
        {"skip identical, chip differs",
         {false, false, true},
         -1,
         false,
         BurnResult::Burned,
         -1,
         17 + 20,
         1,
         PLAIN,
         TwoPasses(),
         {},
         STATUS_BURN_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimOptions sim;
        sim.weakPage = c.weakPage;
        Bench bench(sim);
        ASSERT_TRUE(bench.connected);
        if (c.preload) {
            NvdsImage golden = Golden();
            bench.chip->SetFlash(std::vector<uint8_t>(golden.begin(), golden.end()));
        }
        BurnOutcome outcome = bench.Burn(c.options);
        EXPECT_EQ(outcome.result, c.result);
        EXPECT_EQ(outcome.firstDifference, c.firstDifference);
        EXPECT_TRUE(outcome.pageZeroMayBeWritten);
        EXPECT_EQ(bench.Frames(), c.frames);
        EXPECT_EQ(bench.chip->ErasesHandled(), c.erases);
        EXPECT_EQ(bench.chip->ProgramAddresses(), c.programs);
        EXPECT_EQ(bench.pages, c.pages);
        EXPECT_EQ(bench.said, c.said);
        EXPECT_EQ(bench.statuses, (std::vector<int>{STATUS_BURN_BUSY, c.lastStatus}));
        EXPECT_EQ(bench.engine.FailureCause(), "");
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
        EXPECT_EQ(bench.engine.FailureCause(), c.cause);
        EXPECT_EQ(bench.pages, Count(1, 3));
        EXPECT_EQ(bench.statuses, (std::vector<int>{STATUS_BURN_BUSY, STATUS_BURN_ERROR}));
        RecordingPrompter prompter;
        CNvdsConfig config(prompter);
        TagTable table;
        NvdsImage area = bench.FlashArea();
        EXPECT_EQ(CheckImage(config, table, area, prompter), c.checked);
    }
}

}  // namespace
}  // namespace nvds
