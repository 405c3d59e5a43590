// Connect, dump and burn from the main window against the simulated chip.
#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <fstream>
#include <iterator>

#include "ChipFixture.h"
#include "image/StatusText.h"

namespace nvds::test {
namespace {

constexpr const char* EMPTY_QUESTION =
    "Target NVDS data is empty. Do you want to burn the default NVDS data to target?";
constexpr const char* LOST_QUESTION = "Connection is lost, re-connect?";
constexpr const char* DISCONNECT_MESSAGE = "Target is disconnect! Pleace connect to target!";

using TargetTest = ChipFixture;

TEST_F(TargetTest, StartUpConnectToErasedChipBurnsDefaultsThenEditBurnDumpRoundTrip) {
    StartChip();
    OpenWindow();
    RememberChip();
    m_window->Action(ID_BDADDR_INCREASE)->trigger();
    m_prompter.answers = {true};
    m_window->StartConnectTimer();
    ASSERT_TRUE(WaitFor([&] { return m_window->m_nTimerId == 0; }));

    EXPECT_EQ(m_prompter.Texts(), std::vector<std::string>{EMPTY_QUESTION});
    EXPECT_TRUE(m_window->m_bConnected);
    EXPECT_EQ(Pane(PANE_LINK), "Connected");
    EXPECT_EQ(Pane(PANE_OPERATION), "Burn configuration data to target: success");
    EXPECT_TRUE(m_window->Action(ID_BURN)->isEnabled());
    EXPECT_TRUE(m_window->m_btnBurn->isEnabled());
    // The defaults were burned; the list then moved on to the next chip's address.
    EXPECT_EQ(NvdsArea(), Bytes(m_window->m_image));
    EXPECT_EQ(Value(1), "00 11 22 33 45 00");
    EXPECT_EQ(Value(3), "0x10");

    SetValue(3, "0x20");
    m_window->OnBurn();
    EXPECT_EQ(NvdsArea(), Bytes(m_window->m_image));
    EXPECT_EQ(Value(1), "00 11 22 33 45 01");
    SetValue(3, "0x30");
    m_window->OnDump();
    EXPECT_EQ(Value(3), "0x20");
    EXPECT_EQ(Value(1), "00 11 22 33 45 00");
    EXPECT_EQ(Pane(PANE_OPERATION), "Dump configuration data from target: success");
    EXPECT_EQ(m_prompter.shown.size(), 1u);

    // The settings keep the connect for the next start.
    m_window->OnQuit();
    std::ifstream in(Settings());
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text,
              "[Setting]\nOSC=16MHz\nINTERFACE=UART(chip)\nBAUDRATE=115200\n"
              "REMEBER_CONNECT=True\nAUTO_CONNECT=True\nBDADDR_TYPE=2\n");
}

TEST_F(TargetTest, ErasedChipAnsweredNoKeepsChipAndListAndDumpCallsItAnError) {
    StartChip();
    OpenWindow();
    RememberChip();
    m_prompter.answers = {false};
    m_window->OnConnectTarget();
    EXPECT_EQ(m_prompter.Texts(), std::vector<std::string>{EMPTY_QUESTION});
    EXPECT_EQ(NvdsArea(), std::vector<uint8_t>(NVDS_IMAGE_SIZE, 0xFF));
    EXPECT_EQ(m_window->m_list->rowCount(), 0);
    EXPECT_TRUE(m_window->m_bConnected);

    // Dump never offers the defaults.
    m_prompter.Clear();
    m_window->OnDump();
    EXPECT_EQ(m_prompter.Texts(), std::vector<std::string>{"Target NVDS data is error!"});
    EXPECT_EQ(Pane(PANE_OPERATION), "");
    EXPECT_EQ(NvdsArea(), std::vector<uint8_t>(NVDS_IMAGE_SIZE, 0xFF));
}

// Starts with the defaults burned on the chip and the window connected to it.
class LostLinkTest : public ChipFixture {
protected:
    void SetUp() override {
        ChipFixture::SetUp();
        StartChip();
        OpenWindow();
        RememberChip();
        m_window->Action(ID_BDADDR_INCREASE)->trigger();
        m_prompter.answers = {true};
        m_window->OnConnectTarget();
        ASSERT_EQ(NvdsArea(), Bytes(m_window->m_image));
        m_prompter.Clear();
    }
    /// Restarts the chip with `pages` page operations before it hangs up, and re-connects.
    void ReconnectToChipThatHangsUpAfter(int pages) {
        SimOptions options;
        options.hangupAfterPages = pages;
        StartChip(options);
        ASSERT_TRUE(m_window->EstablishLink());
    }
};

TEST_F(LostLinkTest, YesReconnectsAndBurnsTheImageBuiltBeforeTheLoss) {
    ReconnectToChipThatHangsUpAfter(5);
    SetValue(3, "0x20");
    std::vector<uint8_t> builtAtLoss;
    m_prompter.onAsk = [&](const std::string& text) {
        if (text != LOST_QUESTION) {
            return;
        }
        EXPECT_EQ(Pane(PANE_OPERATION), "Burn configuration data to target: error");
        builtAtLoss = Bytes(m_window->m_image);
        // A list edited meanwhile must not reach the chip: the image is not built again.
        SetValue(3, "0x30");
        StartChip();
    };
    m_prompter.answers = {true};
    m_window->OnBurn();

    EXPECT_EQ(m_prompter.Texts(), std::vector<std::string>{LOST_QUESTION});
    ASSERT_FALSE(builtAtLoss.empty());
    EXPECT_EQ(NvdsArea(), builtAtLoss);
    EXPECT_EQ(Bytes(m_window->m_image), builtAtLoss);
    EXPECT_EQ(Value(3), "0x30");
    EXPECT_EQ(Value(1), "00 11 22 33 45 01");  // one step, for the one good burn
    EXPECT_TRUE(m_window->m_bConnected);
    EXPECT_EQ(Pane(PANE_OPERATION), "Burn configuration data to target: success");
}

TEST_F(LostLinkTest, NoAfterAFailedDumpKeepsImageAndListAndLeavesDisconnected) {
    ReconnectToChipThatHangsUpAfter(3);
    SetValue(3, "0x77");
    std::vector<uint8_t> before = Bytes(m_window->m_image);
    m_prompter.answers = {false};
    m_window->OnDump();
    EXPECT_EQ(m_prompter.Texts(), std::vector<std::string>{LOST_QUESTION});
    EXPECT_EQ(Bytes(m_window->m_image), before);
    EXPECT_EQ(Value(3), "0x77");
    EXPECT_FALSE(m_window->m_bConnected);
    EXPECT_EQ(Pane(PANE_LINK), "Disconnected");
    EXPECT_EQ(Pane(PANE_OPERATION), "Dump configuration data from target: error");

    // The commands stay enabled, but nothing is sent and nothing asked any more.
    EXPECT_TRUE(m_window->Action(ID_BURN)->isEnabled());
    m_prompter.Clear();
    m_window->OnBurn();
    m_window->OnDump();
    EXPECT_EQ(m_prompter.Texts(),
              (std::vector<std::string>{DISCONNECT_MESSAGE, DISCONNECT_MESSAGE}));
    EXPECT_FALSE(m_prompter.shown[0].question);
}

TEST_F(TargetTest, WindowPaintsDuringABurnButDropsClicksKeysAndClose) {
    SimOptions options;
    options.pace = true;
    options.programMs = 40;
    StartChip(options);
    OpenWindow();
    RememberChip();
    m_prompter.answers = {true};
    m_window->OnConnectTarget();
    ASSERT_TRUE(m_window->m_bConnected);
    m_prompter.Clear();

    int framesBefore = m_sim->FramesHandled();
    bool sawProgress = false;
    QTimer::singleShot(250, [&] {
        auto* counter = m_window->findChild<QLabel*>("m_pageCounter");
        sawProgress = counter != nullptr && counter->isVisible() &&
                      counter->text().startsWith("Page ") &&
                      Pane(PANE_OPERATION) == "Burn configuration data to target......";
        QTest::mouseClick(m_window->m_btnBurn, Qt::LeftButton);
        QTest::keyClick(m_window.get(), Qt::Key_Escape);
        m_window->close();
    });
    m_window->OnBurn();
    QTest::qWait(50);

    EXPECT_TRUE(sawProgress);
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_FALSE(fs::exists(Settings()) && fs::file_size(Settings()) > 0);
    // One burn: address, erase, memory type, address and 16 pages.
    EXPECT_EQ(m_sim->FramesHandled() - framesBefore, 20);
    EXPECT_EQ(NvdsArea(), Bytes(m_window->m_image));
    EXPECT_TRUE(m_prompter.shown.empty());
    auto* counter = m_window->findChild<QLabel*>("m_pageCounter");
    ASSERT_NE(counter, nullptr);
    EXPECT_FALSE(counter->isVisible());
}

}  // namespace
}  // namespace nvds::test
