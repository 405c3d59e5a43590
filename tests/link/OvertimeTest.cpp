#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/BaudTable.h"
#include "link/ConnectTarget.h"
#include "link/ProgstarDlg.h"
#include "sim/InProcessLink.h"
#include "sim/SimLink.h"

namespace nvds {
namespace {

// A connect that never succeeds gives up after its 20 s limit with the overtime text, and the
// cause line after it says what the attempts saw. The cases run side by side, each on its own
// in-process chip, so the test takes one time limit, not three.
TEST(ConnectOvertime, GivesUpAfterTwentySecondsNamingWhatWasSeen) {
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
        std::chrono::steady_clock::duration took;
        int reports, lastProgress, connectedFlag;
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
            Seen seen{};
            auto start = std::chrono::steady_clock::now();
            seen.connected = ConnectTarget(engine, [&](int p) {
                seen.lastProgress = p;
                ++seen.reports;
            });
            seen.took = std::chrono::steady_clock::now() - start;
            seen.syncs = chip->SyncsAnswered();
            seen.connectedFlag = engine.m_bConnected;
            return seen;
        }));
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        Seen seen = runs[i].get();
        EXPECT_EQ(seen.connected.code, LinkCode::Overtime);
        // The limit is counted in whole milliseconds: 20 s on that clock is more than 19.999 s.
        EXPECT_GT(seen.took, std::chrono::milliseconds(19999));
        // The limit is checked after every attempt; an attempt lasts at most a few hundred ms
        // (three unconfirmed baud commands), even on a loaded machine.
        EXPECT_LT(seen.took, std::chrono::milliseconds(25000));
        EXPECT_EQ(seen.connectedFlag, 0);
        // The bar's position is the count of progress steps wrapped at its range.
        EXPECT_GE(seen.reports, 1);
        EXPECT_EQ(seen.lastProgress, seen.reports % PROGRESS_RANGE);
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
            // The chip answered again and again: the procedure went back to syncing each
            // time, one progress step per three sync bytes sent (answered or not).
            EXPECT_GE(seen.syncs, 2);
            EXPECT_GE(seen.reports, seen.syncs / PROGRESS_EVERY_SERIAL);
        }
    }
}

}  // namespace
}  // namespace nvds
