#include "link/usb/UsbConfiguration.h"

#include <algorithm>

#include "platform/LittleEndian.h"

namespace nvds {

namespace {

constexpr uint8_t DESC_CONFIGURATION = 2;
constexpr uint8_t DESC_INTERFACE = 4;
constexpr uint8_t DESC_ENDPOINT = 5;
constexpr size_t CONFIG_DESC_SIZE = 9;
constexpr size_t INTERFACE_DESC_SIZE = 9;
constexpr size_t ENDPOINT_DESC_SIZE = 7;

// Interface descriptor: [0] bLength [1] type 4 [2] bInterfaceNumber [3] bAlternateSetting
// [4] bNumEndpoints [5] class [6] subclass [7] protocol [8] iInterface
UsbInterface ReadInterface(const uint8_t* d, CyUsbDriver* driver, UsbHandle handle,
                           uint8_t maxPacketSize0) {
    UsbInterface itf;
    itf.bLength = d[0];
    itf.bDescriptorType = d[1];
    itf.bAlternateSetting = d[3];
    itf.bNumEndpoints = d[4];
    std::vector<uint8_t> control = ControlEndpointDescriptor(maxPacketSize0);
    itf.m_endpoints.push_back(std::make_unique<UsbEndpoint>(driver, handle, control.data()));
    return itf;
}

}  // namespace

std::vector<uint8_t> ControlEndpointDescriptor(uint8_t maxPacketSize0) {
    return {static_cast<uint8_t>(ENDPOINT_DESC_SIZE), DESC_ENDPOINT, 0, 0, maxPacketSize0, 0, 0};
}

// Configuration descriptor: [0] bLength [1] type 2 [2..3] wTotalLength [4] bNumInterfaces
// [5] bConfigurationValue [6] iConfiguration [7] bmAttributes [8] MaxPower; the interface,
// endpoint and class descriptors follow up to wTotalLength.
bool ParseConfiguration(const uint8_t* data, size_t size, CyUsbDriver* driver, UsbHandle handle,
                        uint8_t maxPacketSize0, UsbConfiguration& out) {
    if (size < CONFIG_DESC_SIZE) {
        return false;
    }
    out.bLength = data[0];
    out.bDescriptorType = data[1];
    out.wTotalLength = GetLe16(data + 2);
    out.bmAttributes = data[7];
    out.m_interfaces.clear();
    if (out.bDescriptorType != DESC_CONFIGURATION || out.bLength < CONFIG_DESC_SIZE) {
        return true;
    }
    size_t end = std::min<size_t>(size, out.wTotalLength);
    size_t pos = out.bLength;
    uint32_t endpointsLeft = 0;
    while (pos + 2 <= end) {
        size_t length = data[pos];
        uint8_t type = data[pos + 1];
        if (length < 2 || pos + length > end) {
            break;
        }
        const uint8_t* d = data + pos;
        if (type == DESC_INTERFACE) {
            if (length < INTERFACE_DESC_SIZE || out.m_interfaces.size() == USB_MAX_INTERFACES) {
                break;
            }
            out.m_interfaces.push_back(ReadInterface(d, driver, handle, maxPacketSize0));
            endpointsLeft = out.m_interfaces.back().bNumEndpoints;
        } else if (type == DESC_ENDPOINT && endpointsLeft > 0 && !out.m_interfaces.empty()) {
            if (length < ENDPOINT_DESC_SIZE) {
                break;
            }
            --endpointsLeft;
            auto& endpoints = out.m_interfaces.back().m_endpoints;
            if (endpoints.size() < USB_MAX_ENDPOINTS) {
                endpoints.push_back(std::make_unique<UsbEndpoint>(driver, handle, d));
            }
        }
        pos += length;
    }
    return true;
}

}  // namespace nvds
