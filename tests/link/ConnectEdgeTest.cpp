#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "link/BaudTable.h"
#include "link/ConnectTarget.h"
#include "link/Frame.h"
#include "link/LinkConstants.h"
#include "link/LinkTexts.h"
#include "link/ProgstarDlg.h"
#include "link/RxQueue.h"
#include "sim/InProcessLink.h"

namespace nvds {
namespace {

using Clock = std::chrono::steady_clock;

// An engine on a simulated chip in the same process, set for `crystal` at 115200 baud.
struct Bench {
    explicit Bench(SimOptions options, int crystal = CRYSTAL_16MHZ) {
        options.eraseMs = 0;
        options.programMs = 0;
        chip = std::make_shared<CSimLine>(options);
        auto owned = std::make_unique<CInProcessLink>(chip);
        link = owned.get();
        engine.SetLink(std::move(owned), crystal, FindBaudRow(115200, crystal));
        engine.StartReceiveDispatchThread();
        engine.ResetForConnect();
    }

    CProgstarDlg engine;
    std::shared_ptr<CSimLine> chip;
    CInProcessLink* link = nullptr;  // owned by the engine
};

// The chip answers the first sync byte a second time while the baud command is still on the
// wire (paced at 9600 baud). That late answer must neither confirm the command nor let the
// host change its rate before the command is out; with the first baud command ignored, only
// the chip's answer to the repeated command may confirm it.
TEST(ConnectEdges, LateSecondSyncAnswerIsNotTheBaudConfirmation) {
    for (int refused : {0, 1}) {
        SCOPED_TRACE(refused);
        SimOptions options;
        options.pace = true;
        options.echoSyncs = 1;
        options.echoDelayMs = 3;  // the baud frame takes about 11 ms at 9600 baud
        options.refuseBaud = refused;
        Bench bench(options);
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
        EXPECT_EQ(bench.chip->SyncsAnswered(), 1);
        // Both baud commands reached the chip (plus the ignored one).
        EXPECT_EQ(bench.chip->FramesHandled(), 2 + refused);
    }
}

// The reset pulse that begins a connect: the line raised, held for two steps with the purge
// between them, then dropped. Boards need the pulse that long to reset the chip.
TEST(ConnectEdges, ResetPulseIsHeldForTwoSteps) {
    Bench bench(SimOptions{});
    ASSERT_TRUE(ConnectTarget(bench.engine).Ok());
    std::vector<CInProcessLink::LineCall> calls = bench.link->ResetLineCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[0].on);
    EXPECT_FALSE(calls[1].on);
    EXPECT_GE(calls[1].at - calls[0].at, 2 * DTR_STEP);
}

// A port that opens at the sync rate but refuses the working rate: the connect ends at once
// with the open failure and the port's reason, instead of syncing on a closed port for 20 s.
class NoWorkingRateLink : public CInProcessLink {
public:
    using CInProcessLink::CInProcessLink;
    bool Open(uint32_t baud, RxQueue& rx) override {
        return baud == SYNC_BAUD_16MHZ && CInProcessLink::Open(baud, rx);
    }
    std::string LastError() const override { return "the adapter refuses the rate"; }
};

TEST(ConnectEdges, WorkingRateThatDoesNotOpenEndsTheConnect) {
    auto chip = std::make_shared<CSimLine>(SimOptions{});
    CProgstarDlg engine;
    engine.SetLink(std::make_unique<NoWorkingRateLink>(chip), CRYSTAL_16MHZ,
                   FindBaudRow(115200, CRYSTAL_16MHZ));
    engine.StartReceiveDispatchThread();
    engine.ResetForConnect();
    auto start = Clock::now();
    const LinkOutcome connected = ConnectTarget(engine);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(connected.code, LinkCode::OpenFailed);
    EXPECT_EQ(connected.message, "Open COM port failed!");
    EXPECT_EQ(connected.cause, "the adapter refuses the rate");
    EXPECT_EQ(chip->SyncsAnswered(), 1);
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

// A link whose writes fail: a command fails at once, confirmed or not, with the link's reason
// in the cause line; nothing is retried.
class RefusingLink : public LinkTransport {
public:
    bool Open(uint32_t /*baud*/, RxQueue& /*rx*/) override { return true; }
    void Close() override {}
    bool IsOpen() const override { return true; }
    bool Write(const uint8_t* /*data*/, size_t /*size*/) override {
        ++writes;
        return false;
    }
    std::string LastError() const override { return "write: Input/output error"; }
    std::string Name() const override { return "refusing link"; }
    const LinkTraits& Traits() const override {
        static constexpr LinkTraits UART{};
        return UART;
    }
    std::unique_ptr<SyncStep> MakeSyncStep() override { return MakeUartSync(); }

    int writes = 0;
};

TEST(ConnectEdges, FailedWriteFailsTheCommandAtOnce) {
    CProgstarDlg engine;
    auto owned = std::make_unique<RefusingLink>();
    RefusingLink& link = *owned;
    engine.SetTransport(std::move(owned));
    engine.StartReceiveDispatchThread();
    engine.ResetForConnect();
    const uint8_t payload[4] = {0, 0, 0, 0};
    for (int confirm : {0, 1}) {
        SCOPED_TRACE(confirm);
        link.writes = 0;
        engine.ClearFailure();
        auto start = Clock::now();
        if (confirm == 0) {
            // An unconfirmed frame counts as sent; the wait for its status ends at once.
            EXPECT_EQ(engine.SendFrame(CMD_SECTOR_ERASE, payload, 0, 4, 0), 1);
            EXPECT_EQ(engine.WaitStatus(STATUS_DONE, 2000), 0);
        } else {
            EXPECT_EQ(engine.SendFrame(CMD_SET_ADDRESS, payload, 0, 4, 1), 0);
        }
        // No wait for an answer that cannot come (a confirmed command would wait 3 x 100 ms,
        // an erase's status 2 s).
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
        EXPECT_EQ(link.writes, 1);
        EXPECT_EQ(engine.LastFault(), LinkFault::WriteFailed);
        EXPECT_EQ(engine.FailureCause(), "the frame could not be sent (write: Input/output error)");
    }
}

}  // namespace
}  // namespace nvds
