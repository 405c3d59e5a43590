#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "link/usb/CyUsbDriver.h"
#include "link/usb/UsbTransferHeader.h"

namespace nvds {

// Passes every request on to another driver and writes down what was asked:
// "count", "open", "close", "ctl <wValue> <wLength>", "req <code>", "bulk <code> <endpoint>".
class RecordingDriver : public CyUsbDriver {
public:
    explicit RecordingDriver(std::shared_ptr<CyUsbDriver> inner) : m_inner(std::move(inner)) {}

    int CountDevices() override {
        log.push_back("count");
        return m_inner->CountDevices();
    }
    UsbHandle Open(int n) override {
        log.push_back("open");
        return m_inner->Open(n);
    }
    bool Close(UsbHandle handle) override {
        log.push_back("close");
        return m_inner->Close(handle);
    }
    bool Request(UsbHandle handle, uint32_t code, uint8_t* buffer, uint32_t size,
                 uint32_t& returned) override {
        char line[48];
        if (code == CYUSB_REQ_CONTROL) {
            UsbTransferHeader h = UsbTransferHeader::Read(buffer);
            std::snprintf(line, sizeof line, "ctl %04X %u", h.wValue, h.wLength);
        } else {
            std::snprintf(line, sizeof line, "req %06X", code);
        }
        log.push_back(line);
        return m_inner->Request(handle, code, buffer, size, returned);
    }
    uint32_t Submit(UsbHandle handle, const std::shared_ptr<UsbIoRequest>& request) override {
        char line[48];
        std::snprintf(line, sizeof line, "bulk %06X %02X", request->Code(), request->In()[13]);
        log.push_back(line);
        submitted.push_back(request);
        return m_inner->Submit(handle, request);
    }
    bool Wait(UsbIoRequest& request, std::chrono::milliseconds timeout) override {
        return m_inner->Wait(request, timeout);
    }
    std::string LastError() const override { return m_inner->LastError(); }

    std::vector<std::string> log;
    std::vector<std::shared_ptr<UsbIoRequest>> submitted;

private:
    std::shared_ptr<CyUsbDriver> m_inner;
};

}  // namespace nvds
