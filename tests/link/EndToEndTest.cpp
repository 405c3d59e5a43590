#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "image/StatusText.h"
#include "link/AreaTransfer.h"
#include "link/BaudTable.h"
#include "link/ConnectTarget.h"
#include "link/ProgstarDlg.h"
#include "sim/SimLink.h"

namespace nvds {
namespace {

using Clock = std::chrono::steady_clock;

NvdsImage Pattern(uint8_t seed) {
    NvdsImage image;
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
    }
    return image;
}

// The host engine against a simulated chip on a pty.
class EndToEnd : public ::testing::Test {
protected:
    void Start(SimOptions options, uint32_t baud = 115200) {
        sim = std::make_unique<CSimLink>(options);
        std::string error;
        ASSERT_TRUE(sim->Start(&error)) << error;
        int row = FindBaudRow(baud, options.crystal);
        ASSERT_GE(row, 0);
        engine.SetSerialLink(sim->SlavePath(), options.crystal, row);
        engine.StartReceiveDispatchThread();
    }
    LinkCode Connect() {
        engine.ResetForConnect();
        return ConnectTarget(engine).code;
    }
    LinkOutcome Dump(NvdsImage& image) {
        return DumpImage(engine, engine.m_bConnected != 0, image, Recorder());
    }
    LinkOutcome Burn(const NvdsImage& image) {
        return BurnImage(engine, engine.m_bConnected != 0, image, Recorder());
    }
    TransferStatus Recorder() {
        return [this](int code) { codes.push_back(code); };
    }
    void TearDown() override {
        engine.ClosePort();
        if (sim) {
            sim->Stop();
        }
    }

    CProgstarDlg engine;
    std::unique_ptr<CSimLink> sim;
    std::vector<int> codes;
};

TEST_F(EndToEnd, BurnThenDumpGivesTheImageBackAtSeveralRates) {
    for (auto [crystal, baud] :
         {std::pair{CRYSTAL_16MHZ, 115200u}, {CRYSTAL_32MHZ, 1843200u}, {CRYSTAL_16MHZ, 691200u}}) {
        SCOPED_TRACE(baud);
        SimOptions options;
        options.crystal = crystal;
        engine.ClosePort();
        Start(options, baud);
        // Data outside the NVDS sector must survive the burn.
        std::vector<uint8_t> flash = sim->Flash();
        flash[FLASH_SECTOR_SIZE] = 0x12;
        sim->SetFlash(flash);
        ASSERT_EQ(Connect(), LinkCode::Ok);
        NvdsImage image = Pattern(static_cast<uint8_t>(baud));
        // A clean burn is 20 frames, a clean dump 17.
        int frames = sim->FramesHandled();
        ASSERT_TRUE(Burn(image).Ok());
        EXPECT_EQ(sim->FramesHandled() - frames, 20);
        NvdsImage back{};
        frames = sim->FramesHandled();
        ASSERT_TRUE(Dump(back).Ok());
        EXPECT_EQ(sim->FramesHandled() - frames, 17);
        EXPECT_EQ(back, image);
        EXPECT_EQ(sim->Flash()[FLASH_SECTOR_SIZE], 0x12);
        EXPECT_EQ(codes, (std::vector<int>{STATUS_BURN_BUSY, STATUS_BURN_OK, STATUS_DUMP_BUSY,
                                           STATUS_DUMP_OK}));
        codes.clear();
        sim->Stop();
    }
}

TEST_F(EndToEnd, LostAnswersAndBadCrcsAreRecovered) {
    SimOptions options;
    options.dropEvery = 7;
    options.corruptEvery = 5;
    Start(options);
    NvdsImage image = Pattern(3);
    std::vector<uint8_t> flash(image.begin(), image.end());
    sim->SetFlash(flash);
    ASSERT_EQ(Connect(), LinkCode::Ok);
    NvdsImage back{};
    ASSERT_TRUE(Dump(back).Ok());
    EXPECT_EQ(back, image);
}

TEST_F(EndToEnd, ThreeLossesOfOnePageFailAndLeaveTheDestination) {
    SimOptions options;
    options.dropPage = 5;
    options.dropPageTimes = 3;
    Start(options);
    ASSERT_EQ(Connect(), LinkCode::Ok);
    NvdsImage dest = Pattern(9);
    const NvdsImage before = dest;
    EXPECT_EQ(Dump(dest).code, LinkCode::Failed);
    EXPECT_EQ(dest, before);
    EXPECT_EQ(codes, (std::vector<int>{STATUS_DUMP_BUSY, STATUS_DUMP_ERROR}));
    // Two losses are within the tries.
    codes.clear();
    sim->Stop();
    options.dropPageTimes = 2;
    Start(options);
    ASSERT_EQ(Connect(), LinkCode::Ok);
    EXPECT_TRUE(Dump(dest).Ok());
    EXPECT_EQ(dest, ErasedImage());
}

TEST_F(EndToEnd, SlowBootAndRefusedBaudCommandStillConnect) {
    SimOptions options;
    options.bootDelayMs = 2000;
    options.refuseBaud = 3;  // all three sends of the first round go unanswered
    Start(options);
    auto start = Clock::now();
    ASSERT_EQ(Connect(), LinkCode::Ok);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_GE(sim->SyncsAnswered(), 2);  // synced again after the refusal
}

TEST_F(EndToEnd, CancelStopsTheConnectQuietlyAndQuickly) {
    SimOptions options;
    options.bootDelayMs = 60000;
    Start(options);
    std::atomic<bool> cancelled{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancelled = true;
        engine.Cancel();
    });
    EXPECT_EQ(Connect(), LinkCode::Cancelled);
    // The connect ended because of the cancel, not its 20 s limit (that would show the
    // overtime message).
    EXPECT_TRUE(cancelled);
    canceller.join();
    EXPECT_EQ(engine.m_bConnected, 0);
}

TEST_F(EndToEnd, HangUpMidBurnIsReportedNotHungOn) {
    SimOptions options;
    options.hangupAfterPages = 4;
    Start(options);
    ASSERT_EQ(Connect(), LinkCode::Ok);
    auto start = Clock::now();
    EXPECT_EQ(Burn(Pattern(1)).code, LinkCode::Failed);
    // Page 4 fails 3 times: 3 program waits of 2.5 s at most, re-addressing fails after 300 ms.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(codes.back(), STATUS_BURN_ERROR);
    EXPECT_TRUE(engine.Transport().LineLost());
}

TEST_F(EndToEnd, TransfersWithoutALinkSendNothing) {
    Start(SimOptions{});
    NvdsImage image = Pattern(2);
    for (const LinkOutcome& refused : {Dump(image), Burn(image)}) {
        EXPECT_EQ(refused.code, LinkCode::NotConnected);
        EXPECT_EQ(refused.message, MSG_TARGET_DISCONNECT);
    }
    EXPECT_EQ(image, Pattern(2));
    EXPECT_EQ(sim->FramesHandled(), 0);
    EXPECT_TRUE(codes.empty());
}

}  // namespace
}  // namespace nvds
