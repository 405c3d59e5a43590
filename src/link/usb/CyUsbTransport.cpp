#include "link/usb/CyUsbTransport.h"

#include "link/LinkTrace.h"
#include "link/usb/UsbBridgeDevice.h"

namespace nvds {

CyUsbTransport::CyUsbTransport(std::shared_ptr<CyUsbDriver> driver)
    : m_pDriver(std::move(driver)) {}

int CyUsbTransport::UsbBulkOut(const uint8_t* data, uint32_t size) {
    return Transfer(false, const_cast<uint8_t*>(data), size, USB_OUT_WAIT_MS, USB_OUT_ISSUED);
}

int CyUsbTransport::UsbBulkIn(uint8_t* data, uint32_t size) {
    return Transfer(true, data, size, USB_IN_WAIT_MS, USB_IN_ISSUED);
}

// The outcome of the wait and the finish does not change the result: a lost transfer shows
// up to the protocol as a missing or damaged answer.
int CyUsbTransport::Transfer(bool in, uint8_t* data, uint32_t size, uint32_t waitMs, int issued) {
    UsbBridgeDevice device(*m_pDriver);
    if (!device.OpenDevice(0)) {
        m_strLastError = m_pDriver->LastError();
        return 0;
    }
    UsbEndpoint* endpoint = in ? device.m_pBulkInEndpoint : device.m_pBulkOutEndpoint;
    std::shared_ptr<UsbIoRequest> request =
        endpoint != nullptr ? endpoint->BeginTransfer(data, size) : nullptr;
    if (request == nullptr) {
        m_strLastError = "The USB bridge has no bulk endpoint to use";
        return 0;
    }
    endpoint->WaitTransfer(*request, waitMs);
    uint32_t length = size;
    endpoint->FinishTransfer(data, length, request);
    m_strLastError.clear();
    try {
        device.ReleaseDevice();
    } catch (const UsbCloseError& error) {
        m_strLastError = error.what();
        TraceNote(m_strLastError);
    }
    return issued;
}

}  // namespace nvds
