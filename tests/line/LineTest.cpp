// The line's stations on in-process simulated chips that the listener takes out and puts in,
// as an operator does, after each burn.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "catalogue/NvdsConfig.h"
#include "image/BuildImage.h"
#include "image/CheckImage.h"
#include "line/FakeRecord.h"
#include "line/OutcomeJournal.h"
#include "line/ProductionLine.h"
#include "line/ProductionRecord.h"
#include "line/RecordScratch.h"
#include "link/RxQueue.h"
#include "platform/AtomicFile.h"
#include "platform/ExitCodes.h"
#include "platform/Prompter.h"
#include "platform/Sha256.h"
#include "sim/InProcessLink.h"

namespace nvds {
namespace {

using line::StationEvent;

struct Seen {
    StationEvent::Kind kind;
    std::string port;
    uint64_t address;
    std::string message;
    line::StationStatus status;  // as the listener got it with the event
    StationEvent event;
};

// The link to a simulated chip through an adapter that can be unplugged: while it is, the
// port does not open, nothing is written and the line counts as lost.
class PluggableLink : public LinkTransport {
public:
    PluggableLink(std::shared_ptr<CSimLine> chip, std::shared_ptr<std::atomic<bool>> unplugged)
        : m_link(std::move(chip)), m_unplugged(std::move(unplugged)) {}
    bool Open(uint32_t baud, RxQueue& rx) override {
        return !*m_unplugged && m_link.Open(baud, rx);
    }
    void Close() override { m_link.Close(); }
    bool IsOpen() const override { return m_link.IsOpen(); }
    bool Write(const uint8_t* data, size_t size) override {
        return !*m_unplugged && m_link.Write(data, size);
    }
    void SetResetLine(bool on) override { m_link.SetResetLine(on); }
    void Purge() override { m_link.Purge(); }
    std::string LastError() const override {
        return *m_unplugged ? "No such device" : m_link.LastError();
    }
    bool LineLost() const override { return *m_unplugged; }
    std::string Name() const override { return m_link.Name(); }

private:
    CInProcessLink m_link;
    std::shared_ptr<std::atomic<bool>> m_unplugged;
};

// Every station's chip behind its adapter.
class PluggableLinks : public LinkFactory {
public:
    PluggableLinks(const std::map<std::string, std::shared_ptr<CSimLine>>& chips,
                   const std::map<std::string, std::shared_ptr<std::atomic<bool>>>& unplugged)
        : m_chips(chips), m_unplugged(unplugged) {}
    std::unique_ptr<LinkTransport> Make(const std::string& port) const override {
        return std::make_unique<PluggableLink>(m_chips.at(port), m_unplugged.at(port));
    }

private:
    const std::map<std::string, std::shared_ptr<CSimLine>>& m_chips;
    const std::map<std::string, std::shared_ptr<std::atomic<bool>>>& m_unplugged;
};

// A catalogue, a golden image built from its defaults, a record in memory and one simulated
// chip per port. The listener keeps every event; a chip whose burn ended is saved and taken
// out, and a fresh one is put in once the station looks for the next chip.
class LineBench {
public:
    explicit LineBench(std::vector<std::string> ports, uint64_t first = 0xC01122000001,
                       uint64_t last = 0xFFFFFFFFFFFF, SimOptions chip = {})
        : m_config(m_prompter, "zbkey_db.xml", "userkey_db.xml"), m_record(first, last) {
        EXPECT_EQ(m_config.LoadTagDb("zbkey_db.xml", m_table), 1);
        EXPECT_EQ(m_config.LoadTagDb("userkey_db.xml", m_table), 1);
        TagTable defaults = m_table;
        NvdsImage image = ErasedImage();
        std::string invalid;
        EXPECT_EQ(BuildImage(defaults, image, invalid), 1) << invalid;
        std::string golden = m_scratch.Path("golden.nvds");
        EXPECT_TRUE(WriteFileAtomically(golden, image.data(), image.size()));
        std::string error;
        EXPECT_TRUE(m_golden.Load(golden, m_table, error)) << error;
        chip.eraseMs = 0;
        chip.programMs = 0;
        for (const std::string& port : ports) {
            m_chips[port] = std::make_shared<CSimLine>(chip);
            m_unplugged[port] = std::make_shared<std::atomic<bool>>(false);
            m_settings.stations.push_back({"station-" + port, port});
        }
        m_settings.host = "bench";
        m_settings.lot = "lot 7";
        m_settings.gonePeriod = std::chrono::milliseconds(5);
        m_settings.portPeriod = std::chrono::milliseconds(10);
        m_settings.recordRetry = std::chrono::milliseconds(10);
        m_settings.journalPath = m_scratch.Path("state/journal");
    }

