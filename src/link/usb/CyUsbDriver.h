#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace nvds {

/// A handle to an open bridge interface; USB_INVALID_HANDLE when none.
using UsbHandle = int;
constexpr UsbHandle USB_INVALID_HANDLE = -1;

/// One overlapped request to the driver. It owns its buffers, and the backend keeps a
/// reference while the request is under way, so a caller that stops waiting (or goes away)
/// never leaves the backend writing into freed memory.
class UsbIoRequest {
public:
    UsbIoRequest(uint32_t code, std::vector<uint8_t> in, std::vector<uint8_t> out)
        : m_nCode(code), m_in(std::move(in)), m_out(std::move(out)) {}

    uint32_t Code() const { return m_nCode; }
    /// Bytes sent to the driver: the header, with the data behind it in buffered mode.
    std::vector<uint8_t>& In() { return m_in; }
    /// The output buffer: the data in direct mode, header and data in buffered mode.
    std::vector<uint8_t>& Out() { return m_out; }
    /// Where the driver reports the statuses: the header in the output buffer when the same
    /// buffer goes in and out, else the input header.
    uint8_t* StatusHeader() { return Direct() ? m_in.data() : m_out.data(); }
    bool Direct() const;

    /// Called by the backend once: the request has ended with `bytes` returned.
    void Complete(bool ok, uint32_t bytes);
    /// Waits until the request has ended or `timeout` passed. True when it has ended.
    bool WaitDone(std::chrono::milliseconds timeout);
    /// The result without waiting: false while under way or when it failed.
    bool Result(uint32_t& bytes) const;
    bool Done() const;

private:
    uint32_t m_nCode;
    std::vector<uint8_t> m_in;
    std::vector<uint8_t> m_out;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bDone = false;
    bool m_bOk = false;
    uint32_t m_nBytes = 0;
};

/// The bridge driver: the requests the bridge objects send, keyed by the request codes of
/// UsbTransferHeader.h. Backends: libusb (a real bridge) and the simulated bridge.
class CyUsbDriver {
public:
    virtual ~CyUsbDriver() = default;

    /// Number of bridge interfaces present.
    virtual int CountDevices() = 0;
    /// Opens bridge interface `n`. USB_INVALID_HANDLE when it cannot (see LastError()).
    virtual UsbHandle Open(int n) = 0;
    /// Closes the handle; requests still under way on it are cancelled. False when the handle
    /// could not be closed.
    virtual bool Close(UsbHandle handle) = 0;
    /// A synchronous request with the same buffer in and out. `returned` gets the bytes the
    /// driver wrote back. False when the request failed.
    virtual bool Request(UsbHandle handle, uint32_t code, uint8_t* buffer, uint32_t size,
                         uint32_t& returned) = 0;
    /// Starts an overlapped request (bulk transfers). Returns USB_IO_DONE when it ended at
    /// once, USB_IO_PENDING when it is under way, any other value when it was refused.
    virtual uint32_t Submit(UsbHandle handle, const std::shared_ptr<UsbIoRequest>& request) = 0;
    /// Waits up to `timeout` for an overlapped request to end. True when it has.
    virtual bool Wait(UsbIoRequest& request, std::chrono::milliseconds timeout) {
        return request.WaitDone(timeout);
    }
    /// Why the last Open failed, for the user ("no device", "no permission", ...).
    virtual std::string LastError() const { return {}; }
};

}  // namespace nvds
