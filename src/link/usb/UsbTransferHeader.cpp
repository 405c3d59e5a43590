#include "link/usb/UsbTransferHeader.h"

namespace nvds {

namespace {

constexpr uint32_t GET_DESCRIPTOR_TIMEOUT_SEC = 5;
constexpr uint8_t REQTYPE_STANDARD_DEVICE_IN = 0x80;
constexpr uint8_t REQ_GET_DESCRIPTOR = 6;

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Get32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void UsbTransferHeader::Write(uint8_t* out) const {
    out[0] = bmRequestType;
    out[1] = bRequest;
    Put16(out + 2, wValue);
    Put16(out + 4, wIndex);
    Put16(out + 6, wLength);
    Put32(out + 8, timeoutSec);
    out[12] = reserved;
    out[13] = endpointAddress;
    Put32(out + 14, ntStatus);
    Put32(out + 18, usbdStatus);
    Put32(out + 22, packetInfoOffset);
    Put32(out + 26, packetInfoLength);
    Put32(out + 30, bufferOffset);
    Put32(out + 34, bufferLength);
}

UsbTransferHeader UsbTransferHeader::Read(const uint8_t* in) {
    UsbTransferHeader h;
    h.bmRequestType = in[0];
    h.bRequest = in[1];
    h.wValue = Get16(in + 2);
    h.wIndex = Get16(in + 4);
    h.wLength = Get16(in + 6);
    h.timeoutSec = Get32(in + 8);
    h.reserved = in[12];
    h.endpointAddress = in[13];
    h.ntStatus = Get32(in + 14);
    h.usbdStatus = Get32(in + 18);
    h.packetInfoOffset = Get32(in + 22);
    h.packetInfoLength = Get32(in + 26);
    h.bufferOffset = Get32(in + 30);
    h.bufferLength = Get32(in + 34);
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
    Put32(header + 14, ntStatus);
    Put32(header + 18, usbdStatus);
}

}  // namespace nvds
