#include "link/usb/UsbTransferHeader.h"

#include "platform/LittleEndian.h"

namespace nvds {

namespace {

constexpr uint32_t GET_DESCRIPTOR_TIMEOUT_SEC = 5;

}  // namespace

void UsbTransferHeader::Write(uint8_t* out) const {
    out[0] = bmRequestType;
    out[1] = bRequest;
    PutLe16(out + 2, wValue);
    PutLe16(out + 4, wIndex);
    PutLe16(out + 6, wLength);
    PutLe32(out + 8, timeoutSec);
    out[12] = reserved;
    out[13] = endpointAddress;
    PutLe32(out + 14, ntStatus);
    PutLe32(out + 18, usbdStatus);
    PutLe32(out + 22, packetInfoOffset);
    PutLe32(out + 26, packetInfoLength);
    PutLe32(out + 30, bufferOffset);
    PutLe32(out + 34, bufferLength);
}

UsbTransferHeader UsbTransferHeader::Read(const uint8_t* in) {
    UsbTransferHeader h;
    h.bmRequestType = in[0];
    h.bRequest = in[1];
    h.wValue = GetLe16(in + 2);
    h.wIndex = GetLe16(in + 4);
    h.wLength = GetLe16(in + 6);
    h.timeoutSec = GetLe32(in + 8);
    h.reserved = in[12];
    h.endpointAddress = in[13];
    h.ntStatus = GetLe32(in + 14);
    h.usbdStatus = GetLe32(in + 18);
    h.packetInfoOffset = GetLe32(in + 22);
    h.packetInfoLength = GetLe32(in + 26);
    h.bufferOffset = GetLe32(in + 30);
    h.bufferLength = GetLe32(in + 34);
    return h;
}

UsbTransferHeader UsbTransferHeader::GetDescriptor(uint16_t wValue, uint16_t wIndex,
                                                   uint16_t wLength) {
    UsbTransferHeader h;
    h.bmRequestType = REQTYPE_STANDARD_DEVICE_IN;
    h.bRequest = REQ_GET_DESCRIPTOR;
    h.wValue = wValue;
    h.wIndex = wIndex;
    h.wLength = wLength;
    h.timeoutSec = GET_DESCRIPTOR_TIMEOUT_SEC;
    h.bufferOffset = USB_HEADER_SIZE;
    h.bufferLength = wLength;
    return h;
}

void SetHeaderStatus(uint8_t* header, uint32_t ntStatus, uint32_t usbdStatus) {
    PutLe32(header + 14, ntStatus);
    PutLe32(header + 18, usbdStatus);
}

}  // namespace nvds
