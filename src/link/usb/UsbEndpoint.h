#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "link/usb/CyUsbDriver.h"

namespace nvds {

/// Endpoint kinds by the low two bits of bmAttributes.
enum UsbEndpointKind : uint8_t {
    USB_EP_CONTROL = 0,
    USB_EP_ISOCHRONOUS = 1,
    USB_EP_BULK = 2,
    USB_EP_INTERRUPT = 3,
};

/// Transfer modes: direct passes the caller's buffer as the output buffer; buffered carries the
/// data behind the header (drivers before version 0x01050500).
constexpr uint8_t USB_MODE_BUFFERED = 0;
constexpr uint8_t USB_MODE_DIRECT = 1;

/// One endpoint of an interface, with its overlapped transfers.
class UsbEndpoint {
public:
    /// From the 7 bytes of an endpoint descriptor:
    /// [0] bLength [1] bDescriptorType [2] bEndpointAddress [3] bmAttributes
    /// [4..5] wMaxPacketSize (bits 11-12: extra transactions per microframe) [6] bInterval
    UsbEndpoint(CyUsbDriver* driver, UsbHandle handle, const uint8_t* descriptor);

    /// Starts a transfer of `length` bytes; for OUT the data is taken from `buffer` now. Returns
    /// the transfer's context, or nullptr when refused (closed handle, not a bulk or interrupt
    /// endpoint).
    std::shared_ptr<UsbIoRequest> BeginTransfer(const uint8_t* buffer, uint32_t length);
    /// Waits up to `timeoutMs` for the transfer. True when it has completed.
    bool WaitTransfer(UsbIoRequest& request, uint32_t timeoutMs);
    /// Takes the result without waiting: `length` becomes the bytes moved (0 when the transfer
    /// is not done) and an IN transfer's data lands in `buffer`. True when both statuses are 0.
    bool FinishTransfer(uint8_t* buffer, uint32_t& length,
                        const std::shared_ptr<UsbIoRequest>& request);

    UsbEndpointKind Kind() const { return static_cast<UsbEndpointKind>(bmAttributes & 3); }

    CyUsbDriver* m_pDriver;
    UsbHandle m_hDevice;
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bEndpointAddress;
    uint8_t bmAttributes;
    uint16_t wMaxPacketSize;
    uint32_t m_nMaxPacketSize;  // size × (1 + extra transactions)
    uint8_t bInterval;
    uint32_t m_nTimeOut = 10000;
    uint32_t m_nUsbdStatus = 0;
    uint32_t m_nNtStatus = 0;
    uint32_t m_nBytesTransferred = 0;
    uint32_t m_nLastError = 0;
    bool m_bIn;
    uint8_t m_nTransferMode = USB_MODE_DIRECT;
};

}  // namespace nvds