    line::LineSettings& Settings() { return m_settings; }
    CSimLine& Chip(const std::string& port) { return *m_chips.at(port); }
    test::FakeRecord& Record() { return m_record; }
    const line::GoldenImage& Golden() const { return m_golden; }
    std::atomic<bool>& Unplugged(const std::string& port) { return *m_unplugged.at(port); }
    std::string JournalPath() const { return m_settings.journalPath; }

    /// Puts the golden image with `address` on the chip, as a chip burned earlier holds it.
    void Program(const std::string& port, uint64_t address) {
        NvdsImage image;
        std::string error;
        ASSERT_TRUE(m_golden.Build(address, image, error)) << error;
        Chip(port).SetFlash(std::vector<uint8_t>(image.begin(), image.end()));
    }

    /// Runs the line; `during` is called from the listener with each event first.
    bool Run(std::function<void(const StationEvent&, line::ProductionLine&)> during = {}) {
        line::ProductionLine productionLine(
            m_settings, m_record, m_golden,
            [&](const StationEvent& event, const line::StationStatus& status) {
                m_seen.push_back(
                    {event.kind, event.port, event.address, event.message, status, event});
                if (during) {
                    during(event, productionLine);
                }
                CSimLine& chip = *m_chips.at(event.port);
                const bool ended =
                    ((event.kind == StationEvent::Done || event.kind == StationEvent::Error) &&
                     event.hasAddress) ||
                    event.kind == StationEvent::Skipped;
                if (ended && !chip.Absent()) {
                    m_burned[event.port].push_back(chip.Flash());
                    if (m_takeOutAfter.count() == 0) {
                        chip.TakeOut();
                    } else {
                        // The operator is slow: the station must keep seeing this chip.
                        m_operators.emplace_back([&chip, after = m_takeOutAfter] {
                            std::this_thread::sleep_for(after);
                            chip.TakeOut();
                        });
                    }
                }
                if (event.kind == StationEvent::Connecting && chip.Absent() && m_bSwap) {
                    chip.PutIn();
                    ++m_putIn[event.port];
                    if (m_nextChip) {
                        m_nextChip(event.port);
                    }
                }
            },
            m_links);
        bool all = productionLine.Run();
        for (std::thread& helper : m_operators) {
            helper.join();
        }
        m_operators.clear();
        m_statuses = productionLine.Statuses();
        return all;
    }

    /// Runs `work` on a thread of its own after `after`, joined when the run ends.
    void Later(std::chrono::milliseconds after, std::function<void()> work) {
        m_operators.emplace_back([after, work = std::move(work)] {
            std::this_thread::sleep_for(after);
            work();
        });
    }

    /// Events of one kind, in order.
    std::vector<Seen> Events(StationEvent::Kind kind) const {
        std::vector<Seen> events;
        for (const Seen& seen : m_seen) {
            if (seen.kind == kind) {
                events.push_back(seen);
            }
        }
        return events;
    }
    const std::vector<Seen>& All() const { return m_seen; }

    /// Tag 1 of a saved flash, as the image check reads it back.
    std::string AddressOnChip(const std::vector<uint8_t>& flash) {
        NvdsImage image;
        std::copy_n(flash.begin(), image.size(), image.begin());
        TagTable table = m_table;
        if (CheckImage(table, image).result != 1) {
            return "no image";
        }
        return table[1].valueText;
    }

