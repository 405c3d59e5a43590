#pragma once

#include <cstdint>

namespace nvds {

/// Size of the request header the bridge driver takes with every request.
constexpr uint32_t USB_HEADER_SIZE = 38;

/// Request codes of the bridge driver.
constexpr uint32_t CYUSB_REQ_DRIVER_VERSION = 0x220000;  // 4 bytes out
constexpr uint32_t CYUSB_REQ_VERSION_WORD = 0x220004;    // 4 bytes out
constexpr uint32_t CYUSB_REQ_ALT_SETTING = 0x220008;     // 1 byte out
constexpr uint32_t CYUSB_REQ_DEVICE_VALUE = 0x220010;    // 1 byte out
constexpr uint32_t CYUSB_REQ_CONTROL = 0x220020;         // header + data, same buffer
constexpr uint32_t CYUSB_REQ_BULK_BUFFERED = 0x220024;   // header + data, same buffer
constexpr uint32_t CYUSB_REQ_TEXT_A = 0x22003C;          // 256 bytes out
constexpr uint32_t CYUSB_REQ_TEXT_B = 0x220040;          // 256 bytes out
constexpr uint32_t CYUSB_REQ_BULK_DIRECT = 0x22004B;     // header in, data as output buffer
constexpr uint32_t CYUSB_REQ_BUS_SPEED = 0x22004C;       // 4 bytes out

/// Drivers before this version only take buffered bulk transfers.
constexpr uint32_t CYUSB_DIRECT_VERSION = 0x01050500;
/// Bus speed value that means high speed.
constexpr uint32_t CYUSB_SPEED_HIGH = 2;
/// Text requests answer this many bytes.
constexpr uint32_t CYUSB_TEXT_SIZE = 256;

/// The standard GET_DESCRIPTOR request to the device, as a control request's header holds it.
constexpr uint8_t REQTYPE_STANDARD_DEVICE_IN = 0x80;
constexpr uint8_t REQ_GET_DESCRIPTOR = 6;
/// Statuses a failed or cancelled request reports in its header, as the bridge's driver on the
/// other platform reports them.
constexpr uint32_t NT_STATUS_UNSUCCESSFUL = 0xC0000001;
constexpr uint32_t NT_STATUS_CANCELLED = 0xC0000120;
constexpr uint32_t USBD_STATUS_STALL = 0xC0000004;
constexpr uint32_t USBD_STATUS_CANCELED = 0xC0010000;

/// Last-error values of an overlapped request.
constexpr uint32_t USB_IO_DONE = 0;
constexpr uint32_t USB_IO_PENDING = 997;
constexpr uint32_t USB_IO_FAILED = 31;

/// The 38-byte request header. Encoded and decoded byte by byte, little-endian:
///  [0] bmRequestType [1] bRequest [2..3] wValue [4..5] wIndex [6..7] wLength
///  [8..11] time-out in seconds [12] reserved [13] endpoint address [14..17] NT status
///  [18..21] USBD status [22..25] packet-info offset [26..29] packet-info length
///  [30..33] buffer offset (38 when data follows the header) [34..37] buffer length
struct UsbTransferHeader {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    uint32_t timeoutSec = 0;
    uint8_t reserved = 0;
    uint8_t endpointAddress = 0;
    uint32_t ntStatus = 0;
    uint32_t usbdStatus = 0;
    uint32_t packetInfoOffset = 0;
    uint32_t packetInfoLength = 0;
    uint32_t bufferOffset = 0;
    uint32_t bufferLength = 0;

    /// Writes the 38 header bytes to `out`.
    void Write(uint8_t* out) const;
    /// Reads a header from 38 bytes.
    static UsbTransferHeader Read(const uint8_t* in);
    /// A GET_DESCRIPTOR control request for `wLength` bytes behind the header (5 s time-out).
    static UsbTransferHeader GetDescriptor(uint16_t wValue, uint16_t wIndex, uint16_t wLength);
};

/// Writes the driver statuses into an encoded header in place.
void SetHeaderStatus(uint8_t* header, uint32_t ntStatus, uint32_t usbdStatus);

}  // namespace nvds
