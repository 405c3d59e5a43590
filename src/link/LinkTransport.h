#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nvds {

class CProgstarDlg;
class RxQueue;

/// The connect's sync step as one kind of link does it. A fresh step serves one connect.
class SyncStep {
public:
    virtual ~SyncStep() = default;
    /// Prepares the link before the first attempt. 0 when it cannot be used (LastError says why).
    virtual int Begin(CProgstarDlg& engine) = 0;
    /// One attempt to catch the boot loader and set the working rate. 1 when it did.
    virtual int Attempt(CProgstarDlg& engine) = 0;
    /// Attempts per step of the connect's progress position.
    virtual int ProgressEvery() const = 0;
    /// One line naming the likely cause when the attempts never succeeded, from what they saw.
    virtual std::string Diagnose(const CProgstarDlg& engine) const = 0;
};

/// One link to a boot loader under the protocol engine: a serial port, the USB bridge or a
/// simulated chip in the same process. Received bytes go, in order, to the queue given to Open.
/// Write, Open and Close are called from one operation at a time.
class LinkTransport {
public:
    virtual ~LinkTransport() = default;

    /// Opens the link at `baud` (ignored where the link has no rate) and starts delivering
    /// received bytes to `rx`. An open link is closed first. False with LastError() set.
    virtual bool Open(uint32_t baud, RxQueue& rx) = 0;
    /// Stops delivery (it has ended when this returns) and closes the link. Safe when closed.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    /// Writes all bytes. False when they could not be sent.
    virtual bool Write(const uint8_t* data, size_t size) = 0;
    /// Returns once every byte written so far has left the wire, where the link can tell, and
    /// the moment they had: nothing received before then can answer them. Links that cannot
    /// tell return the present moment.
    virtual std::chrono::steady_clock::time_point Drain() {
        return std::chrono::steady_clock::now();
    }
    /// Raises or drops the reset line (DTR) where the link has one.
    virtual void SetResetLine(bool /*on*/) {}
    /// Discards bytes in flight where the link buffers them.
    virtual void Purge() {}
    /// Why the last Open or transfer failed; empty when nothing did.
    virtual std::string LastError() const = 0;
    /// A note about the link the user should see although it opened (another program has the
    /// port open too); empty when there is none.
    virtual std::string Warning() const { return {}; }
    /// True once the line hung up (the device went away).
    virtual bool LineLost() const { return false; }
    /// How the link appears in traces ("/dev/ttyUSB0", "USB bridge", ...).
    virtual std::string Name() const = 0;

    // How the protocol goes over this link. The defaults are a byte stream to the boot loader
    // (a serial line): the chip's status bytes and answer frames arrive among the received
    // bytes and the engine's parser collects them; confirmed commands wait for STATUS_ACK.

    /// The bytes of `command` as they go out on this link (`readLen`: the answer's data bytes
    /// the command asks for).
    virtual std::vector<uint8_t> Frame(uint8_t command, const uint8_t* payload, uint32_t length,
                                       uint32_t readLen) const;
    /// How often a frame sent with `confirm` is written while STATUS_ACK does not come; 0 when
    /// nothing confirms it on this link (it counts as sent once written).
    virtual int ConfirmTries(int confirm) const;
    /// Waits for the status byte `value` (then consumed). 1, or 0 on time-out or cancel.
    virtual int WaitStatus(CProgstarDlg& engine, uint8_t value, std::chrono::milliseconds timeout);
    /// Waits for the answer frame and copies its `length` data bytes to `out`. 0 on time-out,
    /// cancel or CRC mismatch (the engine's LastFault says which).
    virtual int WaitDataFrame(CProgstarDlg& engine, uint8_t* out, uint32_t length,
                              std::chrono::milliseconds timeout);
    /// The trace tag of bytes written.
    virtual const char* TraceOut() const { return "out"; }
    /// The sync step of a connect over this link.
    virtual std::unique_ptr<SyncStep> MakeSyncStep();
};

}  // namespace nvds
