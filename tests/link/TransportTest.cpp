// The engine over every kind of link against a simulated chip: what each transfer gives, how
// faults on the line are retried or named, and a write the link refuses.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <thread>

#include "image/StatusText.h"
#include "link/LinkRig.h"

namespace nvds::test {
namespace {

using Clock = std::chrono::steady_clock;

class Transports : public ::testing::TestWithParam<LinkKind> {};
// Faults only the chip on a serial line can show (a slow boot, a hang-up).
class SerialTransports : public ::testing::TestWithParam<LinkKind> {};

TEST_P(Transports, BurnThenDumpGivesTheImageBackAtSeveralRates) {
    LinkRig rig(GetParam());
    for (auto [crystal, baud] :
         {std::pair{CRYSTAL_16MHZ, 115200u}, {CRYSTAL_32MHZ, 1843200u}, {CRYSTAL_16MHZ, 691200u}}) {
        SCOPED_TRACE(baud);
        SimOptions options;
        options.crystal = crystal;
        rig.Start(options, baud);
        // Data outside the NVDS sector must survive the burn.
        std::vector<uint8_t> flash = rig.Flash();
        flash[FLASH_SECTOR_SIZE] = 0x12;
        rig.SetFlash(flash);
        ASSERT_TRUE(rig.Connect().Ok());
        NvdsImage image = Pattern(static_cast<uint8_t>(baud));
        // A clean burn is 20 frames, a clean dump 17.
        int frames = rig.FramesHandled();
        ASSERT_TRUE(rig.Burn(image).Ok());
        EXPECT_EQ(rig.FramesHandled() - frames, 20);
        NvdsImage back{};
        frames = rig.FramesHandled();
        ASSERT_TRUE(rig.Dump(back).Ok());
        EXPECT_EQ(rig.FramesHandled() - frames, 17);
        EXPECT_EQ(back, image);
        EXPECT_EQ(rig.Flash()[FLASH_SECTOR_SIZE], 0x12);
        EXPECT_EQ(rig.codes, (std::vector<int>{STATUS_BURN_BUSY, STATUS_BURN_OK, STATUS_DUMP_BUSY,
                                               STATUS_DUMP_OK}));
        rig.codes.clear();
    }
}

TEST_P(Transports, ThreeLossesOfOnePageFailAndLeaveTheDestination) {
    SimOptions options = Instant();
    options.dropPage = 5;
    options.dropPageTimes = 3;
    LinkRig rig(GetParam(), options);
    ASSERT_TRUE(rig.Connect().Ok());
    NvdsImage dest = Pattern(9);
    const NvdsImage before = dest;
    EXPECT_EQ(rig.Dump(dest).code, LinkCode::Failed);
    EXPECT_EQ(dest, before);
    EXPECT_EQ(rig.codes, (std::vector<int>{STATUS_DUMP_BUSY, STATUS_DUMP_ERROR}));
    // The bridge pulls an answer that never came and finds no valid frame in it.
    EXPECT_EQ(rig.engine.FailureCause(), GetParam() == LinkKind::UsbBridge
                                             ? "page 6 of 16: answer with a bad CRC"
                                             : "page 6 of 16: no answer in time");
}

// A link whose writes fail: a command fails at once with the link's reason in the cause line
// (a confirmed one where the link confirms; an unconfirmed one then fails the wait that
// follows), and nothing is retried. A transfer stops at its first frame.
TEST_P(Transports, FailedWriteFailsTheCommandAtOnce) {
    LinkRig rig(GetParam(), Instant());
    ASSERT_TRUE(rig.Connect().Ok());
    rig.refuse = true;
    const bool confirms = GetParam() != LinkKind::UsbBridge;
    const uint8_t payload[4] = {0, 0, 0, 0};
    const std::string cause = "the frame could not be sent (write: Input/output error)";
    for (int confirm : {0, 1}) {
        SCOPED_TRACE(confirm);
        rig.writes = 0;
        rig.engine.ClearFailure();
        auto start = Clock::now();
        if (confirm == 0 || !confirms) {
            // An unconfirmed frame counts as sent; the wait for its status ends at once.
            EXPECT_EQ(rig.engine.SendFrame(CMD_SECTOR_ERASE, payload, 0, 4, confirm), 1);
            EXPECT_EQ(rig.engine.WaitStatus(STATUS_DONE, 2000), 0);
        } else {
            EXPECT_EQ(rig.engine.SendFrame(CMD_SET_ADDRESS, payload, 0, 4, 1), 0);
        }
        // No wait for an answer that cannot come (a confirmed command would wait 3 x 100 ms,
        // an erase's status 2 s).
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
        EXPECT_EQ(rig.writes, 1);
        EXPECT_EQ(rig.engine.LastFault(), LinkFault::WriteFailed);
        EXPECT_EQ(rig.engine.FailureCause(), cause);
    }
    if (rig.driver) {
        rig.driver->log.clear();
    }
    NvdsImage dest = Pattern(4);
    EXPECT_EQ(rig.Burn(dest).code, LinkCode::Failed);
    EXPECT_EQ(rig.Dump(dest).code, LinkCode::Failed);
    EXPECT_EQ(dest, Pattern(4));
    EXPECT_NE(rig.engine.FailureCause().find(cause), std::string::npos);
    if (rig.driver) {
        // The bridge pulled no answer to a frame it never got.
        EXPECT_EQ(std::count(rig.driver->log.begin(), rig.driver->log.end(), "bulk 22004B 81"), 0);
    }
}

TEST_P(Transports, TransfersWithoutAConnectSendNothing) {
    LinkRig rig(GetParam(), Instant());
    NvdsImage image = Pattern(2);
    for (const LinkOutcome& refused : {rig.Dump(image), rig.Burn(image)}) {
        EXPECT_EQ(refused.code, LinkCode::NotConnected);
        EXPECT_EQ(refused.message, MSG_TARGET_DISCONNECT);
    }
    EXPECT_EQ(image, Pattern(2));
    EXPECT_EQ(rig.FramesHandled(), 0);
    EXPECT_TRUE(rig.codes.empty());
}

// A chip that never answers a sync: a cancel ends the connect quietly, before its limit.
TEST_P(SerialTransports, CancelEndsAConnectQuietlyBeforeItsLimit) {
    SimOptions options = Instant();
    options.bootDelayMs = 60000;
    LinkRig rig(GetParam(), options);
    int reports = 0;
    rig.engine.ResetForConnect();
    EXPECT_EQ(ConnectTarget(rig.engine,
                            [&](int position) {
                                EXPECT_EQ(position, ++reports % PROGRESS_RANGE);
                                if (reports == 5) {
                                    rig.engine.Cancel();
                                }
                            })
                  .code,
              LinkCode::Cancelled);
    // Cancelled during the fifth report's attempt: no later attempt reported progress, and the
    // 20 s limit's overtime message was never shown.
    EXPECT_EQ(reports, 5);
    EXPECT_EQ(rig.engine.m_bConnected, 0);
}

TEST_P(SerialTransports, HangUpMidBurnIsReportedNotHungOn) {
    SimOptions options = Instant();
    options.hangupAfterPages = 4;
    LinkRig rig(GetParam(), options);
    ASSERT_TRUE(rig.Connect().Ok());
    int before = rig.FramesHandled();
    auto start = Clock::now();
    EXPECT_EQ(rig.Burn(Pattern(1)).code, LinkCode::Failed);
    // Page 4 fails 3 times: 3 program waits of 2.5 s at most, re-addressing fails after 300 ms.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(rig.codes.back(), STATUS_BURN_ERROR);
    EXPECT_TRUE(rig.engine.Transport().LineLost());
    EXPECT_EQ(rig.engine.FailureCause(), "page 4 of 16: the line hung up");
    EXPECT_EQ(rig.FramesHandled() - before, 4 + 4);
}

TEST_P(SerialTransports, LostAnswersAndBadCrcsAreRecovered) {
    SimOptions options = Instant();
    options.dropEvery = 7;
    options.corruptEvery = 5;
    LinkRig rig(GetParam(), options);
    NvdsImage image = Pattern(3);
    rig.SetFlash(std::vector<uint8_t>(image.begin(), image.end()));
    ASSERT_TRUE(rig.Connect().Ok());
    NvdsImage back{};
    ASSERT_TRUE(rig.Dump(back).Ok());
    EXPECT_EQ(back, image);
}

INSTANTIATE_TEST_SUITE_P(Links, Transports,
                         ::testing::Values(LinkKind::Pty, LinkKind::InProcess, LinkKind::UsbBridge),
                         KindName);
INSTANTIATE_TEST_SUITE_P(Links, SerialTransports,
                         ::testing::Values(LinkKind::Pty, LinkKind::InProcess), KindName);

// The factory: SPI is the bridge its back end selects, anything else a serial device; a back
// end it cannot offer gives a bridge without a device that says why.
TEST(LinkFactory, MakesTheLinkOfEachInterface) {
    EXPECT_EQ(LinkFactory().Make("/dev/ttyUSB7")->Name(), "/dev/ttyUSB7");
    EXPECT_EQ(LinkFactory().Make(SPI_ENTRY)->Name(), "USB bridge");
    const std::pair<const char*, const char*> unusable[] = {
        {"sim", "NVDS_USB_BACKEND=sim: this program has no simulated bridge"},
        {"usb", "NVDS_USB_BACKEND=usb is neither \"sim\" nor \"libusb\""}};
    for (auto [backend, why] : unusable) {
        LinkFactory links(LinkEnvironment::From(backend, nullptr, nullptr));
        std::unique_ptr<LinkTransport> bridge = links.Make(SPI_ENTRY);
        EXPECT_FALSE(bridge->Write(reinterpret_cast<const uint8_t*>("q"), 1));
        EXPECT_EQ(bridge->LastError(), why);
    }
    LinkFactory sim(LinkEnvironment::From("sim", nullptr, "/nonexistent/a:/dev/ptmx"),
                    [] { return std::make_unique<NoUsbBridge>(); });
    EXPECT_TRUE(sim.Make(SPI_ENTRY)->LastError().empty());
    std::vector<ComPortEntry> ports = sim.Ports();
    ASSERT_GE(ports.size(), 2u);
    EXPECT_EQ(ports[ports.size() - 2].path, "/dev/ptmx");
    EXPECT_EQ(ports.back().text, SPI_ENTRY);
}

TEST(PtyLink, SlowBootAndRefusedBaudCommandStillConnect) {
    SimOptions options;
    options.bootDelayMs = 2000;
    options.refuseBaud = 3;  // all three sends of the first round go unanswered
    LinkRig rig(LinkKind::Pty, options);
    auto start = Clock::now();
    ASSERT_TRUE(rig.Connect().Ok());
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_GE(rig.pty->SyncsAnswered(), 2);  // synced again after the refusal
}

// Faults on the line during a dump or burn: what the transfer gives, how many frames the chip
// saw, and the cause line the front ends print below the fixed status text.
TEST(InProcessLink, TransferFaultsAreRetriedOrNamed) {
    struct Case {
        const char* name;
        bool burn;
        int dropPage, dropPageTimes, corruptEvery;
        LinkCode result;
        int frames;  // frames the chip handled during the transfer
        std::string cause;
    };
    const Case cases[] = {
        // Each lost answer costs the page one more read and a re-address.
        {"two losses of a page", false, 5, 2, 0, LinkCode::Ok, 17 + 2 * 2, ""},
        {"three losses of a page", false, 5, 3, 0, LinkCode::Failed, 1 + 5 + 3 * 2,
         "page 6 of 16: no answer in time"},
        {"every answer corrupt", false, -1, 0, 1, LinkCode::Failed, 1 + 3 * 2,
         "page 1 of 16: answer with a bad CRC"},
        {"lost program answer", true, 2, 1, 0, LinkCode::Ok, 20 + 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimOptions options = Instant();
        options.dropPage = c.dropPage;
        options.dropPageTimes = c.dropPageTimes;
        options.corruptEvery = c.corruptEvery;
        LinkRig rig(LinkKind::InProcess, options);
        ASSERT_TRUE(rig.Connect().Ok());
        int before = rig.FramesHandled();
        NvdsImage image = Pattern(7);
        const NvdsImage sent = image;
        const LinkOutcome result = c.burn ? rig.Burn(image) : rig.Dump(image);
        EXPECT_EQ(result.code, c.result);
        EXPECT_EQ(rig.FramesHandled() - before, c.frames);
        EXPECT_EQ(result.cause, c.cause);
        EXPECT_EQ(result.message, "");  // the front ends show the status text above the cause
        if (!c.burn) {
            // A failed dump leaves the destination as it was; a good one brings the erased area.
            EXPECT_EQ(image, result ? ErasedImage() : sent);
        } else if (result) {
            EXPECT_EQ(rig.FlashArea(), sent);
        }
    }
}

// A confirmed command goes out at most three times, and no more once the chip answers.
TEST(InProcessLink, ConfirmedCommandIsSentAtMostThreeTimes) {
    for (int refused : {3, 2, 0}) {
        SCOPED_TRACE(refused);
        SimOptions options = Instant();
        options.refuseBaud = refused;
        LinkRig rig(LinkKind::InProcess, options);
        ASSERT_TRUE(rig.engine.ReopenPort(SyncBaud(CRYSTAL_16MHZ)).Ok());
        int r = rig.engine.SendFrame(CMD_SET_BAUDRATE, rig.engine.m_baudPayload.data(), 0, 4, 1);
        EXPECT_EQ(r, refused < 3 ? 1 : 0);
        EXPECT_EQ(rig.FramesHandled(), refused < 3 ? refused + 1 : 3);
    }
}

// Cancel reaches the waits of a transfer: the page that was waiting fails at once, named.
TEST(InProcessLink, CancelStopsATransferAtThePageItWaitsFor) {
    SimOptions options = Instant();
    options.dropPage = 3;
    options.dropPageTimes = 1000;  // page 4 is never answered
    LinkRig rig(LinkKind::InProcess, options);
    ASSERT_TRUE(rig.Connect().Ok());
    NvdsImage image{};
    const LinkOutcome result = DumpImage(rig.engine, true, image, {}, [&](int done) {
        if (done == 3) {
            rig.engine.Cancel();
        }
    });
    EXPECT_EQ(result.code, LinkCode::Failed);
    EXPECT_EQ(result.cause, "page 4 of 16: stopped by the user");
    // Two baud commands, the address and three reads: nothing went out after the cancel.
    EXPECT_EQ(rig.FramesHandled(), 2 + 1 + 3);
}

// Four engines, four chips, four threads: each chip ends up with its own image and each dump
// brings that image back. Nothing is shared between the engines but the trace sink.
TEST(InProcessLink, FourEnginesBurnAndDumpConcurrently) {
    const std::array<std::pair<int, uint32_t>, 4> links{{{CRYSTAL_16MHZ, 115200},
                                                         {CRYSTAL_16MHZ, 921600},
                                                         {CRYSTAL_32MHZ, 1843200},
                                                         {CRYSTAL_32MHZ, 57600}}};
    std::array<std::unique_ptr<LinkRig>, 4> rigs;
    std::array<NvdsImage, 4> dumped{};
    std::array<LinkOutcome, 4> burned{}, dumpedOk{}, connected{};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < rigs.size(); ++i) {
        SimOptions options = Instant();
        options.crystal = links[i].first;
        options.pace = i == 1;  // one chip keeps the line rate and realistic flash times
        if (options.pace) {
            options.eraseMs = 40;
            options.programMs = 2;
        }
        rigs[i] = std::make_unique<LinkRig>(LinkKind::InProcess, options, links[i].second);
    }
    for (size_t i = 0; i < rigs.size(); ++i) {
        threads.emplace_back([&, i] {
            LinkRig& rig = *rigs[i];
            connected[i] = ConnectTarget(rig.engine);
            if (!connected[i]) {
                return;
            }
            burned[i] = BurnImage(rig.engine, true, Pattern(static_cast<uint8_t>(i + 1)), {});
            dumpedOk[i] = DumpImage(rig.engine, true, dumped[i], {});
            rig.engine.ClosePort();
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (size_t i = 0; i < rigs.size(); ++i) {
        SCOPED_TRACE(i);
        NvdsImage mine = Pattern(static_cast<uint8_t>(i + 1));
        EXPECT_TRUE(connected[i].Ok());
        EXPECT_TRUE(burned[i].Ok()) << burned[i].cause;
        EXPECT_TRUE(dumpedOk[i].Ok()) << dumpedOk[i].cause;
        EXPECT_EQ(dumped[i], mine);
        EXPECT_EQ(rigs[i]->FlashArea(), mine);
    }
}

}  // namespace
}  // namespace nvds::test
