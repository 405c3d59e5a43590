// The connect dialog on its own: lists, remembered texts, auto connect, Cancel and Quit.
#include <QCheckBox>
#include <QComboBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "ChipFixture.h"
#include "image/StatusText.h"

namespace nvds::test {
namespace {

class ConnectDialogTest : public ChipFixture {
protected:
    void SetUp() override {
        ChipFixture::SetUp();
        OpenWindow();
    }
    CConnectInterface& Dlg() { return *m_window->m_connectDlg; }
    QStringList Items(QComboBox* combo) {
        QStringList items;
        for (int i = 0; i < combo->count(); ++i) {
            items << combo->itemText(i);
        }
        return items;
    }
    /// Runs the dialog; `whileOpen` runs once it shows and must end it.
    int RunDialog(std::function<void()> whileOpen) {
        QTimer::singleShot(50, [whileOpen] { whileOpen(); });
        return Dlg().DoModal();
    }
};

TEST_F(ConnectDialogTest, ListsDefaultsAndTheCrystalRefill) {
    StartChip();
    RunDialog([&] {
        EXPECT_EQ(Dlg().windowTitle(), "Connect");
        EXPECT_EQ(Items(Dlg().m_cmbCrystal), (QStringList{"16MHz", "32MHz"}));
        EXPECT_EQ(Dlg().m_cmbCrystal->currentText(), "16MHz");
        QStringList ports = Items(Dlg().m_cmbInterface);
        EXPECT_TRUE(ports.contains(CHIP_ENTRY));
        EXPECT_EQ(ports.last(), "SPI");
        EXPECT_EQ(Dlg().m_cmbInterface->currentIndex(), 0);
        EXPECT_EQ(Dlg().m_cmbBaud->count(), 16);
        EXPECT_EQ(Dlg().m_cmbBaud->itemText(0), "2400");
        EXPECT_EQ(Dlg().m_cmbBaud->currentText(), "115200");
        EXPECT_TRUE(Dlg().m_chkAutoConnect->isVisible());
        EXPECT_FALSE(Dlg().m_progress->isVisible());
        EXPECT_EQ(Dlg().m_chkAutoConnect->toolTip(), CConnectInterface::TIP_AUTO_CONNECT);
        EXPECT_EQ(Dlg().m_btnConnect->toolTip(), CConnectInterface::TIP_CONNECT);

        Dlg().m_cmbCrystal->setCurrentIndex(1);
        emit Dlg().m_cmbCrystal->activated(1);
        EXPECT_EQ(Dlg().m_cmbBaud->itemText(0), "4800");
        EXPECT_EQ(Dlg().m_cmbBaud->itemText(15), "1843200");
        EXPECT_EQ(Dlg().m_cmbBaud->currentText(), "115200");

        // The bridge has no rate to choose.
        int spi = Dlg().m_cmbInterface->count() - 1;
        Dlg().m_cmbInterface->setCurrentIndex(spi);
        emit Dlg().m_cmbInterface->activated(spi);
        EXPECT_FALSE(Dlg().m_cmbBaud->isEnabled());
        Dlg().m_btnQuit->click();
    });
}

TEST_F(ConnectDialogTest, AutoConnectNeedsAllThreeStoredTexts) {
    StartChip();
    for (const char* missing : {"OSC", "INTERFACE", "BAUDRATE"}) {
        SCOPED_TRACE(missing);
        RememberChip();
        if (std::string(missing) == "OSC") {
            Dlg().m_strCrystal = "24MHz";
        } else if (std::string(missing) == "INTERFACE") {
            Dlg().m_strInterface = "UART(gone)";
        } else {
            Dlg().m_strBaud = "12345";
        }
        bool started = true;
        int result = RunDialog([&] {
            started = Dlg().Connecting();
            Dlg().m_btnQuit->click();
        });
        EXPECT_FALSE(started);
        EXPECT_EQ(result, QDialog::Rejected);
        EXPECT_FALSE(Dlg().m_bRemember);
        EXPECT_EQ(m_sim->SyncsAnswered(), 0);
    }

    // All present, the stored texts matched ignoring case: connected with no click.
    RememberChip();
    Dlg().m_strInterface = "uart(CHIP)";
    Dlg().m_strBaud = "230400";
    EXPECT_EQ(Dlg().DoModal(), QDialog::Accepted);
    EXPECT_EQ(Dlg().m_strInterface, CHIP_ENTRY);
    EXPECT_EQ(Dlg().m_strBaud, "230400");
    EXPECT_TRUE(Dlg().m_bRemember);
    EXPECT_EQ(Dlg().Engine().m_nBaudRate, 230400u);
    EXPECT_TRUE(Dlg().Engine().Serial().IsOpen());
    EXPECT_EQ(Pane(PANE_OPERATION), "Please reset the target to establish a connection!");
}

TEST_F(ConnectDialogTest, CancelReturnsToIdleAndQuitLeavesTheThreadToEnd) {
    SimOptions options;
    options.bootDelayMs = 60000;  // the chip never answers while the test runs
    StartChip(options);
    int chip = -1;
    int result = RunDialog([&] {
        chip = Dlg().m_cmbInterface->findText(CHIP_ENTRY);
        Dlg().m_cmbInterface->setCurrentIndex(chip);
        Dlg().m_btnConnect->click();
        EXPECT_EQ(Dlg().m_btnConnect->text(), "Cancel");
        EXPECT_TRUE(Dlg().m_progress->isVisible());
        EXPECT_FALSE(Dlg().m_cmbInterface->isEnabled());
        EXPECT_TRUE(WaitFor([&] { return Dlg().m_progress->value() > 0; }));
        EXPECT_TRUE(Dlg().Engine().Serial().IsOpen());

        Dlg().m_btnConnect->click();  // Cancel
        EXPECT_FALSE(Dlg().Connecting());
        EXPECT_FALSE(Dlg().Engine().Serial().IsOpen());
        EXPECT_EQ(Dlg().m_btnConnect->text(), "Connect");
        EXPECT_TRUE(Dlg().m_cmbInterface->isEnabled());
        EXPECT_TRUE(Dlg().m_chkAutoConnect->isVisible());
        EXPECT_FALSE(Dlg().m_progress->isVisible());
        EXPECT_EQ(Pane(PANE_OPERATION), "");
        EXPECT_TRUE(Dlg().isVisible());

        // A second connect starts afresh, then Quit ends the dialog at once.
        Dlg().m_btnConnect->click();
        EXPECT_TRUE(WaitFor([&] { return Dlg().Engine().Serial().IsOpen(); }));
        EXPECT_TRUE(Dlg().Connecting());
        Dlg().m_btnQuit->click();
    });
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_FALSE(Dlg().m_bRemember);
    EXPECT_TRUE(WaitFor([&] { return !Dlg().Connecting(); }, 200));
    EXPECT_TRUE(m_prompter.shown.empty());
}

TEST_F(ConnectDialogTest, SpiLeavesTheSerialSettingsAndFailsWithoutABridge) {
    Dlg().Engine().SetSerialLink("/dev/kept", CRYSTAL_32MHZ, 3);
    RunDialog([&] {
        int spi = Dlg().m_cmbInterface->count() - 1;
        Dlg().m_cmbInterface->setCurrentIndex(spi);
        Dlg().m_btnConnect->click();
        EXPECT_TRUE(Dlg().Engine().m_bUsbMode);
        QTest::qWait(50);
        Dlg().m_btnConnect->click();  // Cancel
        Dlg().m_btnQuit->click();
    });
    EXPECT_EQ(Dlg().Engine().m_strPort, "/dev/kept");
    EXPECT_EQ(Dlg().Engine().m_nCrystal, CRYSTAL_32MHZ);
    EXPECT_EQ(Dlg().Engine().m_nBaudRate, 38400u);
}

TEST_F(ConnectDialogTest, FailedConnectAsksToRetryAndNoRejects) {
    StartChip();
    m_prompter.answers = {true, false};
    int result = RunDialog([&] {
        Dlg().m_cmbInterface->setCurrentIndex(Dlg().m_cmbInterface->findText(CHIP_ENTRY));
        m_sim->Stop();  // the port is gone by the time the user clicks
        Dlg().m_btnConnect->click();
    });
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_EQ(m_prompter.Texts(),
              (std::vector<std::string>{"Open COM port failed!", "Connect Fail, Retry?",
                                        "Open COM port failed!", "Connect Fail, Retry?"}));
    EXPECT_FALSE(Dlg().m_bRemember);
}

}  // namespace
}  // namespace nvds::test