    std::map<std::string, std::vector<std::vector<uint8_t>>> m_burned;
    std::vector<line::StationStatus> m_statuses;
    bool m_bSwap = true;
    std::chrono::milliseconds m_takeOutAfter{0};
    std::map<std::string, int> m_putIn;                  // fresh chips put in per port
    std::function<void(const std::string&)> m_nextChip;  // prepares each fresh chip

private:
    test::ScratchFolder m_scratch;
    RecordingPrompter m_prompter;
    CNvdsConfig m_config;
    TagTable m_table{};
    line::GoldenImage m_golden;
    test::FakeRecord m_record;
    std::map<std::string, std::shared_ptr<CSimLine>> m_chips;
    std::map<std::string, std::shared_ptr<std::atomic<bool>>> m_unplugged;
    PluggableLinks m_links{m_chips, m_unplugged};
    line::LineSettings m_settings;
    std::vector<Seen> m_seen;
    std::vector<std::thread> m_operators;
};

TEST(LineTest, TwoStationsBurnSixChipsEachWithItsOwnAddress) {
    LineBench bench({"A", "B"});
    bench.Settings().count = 3;
    bench.m_takeOutAfter = std::chrono::milliseconds(60);
    std::map<std::string, int> looks;
    EXPECT_TRUE(bench.Run([&](const StationEvent& event, line::ProductionLine& productionLine) {
        // Looking for the next chip while the last one is still in, or a failure, ends the run.
        bool early = event.kind == StationEvent::Connecting && looks[event.port]++ > 0 &&
                     !bench.Chip(event.port).Absent();
        if (early || event.kind == StationEvent::Error) {
            productionLine.Stop();
        }
    }));
    EXPECT_TRUE(bench.Events(StationEvent::Error).empty());
    // Three chips each: the first and two put in after the one before was taken out.
    EXPECT_EQ(bench.m_putIn, (std::map<std::string, int>{{"A", 2}, {"B", 2}}));

    std::vector<line::HistoryRow> rows = bench.Record().HistoryRows();
    ASSERT_EQ(rows.size(), 6u);
    std::set<uint64_t> addresses;
    for (const line::HistoryRow& row : rows) {
        EXPECT_EQ(row.outcome, line::RECORD_VERIFIED) << line::AddressText(row.address);
        EXPECT_TRUE(row.reason.empty());
        EXPECT_EQ(row.context.station.host, "bench");
        EXPECT_TRUE(row.context.station.port == "station-A" ||
                    row.context.station.port == "station-B");
        EXPECT_EQ(row.context.lot, "lot 7");
        EXPECT_EQ(row.context.goldenName, "golden.nvds");
        EXPECT_EQ(row.context.goldenSha256, bench.Golden().Sha256());
        addresses.insert(row.address);
    }
    EXPECT_EQ(addresses, (std::set<uint64_t>{0xC01122000001, 0xC01122000002, 0xC01122000003,
                                             0xC01122000004, 0xC01122000005, 0xC01122000006}));
    // Each chip holds the address its station reported for it, and its image's digest is the
    // one recorded.
    std::vector<Seen> verified = bench.Events(StationEvent::Done);
    ASSERT_EQ(verified.size(), 6u);
    std::map<std::string, size_t> nth;
    for (const Seen& seen : verified) {
        const auto& flash = bench.m_burned[seen.port].at(nth[seen.port]++);
        EXPECT_EQ(bench.AddressOnChip(flash), line::AddressText(seen.address));
        for (const line::HistoryRow& row : rows) {
            if (row.address == seen.address) {
                EXPECT_EQ(row.imageSha256, Sha256Hex(flash.data(), NVDS_IMAGE_SIZE));
            }
        }
    }
    EXPECT_EQ(nth["A"], 3u);
    EXPECT_EQ(nth["B"], 3u);
    for (const line::StationStatus& status : bench.m_statuses) {
        EXPECT_EQ(status.done, 3);
        EXPECT_EQ(status.failures, 0);
        EXPECT_TRUE(status.reachedCount);
        EXPECT_EQ(status.message, "3 chip(s) done");
    }
}

// What a board or table learns from the events of one chip: every event names its station and
// port and carries its time; 16 programmed pages, then 16 read back; PASS stays shown until
// the next chip answers.
TEST(LineTest, EventsOfOneChipAndTheResultShownUntilTheNext) {
    LineBench bench({"A"});
    bench.Settings().count = 2;
    int atAnswer = -1;
    int firstPage = -1;
    EXPECT_TRUE(bench.Run([&](const StationEvent& event, line::ProductionLine&) {
        if (event.kind == StationEvent::Connected && atAnswer < 0) {
            atAnswer = bench.Chip("A").FramesHandled();
        }
        if (event.kind == StationEvent::Page && firstPage < 0) {
            firstPage = bench.Chip("A").FramesHandled();
        }
    }));
    // A blank chip costs one page of checking: the address and one read, then the erase's
    // three frames, the first page's address and the page itself.
    EXPECT_EQ(firstPage - atAnswer, 2 + 3 + 2);
    std::vector<std::string> phases;
    std::vector<int> pages;
    int64_t before = 0;
    for (const Seen& seen : bench.All()) {
        EXPECT_EQ(seen.event.name, "station-A");
        EXPECT_EQ(seen.event.port, "A");
        EXPECT_GE(seen.event.timeMs, before);
        before = seen.event.timeMs;
        if (seen.kind == StationEvent::Page && phases.size() < 32) {
            phases.push_back(seen.event.phase);
            pages.push_back(seen.event.page);
            EXPECT_EQ(seen.status.state, seen.event.phase == "program"
                                             ? line::StationState::Burning
                                             : line::StationState::Verifying);
        }
    }
    EXPECT_GT(before, 1600000000000);  // ms since 1970
    ASSERT_EQ(phases.size(), 32u);
    for (size_t i = 0; i < 32; ++i) {
        EXPECT_EQ(phases[i], i < 16 ? "program" : "verify") << i;
        EXPECT_EQ(pages[i], static_cast<int>(i % 16) + 1) << i;
    }
    // Done, taken out, looking for the next chip: still PASS; the next chip answers: cleared.
    const std::vector<Seen>& all = bench.All();
    auto done = std::find_if(all.begin(), all.end(),
                             [](const Seen& s) { return s.kind == StationEvent::Done; });
    ASSERT_NE(done, all.end());
    EXPECT_EQ(done->status.state, line::StationState::Pass);
    auto next = std::find_if(done, all.end(),
                             [](const Seen& s) { return s.kind == StationEvent::Connecting; });
    ASSERT_NE(next, all.end());
    EXPECT_EQ(next->status.state, line::StationState::Waiting);
    EXPECT_EQ(next->status.lastResult, line::ChipResult::Pass);
    EXPECT_EQ(next->status.lastAddress, 0xC01122000001u);
    auto answered = std::find_if(next, all.end(),
                                 [](const Seen& s) { return s.kind == StationEvent::Connected; });
    ASSERT_NE(answered, all.end());
    EXPECT_EQ(answered->status.state, line::StationState::Checking);
    EXPECT_EQ(answered->status.lastResult, line::ChipResult::None);
    EXPECT_EQ(all.back().kind, StationEvent::Stopped);
    EXPECT_EQ(all.back().message, "2 chip(s) done");
}

// Every chip of this socket has a weak page 5: each verify fails and names it, neither address
// may be handed out again, and once the range is used up the station stops with the record's
// message.
TEST(LineTest, WeakPageFailsEveryChipUntilTheRangeRunsOut) {
    SimOptions weak;
    weak.weakPage = 5;
    LineBench bench({"A"}, 0xC01122000001, 0xC01122000002, weak);
    bench.Settings().maxFailures = 0;
    int failures = 0;
    EXPECT_FALSE(bench.Run([&](const StationEvent& event, line::ProductionLine& productionLine) {
        // An address handed out again would keep the station going for ever.
        if (event.kind == StationEvent::Error && ++failures > 3) {
            productionLine.Stop();
        }
    }));

    std::vector<Seen> errors = bench.Events(StationEvent::Error);
    ASSERT_EQ(errors.size(), 3u) << errors.back().message;
    EXPECT_EQ(errors[0].message, "Verify failed: page 5, offset 0x0580");
    EXPECT_EQ(errors[0].address, 0xC01122000001u);
    EXPECT_EQ(errors[0].event.code, EXIT_VERIFY_FAILED);
    EXPECT_EQ(errors[1].message, "Verify failed: page 5, offset 0x0580");
    EXPECT_EQ(errors[1].address, 0xC01122000002u);
    EXPECT_EQ(errors[2].message,
              "address range exhausted: every address from C0 11 22 00 00 01 to C0 11 22 00 00 "
              "02 has been handed out");
    EXPECT_TRUE(bench.Events(StationEvent::Done).empty());
    std::vector<line::HistoryRow> rows = bench.Record().HistoryRows();
    ASSERT_EQ(rows.size(), 2u);
    for (const line::HistoryRow& row : rows) {
        EXPECT_EQ(row.outcome, line::RECORD_FAILED);
        EXPECT_FALSE(row.reusable);
        EXPECT_EQ(row.reason, "Verify failed: page 5, offset 0x0580");
    }
    ASSERT_EQ(bench.m_statuses.size(), 1u);
    EXPECT_EQ(bench.m_statuses[0].failures, 2);
    EXPECT_EQ(bench.m_statuses[0].state, line::StationState::Stopped);
    EXPECT_EQ(bench.m_statuses[0].message, errors[2].message);
}

// The same weak socket with the failure limit: three failed chips in a row stop the station
// with a message that says so, before a fourth address is taken. A pass between failures
// starts the count again.
TEST(LineTest, ConsecutiveFailuresStopTheStation) {
    SimOptions weak;
    weak.weakPage = 5;
    LineBench bench({"A"}, 0xC01122000001, 0xFFFFFFFFFFFF, weak);
    int failures = 0;
    EXPECT_FALSE(bench.Run([&](const StationEvent& event, line::ProductionLine& productionLine) {
        // Without the limit the station would burn through the pool.
        if (event.kind == StationEvent::Error && ++failures > 4) {
            productionLine.Stop();
        }
    }));
    std::vector<Seen> errors = bench.Events(StationEvent::Error);
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(bench.Record().HistoryRows().size(), 3u);
    EXPECT_EQ(bench.Record().Attempts().size(), 3u);
    ASSERT_EQ(bench.m_statuses.size(), 1u);
    EXPECT_EQ(bench.m_statuses[0].consecutiveFailures, 3);
    EXPECT_EQ(bench.m_statuses[0].message,
              "Stopped after 3 failed chips in a row: check the socket, the chips and the "
              "golden image");
    EXPECT_EQ(bench.Events(StationEvent::Stopped).at(0).message, bench.m_statuses[0].message);
}

// A chip pulled out during the burn: while page 0 (programmed last) is not yet written the
// address goes back and the next chip gets it; after it the address is spent. The failure
// keeps its cause line.
TEST(LineTest, ChipTakenOutMidBurn) {
    struct Case {
        int outAtPageEvent;  // page events count programming (1..16) then the read-back
        uint64_t nextAddress;
        bool firstReusable;
    };
    for (const Case& c : {Case{3, 0xC01122000001, true}, Case{18, 0xC01122000002, false}}) {
        SCOPED_TRACE(c.outAtPageEvent);
        LineBench bench({"A"});
        bench.Settings().count = 1;
        int pageEvents = 0;
        EXPECT_TRUE(bench.Run([&](const StationEvent& event, line::ProductionLine&) {
            if (event.kind == StationEvent::Page && ++pageEvents == c.outAtPageEvent) {
                bench.Chip("A").TakeOut();
            }
        }));
        std::vector<Seen> errors = bench.Events(StationEvent::Error);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].address, 0xC01122000001u);
        std::vector<Seen> done = bench.Events(StationEvent::Done);
        ASSERT_EQ(done.size(), 1u);
        EXPECT_EQ(done[0].address, c.nextAddress);
        std::vector<line::HistoryRow> rows = bench.Record().HistoryRows();
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[0].outcome, line::RECORD_FAILED);
        EXPECT_EQ(rows[0].reusable, c.firstReusable);
        EXPECT_FALSE(rows[0].reason.empty());
        EXPECT_EQ(rows[0].reason, errors[0].event.cause);
        EXPECT_EQ(rows[1].outcome, line::RECORD_VERIFIED);
    }
}

