#include <array>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "image/StatusText.h"
#include "link/AreaTransfer.h"
#include "link/BaudTable.h"
#include "link/ConnectTarget.h"
#include "link/ProgstarDlg.h"
#include "sim/InProcessLink.h"

namespace nvds {
namespace {

NvdsImage Pattern(uint8_t seed) {
    NvdsImage image;
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 11 + seed + (i >> 8));
    }
    return image;
}

SimOptions Instant() {
    SimOptions options;
    options.eraseMs = 0;
    options.programMs = 0;
    return options;
}

// One engine on a simulated chip in the same process.
struct Bench {
    explicit Bench(SimOptions options, uint32_t baud = 115200) {
        chip = std::make_shared<CSimLine>(options);
        engine.SetLink(std::make_unique<CInProcessLink>(chip), options.crystal,
                       FindBaudRow(baud, options.crystal));
        engine.StartReceiveDispatchThread();
        engine.ResetForConnect();
    }
    NvdsImage FlashArea() {
        std::vector<uint8_t> flash = chip->Flash();
        NvdsImage area;
        std::copy_n(flash.begin(), area.size(), area.begin());
        return area;
    }

    CProgstarDlg engine;
    std::shared_ptr<CSimLine> chip;
};

// Faults on the line during a dump or burn: what the transfer gives, how many frames the chip
// saw, and the cause line the front ends print below the fixed status text.
TEST(InProcessLink, TransferFaultsAreRetriedOrNamed) {
    struct Case {
        const char* name;
        bool burn;
        int dropPage, dropPageTimes, corruptEvery, hangupAfterPages;
        LinkCode result;
        int frames;  // frames the chip handled during the transfer
        std::string cause;
    };
    const Case cases[] = {
        // Each lost answer costs the page one more read and a re-address.
        {"two losses of a page", false, 5, 2, 0, -1, LinkCode::Ok, 17 + 2 * 2, ""},
        {"three losses of a page", false, 5, 3, 0, -1, LinkCode::Failed, 1 + 5 + 3 * 2,
         "page 6 of 16: no answer in time"},
        {"every answer corrupt", false, -1, 0, 1, -1, LinkCode::Failed, 1 + 3 * 2,
         "page 1 of 16: answer with a bad CRC"},
        {"lost program answer", true, 2, 1, 0, -1, LinkCode::Ok, 20 + 2, ""},
        {"hang-up on the fourth page", true, -1, 0, 0, 4, LinkCode::Failed, 4 + 4,
         "page 4 of 16: the line hung up"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimOptions options = Instant();
        options.dropPage = c.dropPage;
        options.dropPageTimes = c.dropPageTimes;
        options.corruptEvery = c.corruptEvery;
        options.hangupAfterPages = c.hangupAfterPages;
        Bench bench(options);
        ASSERT_TRUE(ConnectTarget(bench.engine).Ok());
        int before = bench.chip->FramesHandled();
        NvdsImage image = Pattern(7);
        const NvdsImage sent = image;
        LinkOutcome result = c.burn ? BurnImage(bench.engine, true, image, {})
                                    : DumpImage(bench.engine, true, image, {});
        EXPECT_EQ(result.code, c.result);
        EXPECT_EQ(bench.chip->FramesHandled() - before, c.frames);
        EXPECT_EQ(result.cause, c.cause);
        EXPECT_EQ(result.message, "");  // the front ends show the status text above the cause
        if (!c.burn) {
            // A failed dump leaves the destination as it was; a good one brings the erased area.
            EXPECT_EQ(image, result ? ErasedImage() : sent);
        } else if (result) {
            EXPECT_EQ(bench.FlashArea(), sent);
        }
    }
}

// A confirmed command goes out at most three times, and no more once the chip answers.
TEST(InProcessLink, ConfirmedCommandIsSentAtMostThreeTimes) {
    for (int refused : {3, 2, 0}) {
        SCOPED_TRACE(refused);
        SimOptions options = Instant();
        options.refuseBaud = refused;
        Bench bench(options);
        ASSERT_TRUE(bench.engine.ReopenPort(SyncBaud(CRYSTAL_16MHZ)).Ok());
        int r =
            bench.engine.SendFrame(CMD_SET_BAUDRATE, bench.engine.m_baudPayload.data(), 0, 4, 1);
        EXPECT_EQ(r, refused < 3 ? 1 : 0);
        EXPECT_EQ(bench.chip->FramesHandled(), refused < 3 ? refused + 1 : 3);
    }
}

// Cancel reaches the waits of a transfer: the page that was waiting fails at once, named.
TEST(InProcessLink, CancelStopsATransferAtThePageItWaitsFor) {
    SimOptions options = Instant();
    options.dropPage = 3;
    options.dropPageTimes = 1000;  // page 4 is never answered
    Bench bench(options);
    ASSERT_TRUE(ConnectTarget(bench.engine).Ok());
    NvdsImage image{};
    LinkOutcome result = DumpImage(bench.engine, true, image, {}, [&](int done) {
        if (done == 3) {
            bench.engine.Cancel();
        }
    });
    EXPECT_EQ(result.code, LinkCode::Failed);
    EXPECT_EQ(result.cause, "page 4 of 16: stopped by the user");
    // Two baud commands, the address and three reads: nothing went out after the cancel.
    EXPECT_EQ(bench.chip->FramesHandled(), 2 + 1 + 3);
}

// A chip that never answers a sync: a cancel ends the connect quietly, before the limit.
TEST(InProcessLink, CancelEndsAConnectBeforeItsLimit) {
    SimOptions options = Instant();
    options.bootDelayMs = 60000;
    Bench bench(options);
    int reports = 0;
    LinkOutcome connected = ConnectTarget(bench.engine, [&](int position) {
        EXPECT_EQ(position, ++reports % PROGRESS_RANGE);
        if (reports == 5) {
            bench.engine.Cancel();
        }
    });
    EXPECT_EQ(connected.code, LinkCode::Cancelled);
    EXPECT_EQ(connected.message, "");
    // Cancelled during the fifth report's attempt: no later attempt reported progress.
    EXPECT_EQ(reports, 5);
    EXPECT_EQ(bench.engine.m_bConnected, 0);
}

// Four engines, four chips, four threads: each chip ends up with its own image and each dump
// brings that image back. Nothing is shared between the engines but the trace sink.
TEST(InProcessLink, FourEnginesBurnAndDumpConcurrently) {
    const std::array<std::pair<int, uint32_t>, 4> links{{{CRYSTAL_16MHZ, 115200},
                                                         {CRYSTAL_16MHZ, 921600},
                                                         {CRYSTAL_32MHZ, 1843200},
                                                         {CRYSTAL_32MHZ, 57600}}};
    std::array<std::unique_ptr<Bench>, 4> benches;
    std::array<NvdsImage, 4> dumped{};
    std::array<LinkCode, 4> connected{}, burned{}, dumpedCode{};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < benches.size(); ++i) {
        SimOptions options = Instant();
        options.crystal = links[i].first;
        options.pace = i == 1;  // one chip keeps the line rate and realistic flash times
        if (options.pace) {
            options.eraseMs = 40;
            options.programMs = 2;
        }
        benches[i] = std::make_unique<Bench>(options, links[i].second);
    }
    for (size_t i = 0; i < benches.size(); ++i) {
        threads.emplace_back([&, i] {
            Bench& b = *benches[i];
            connected[i] = ConnectTarget(b.engine).code;
            if (connected[i] != LinkCode::Ok) {
                return;
            }
            burned[i] = BurnImage(b.engine, true, Pattern(static_cast<uint8_t>(i + 1)), {}).code;
            dumpedCode[i] = DumpImage(b.engine, true, dumped[i], {}).code;
            b.engine.ClosePort();
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (size_t i = 0; i < benches.size(); ++i) {
        SCOPED_TRACE(i);
        NvdsImage mine = Pattern(static_cast<uint8_t>(i + 1));
        EXPECT_EQ(connected[i], LinkCode::Ok);
        EXPECT_EQ(burned[i], LinkCode::Ok);
        EXPECT_EQ(dumpedCode[i], LinkCode::Ok);
        EXPECT_EQ(dumped[i], mine);
        EXPECT_EQ(benches[i]->FlashArea(), mine);
    }
}

}  // namespace
}  // namespace nvds
