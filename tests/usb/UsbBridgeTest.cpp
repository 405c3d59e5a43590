#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "UsbTestDriver.h"
#include "link/LinkConstants.h"
#include "link/usb/CyUsbTransport.h"
#include "link/usb/UsbBridgeDevice.h"
#include "link/usb/UsbTransferHeader.h"
#include "sim/SimUsbDriver.h"

namespace nvds {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes HeaderBytes(const UsbTransferHeader& h) {
    Bytes bytes(USB_HEADER_SIZE);
    h.Write(bytes.data());
    return bytes;
}

TEST(UsbHeader, BytesOfEachRequestKind) {
    // GET_DESCRIPTOR for 2 bytes of string 2 in US English, data behind the header.
    Bytes control = HeaderBytes(UsbTransferHeader::GetDescriptor(0x0302, 0x0409, 2));
    Bytes expected(USB_HEADER_SIZE, 0);
    Bytes head{0x80, 0x06, 0x02, 0x03, 0x09, 0x04, 0x02, 0x00, 0x05, 0x00, 0x00, 0x00};
    std::copy(head.begin(), head.end(), expected.begin());
    expected[30] = 38;
    expected[34] = 2;
    EXPECT_EQ(control, expected);

    // Every field at its own offset, little-endian.
    UsbTransferHeader h;
    h.wIndex = 0x0102;
    h.timeoutSec = 0x03040506;
    h.endpointAddress = 0x86;
    h.ntStatus = 0x0708090A;
    h.usbdStatus = 0x0B0C0D0E;
    h.packetInfoLength = 0x11121314;
    h.bufferLength = 0x15161718;
    Bytes b = HeaderBytes(h);
    EXPECT_EQ(b, (Bytes{0,    0,    0,    0,    0x02, 0x01, 0,    0,    0x06, 0x05, 0x04, 0x03, 0,
                        0x86, 0x0A, 0x09, 0x08, 0x07, 0x0E, 0x0D, 0x0C, 0x0B, 0,    0,    0,    0,
                        0x14, 0x13, 0x12, 0x11, 0,    0,    0,    0,    0x18, 0x17, 0x16, 0x15}));
    EXPECT_EQ(HeaderBytes(UsbTransferHeader::Read(b.data())), b);
}

// One transfer opens the bridge and reads every descriptor, in this order and these sizes.
TEST(UsbBridge, RequestSequenceOfOneTransfer) {
    auto driver = std::make_shared<RecordingDriver>(std::make_shared<CSimUsbDriver>());
    CyUsbTransport usb(driver);
    uint8_t sync = CMD_SYNC;
    ASSERT_EQ(usb.UsbBulkOut(&sync, 1), USB_OUT_ISSUED);
    std::vector<std::string> expected{
        "count",       "open",       "ctl 0100 18",    "ctl 0300 2", "ctl 0300 4",  "ctl 0301 2",
        "ctl 0301 30", "ctl 0302 2", "ctl 0302 54",    "ctl 0303 2", "ctl 0303 18", "req 220010",
        "req 22003C",  "req 220040", "req 220000",     "req 220004", "req 22004C",  "ctl 0200 9",
        "ctl 0200 60", "req 220008", "bulk 22004B 01", "close"};
    EXPECT_EQ(driver->log, expected);
    driver->log.clear();
    uint8_t answer = 0;
    ASSERT_EQ(usb.UsbBulkIn(&answer, 1), USB_IN_ISSUED);
    EXPECT_EQ(answer, STATUS_ACK);
    EXPECT_EQ(driver->log.size(), expected.size());
    EXPECT_EQ(driver->log[20], "bulk 22004B 81");
}

// Opening reads the strings in the language the bridge offers (US English when it is among
// them) and takes the endpoints of the alternate setting in use; a release drops them.
TEST(UsbBridge, OpenTakesTheOfferedLanguageAndTheCurrentAlternateSetting) {
    struct Case {
        std::vector<uint16_t> languages;
        uint16_t chosen;
        uint8_t alt;
    };
    for (const Case& c : {Case{{0x0409}, 0x0409, 0}, Case{{0x0407, 0x040C}, 0x0407, 1},
                          Case{{0x0407, 0x0409}, 0x0409, 0}}) {
        SimUsbOptions options;
        options.languages = c.languages;
        options.altSetting = c.alt;
        CSimUsbDriver driver(options);
        UsbBridgeDevice device(driver, true);
        ASSERT_TRUE(device.IsOpen());
        EXPECT_EQ(device.m_nLanguageId, c.chosen);
        EXPECT_EQ(driver.LastLanguage(), c.chosen);
        EXPECT_EQ(std::u16string(device.m_szProduct.data()), u"USB-SPI bridge (simulated)");
        EXPECT_EQ(std::u16string(device.m_szSerialNumber.data()), u"SIM-0001");
        ASSERT_NE(device.m_pInterface, nullptr);
        EXPECT_EQ(device.m_pInterface->bAlternateSetting, c.alt);
        EXPECT_EQ(device.m_pBulkOutEndpoint->bEndpointAddress, c.alt == 0 ? 0x01 : 0x02);
        EXPECT_EQ(device.m_pBulkInEndpoint->bEndpointAddress, c.alt == 0 ? 0x81 : 0x86);
        device.ReleaseDevice();
        EXPECT_FALSE(device.IsOpen());
        EXPECT_EQ(device.m_pBulkInEndpoint, nullptr);
        EXPECT_TRUE(device.m_configs.empty());
    }
}

TEST(UsbBridge, NoBridgeSilentBridgeAndTimedOutRead) {
    SimUsbOptions absent;
    absent.present = false;
    auto none = std::make_shared<RecordingDriver>(std::make_shared<CSimUsbDriver>(absent));
    CyUsbTransport noBridge(none);
    uint8_t sync = CMD_SYNC;
    uint8_t answer = 0x02;
    EXPECT_EQ(noBridge.UsbBulkOut(&sync, 1), 0);
    EXPECT_EQ(noBridge.UsbBulkIn(&answer, 1), 0);
    EXPECT_EQ(none->log, (std::vector<std::string>{"count", "count"}));  // nothing sent
    EXPECT_FALSE(noBridge.LastError().empty());

    // Attached, but the frame draws no answer (a bad CRC): the send still counts as issued,
    // and the read finds nothing within its 10 ms and leaves the buffer alone.
    auto sim = std::make_shared<CSimUsbDriver>();
    CyUsbTransport usb(sim);
    Bytes bad{0x71, 0x3B, 0x04, 0x00, 0x00, 0, 0, 0, 0, 0x00, 0x00, 0, 0};
    EXPECT_EQ(usb.UsbBulkOut(bad.data(), static_cast<uint32_t>(bad.size())), USB_OUT_ISSUED);
    Bytes buffer(263, 0xAA);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(usb.UsbBulkIn(buffer.data(), 263), USB_IN_ISSUED);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(USB_IN_WAIT_MS));
    EXPECT_EQ(buffer, Bytes(263, 0xAA));
}

TEST(UsbBridge, CloseErrorsCarryTheirText) {
    SimUsbOptions options;
    options.failClose = true;
    CSimUsbDriver driver(options);
    UsbBridgeDevice device(driver, true);
    ASSERT_TRUE(device.IsOpen());
    try {
        device.CloseDevice();
        FAIL() << "no close error";
    } catch (const UsbCloseError& error) {
        EXPECT_STREQ(error.what(), "Failed to close handle to driver.");
    }
    EXPECT_TRUE(device.IsOpen());  // the close did not complete

    // The transport still reports the transfer as issued and keeps the text.
    CyUsbTransport usb(std::make_shared<CSimUsbDriver>(options));
    uint8_t sync = CMD_SYNC;
    EXPECT_EQ(usb.UsbBulkOut(&sync, 1), USB_OUT_ISSUED);
    EXPECT_EQ(usb.LastError(), "Failed to close handle to driver.");
}

}  // namespace
}  // namespace nvds
