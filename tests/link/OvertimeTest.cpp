#include <chrono>

#include <gtest/gtest.h>

#include "link/BaudTable.h"
#include "link/ConnectTarget.h"
#include "link/ProgstarDlg.h"
#include "platform/Prompter.h"
#include "sim/SimLink.h"

namespace nvds {
namespace {

// A chip that confirms no baud command keeps the connect syncing until the 20 s limit.
TEST(ConnectOvertime, GivesUpAfterTwentySecondsWithItsMessage) {
    SimOptions options;
    options.refuseBaud = 1 << 30;
    CSimLink sim(options);
    ASSERT_TRUE(sim.Start());
    RecordingPrompter prompter;
    CProgstarDlg engine(prompter);
    engine.SetSerialLink(sim.SlavePath(), CRYSTAL_16MHZ, DEFAULT_BAUD_INDEX_16MHZ);
    engine.StartReceiveDispatchThread();
    int lastProgress = -1;
    int reports = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ConnectTarget(engine, prompter,
                            [&](int p) {
                                lastProgress = p;
                                ++reports;
                            }),
              0);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(20000));
    // The limit is checked after every attempt; an attempt lasts at most a few hundred ms
    // (three unconfirmed baud commands), even on a loaded machine.
    EXPECT_LT(took, std::chrono::milliseconds(25000));
    EXPECT_EQ(prompter.Texts(), std::vector<std::string>{MSG_CONNECT_OVERTIME});
    // The chip answered again and again: the procedure went back to syncing each time.
    EXPECT_GE(sim.SyncsAnswered(), 2);
    // One progress step per three sync bytes sent (answered or not), counted from 1, and the
    // bar's position is that count wrapped at its range.
    EXPECT_GE(reports, sim.SyncsAnswered() / PROGRESS_EVERY_SERIAL);
    EXPECT_EQ(lastProgress, reports % PROGRESS_RANGE);
    EXPECT_EQ(engine.m_bConnected, 0);
}

}  // namespace
}  // namespace nvds
