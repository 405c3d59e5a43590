// Opens a bridge whose driver answers every descriptor read from the fuzz input: the device
// descriptor from the first 18 bytes, everything else (language list, strings, configurations)
// from the rest, cut to what was asked. Whatever the bytes say about their own lengths, the
// bridge must never read past what the driver returned nor keep more than its limits.
#include "FuzzTargets.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "link/usb/UsbBridgeDevice.h"
#include "link/usb/UsbConfiguration.h"
#include "link/usb/UsbTransferHeader.h"

namespace {

class FuzzDriver : public nvds::CyUsbDriver {
public:
    FuzzDriver(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    int CountDevices() override { return 1; }
    nvds::UsbHandle Open(int) override { return 1; }
    bool Close(nvds::UsbHandle) override { return true; }
    uint32_t Submit(nvds::UsbHandle, const std::shared_ptr<nvds::UsbIoRequest>& r) override {
        r->Complete(false, 0);
        return nvds::USB_IO_FAILED;
    }
    bool Request(nvds::UsbHandle, uint32_t code, uint8_t* buffer, uint32_t size,
                 uint32_t& returned) override {
        returned = 0;
        if (code != nvds::CYUSB_REQ_CONTROL) {
            // Driver values: the first input bytes, as many as fit.
            size_t n = std::min<size_t>(size, m_size);
            std::memcpy(buffer, m_data, n);
            returned = static_cast<uint32_t>(n);
            return true;
        }
        nvds::UsbTransferHeader h = nvds::UsbTransferHeader::Read(buffer);
        bool device = (h.wValue >> 8) == 1;
        const uint8_t* src = device ? m_data : m_data + std::min<size_t>(18, m_size);
        size_t avail =
            device ? std::min<size_t>(18, m_size) : m_size - std::min<size_t>(18, m_size);
        size_t n = std::min<size_t>({avail, h.wLength, size - nvds::USB_HEADER_SIZE});
        std::memcpy(buffer + nvds::USB_HEADER_SIZE, src, n);
        returned = static_cast<uint32_t>(nvds::USB_HEADER_SIZE + n);
        return true;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
};

}  // namespace

int nvds::fuzz::UsbDescriptorInput(const uint8_t* data, size_t size) {
    nvds::UsbConfiguration config;
    nvds::ParseConfiguration(data, size, nullptr, 1, 64, config);
    if (config.m_interfaces.size() > nvds::USB_MAX_INTERFACES) {
        __builtin_trap();
    }
    FuzzDriver driver(data, size);
    nvds::UsbBridgeDevice device(driver);
    device.OpenDevice(0);
    if (device.m_configs.size() > nvds::USB_MAX_CONFIGURATIONS) {
        __builtin_trap();
    }
    for (const auto& c : device.m_configs) {
        for (const auto& itf : c.m_interfaces) {
            if (itf.m_endpoints.size() > nvds::USB_MAX_ENDPOINTS) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