// Chips that already hold a valid image: the station reads them before erasing and, by
// default, burns none of them, whether the record knows the address or not; with
// reburnProgrammed the chip is burned with its own address, as an attempt of its own.
TEST(LineTest, ChipsThatAlreadyCarryAnAddress) {
    constexpr uint64_t KNOWN = 0xC01122000009;
    constexpr uint64_t STRANGER = 0xC0112200A000;
    for (bool reburn : {false, true}) {
        SCOPED_TRACE(reburn);
        LineBench bench({"A"});
        bench.Record().AddVerified(KNOWN);
        bench.Settings().reburnProgrammed = reburn;
        bench.Program("A", KNOWN);
        bench.m_nextChip = [&](const std::string& port) {
            // The second chip carries an address from elsewhere, the third is blank.
            if (bench.m_putIn[port] == 1) {
                bench.Program(port, STRANGER);
            }
        };
        int chips = 0;
        bench.Run([&](const StationEvent& event, line::ProductionLine& productionLine) {
            if ((event.kind == StationEvent::Done || event.kind == StationEvent::Skipped ||
                 event.kind == StationEvent::Error) &&
                ++chips == 3) {
                productionLine.Stop();
            }
        });
        EXPECT_TRUE(bench.Events(StationEvent::Error).empty());
        std::vector<line::HistoryRow> rows = bench.Record().HistoryRows();
        if (!reburn) {
            std::vector<Seen> skipped = bench.Events(StationEvent::Skipped);
            ASSERT_EQ(skipped.size(), 2u);
            EXPECT_EQ(skipped[0].address, KNOWN);
            EXPECT_EQ(skipped[0].message,
                      "Already programmed with C0 11 22 00 00 09, verified in the record: not "
                      "burned");
            EXPECT_EQ(skipped[0].status.state, line::StationState::Skipped);
            EXPECT_EQ(skipped[0].status.lastResult, line::ChipResult::Skipped);
            EXPECT_EQ(skipped[1].address, STRANGER);
            EXPECT_EQ(skipped[1].message,
                      "Already programmed with C0 11 22 00 A0 00, an address the record does "
                      "not know: not burned");
            EXPECT_EQ(skipped[1].status.skipped, 2);
            // Left as they were: the flash saved at the skip still holds the address.
            EXPECT_EQ(bench.AddressOnChip(bench.m_burned["A"].at(0)), "C0 11 22 00 00 09");
            EXPECT_EQ(bench.AddressOnChip(bench.m_burned["A"].at(1)), "C0 11 22 00 A0 00");
            // Only the blank chip took an address from the pool.
            ASSERT_EQ(rows.size(), 1u);
            EXPECT_EQ(rows[0].address, 0xC01122000001u);
        } else {
            EXPECT_TRUE(bench.Events(StationEvent::Skipped).empty());
            ASSERT_EQ(rows.size(), 3u);
            EXPECT_EQ(rows[0].address, KNOWN);
            EXPECT_EQ(rows[1].address, STRANGER);
            EXPECT_EQ(rows[2].address, 0xC01122000001u);
            for (const line::HistoryRow& row : rows) {
                EXPECT_EQ(row.outcome, line::RECORD_VERIFIED);
            }
            EXPECT_EQ(bench.AddressOnChip(bench.m_burned["A"].at(0)), "C0 11 22 00 00 09");
        }
    }
}

