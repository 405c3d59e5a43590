#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "link/usb/UsbBridgeDevice.h"
#include "link/usb/UsbConfiguration.h"
#include "link/usb/UsbTransferHeader.h"

namespace nvds {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Config(uint16_t total) {
    return {0x09, 0x02, static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8), 1, 1, 0,
            0x80, 0x32};
}
Bytes Interface(uint8_t alt, uint8_t endpoints) {
    return {0x09, 0x04, 0x00, alt, endpoints, 0xFF, 0x00, 0x00, 0x00};
}
Bytes Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket) {
    return {0x07, 0x05, address, attributes, uint8_t(maxPacket), uint8_t(maxPacket >> 8), 0x01};
}
Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}
// Sets wTotalLength to the real size.
Bytes Sized(Bytes d) {
    d[2] = static_cast<uint8_t>(d.size());
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
}
// The parser gets a heap copy of exactly the bytes, so a read past them trips the sanitizer.
bool Parse(const Bytes& d, UsbConfiguration& config) {
    auto copy = std::make_unique<uint8_t[]>(d.size());
    std::memcpy(copy.get(), d.data(), d.size());
    return ParseConfiguration(copy.get(), d.size(), nullptr, 1, 64, config);
}

TEST(UsbDescriptors, ParsesInterfacesEndpointsAndPacketSizes) {
    Bytes d = Sized(Join({Config(0),
                          Interface(0, 3),
                          {0x05, 0x24, 0x00, 0x10, 0x01},
                          Endpoint(0x01, 2, 512),
                          Endpoint(0x81, 2, 512),
                          Endpoint(0x83, 1, 0x1400),
                          Interface(1, 1),
                          Endpoint(0x02, 3, 64)}));
    UsbConfiguration config;
    ASSERT_TRUE(Parse(d, config));
    EXPECT_EQ(config.wTotalLength, d.size());
    EXPECT_EQ(config.bmAttributes, 0x80);
    ASSERT_EQ(config.m_interfaces.size(), 2u);
    const auto& eps = config.m_interfaces[0].m_endpoints;
    ASSERT_EQ(eps.size(), 4u);  // control endpoint first, the vendor descriptor stepped over
    EXPECT_EQ(eps[0]->bEndpointAddress, 0);
    EXPECT_EQ(eps[0]->m_nMaxPacketSize, 64u);
    EXPECT_EQ(eps[1]->Kind(), USB_EP_BULK);
    EXPECT_FALSE(eps[1]->m_bIn);
    EXPECT_TRUE(eps[2]->m_bIn);
    EXPECT_EQ(eps[2]->m_nMaxPacketSize, 512u);
    // Two extra transactions per microframe: 0x400 bytes three times over.
    EXPECT_EQ(eps[3]->Kind(), USB_EP_ISOCHRONOUS);
    EXPECT_EQ(eps[3]->m_nMaxPacketSize, 0x400u * 3);
    EXPECT_EQ(config.m_interfaces[1].bAlternateSetting, 1);
    EXPECT_EQ(config.m_interfaces[1].m_endpoints[1]->Kind(), USB_EP_INTERRUPT);
}

