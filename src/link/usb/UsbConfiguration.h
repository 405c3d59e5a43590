#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "link/usb/UsbEndpoint.h"

namespace nvds {

/// Limits of what a bridge object keeps; a descriptor set with more is cut there.
constexpr size_t USB_MAX_CONFIGURATIONS = 8;
constexpr size_t USB_MAX_INTERFACES = 8;
constexpr size_t USB_MAX_ENDPOINTS = 16;  // per interface, the control endpoint included

/// One interface (alternate setting) with its endpoints; endpoint 0 is the control endpoint.
struct UsbInterface {
    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint8_t bAlternateSetting = 0;
    uint8_t bNumEndpoints = 0;
    std::vector<std::unique_ptr<UsbEndpoint>> m_endpoints;
};

/// One configuration with its interfaces.
struct UsbConfiguration {
    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint16_t wTotalLength = 0;
    uint8_t bmAttributes = 0;
    std::vector<UsbInterface> m_interfaces;
};

/// The 7 descriptor bytes of the control endpoint: address 0, attributes 0, the device's
/// bMaxPacketSize0.
std::vector<uint8_t> ControlEndpointDescriptor(uint8_t maxPacketSize0);

/// Builds a configuration from the `size` bytes a GET_DESCRIPTOR returned: the configuration
/// fields, each interface descriptor (up to 8) with the endpoint descriptors behind it (up to
/// its bNumEndpoints and 15 per interface), other descriptors stepped over. Stops at a bLength
/// below 2, at a descriptor that runs past the data or past wTotalLength, and never reads past
/// `size`. False when not even the configuration descriptor is there.
bool ParseConfiguration(const uint8_t* data, size_t size, CyUsbDriver* driver, UsbHandle handle,
                        uint8_t maxPacketSize0, UsbConfiguration& out);

}  // namespace nvds
