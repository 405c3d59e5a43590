#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTimer>
#include <vector>

#include "app/ConnectInterface.h"
#include "link/AreaTransfer.h"
#include "link/LinkConstants.h"
#include "link/LinkFlows.h"
#include "platform/Prompter.h"
#include "sim/SimUsbTransport.h"

namespace nvds {
namespace {

// "SPI" in the connect dialog reaches the chip through the simulated bridge, leaves the serial
// settings alone, and the engine it leaves behind burns and dumps.
TEST(UsbConnectDialog, SpiConnectsBurnsAndDumpsThroughTheBridge) {
    RecordingPrompter prompter;
    CConnectInterface dlg(nullptr, prompter, {},
                          std::make_shared<LinkFactory>(LinkEnvironment{"sim", {}, {}},
                                                        [] { return CreateSimUsbTransport(); }));
    CProgstarDlg& engine = dlg.Engine();
    SetUpLink(engine, LinkFactory(), "/dev/kept", CRYSTAL_32MHZ, 3);
    QTimer::singleShot(0, &dlg, [&] {
        dlg.m_cmbInterface->setCurrentIndex(dlg.m_cmbInterface->count() - 1);
        dlg.OnInterfaceChanged();
        EXPECT_FALSE(dlg.m_cmbBaud->isEnabled());
        dlg.m_btnConnect->click();
    });
    ASSERT_EQ(dlg.DoModal(), QDialog::Accepted);
    EXPECT_EQ(engine.m_bConnected, 1);
    EXPECT_EQ(engine.m_nCrystal, CRYSTAL_32MHZ);
    EXPECT_EQ(engine.m_nBaudRate, 38400u);
    EXPECT_EQ(dlg.m_strInterface, "SPI");

    NvdsImage image;
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i ^ (i >> 8));
    }
    NvdsImage back{};
    EXPECT_TRUE(BurnImage(engine, true, image, {}).Ok());
    EXPECT_TRUE(DumpImage(engine, true, back, {}).Ok());
    EXPECT_EQ(back, image);
    EXPECT_TRUE(prompter.shown.empty());
}

}  // namespace
}  // namespace nvds
