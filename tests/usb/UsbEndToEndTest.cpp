#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "UsbTestDriver.h"
#include "image/StatusText.h"
#include "link/AreaTransfer.h"
#include "link/ConnectTarget.h"
#include "link/LinkConstants.h"
#include "link/ProgstarDlg.h"
#include "link/UsbLink.h"
#include "link/usb/CyUsbTransport.h"
#include "link/usb/UsbTransferHeader.h"
#include "sim/SimUsbDriver.h"

namespace nvds {
namespace {

NvdsImage Pattern(uint8_t seed) {
    NvdsImage image;
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 5 + seed + (i >> 8));
    }
    return image;
}

// The host engine in USB mode against the simulated bridge.
class UsbEndToEnd : public ::testing::Test {
protected:
    void Start(SimUsbOptions options = {}) {
        sim = std::make_shared<CSimUsbDriver>(options);
        driver = std::make_shared<RecordingDriver>(sim);
        engine.SetTransport(std::make_unique<CUsbLink>(std::make_unique<CyUsbTransport>(driver)));
        engine.ResetForConnect();
        ASSERT_TRUE(ConnectTarget(engine).Ok());
    }
    LinkCode Dump(NvdsImage& image) {
        return DumpImage(engine, engine.m_bConnected != 0, image, Recorder()).code;
    }
    LinkCode Burn(const NvdsImage& image) {
        return BurnImage(engine, engine.m_bConnected != 0, image, Recorder()).code;
    }
    TransferStatus Recorder() {
        return [this](int code) { codes.push_back(code); };
    }
    int Count(const std::string& entry) const {
        return static_cast<int>(std::count(driver->log.begin(), driver->log.end(), entry));
    }
    CProgstarDlg engine;
    std::shared_ptr<CSimUsbDriver> sim;
    std::shared_ptr<RecordingDriver> driver;
    std::vector<int> codes;
};

TEST_F(UsbEndToEnd, ConnectDumpBurnDump) {
    engine.m_strPort = "/dev/ttyUSB3";
    engine.m_nBaudRate = 57600;
    Start();
    NvdsImage image = Pattern(1);
    EXPECT_EQ(Dump(image), LinkCode::Ok);
    EXPECT_EQ(image, ErasedImage());
    NvdsImage burned = Pattern(9);
    driver->log.clear();
    EXPECT_EQ(Burn(burned), LinkCode::Ok);
    // 20 frames out and not one answer awaited: no bulk IN at all.
    EXPECT_EQ(Count("bulk 22004B 01"), 20);
    EXPECT_EQ(Count("bulk 22004B 81"), 0);
    driver->log.clear();
    NvdsImage read;
    EXPECT_EQ(Dump(read), LinkCode::Ok);
    EXPECT_EQ(read, burned);
    EXPECT_EQ(Count("bulk 22004B 01"), 17);
    EXPECT_EQ(Count("bulk 22004B 81"), 16);
    // Every transfer opens the bridge afresh.
    EXPECT_EQ(Count("open"), 33);
    EXPECT_EQ(sim->BadTrailers(), 0);
    EXPECT_EQ(codes, (std::vector<int>{8, 9, 11, 12, 8, 9}));
    // The bridge touches none of the serial settings.
    EXPECT_EQ(engine.m_strPort, "/dev/ttyUSB3");
    EXPECT_EQ(engine.m_nBaudRate, 57600u);
}

TEST_F(UsbEndToEnd, OldDriverCarriesTheSameDataBuffered) {
    SimUsbOptions options;
    options.driverVersion = 0x01050400;
    Start(options);
    NvdsImage burned = Pattern(3);
    EXPECT_EQ(Burn(burned), LinkCode::Ok);
    NvdsImage read;
    EXPECT_EQ(Dump(read), LinkCode::Ok);
    EXPECT_EQ(read, burned);
    // Data behind the header, code 0x220024, for every transfer.
    EXPECT_EQ(Count("bulk 22004B 01") + Count("bulk 22004B 81"), 0);
    EXPECT_EQ(Count("bulk 220024 81"), 16 + 1);  // the pages and the sync answer
    UsbTransferHeader h = UsbTransferHeader::Read(driver->submitted.back()->In().data());
    EXPECT_EQ(h.bufferOffset, USB_HEADER_SIZE);
    EXPECT_EQ(h.bufferLength, 263u);
}

TEST_F(UsbEndToEnd, LostAnswersAreRetriedAtTheirPage) {
    SimUsbOptions options;
    options.dropPage = 5;
    options.dropPageTimes = 1;
    Start(options);
    NvdsImage stored = Pattern(4);
    sim->SetFlash(std::vector<uint8_t>(stored.begin(), stored.end()));
    driver->submitted.clear();
    NvdsImage read;
    EXPECT_EQ(Dump(read), LinkCode::Ok);
    EXPECT_EQ(read, Pattern(4));
    // The lost page is re-addressed at 0x500 before it is read again.
    std::vector<uint32_t> addresses;
    for (const auto& request : driver->submitted) {
        const std::vector<uint8_t>& frame = request->Out();
        if (frame.size() == 13 && frame[1] == CMD_SET_ADDRESS) {
            addresses.push_back(frame[5] | frame[6] << 8 | frame[7] << 16);
        }
    }
    EXPECT_EQ(addresses, (std::vector<uint32_t>{0, 0x500}));

    // Three losses of the same page fail the dump and leave the destination alone.
    sim = nullptr;
    options.dropPageTimes = 3;
    Start(options);
    NvdsImage dest = Pattern(7);
    codes.clear();
    EXPECT_EQ(Dump(dest), LinkCode::Failed);
    EXPECT_EQ(dest, Pattern(7));
    EXPECT_EQ(codes, (std::vector<int>{8, 10}));
}

}  // namespace
}  // namespace nvds
