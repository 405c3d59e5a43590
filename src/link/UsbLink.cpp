#include "link/UsbLink.h"

#include "link/ConnectTarget.h"

namespace nvds {

bool CUsbLink::Write(const uint8_t* data, size_t size) {
    return m_pUsb->UsbBulkOut(data, static_cast<uint32_t>(size)) == USB_OUT_ISSUED;
}

bool CUsbLink::ReadAnswer(uint8_t* data, uint32_t size) {
    return m_pUsb->UsbBulkIn(data, size) != 0;
}

const LinkTraits& CUsbLink::Traits() const {
    static constexpr LinkTraits BRIDGE{true, false, false, true, "out usb", "in  usb"};
    return BRIDGE;
}

std::unique_ptr<SyncStep> CUsbLink::MakeSyncStep() {
    return MakeBridgeSync(*m_pUsb);
}

}  // namespace nvds
