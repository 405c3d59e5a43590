#include "link/UsbLink.h"

#include <cstring>

#include "link/ConnectTarget.h"
#include "link/Crc16.h"
#include "link/Frame.h"
#include "link/LinkTrace.h"
#include "link/ProgstarDlg.h"
#include "platform/LittleEndian.h"

namespace nvds {

bool CUsbLink::Write(const uint8_t* data, size_t size) {
    return m_pUsb->UsbBulkOut(data, static_cast<uint32_t>(size)) == USB_OUT_ISSUED;
}

std::vector<uint8_t> CUsbLink::Frame(uint8_t command, const uint8_t* payload, uint32_t length,
                                     uint32_t readLen) const {
    return BuildFrame(command, payload, length, true, readLen);
}

int CUsbLink::WaitDataFrame(CProgstarDlg& engine, uint8_t* out, uint32_t length,
                            std::chrono::milliseconds /*timeout*/) {
    // Preset to 0xFF: a link that sends nothing then fails the CRC check instead of passing
    // zeros off as a page (the CRC of all-zero bytes is zero).
    std::vector<uint8_t> answer(length + FRAME_OVERHEAD, 0xFF);
    if (m_pUsb->UsbBulkIn(answer.data(), static_cast<uint32_t>(answer.size())) == 0) {
        engine.NoteFault(LinkFault::Timeout);
        return 0;
    }
    TraceBytes("in  usb", answer.data(), answer.size());
    uint16_t crc = Crc16(answer.data() + 1, length + 4);
    if (crc != GetLe16(answer.data() + length + 5)) {
        engine.NoteFault(LinkFault::BadCrc);
        return 0;
    }
    std::memcpy(out, answer.data() + 5, length);
    return 1;
}

std::unique_ptr<SyncStep> CUsbLink::MakeSyncStep() {
    return MakeBridgeSync(*m_pUsb);
}

}  // namespace nvds
