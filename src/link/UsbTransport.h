#pragma once

#include <cstdint>
#include <string>

namespace nvds {

/// The USB-to-SPI bridge as the protocol engine sees it: one bulk transfer out and one in, each
/// opening the bridge afresh.
class UsbTransport {
public:
    virtual ~UsbTransport() = default;
    /// Sends the bytes. Returns 0x21 when the bridge was opened and the transfer issued, 0 when
    /// there is no bridge.
    virtual int UsbBulkOut(const uint8_t* data, uint32_t size) = 0;
    /// Reads up to `size` bytes into `data` (left as it was on a time-out). Returns 1 when the
    /// bridge was opened, 0 when there is none.
    virtual int UsbBulkIn(uint8_t* data, uint32_t size) = 0;
    /// Why the bridge could not be used (no device, no permission, ...); empty when it could.
    virtual std::string LastError() const { return {}; }
};

/// A bridge that cannot be used: there is never a device, for the reason given.
class NoUsbBridge : public UsbTransport {
public:
    explicit NoUsbBridge(std::string why = {}) : m_strWhy(std::move(why)) {}
    int UsbBulkOut(const uint8_t*, uint32_t) override { return 0; }
    int UsbBulkIn(uint8_t*, uint32_t) override { return 0; }
    std::string LastError() const override { return m_strWhy; }

private:
    std::string m_strWhy;
};

/// UsbBulkOut's result when the transfer was issued.
constexpr int USB_OUT_ISSUED = 0x21;

}  // namespace nvds
