#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/BaudTable.h"
#include "link/ConnectTarget.h"
#include "link/LinkFactory.h"
#include "link/LinkFlows.h"
#include "link/ProgstarDlg.h"
#include "sim/InProcessLink.h"
#include "sim/SimLink.h"

namespace nvds {
namespace {

// A chip that confirms no baud command keeps the connect syncing until the 20 s limit.
TEST(ConnectOvertime, GivesUpAfterTwentySecondsWithItsMessage) {
    SimOptions options;
    options.refuseBaud = 1 << 30;
    CSimLink sim(options);
    ASSERT_TRUE(sim.Start());
    CProgstarDlg engine;
    SetUpLink(engine, LinkFactory(), sim.SlavePath(), CRYSTAL_16MHZ, DEFAULT_BAUD_INDEX_16MHZ);
    int lastProgress = -1;
    int reports = 0;
    auto start = std::chrono::steady_clock::now();
    const LinkOutcome connected = ConnectTarget(engine, [&](int p) {
        lastProgress = p;
        ++reports;
    });
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(20000));
    // The limit is checked after every attempt; an attempt lasts at most a few hundred ms
    // (three unconfirmed baud commands), even on a loaded machine.
    EXPECT_LT(took, std::chrono::milliseconds(25000));
    EXPECT_EQ(connected.code, LinkCode::Overtime);
    EXPECT_EQ(connected.message, MSG_CONNECT_OVERTIME);
    EXPECT_EQ(connected.cause.rfind("the chip answered ", 0), 0u) << connected.cause;
    // The chip answered again and again: the procedure went back to syncing each time.
    EXPECT_GE(sim.SyncsAnswered(), 2);
    // One progress step per three sync bytes sent (answered or not), counted from 1, and the
    // bar's position is that count wrapped at its range.
    EXPECT_GE(reports, sim.SyncsAnswered() / PROGRESS_EVERY_SERIAL);
    EXPECT_EQ(lastProgress, reports % PROGRESS_RANGE);
    EXPECT_EQ(engine.m_bConnected, 0);
}

// What the cause line after a time-out says, from what the attempts saw. The cases run side
// by side, each on its own in-process chip, so the test takes one time limit, not three.
TEST(ConnectOvertime, CauseLineNamesWhatWasSeen) {
    const std::string noAnswer =
        "no answer to any sync byte at 9600 baud: no chip, the chip not in boot mode, the "
        "wrong port, or the other crystal (each crystal has its own sync rate: 16MHz 9600 baud, "
        "32MHz 19200 baud)";
    const std::string noWorkingRate =
        " sync byte(s) at 9600 baud but never confirmed the working rate of 115200 baud: the "
        "wrong crystal, or a rate the adapter or the chip does not take; try the other crystal "
        "or a lower rate";
    struct Case {
        const char* name;
        int chipCrystal;
        bool absent;
        int refuseBaud;
        std::string prefix, suffix;
    };
    const std::vector<Case> cases = {
        {"no chip", CRYSTAL_16MHZ, true, 0, noAnswer, ""},
        {"a 32MHz chip taken for a 16MHz one", CRYSTAL_32MHZ, false, 0, noAnswer, ""},
        {"refuses the baud change", CRYSTAL_16MHZ, false, 1 << 30, "the chip answered ",
         noWorkingRate},
    };
    struct Seen {
        LinkOutcome connected;
        int syncs;
    };
    std::vector<std::future<Seen>> runs;
    for (const Case& c : cases) {
        runs.push_back(std::async(std::launch::async, [c] {
            SimOptions options;
            options.crystal = c.chipCrystal;
            options.refuseBaud = c.refuseBaud;
            auto chip = std::make_shared<CSimLine>(options);
            if (c.absent) {
                chip->TakeOut();
            }
            CProgstarDlg engine;
            engine.SetLink(std::make_unique<CInProcessLink>(chip), CRYSTAL_16MHZ,
                           DEFAULT_BAUD_INDEX_16MHZ);
            engine.StartReceiveDispatchThread();
            engine.ResetForConnect();
            return Seen{ConnectTarget(engine), chip->SyncsAnswered()};
        }));
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        Seen seen = runs[i].get();
        EXPECT_EQ(seen.connected.code, LinkCode::Overtime);
        // The fixed text stays as it is; the cause is a line of its own.
        EXPECT_EQ(seen.connected.message, MSG_CONNECT_OVERTIME);
        const std::string& cause = seen.connected.cause;
        EXPECT_EQ(cause.rfind(cases[i].prefix, 0), 0u) << cause;
        ASSERT_GE(cause.size(), cases[i].suffix.size());
        EXPECT_EQ(cause.substr(cause.size() - cases[i].suffix.size()), cases[i].suffix) << cause;
        if (!cases[i].suffix.empty()) {
            // The count of answers the host saw: at least one, at most what the chip sent.
            int counted = std::stoi(cause.substr(cases[i].prefix.size()));
            EXPECT_GE(counted, 1);
            EXPECT_LE(counted, seen.syncs);
        }
    }
}

}  // namespace
}  // namespace nvds
