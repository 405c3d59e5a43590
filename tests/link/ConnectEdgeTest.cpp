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
        const LinkCode connected = ConnectTarget(bench.engine).code;
        auto took = Clock::now() - start;
        finished.set_value();
        watchdog.join();
        EXPECT_EQ(connected, LinkCode::Ok);
        EXPECT_LT(took, std::chrono::seconds(1));
        EXPECT_EQ(bench.line->SyncsAnswered(), 1);
        // Both baud commands reached the chip (plus the ignored one).
        EXPECT_EQ(bench.line->FramesHandled(), 2 + refused);
    }
}

// The reset pulse that begins a connect: the line raised, held for two steps with the purge
// between them, then dropped. Boards need the pulse that long to reset the chip.
TEST(ConnectEdges, ResetPulseIsHeldForTwoSteps) {
    LinkRig bench(LinkKind::InProcess, Instant());
    ASSERT_TRUE(ConnectTarget(bench.engine).Ok());
    std::vector<CInProcessLink::LineCall> calls = bench.inProcess->ResetLineCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[0].on);
    EXPECT_FALSE(calls[1].on);
    EXPECT_GE(calls[1].at - calls[0].at, 2 * DTR_STEP);
}

// A port that opens at the sync rate but refuses the working rate: the refusal does not end
// the connect (it syncs on until its time is up or a cancel), and the cause names it.
class NoWorkingRateLink : public CInProcessLink {
public:
    using CInProcessLink::CInProcessLink;
    bool Open(uint32_t baud, RxQueue& rx) override {
        return baud == SYNC_BAUD_16MHZ && CInProcessLink::Open(baud, rx);
    }
    std::string LastError() const override { return "the adapter refuses the rate"; }
};

TEST(ConnectEdges, WorkingRateThatDoesNotOpenIsNamedInTheCause) {
    auto chip = std::make_shared<CSimLine>(SimOptions{});
    CProgstarDlg engine;
    engine.SetLink(std::make_unique<NoWorkingRateLink>(chip), CRYSTAL_16MHZ,
                   FindBaudRow(115200, CRYSTAL_16MHZ));
    engine.StartReceiveDispatchThread();
    engine.ResetForConnect();
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        engine.Cancel();
    });
    auto start = Clock::now();
    EXPECT_EQ(ConnectTarget(engine).code, LinkCode::Cancelled);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(500));
    canceller.join();
    EXPECT_EQ(chip->SyncsAnswered(), 1);

    std::unique_ptr<SyncStep> step = MakeUartSync();
    engine.ResetForConnect();
    ASSERT_EQ(step->Begin(engine), 1);
    // The first attempt's reset pulse puts the chip back at the sync rate.
    for (int i = 0; i < 500 && chip->SyncsAnswered() < 2; ++i) {
        ASSERT_EQ(step->Attempt(engine), 0);
    }
    ASSERT_EQ(chip->SyncsAnswered(), 2);
    EXPECT_EQ(step->Diagnose(engine),
              "the chip answered at 9600 baud but the port did not open at the working rate of "
              "115200 baud (the adapter refuses the rate): a rate the adapter does not take; try a "
              "lower rate");
}

// What the connect's cause counts as garbled: bytes that are neither a status byte nor part of
// a frame, and whole frames whose CRC is wrong; good frames and status bytes are not counted.
TEST(ConnectEdges, GarbledBytesAreNoiseAndBadFramesOnly) {
    CProgstarDlg engine;
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