TEST(UsbDescriptors, HostileSetsStopCleanly) {
    Bytes good = Join({Interface(0, 2), Endpoint(0x01, 2, 512), Endpoint(0x81, 2, 512)});
    UsbConfiguration config;

    // A bLength of 0 would loop for ever: parsing stops there.
    ASSERT_TRUE(Parse(Sized(Join({Config(0), good, {0x00, 0x05}, Interface(1, 0)})), config));
    EXPECT_EQ(config.m_interfaces.size(), 1u);

    // wTotalLength shorter than the contents: only what it covers counts.
    Bytes cut = Join({Config(9 + 9 + 7), good});
    ASSERT_TRUE(Parse(cut, config));
    ASSERT_EQ(config.m_interfaces.size(), 1u);
    EXPECT_EQ(config.m_interfaces[0].m_endpoints.size(), 2u);

    // wTotalLength longer than what was read, and a descriptor cut off at the end.
    Bytes longer = Join({Config(400), good, {0x09, 0x04, 0x00}});
    ASSERT_TRUE(Parse(longer, config));
    EXPECT_EQ(config.m_interfaces.size(), 1u);

    // More than 8 interfaces and more than 15 endpoints behind one interface.
    Bytes many = Config(0);
    for (int i = 0; i < 10; ++i) {
        many = Join({many, Interface(static_cast<uint8_t>(i), 0)});
    }
    ASSERT_TRUE(Parse(Sized(many), config));
    EXPECT_EQ(config.m_interfaces.size(), USB_MAX_INTERFACES);
    Bytes crowded = Join({Config(0), Interface(0, 30)});
    for (int i = 0; i < 30; ++i) {
        crowded = Join({crowded, Endpoint(static_cast<uint8_t>(0x81 + i % 15), 2, 64)});
    }
    ASSERT_TRUE(Parse(Sized(crowded), config));
    EXPECT_EQ(config.m_interfaces[0].m_endpoints.size(), USB_MAX_ENDPOINTS);

    // An endpoint descriptor too short to hold its fields, and no configuration at all.
    ASSERT_TRUE(Parse(Sized(Join({Config(0), Interface(0, 1), {0x03, 0x05, 0x81}})), config));
    EXPECT_EQ(config.m_interfaces[0].m_endpoints.size(), 1u);
    EXPECT_FALSE(Parse({0x09, 0x02, 0x20}, config));
}

// A driver that answers descriptor reads from fixed bytes, possibly fewer than asked for.
class ScriptedDriver : public CyUsbDriver {
public:
    Bytes device;
    Bytes config;
    int configReads = 0;

    int CountDevices() override { return 1; }
    UsbHandle Open(int) override { return 7; }
    bool Close(UsbHandle) override { return true; }
    uint32_t Submit(UsbHandle, const std::shared_ptr<UsbIoRequest>&) override {
        return USB_IO_FAILED;
    }
    bool Request(UsbHandle, uint32_t code, uint8_t* buffer, uint32_t size,
                 uint32_t& returned) override {
        returned = 0;
        if (code == CYUSB_REQ_ALT_SETTING) {
            buffer[0] = 0;
            returned = 1;
            return true;
        }
        if (code != CYUSB_REQ_CONTROL) {
            return false;
        }
        UsbTransferHeader h = UsbTransferHeader::Read(buffer);
        const Bytes* d = (h.wValue >> 8) == 1 ? &device : (h.wValue >> 8) == 2 ? &config : nullptr;
        if (d == nullptr) {
            return false;
        }
        configReads += (h.wValue >> 8) == 2;
        size_t n = std::min<size_t>({d->size(), h.wLength, size - USB_HEADER_SIZE});
        std::memcpy(buffer + USB_HEADER_SIZE, d->data(), n);
        returned = static_cast<uint32_t>(USB_HEADER_SIZE + n);
        return true;
    }
};

TEST(UsbDescriptors, DeviceTakesOnlyWhatTheDriverReturned) {
    ScriptedDriver driver;
    driver.device = {0x12, 0x01, 0x00, 0x02, 0, 0, 0, 0x40, 0xB4,
                     0x04, 0x04, 0x10, 0,    0, 0, 0, 0,    20};
    // Claims 300 bytes, holds 34; 20 configurations claimed, 8 read.
    driver.config =
        Join({Config(300), Interface(0, 2), Endpoint(0x01, 2, 512), Endpoint(0x81, 2, 512)});
    UsbBridgeDevice device(driver);
    ASSERT_TRUE(device.OpenDevice(0));
    EXPECT_EQ(driver.configReads, 2 * static_cast<int>(USB_MAX_CONFIGURATIONS));
    EXPECT_EQ(device.m_configs.size(), USB_MAX_CONFIGURATIONS);
    EXPECT_EQ(device.m_configDescriptors[0].size(), driver.config.size());
    ASSERT_NE(device.m_pBulkInEndpoint, nullptr);
    EXPECT_EQ(device.m_pBulkInEndpoint->bEndpointAddress, 0x81);
    // The driver version request failed: 0 is below the direct version, so transfers go buffered.
    EXPECT_EQ(device.m_pBulkOutEndpoint->m_nTransferMode, USB_MODE_BUFFERED);

    // A device without any interface does not open.
    driver.config = Config(9);
    UsbBridgeDevice bare(driver);
    EXPECT_FALSE(bare.OpenDevice(0));
}

}  // namespace
}  // namespace nvds
