#include <algorithm>
#include <string>
#include <vector>

#include "image/StatusText.h"
#include "link/LinkRig.h"
#include "link/usb/UsbTransferHeader.h"

namespace nvds::test {
namespace {

// The engine in USB mode against the simulated bridge, as the bridge's driver sees it.
class UsbEndToEnd : public ::testing::Test {
protected:
    void Start() {
        rig.Start(Instant());
        ASSERT_TRUE(rig.Connect().Ok());
    }
    int Count(const std::string& entry) const {
        return static_cast<int>(std::count(rig.driver->log.begin(), rig.driver->log.end(), entry));
    }
    LinkRig rig{LinkKind::UsbBridge};
};

TEST_F(UsbEndToEnd, ConnectDumpBurnDump) {
    rig.engine.m_nBaudRate = 57600;
    Start();
    NvdsImage image = Pattern(1);
    EXPECT_TRUE(rig.Dump(image).Ok());
    EXPECT_EQ(image, ErasedImage());
    NvdsImage burned = Pattern(9);
    rig.driver->log.clear();
    EXPECT_TRUE(rig.Burn(burned).Ok());
    // 20 frames out and not one answer awaited: no bulk IN at all.
    EXPECT_EQ(Count("bulk 22004B 01"), 20);
    EXPECT_EQ(Count("bulk 22004B 81"), 0);
    rig.driver->log.clear();
    NvdsImage read;
    EXPECT_TRUE(rig.Dump(read).Ok());
    EXPECT_EQ(read, burned);
    EXPECT_EQ(Count("bulk 22004B 01"), 17);
    EXPECT_EQ(Count("bulk 22004B 81"), 16);
    // Every transfer opens the bridge afresh.
    EXPECT_EQ(Count("open"), 33);
    EXPECT_EQ(rig.bridge->BadTrailers(), 0);
    EXPECT_EQ(rig.codes, (std::vector<int>{8, 9, 11, 12, 8, 9}));
    // The bridge touches none of the serial settings.
    EXPECT_EQ(rig.engine.m_nBaudRate, 57600u);
}

TEST_F(UsbEndToEnd, OldDriverCarriesTheSameDataBuffered) {
    rig.usbOptions.driverVersion = 0x01050400;
    Start();
    NvdsImage burned = Pattern(3);
    EXPECT_TRUE(rig.Burn(burned).Ok());
    NvdsImage read;
    EXPECT_TRUE(rig.Dump(read).Ok());
    EXPECT_EQ(read, burned);
    // Data behind the header, code 0x220024, for every transfer.
    EXPECT_EQ(Count("bulk 22004B 01") + Count("bulk 22004B 81"), 0);
    EXPECT_EQ(Count("bulk 220024 81"), 16 + 1);  // the pages and the sync answer
    UsbTransferHeader h = UsbTransferHeader::Read(rig.driver->submitted.back()->In().data());
    EXPECT_EQ(h.bufferOffset, USB_HEADER_SIZE);
    EXPECT_EQ(h.bufferLength, 263u);
}

TEST_F(UsbEndToEnd, LostAnswerIsReadAgainAfterItsPageIsReaddressed) {
    rig.usbOptions.dropPage = 5;
    rig.usbOptions.dropPageTimes = 1;
    Start();
    NvdsImage stored = Pattern(4);
    rig.SetFlash(std::vector<uint8_t>(stored.begin(), stored.end()));
    rig.driver->submitted.clear();
    NvdsImage read;
    EXPECT_TRUE(rig.Dump(read).Ok());
    EXPECT_EQ(read, Pattern(4));
    // The lost page is re-addressed at 0x500 before it is read again.
    std::vector<uint32_t> addresses;
    for (const auto& request : rig.driver->submitted) {
        const std::vector<uint8_t>& frame = request->Out();
        if (frame.size() == 13 && frame[1] == CMD_SET_ADDRESS) {
            addresses.push_back(frame[5] | frame[6] << 8 | frame[7] << 16);
        }
    }
    EXPECT_EQ(addresses, (std::vector<uint32_t>{0, 0x500}));
}

}  // namespace
}  // namespace nvds::test
