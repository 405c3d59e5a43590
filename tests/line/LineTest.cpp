// The line's stations on in-process simulated chips that the listener takes out and puts in,
// as an operator does, after each burn.

#include <chrono>
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
#include "line/ProductionLine.h"
#include "line/ProductionRecord.h"
#include "line/RecordScratch.h"
#include "platform/AtomicFile.h"
#include "platform/Prompter.h"
#include "sim/InProcessLink.h"

namespace nvds {
namespace {

using line::StationEvent;

struct Seen {
    StationEvent::Kind kind;
    std::string port;
    uint64_t address;
    std::string message;
};

// A catalogue, a golden image built from its defaults, a record and one simulated chip per
// port. The listener keeps every event; a chip whose burn ended is saved and taken out, and a
// fresh one is put in once the station looks for the next chip.
class LineBench {
public:
    explicit LineBench(std::vector<std::string> ports, line::AddressPool pool, SimOptions chip = {})
        : m_config(m_prompter, "zbkey_db.xml", "userkey_db.xml") {
        EXPECT_EQ(m_config.LoadTagDb("zbkey_db.xml", m_table), 1);
        EXPECT_EQ(m_config.LoadTagDb("userkey_db.xml", m_table), 1);
        TagTable defaults = m_table;
        NvdsImage image = ErasedImage();
        EXPECT_EQ(BuildImage(defaults, image, m_prompter), 1);
        std::string golden = m_scratch.Path("golden.nvds");
        EXPECT_TRUE(WriteFileAtomically(golden, image.data(), image.size()));
        std::string error;
        EXPECT_TRUE(m_golden.Load(golden, m_config, m_table, error)) << error;
        m_record = line::OpenProductionRecord(m_scratch.Path("record.db"), pool, error);
        EXPECT_TRUE(m_record) << error;
        chip.eraseMs = 0;
        chip.programMs = 0;
        for (const std::string& port : ports) {
            m_chips[port] = std::make_shared<CSimLine>(chip);
        }
        for (const std::string& port : ports) {
            m_settings.stations.push_back({port, port});
        }
        m_settings.host = "bench";
        m_settings.gonePeriod = std::chrono::milliseconds(5);
    }

    line::LineSettings& Settings() { return m_settings; }
    CSimLine& Chip(const std::string& port) { return *m_chips.at(port); }
    line::ProductionRecord& Record() { return *m_record; }