// A chip whose area is not a valid image (a burn cut off before page 0, or garbage in page 0)
// is burned like a blank one.
TEST(LineTest, ChipWithoutAValidImageIsBurned) {
    LineBench bench({"A"});
    bench.Settings().count = 1;
    std::vector<uint8_t> flash = bench.Chip("A").Flash();
    flash[0] = 'X';             // page 0 not erased, no magic
    flash[3 * 256 + 7] = 0x00;  // and something in page 3
    bench.Chip("A").SetFlash(flash);
    EXPECT_TRUE(bench.Run());
    ASSERT_EQ(bench.Events(StationEvent::Done).size(), 1u);
    EXPECT_EQ(bench.AddressOnChip(bench.m_burned["A"].at(0)), "C0 11 22 00 00 01");
}

// The record goes away right after a chip was burned: PASS is shown, the outcome waits in the
// journal, nothing is reserved meanwhile, and when the record answers again the outcome is
// written and the station goes on.
TEST(LineTest, RecordBlipKeepsTheOutcomeInTheJournal) {
    LineBench bench({"A"});
    bench.Settings().count = 2;
    std::string journalWhilePaused;
    int reservesBefore = -1;
    EXPECT_TRUE(bench.Run([&](const StationEvent& event, line::ProductionLine&) {
        if (event.kind == StationEvent::Page && event.phase == "verify" && event.page == 16 &&
            bench.Record().Attempts().size() == 1) {
            bench.Record().down = true;
        }
        if (event.kind == StationEvent::RecordUnavailable) {
            std::ifstream in(bench.JournalPath());
            std::getline(in, journalWhilePaused);
            reservesBefore = bench.Record().reservesWhileDown;
            bench.Later(std::chrono::milliseconds(150), [&] { bench.Record().down = false; });
        }
    }));
    std::vector<Seen> paused = bench.Events(StationEvent::RecordUnavailable);
    ASSERT_EQ(paused.size(), 1u);
    EXPECT_EQ(paused[0].message, test::FakeRecord::TEXT_DOWN);
    EXPECT_EQ(paused[0].status.state, line::StationState::RecordUnavailable);
    EXPECT_EQ(paused[0].status.lastResult, line::ChipResult::Pass);
    EXPECT_EQ(bench.Events(StationEvent::RecordBack).size(), 1u);
    EXPECT_EQ(bench.Record().reservesWhileDown, 0);
    EXPECT_EQ(reservesBefore, 0);
    EXPECT_NE(journalWhilePaused.find("C01122000001\tverified"), std::string::npos)
        << journalWhilePaused;
    // Written when the record came back, before the next reservation; the journal is gone.
    std::vector<line::HistoryRow> rows = bench.Record().HistoryRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].address, 0xC01122000001u);
    EXPECT_EQ(rows[0].outcome, line::RECORD_VERIFIED);
    EXPECT_EQ(rows[0].attempt, 1);
    EXPECT_EQ(rows[1].address, 0xC01122000002u);
    EXPECT_FALSE(std::filesystem::exists(bench.JournalPath()));
}

