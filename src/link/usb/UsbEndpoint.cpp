#include "link/usb/UsbEndpoint.h"

#include <algorithm>
#include <cstring>

#include "link/usb/UsbTransferHeader.h"
#include "platform/LittleEndian.h"

namespace nvds {

UsbEndpoint::UsbEndpoint(CyUsbDriver* driver, UsbHandle handle, const uint8_t* descriptor)
    : m_pDriver(driver),
      m_hDevice(handle),
      bLength(descriptor[0]),
      bDescriptorType(descriptor[1]),
      bEndpointAddress(descriptor[2]),
      bmAttributes(descriptor[3]),
      wMaxPacketSize(GetLe16(descriptor + 4)),
      bInterval(descriptor[6]),
      m_bIn((descriptor[2] & 0x80) != 0) {
    uint32_t multiplier = ((wMaxPacketSize >> 11) & 3) + 1;
    m_nMaxPacketSize = (wMaxPacketSize & 0x7FFu) * multiplier;
}

std::shared_ptr<UsbIoRequest> UsbEndpoint::BeginTransfer(const uint8_t* buffer, uint32_t length) {
    if (m_hDevice == USB_INVALID_HANDLE || m_pDriver == nullptr ||
        (Kind() != USB_EP_BULK && Kind() != USB_EP_INTERRUPT)) {
        return nullptr;
    }
    UsbTransferHeader header;
    header.endpointAddress = bEndpointAddress;
    std::shared_ptr<UsbIoRequest> request;
    if (m_nTransferMode == USB_MODE_DIRECT) {
        std::vector<uint8_t> in(USB_HEADER_SIZE);
        header.Write(in.data());
        std::vector<uint8_t> out(length);
        if (!m_bIn && length > 0) {
            std::memcpy(out.data(), buffer, length);
        }
        request =
            std::make_shared<UsbIoRequest>(CYUSB_REQ_BULK_DIRECT, std::move(in), std::move(out));
    } else {
        header.bufferOffset = USB_HEADER_SIZE;
        header.bufferLength = length;
        std::vector<uint8_t> in(USB_HEADER_SIZE + length);
        header.Write(in.data());
        if (!m_bIn && length > 0) {
            std::memcpy(in.data() + USB_HEADER_SIZE, buffer, length);
        }
        std::vector<uint8_t> out = in;
        request =
            std::make_shared<UsbIoRequest>(CYUSB_REQ_BULK_BUFFERED, std::move(in), std::move(out));
    }
    m_nLastError = m_pDriver->Submit(m_hDevice, request);
    UsbTransferHeader answered = UsbTransferHeader::Read(request->StatusHeader());
    m_nUsbdStatus = answered.usbdStatus;
    m_nNtStatus = answered.ntStatus;
    return request;
}

bool UsbEndpoint::WaitTransfer(UsbIoRequest& request, uint32_t timeoutMs) {
    if (m_nLastError == USB_IO_DONE) {
        return true;
    }
    if (m_nLastError != USB_IO_PENDING) {
        return false;
    }
    return m_pDriver->Wait(request, std::chrono::milliseconds(timeoutMs));
}

bool UsbEndpoint::FinishTransfer(uint8_t* buffer, uint32_t& length,
                                 const std::shared_ptr<UsbIoRequest>& request) {
    uint32_t bytes = 0;
    bool ok = request->Result(bytes);
    UsbTransferHeader header = UsbTransferHeader::Read(request->StatusHeader());
    uint32_t offset = request->Direct() ? 0 : USB_HEADER_SIZE;
    length = bytes > offset ? bytes - offset : 0;
    m_nBytesTransferred = length;
    m_nUsbdStatus = header.usbdStatus;
    m_nNtStatus = header.ntStatus;
    if (ok && m_bIn && length > 0) {
        // Never more than the caller asked for, nor more than the output buffer holds.
        const std::vector<uint8_t>& out = request->Out();
        length = std::min<uint32_t>(length, static_cast<uint32_t>(out.size() - offset));
        std::memcpy(buffer, out.data() + offset, length);
    }
    return ok && m_nUsbdStatus == 0 && m_nNtStatus == 0;
}

}  // namespace nvds
