// The connect dialog: lists, remembered texts, auto connect, Cancel, Quit and retry.
#include <QCheckBox>
#include <QComboBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "ChipFixture.h"
#include "image/StatusText.h"
#include "link/LinkFlows.h"
#include "link/LinkTexts.h"

namespace nvds::test {
namespace {

class ConnectDialogTest : public ChipFixture {
protected:
    CConnectInterface& Dlg() { return *m_window->m_connectDlg; }
    /// Runs the dialog; `whileOpen` runs once it shows and must end it.
    int RunDialog(std::function<void()> whileOpen) {
        QTimer::singleShot(50, whileOpen);
        return Dlg().DoModal();
    }
    void Choose(QComboBox* combo, int index) {
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }
};

TEST_F(ConnectDialogTest, CrystalRefillsRatesAndSpiKeepsTheSerialSettings) {
    SetUpLink(Dlg().Engine(), LinkFactory(), "/dev/kept", CRYSTAL_32MHZ, 3);
    RunDialog([&] {
        EXPECT_EQ(Dlg().m_cmbBaud->currentText(), "115200");
        Choose(Dlg().m_cmbCrystal, 1);
        EXPECT_EQ(Dlg().m_cmbBaud->itemText(0), "4800");
        EXPECT_EQ(Dlg().m_cmbBaud->itemText(15), "1843200");
        EXPECT_EQ(Dlg().m_cmbBaud->currentText(), "115200");

        Choose(Dlg().m_cmbInterface, Dlg().m_cmbInterface->findText("SPI"));
        EXPECT_FALSE(Dlg().m_cmbBaud->isEnabled());
        Dlg().m_btnConnect->click();
        EXPECT_EQ(Dlg().Engine().Transport().Name(), "USB bridge");
        Dlg().m_btnQuit->click();
    });
    EXPECT_EQ(Dlg().Engine().m_nBaudRate, 38400u);
}

TEST_F(ConnectDialogTest, AutoConnectNeedsAllThreeStoredTexts) {
    StartChip();
    for (std::string CConnectInterface::*text :
         {&CConnectInterface::m_strCrystal, &CConnectInterface::m_strInterface,
          &CConnectInterface::m_strBaud}) {
        RememberChip();
        Dlg().*text = "gone";
        bool started = true;
        EXPECT_EQ(RunDialog([&] {
                      started = Dlg().Connecting();
                      Dlg().m_btnQuit->click();
                  }),
                  QDialog::Rejected);
        EXPECT_FALSE(started);
        EXPECT_FALSE(Dlg().m_bRemember);
    }
    EXPECT_EQ(m_sim->SyncsAnswered(), 0);

    // All present (matched ignoring case): connected with no click.
    RememberChip();
    Dlg().m_strInterface = "uart(CHIP)";
    Dlg().m_strBaud = "230400";
    EXPECT_EQ(Dlg().DoModal(), QDialog::Accepted);
    EXPECT_EQ(Dlg().m_strInterface, CHIP_ENTRY);
    EXPECT_EQ(Dlg().Engine().m_nBaudRate, 230400u);
    EXPECT_TRUE(Dlg().Engine().Transport().IsOpen());
}

TEST_F(ConnectDialogTest, CancelReturnsToIdleAndQuitLeavesTheThreadToEnd) {
    SimOptions options;
    options.bootDelayMs = 60000;  // the chip never answers while the test runs
    StartChip(options);
    int result = RunDialog([&] {
        Dlg().m_cmbInterface->setCurrentIndex(Dlg().m_cmbInterface->findText(CHIP_ENTRY));
        Dlg().m_btnConnect->click();
        EXPECT_FALSE(Dlg().m_cmbInterface->isEnabled());
        EXPECT_TRUE(WaitFor([&] { return Dlg().m_progress->value() > 0; }));

        Dlg().m_btnConnect->click();  // Cancel
        EXPECT_FALSE(Dlg().Connecting());
        EXPECT_FALSE(Dlg().Engine().Transport().IsOpen());
        EXPECT_EQ(Dlg().m_btnConnect->text(), "Connect");
        EXPECT_TRUE(Dlg().m_cmbInterface->isEnabled());
        EXPECT_FALSE(Dlg().m_progress->isVisible());
        EXPECT_EQ(Pane(PANE_OPERATION), "");

        // A second connect starts afresh, then Quit ends the dialog at once.
        Dlg().m_btnConnect->click();
        EXPECT_TRUE(WaitFor([&] { return Dlg().Engine().Transport().IsOpen(); }));
        Dlg().m_btnQuit->click();
        EXPECT_TRUE(Dlg().Connecting());
    });
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_FALSE(Dlg().m_bRemember);
    EXPECT_TRUE(WaitFor([&] { return !Dlg().Connecting(); }, 200));
    EXPECT_TRUE(m_prompter.shown.empty());
}

// Quit leaves the connect thread inside the link (a chip that answers every sync but never
// confirms the rate keeps it in SendFrame and ReopenPort); setting up the next link waits for
// that thread before it closes the port.
TEST_F(ConnectDialogTest, QuitAndReconnectInALoopEndsEachConnectBeforeClosing) {
    SimOptions options;
    options.refuseBaud = 1 << 30;
    StartChip(options);
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        int syncs = m_sim->SyncsAnswered();
        QTimer::singleShot(20, [&] {
            Dlg().m_cmbInterface->setCurrentIndex(Dlg().m_cmbInterface->findText(CHIP_ENTRY));
            Dlg().m_btnConnect->click();
            EXPECT_TRUE(WaitFor([&] { return m_sim->SyncsAnswered() > syncs; }));
            Dlg().m_btnQuit->click();
            // What the next EstablishLink does first, at once after the Quit.
            Dlg().CloseLink();
            EXPECT_FALSE(Dlg().Connecting());
            EXPECT_FALSE(Dlg().Engine().Transport().IsOpen());
        });
        EXPECT_FALSE(m_window->EstablishLink());
    }
    EXPECT_TRUE(m_prompter.shown.empty());
}

TEST_F(ConnectDialogTest, FailedConnectAsksToRetryAndNoRejects) {
    StartChip();
    m_prompter.answers = {true, false};
    int result = RunDialog([&] {
        Dlg().m_cmbInterface->setCurrentIndex(Dlg().m_cmbInterface->findText(CHIP_ENTRY));
        m_sim.reset();  // the port is gone by the time the user clicks
        Dlg().m_btnConnect->click();
    });
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_EQ(m_prompter.Texts(),
              (std::vector<std::string>{"Open COM port failed!", "Connect Fail, Retry?",
                                        "Open COM port failed!", "Connect Fail, Retry?"}));
    EXPECT_FALSE(Dlg().m_bRemember);
}

// A connect that runs out of time: the fixed overtime text, and beneath it the likely cause
// (here a chip that answers the sync but never takes the baud command).
TEST_F(ConnectDialogTest, OvertimeShowsTheLikelyCauseBeneathItsText) {
    SimOptions options;
    options.refuseBaud = 1 << 30;
    StartChip(options);
    m_prompter.answers = {false};
    int result = RunDialog([&] {
        Dlg().m_cmbInterface->setCurrentIndex(Dlg().m_cmbInterface->findText(CHIP_ENTRY));
        Dlg().m_btnConnect->click();
    });
    EXPECT_EQ(result, QDialog::Rejected);
    std::vector<std::string> texts = m_prompter.Texts();
    ASSERT_EQ(texts.size(), 2u);
    const std::string fixed = std::string(MSG_CONNECT_OVERTIME) + "\n\nthe chip answered ";
    EXPECT_EQ(texts[0].rfind(fixed, 0), 0u) << texts[0];
    EXPECT_NE(texts[0].find(" but never confirmed the working rate of 115200 baud"),
              std::string::npos)
        << texts[0];
    EXPECT_EQ(texts[1], MSG_CONNECT_FAIL);
}

}  // namespace
}  // namespace nvds::test