    /// Runs the line; `during` is called from the listener with each event first.
    bool Run(std::function<void(const StationEvent&, line::ProductionLine&)> during = {}) {
        line::ProductionLine productionLine(
            m_settings, *m_record, m_golden,
            [&](const StationEvent& event, const line::StationStatus&) {
                m_seen.push_back({event.kind, event.port, event.address, event.message});
                if (during) {
                    during(event, productionLine);
                }
                CSimLine& chip = *m_chips.at(event.port);
                if ((event.kind == StationEvent::Done || event.kind == StationEvent::Error) &&
                    event.hasAddress && !chip.Absent()) {
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
                }
            },
            [&](const std::string& port) {
                return std::make_unique<CInProcessLink>(m_chips.at(port));
            });
        m_line = &productionLine;
        bool all = productionLine.Run();
        for (std::thread& slow : m_operators) {
            slow.join();
        }
        m_statuses = productionLine.Statuses();
        m_line = nullptr;
        return all;
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

    /// Tag 1 of a saved flash, as the image check reads it back.
    std::string AddressOnChip(const std::vector<uint8_t>& flash) {
        NvdsImage image;
        std::copy_n(flash.begin(), image.size(), image.begin());
        TagTable table = m_table;
        RecordingPrompter report;
        if (CheckImage(m_config, table, image, report) != 1) {
            return "no image";
        }
        return table[1].valueText;
    }

    std::vector<line::RecordRow> Rows() {
        std::vector<line::RecordRow> rows;
        EXPECT_TRUE(m_record->Rows(rows));
        return rows;
    }

    std::map<std::string, std::vector<std::vector<uint8_t>>> m_burned;
    std::vector<line::StationStatus> m_statuses;
    bool m_bSwap = true;
    std::chrono::milliseconds m_takeOutAfter{0};
    std::map<std::string, int> m_putIn;  // fresh chips put in per port

private:
    test::ScratchFolder m_scratch;
    RecordingPrompter m_prompter;
    CNvdsConfig m_config;
    TagTable m_table{};
    line::GoldenImage m_golden;
    std::unique_ptr<line::ProductionRecord> m_record;
    std::map<std::string, std::shared_ptr<CSimLine>> m_chips;
    line::LineSettings m_settings;
    std::vector<Seen> m_seen;
    std::vector<std::thread> m_operators;
    line::ProductionLine* m_line = nullptr;
};

TEST(LineTest, TwoStationsBurnSixChipsEachWithItsOwnAddress) {
    LineBench bench({"A", "B"}, test::Pool("C0 11 22 00 00 01"));
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

    std::vector<line::RecordRow> rows = bench.Rows();
    ASSERT_EQ(rows.size(), 6u);
    std::set<uint64_t> addresses;
    for (const line::RecordRow& row : rows) {
        EXPECT_EQ(row.state, line::RECORD_VERIFIED) << line::AddressText(row.address);
        EXPECT_EQ(row.imageSha256.size(), 64u);
        addresses.insert(row.address);
    }
    EXPECT_EQ(addresses, (std::set<uint64_t>{0xC01122000001, 0xC01122000002, 0xC01122000003,
                                             0xC01122000004, 0xC01122000005, 0xC01122000006}));
    // Each chip holds the address its station reported for it.
    std::vector<Seen> verified = bench.Events(StationEvent::Done);
    ASSERT_EQ(verified.size(), 6u);
    std::map<std::string, size_t> nth;
    for (const Seen& seen : verified) {
        const auto& flash = bench.m_burned[seen.port].at(nth[seen.port]++);
        EXPECT_EQ(bench.AddressOnChip(flash), line::AddressText(seen.address));
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

// Every chip of this socket has a weak page 5: each verify fails and names it, neither address
// may be handed out again, and once the range is used up the station stops with the record's
// message.
TEST(LineTest, WeakPageFailsEveryChipUntilTheRangeRunsOut) {
    SimOptions weak;
    weak.weakPage = 5;
    LineBench bench({"A"}, test::Pool("C0 11 22 00 00 01", 1, "C0 11 22 00 00 02"), weak);
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
    EXPECT_EQ(errors[1].message, "Verify failed: page 5, offset 0x0580");
    EXPECT_EQ(errors[1].address, 0xC01122000002u);
    EXPECT_EQ(errors[2].message,
              "address range exhausted: every address from C0 11 22 00 00 01 to C0 11 22 00 00 "
              "02 has been handed out");
    EXPECT_TRUE(bench.Events(StationEvent::Done).empty());
    std::vector<line::RecordRow> rows = bench.Rows();
    ASSERT_EQ(rows.size(), 2u);
    for (const line::RecordRow& row : rows) {
        EXPECT_EQ(row.state, line::RECORD_FAILED);
        EXPECT_FALSE(row.reusable);
    }
    ASSERT_EQ(bench.m_statuses.size(), 1u);
    EXPECT_EQ(bench.m_statuses[0].failures, 2);
    EXPECT_EQ(bench.m_statuses[0].state, line::StationState::Stopped);
    EXPECT_EQ(bench.m_statuses[0].message, errors[2].message);
}

// A chip pulled out during the burn: while page 0 (programmed last) is not yet written the
// address goes back and the next chip gets it; after it the address is spent.
TEST(LineTest, ChipTakenOutMidBurn) {
    struct Case {
        int outAtPageEvent;  // page events count programming (1..16) then the read-back
        uint64_t nextAddress;
        bool firstReusable;
    };
    for (const Case& c : {Case{3, 0xC01122000001, true}, Case{18, 0xC01122000002, false}}) {
        SCOPED_TRACE(c.outAtPageEvent);
        LineBench bench({"A"}, test::Pool("C0 11 22 00 00 01"));
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
        line::RecordState state;
        ASSERT_TRUE(bench.Record().StateOf(0xC01122000001, state));
        EXPECT_EQ(state, c.firstReusable ? line::RECORD_VERIFIED : line::RECORD_FAILED);
        EXPECT_EQ(bench.Rows().size(), c.firstReusable ? 1u : 2u);
    }
}

// No chip ever answers: the station waits past any connect limit until the line is stopped,
// and nothing is reserved.
TEST(LineTest, StationWhoseChipNeverComesStopsOnCancelWithNothingReserved) {
    LineBench bench({"A"}, test::Pool("C0 11 22 00 00 01"));
    bench.Chip("A").TakeOut();
    bench.m_bSwap = false;
    std::thread stopper;
    EXPECT_FALSE(bench.Run([&](const StationEvent& event, line::ProductionLine& productionLine) {
        if (event.kind == StationEvent::Connecting) {
            stopper = std::thread([&productionLine] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                productionLine.Stop();
            });
        }
    }));
    stopper.join();
    EXPECT_TRUE(bench.Rows().empty());
    EXPECT_TRUE(bench.Events(StationEvent::Error).empty());
    ASSERT_EQ(bench.m_statuses.size(), 1u);
    EXPECT_EQ(bench.m_statuses[0].state, line::StationState::Stopped);
    EXPECT_EQ(bench.m_statuses[0].message, "Stopped");
    EXPECT_EQ(bench.m_statuses[0].done, 0);
}

}  // namespace
}  // namespace nvds