// A journal left by a run that was killed is written before the first reservation; while the
// record refuses, the station waits in "record unavailable" without reserving.
TEST(LineTest, JournalOfAKilledRunIsReplayedAtStart) {
    LineBench bench({"A"});
    bench.Settings().count = 1;
    const int64_t attempt = bench.Record().AddReserved(0xC01122000001);
    line::JournalEntry entry;
    entry.attempt = attempt;
    entry.address = 0xC01122000001;
    entry.end.outcome = line::RECORD_FAILED;
    entry.end.reason = "verify\tpage 3";
    std::string error;
    ASSERT_TRUE(line::OutcomeJournal(bench.JournalPath()).Add(entry, error)) << error;
    line::JournalEntry foreign = entry;  // journalled for another record
    foreign.address = 0xD01122000001;
    ASSERT_TRUE(line::OutcomeJournal(bench.JournalPath()).Add(foreign, error)) << error;
    bench.Record().down = true;
    bench.Later(std::chrono::milliseconds(200), [&] { bench.Record().down = false; });
    EXPECT_TRUE(bench.Run());
    EXPECT_EQ(bench.Record().reservesWhileDown, 0);
    std::vector<line::HistoryRow> rows = bench.Record().HistoryRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].attempt, attempt);
    EXPECT_EQ(rows[0].outcome, line::RECORD_FAILED);
    EXPECT_EQ(rows[0].reason, "verify\tpage 3");
    EXPECT_EQ(rows[1].address, 0xC01122000002u);
    std::vector<line::JournalEntry> left;
    ASSERT_TRUE(line::OutcomeJournal(bench.JournalPath()).Load(left, error));
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].address, 0xD01122000001u);
}

