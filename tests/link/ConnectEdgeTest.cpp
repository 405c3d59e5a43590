#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "link/ConnectTarget.h"
#include "link/Frame.h"
#include "link/LinkConstants.h"
#include "link/LinkRig.h"
#include "link/LinkTexts.h"
#include "link/ProgstarDlg.h"
#include "link/RxQueue.h"
#include "platform/Prompter.h"
#include "sim/InProcessLink.h"

namespace nvds::test {
namespace {

using Clock = std::chrono::steady_clock;

// The chip answers the first sync byte a second time while the baud command is still on the
// wire (paced at 9600 baud). That late answer must neither confirm the command nor let the
// host change its rate before the command is out; with the first baud command ignored, only
// the chip's answer to the repeated command may confirm it.
TEST(ConnectEdges, LateSecondSyncAnswerIsNotTheBaudConfirmation) {
    for (int refused : {0, 1}) {
        SCOPED_TRACE(refused);
        SimOptions options = Instant();
        options.pace = true;
        options.echoSyncs = 1;
        options.echoDelayMs = 3;  // the baud frame takes about 11 ms at 9600 baud
        options.refuseBaud = refused;
        LinkRig bench(LinkKind::InProcess, options);
        // A connect that went astray would sync at the wrong rate until its 20 s limit.
        std::promise<void> finished;
        std::thread watchdog([&, done = finished.get_future()] {
            if (done.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
                bench.engine.Cancel();
            }
        });
        auto start = Clock::now();
        int connected = ConnectTarget(bench.engine, bench.prompter);
        auto took = Clock::now() - start;
        finished.set_value();
        watchdog.join();
        EXPECT_EQ(connected, 1);
        EXPECT_LT(took, std::chrono::seconds(1));
        EXPECT_EQ(bench.line->SyncsAnswered(), 1);
        // Both baud commands reached the chip (plus the ignored one).
        EXPECT_EQ(bench.line->FramesHandled(), 2 + refused);
        EXPECT_TRUE(bench.prompter.shown.empty());
    }
}

// The reset pulse that begins a connect: the line raised, held for two steps with the purge
// between them, then dropped. Boards need the pulse that long to reset the chip.
TEST(ConnectEdges, ResetPulseIsHeldForTwoSteps) {
    LinkRig bench(LinkKind::InProcess, Instant());
    ASSERT_EQ(ConnectTarget(bench.engine, bench.prompter), 1);
    std::vector<CInProcessLink::LineCall> calls = bench.inProcess->ResetLineCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[0].on);
    EXPECT_FALSE(calls[1].on);
    EXPECT_GE(calls[1].at - calls[0].at, 2 * DTR_STEP);
}

// What the connect's cause counts as garbled: bytes that are neither a status byte nor part of
// a frame, and whole frames whose CRC is wrong; good frames and status bytes are not counted.
TEST(ConnectEdges, GarbledBytesAreNoiseAndBadFramesOnly) {
    RecordingPrompter prompter;
    CProgstarDlg engine(prompter);
    const uint8_t payload[4] = {1, 2, 3, 4};
    std::vector<uint8_t> good = BuildFrame(CMD_READ, payload, 4);
    std::vector<uint8_t> bad = good;
    bad.back() ^= 0x01;
    const uint8_t noise[] = {STATUS_ACK, 0x55, 0x00, 0xFE, STATUS_DONE};
    engine.OnRxBytes(noise, sizeof noise);
    engine.OnRxBytes(good.data(), good.size());
    EXPECT_EQ(engine.GarbledBytes(), 3);
    engine.OnRxBytes(bad.data(), bad.size());
    EXPECT_EQ(engine.GarbledBytes(), 3 + static_cast<int>(bad.size()));
    engine.ResetForConnect();
    EXPECT_EQ(engine.GarbledBytes(), 0);
}

}  // namespace
}  // namespace nvds::test
