#pragma once

#include <memory>

#include "link/LinkTransport.h"
#include "link/UsbTransport.h"

namespace nvds {

/// The boot loader behind the USB-to-SPI bridge. The bridge is opened afresh by every
/// transfer, so Open and Close do nothing; answers are pulled with a bulk IN transfer, the chip
/// sends no status bytes the host could see (nothing confirms a command), and frames carry the
/// transfer count.
class CUsbLink : public LinkTransport {
public:
    explicit CUsbLink(std::unique_ptr<UsbTransport> usb) : m_pUsb(std::move(usb)) {}

    bool Open(uint32_t /*baud*/, RxQueue& /*rx*/) override { return true; }
    void Close() override {}
    bool IsOpen() const override { return true; }
    /// Issues a bulk OUT transfer. False only when no bridge could be opened; a transfer that
    /// was issued counts as sent (a lost one shows as a missing or bad answer).
    bool Write(const uint8_t* data, size_t size) override;
    std::string LastError() const override { return m_pUsb->LastError(); }
    std::string Name() const override { return "USB bridge"; }
    std::vector<uint8_t> Frame(uint8_t command, const uint8_t* payload, uint32_t length,
                               uint32_t readLen) const override;
    int ConfirmTries(int /*confirm*/) const override { return 0; }
    /// 1 at once: the bridge passes no status byte on.
    int WaitStatus(CProgstarDlg& /*engine*/, uint8_t /*value*/,
                   std::chrono::milliseconds /*timeout*/) override {
        return 1;
    }
    /// Pulls the answer frame with one bulk IN transfer.
    int WaitDataFrame(CProgstarDlg& engine, uint8_t* out, uint32_t length,
                      std::chrono::milliseconds timeout) override;
    const char* TraceOut() const override { return "out usb"; }
    std::unique_ptr<SyncStep> MakeSyncStep() override;

private:
    std::unique_ptr<UsbTransport> m_pUsb;
};

}  // namespace nvds