// The adapter is unplugged while the station waits for a chip and again in the middle of a
// burn: each time the station says it lost the port, keeps its state visible, and goes on
// once the same path opens again. The burn cut before page 0 gives its address back.
TEST(LineTest, UnpluggedAdapterComesBack) {
    LineBench bench({"A"});
    bench.Settings().count = 2;
    bench.m_bSwap = false;
    bool gone = false;
    EXPECT_TRUE(bench.Run([&](const StationEvent& event, line::ProductionLine&) {
        switch (event.kind) {
            case StationEvent::ChipGone:
                gone = true;
                break;
            case StationEvent::Connecting:
                if (gone && bench.Events(StationEvent::StationLost).empty()) {
                    // Waiting for the second chip when the adapter goes.
                    bench.Later(std::chrono::milliseconds(50),
                                [&] { bench.Unplugged("A") = true; });
                } else if (!bench.Events(StationEvent::StationLost).empty() &&
                           bench.Chip("A").Absent()) {
                    bench.Chip("A").PutIn();
                }
                break;
            case StationEvent::StationLost:
                bench.Later(std::chrono::milliseconds(100), [&] { bench.Unplugged("A") = false; });
                break;
            case StationEvent::Page:
                if (event.page == 4 && event.phase == "program" &&
                    bench.Record().Attempts().size() == 2) {
                    bench.Unplugged("A") = true;
                }
                break;
            default:
                break;
        }
    }));
    std::vector<Seen> lost = bench.Events(StationEvent::StationLost);
    ASSERT_EQ(lost.size(), 2u);
    EXPECT_EQ(lost[0].status.state, line::StationState::PortLost);
    EXPECT_EQ(lost[0].message, "No such device");
    EXPECT_EQ(lost[1].status.lastResult, line::ChipResult::Fail);
    EXPECT_EQ(bench.Events(StationEvent::StationBack).size(), 2u);
    std::vector<line::HistoryRow> rows = bench.Record().HistoryRows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].address, 0xC01122000001u);
    EXPECT_EQ(rows[0].outcome, line::RECORD_VERIFIED);
    EXPECT_EQ(rows[1].address, 0xC01122000002u);
    EXPECT_EQ(rows[1].outcome, line::RECORD_FAILED);
    EXPECT_TRUE(rows[1].reusable);
    EXPECT_EQ(rows[2].address, 0xC01122000002u);
    EXPECT_EQ(rows[2].outcome, line::RECORD_VERIFIED);
    EXPECT_EQ(bench.m_statuses.at(0).message, "2 chip(s) done");
}

