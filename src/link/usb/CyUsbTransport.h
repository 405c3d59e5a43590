#pragma once

#include <memory>
#include <string>

#include "link/LinkConstants.h"
#include "link/UsbTransport.h"
#include "link/usb/CyUsbDriver.h"

namespace nvds {

/// UsbBulkIn's result when the transfer was issued.
constexpr int USB_IN_ISSUED = 1;

/// The bridge transport over a driver: every transfer opens bridge 0 afresh, moves its bytes
/// on the current interface's bulk endpoint and releases the bridge again.
class CyUsbTransport : public UsbTransport {
public:
    explicit CyUsbTransport(std::shared_ptr<CyUsbDriver> driver);

    /// Sends the bytes on the bulk OUT endpoint, waiting up to 100 ms. 0x21 when the bridge
    /// was opened and the transfer issued (whatever came of it), 0 otherwise.
    int UsbBulkOut(const uint8_t* data, uint32_t size) override;
    /// Reads up to `size` bytes from the bulk IN endpoint, waiting up to 10 ms; the buffer is
    /// left as it was when nothing came. 1 when the transfer was issued, 0 otherwise.
    int UsbBulkIn(uint8_t* data, uint32_t size) override;
    /// Why the last transfer could not be issued, or a close error of the last transfer.
    std::string LastError() const override { return m_strLastError; }

    CyUsbDriver& Driver() { return *m_pDriver; }

private:
    int Transfer(bool in, uint8_t* data, uint32_t size, uint32_t waitMs, int issued);

    std::shared_ptr<CyUsbDriver> m_pDriver;
    std::string m_strLastError;
};

}  // namespace nvds
