// Connect, dump and burn from the main window against the simulated chip.
#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "ChipFixture.h"
#include "image/StatusText.h"

namespace nvds::test {
namespace {

constexpr const char* LOST_QUESTION = "Connection is lost, re-connect?";
constexpr const char* DISCONNECT = "Target is disconnect! Pleace connect to target!";

class TargetTest : public ChipFixture {
protected:
    /// Restarts the chip to hang up after `pages` page operations, and re-connects.
    void ChipHangsUpAfter(int pages) {
        SimOptions options;
        options.hangupAfterPages = pages;
        StartChip(options);
        ASSERT_TRUE(m_window->EstablishLink());
    }
};

TEST_F(TargetTest, StartUpBurnsDefaultsToErasedChipThenEditBurnDumpAndQuit) {
    m_window->Action(ID_BDADDR_INCREASE)->trigger();
    StartUpConnect();
    EXPECT_EQ(Pane(PANE_LINK), "Connected");
    EXPECT_TRUE(m_window->m_btnBurn->isEnabled());
    EXPECT_EQ(NvdsArea(), Image());
    EXPECT_EQ(Value(1), "00 11 22 33 45 00");  // the default, stepped for the next chip

    SetValue(3, "0x20");
    m_window->OnBurn();
    EXPECT_EQ(NvdsArea(), Image());
    SetValue(3, "0x30");
    m_window->OnDump();
    EXPECT_EQ(Value(3), "0x20");
    EXPECT_EQ(Value(1), "00 11 22 33 45 00");
    EXPECT_EQ(Pane(PANE_OPERATION), "Dump configuration data from target: success");
    EXPECT_TRUE(m_prompter.shown.empty());

    m_window->OnQuit();
    EXPECT_EQ(SettingsText(),
              "[Setting]\nOSC=16MHz\nINTERFACE=UART(chip)\nBAUDRATE=115200\n"
              "REMEBER_CONNECT=True\nAUTO_CONNECT=True\nBDADDR_TYPE=2\n");
}

TEST_F(TargetTest, ErasedChipAnsweredNoWritesNothingAndDumpCallsItAnError) {
    StartUpConnect({}, false);
    EXPECT_EQ(m_window->m_list->rowCount(), 0);
    m_window->OnDump();
    EXPECT_EQ(m_prompter.Texts(), Texts{"Target NVDS data is error!"});
    EXPECT_EQ(NvdsArea(), std::vector<uint8_t>(NVDS_IMAGE_SIZE, 0xFF));
}

TEST_F(TargetTest, LostBurnIsRepeatedAfterReconnectWithTheImageBuiltBefore) {
    StartUpConnect();
    ChipHangsUpAfter(5);
    SetValue(3, "0x20");
    std::vector<uint8_t> built;
    m_prompter.onAsk = [&](const std::string&) {
        built = Image();
        SetValue(3, "0x30");  // must not reach the chip: the list is not read again
        StartChip();
    };
    m_prompter.answers = {true};
    m_window->OnBurn();
    EXPECT_EQ(m_prompter.Texts(), Texts{LOST_QUESTION});
    ASSERT_FALSE(built.empty());
    EXPECT_EQ(NvdsArea(), built);
    EXPECT_EQ(Image(), built);
    EXPECT_EQ(Pane(PANE_OPERATION), "Burn configuration data to target: success");
}

TEST_F(TargetTest, LostDumpAnsweredNoKeepsImageAndListAndLeavesDisconnected) {
    StartUpConnect();
    ChipHangsUpAfter(3);
    SetValue(3, "0x77");
    std::vector<uint8_t> before = Image();
    m_prompter.answers = {false};
    m_window->OnDump();
    EXPECT_EQ(Image(), before);
    EXPECT_EQ(Value(3), "0x77");
    EXPECT_EQ(Pane(PANE_LINK), "Disconnected");
    // Nothing is sent and nothing asked any more.
    m_window->OnBurn();
    EXPECT_EQ(m_prompter.Texts(), (Texts{LOST_QUESTION, DISCONNECT}));
}

TEST_F(TargetTest, WindowPaintsDuringABurnButDropsClicksKeysAndClose) {
    SimOptions options;
    options.pace = true;
    options.programMs = 40;
    StartUpConnect(options);
    int frames = m_sim->FramesHandled();
    bool busy = false;
    QTimer::singleShot(250, [&] {
        auto* pages = m_window->findChild<QLabel*>("m_pageCounter");
        busy = pages->isVisible() && pages->text().startsWith("Page ") &&
               Pane(PANE_OPERATION) == "Burn configuration data to target......";
        QTest::mouseClick(m_window->m_btnBurn, Qt::LeftButton);
        QTest::keyClick(m_window.get(), Qt::Key_Escape);
        m_window->close();
    });
    m_window->OnBurn();
    QTest::qWait(50);
    EXPECT_TRUE(busy);
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_EQ(m_sim->FramesHandled() - frames, 20);  // one burn only
    EXPECT_EQ(NvdsArea(), Image());
}

}  // namespace
}  // namespace nvds::test