// An adapter missing when the line starts is a wrong path, not one that went away: the station
// says why and stops.
TEST(LineTest, PortThatNeverOpensStopsItsStation) {
    LineBench bench({"A"});
    bench.Unplugged("A") = true;
    EXPECT_FALSE(bench.Run());
    std::vector<Seen> errors = bench.Events(StationEvent::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].message, "Open COM port failed!");
    EXPECT_EQ(errors[0].event.cause, "No such device");
    EXPECT_TRUE(bench.Events(StationEvent::StationLost).empty());
    EXPECT_EQ(bench.m_statuses.at(0).message, "Open COM port failed!");
}

// Finish lets the chip in progress end and verify, then stops that station; a station that
// waits for a chip stops at once. Stop during a burn ends it at once, recorded as failed.
TEST(LineTest, FinishEndsTheChipInProgressStopDoesNot) {
    for (bool finish : {true, false}) {
        SCOPED_TRACE(finish);
        LineBench bench({"A", "B"});
        bench.Chip("B").TakeOut();
        bench.m_bSwap = false;
        EXPECT_FALSE(bench.Run([&](const StationEvent& event, line::ProductionLine& line) {
            if (event.kind == StationEvent::Page && event.port == "A" && event.page == 5 &&
                event.phase == "program") {
                finish ? line.Finish() : line.Stop();
            }
        }));
        std::vector<line::HistoryRow> rows = bench.Record().HistoryRows();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].outcome, finish ? line::RECORD_VERIFIED : line::RECORD_FAILED);
        std::vector<Seen> stopped = bench.Events(StationEvent::Stopped);
        ASSERT_EQ(stopped.size(), 2u);
        for (const Seen& seen : stopped) {
            EXPECT_EQ(seen.message, finish ? "Finished" : "Stopped") << seen.port;
        }
        EXPECT_EQ(bench.Events(StationEvent::Done).size(), finish ? 1u : 0u);
    }
}

// A chip that never ends its burn within the finish limit is stopped.
TEST(LineTest, FinishIsBounded) {
    SimOptions slow;
    LineBench bench({"A"}, 0xC01122000001, 0xFFFFFFFFFFFF, slow);
    bench.Settings().finishLimit = std::chrono::milliseconds(50);
    EXPECT_FALSE(bench.Run([&](const StationEvent& event, line::ProductionLine& line) {
        if (event.kind == StationEvent::Page && event.page == 2 && event.phase == "program") {
            // The chip stops answering: the burn would wait through its retries.
            bench.Chip("A").TakeOut();
            line.Finish();
        }
    }));
    std::vector<Seen> stopped = bench.Events(StationEvent::Stopped);
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(stopped[0].message, "Stopped");
    ASSERT_EQ(bench.Record().HistoryRows().size(), 1u);
    EXPECT_EQ(bench.Record().HistoryRows()[0].outcome, line::RECORD_FAILED);
}

}  // namespace
}  // namespace nvds
