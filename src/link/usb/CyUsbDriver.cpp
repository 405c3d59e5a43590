#include "link/usb/CyUsbDriver.h"

#include "link/usb/UsbTransferHeader.h"

namespace nvds {

bool UsbIoRequest::Direct() const {
    return m_nCode == CYUSB_REQ_BULK_DIRECT;
}

void UsbIoRequest::Complete(bool ok, uint32_t bytes) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bDone = true;
        m_bOk = ok;
        m_nBytes = bytes;
    }
    m_cv.notify_all();
}

bool UsbIoRequest::WaitDone(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_bDone; });
}

bool UsbIoRequest::Result(uint32_t& bytes) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    bytes = m_bDone ? m_nBytes : 0;
    return m_bDone && m_bOk;
}

bool UsbIoRequest::Done() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bDone;
}

}  // namespace nvds
