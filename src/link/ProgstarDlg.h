#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "link/LinkConstants.h"
#include "link/LinkOutcome.h"
#include "link/LinkTransport.h"
#include "link/RxQueue.h"

namespace nvds {

/// What ended a failed wait.
enum class LinkFault { None, Timeout, BadCrc, HangUp, Cancelled, WriteFailed };

/// The boot-loader protocol engine: frame builder, receive parser and the send/wait primitives.
/// Every target operation goes through one engine. The parser runs on the receive dispatch
/// thread; waits block on a condition variable it signals. One operation at a time uses it.
class CProgstarDlg {
public:
    CProgstarDlg();
    ~CProgstarDlg();
    CProgstarDlg(const CProgstarDlg&) = delete;
    CProgstarDlg& operator=(const CProgstarDlg&) = delete;

    // Link settings, set before a connect.
    uint32_t m_nBaudRate = 115200;  // working rate
    std::array<uint8_t, 4> m_baudPayload{0x2C, 0x08, 0x00, 0x00};
    int m_nCrystal = 0;  // 0 = "16MHz", 1 = "32MHz"
    std::atomic<int> m_bConnected{0};

    /// Sets the link settings for a connect over `link` at row `baudIndex` of the crystal's
    /// column. The previous link is closed first; no operation may be running.
    void SetLink(std::unique_ptr<LinkTransport> link, int crystal, int baudIndex);
    /// Replaces the link only; the rate settings stay as they are (the bridge has no rate).
    void SetTransport(std::unique_ptr<LinkTransport> link);
    /// The link every frame goes through.
    LinkTransport& Transport() { return *m_pLink; }
    const LinkTransport& Transport() const { return *m_pLink; }

    /// Starts the thread that feeds received bytes to OnRxBytes (once; later calls do nothing).
    void StartReceiveDispatchThread();

    /// The parser over a run of bytes, under one lock.
    void OnRxBytes(const uint8_t* data, size_t size);

    /// Sends a frame; with `confirm` on a link that confirms, up to 3 times, each followed by
    /// 100 ms for STATUS_ACK from the moment the frame has left the wire (an ACK that came
    /// earlier answered something else). Returns 1 sent (and confirmed if asked), 0 not
    /// confirmed, cancelled or not written (the link refused the bytes).
    int SendFrame(uint8_t command, const uint8_t* payload, uint32_t readLen, uint32_t length,
                  int confirm);
    /// Waits for the status byte `value` (then cleared) as the link receives it. 1, or 0 on
    /// time-out or cancel; 1 at once on a link whose status bytes do not reach the host.
    int WaitStatus(uint8_t value, uint16_t timeoutMs);
    /// Waits for an answer frame as the link receives it and copies its `length` data bytes to
    /// out. 0 on time-out, cancel or CRC mismatch.
    int WaitDataFrame(uint8_t* out, uint32_t length, uint32_t timeoutMs);
    /// WaitStatus on the status bytes the parser found among the received bytes.
    int WaitParsedStatus(uint8_t value, std::chrono::milliseconds timeout);
    /// WaitDataFrame on the answer frame the parser collected from the received bytes.
    int WaitParsedFrame(uint8_t* out, uint32_t length, std::chrono::milliseconds timeout);
    /// Notes (and traces) what ended a failed wait.
    void NoteFault(LinkFault fault);
    /// Confirmed CMD_SET_ADDRESS with the address little-endian. 1 on success.
    int SetAddress(uint32_t address);
    /// Lets what was written leave the wire, then closes and reopens the link at `baud`,
    /// delivering to the parser. On failure: OpenFailed with the link's own error as cause.
    LinkOutcome ReopenPort(uint32_t baud);
    /// Stops delivery and closes the link.
    void ClosePort();

    /// Writes raw bytes to the link (the sync byte). False on a failed write.
    bool WriteRaw(const uint8_t* data, size_t size);
    /// Status byte and parser state back to 0, as before each sync attempt.
    void ResetReceiveState();
    /// Before each connect: connected and cancel flags, status byte, frame-ready flag and
    /// parser state all cleared.
    void ResetForConnect();
    /// Waits up to `timeout` for STATUS_ACK (not consumed) or a cancel; true when it came.
    bool WaitAck(std::chrono::milliseconds timeout);
    /// Consumes the status byte.
    void ClearStatus();

    /// Asks a connect or transfer in progress to stop; every wait returns at once until the
    /// next ResetForConnect.
    void Cancel();
    bool Cancelled() const { return m_bCancel; }
    /// What ended the last failed wait, for the one-line cause after a failure message.
    LinkFault LastFault() const;
    /// Forgets the last failure (a transfer that succeeded after retries has none).
    void ClearFailure();
    /// Marks the page (0-based) the last failure happened at, or -1 for none.
    void SetFailedPage(int page);
    /// One line naming the cause of the last failed transfer ("page 3 of 16: no answer in
    /// time"); empty when nothing failed since the connect.
    std::string FailureCause() const;
    /// Bytes received that were neither a status byte nor part of a frame with a good CRC
    /// (counted since the last ResetForConnect): noise, or answers at the wrong rate.
    int GarbledBytes() const;

    /// Parser state for tests: 0 idle, 1 command next, 2..4 length, 5 body.
    int ParserState() const;
    /// The last status byte (0 when consumed).
    uint8_t StatusByte() const;

private:
    void ParseByte(uint8_t byte);
    bool WriteFailed() const;
    template <typename Ready>
    bool WaitFor(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds timeout,
                 Ready ready);
    void ReceiveDispatchThread();

    std::unique_ptr<LinkTransport> m_pLink;
    RxQueue m_rxQueue;
    std::thread m_dispatch;
    std::atomic<bool> m_bCancel{false};

    // Parser state, guarded by m_mutex; m_cv is signalled on every status byte and frame end.
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_nState = 0;
    uint32_t m_nRemaining = 0;
    uint32_t m_nWriteIndex = 0;
    bool m_bFrameReady = false;
    uint8_t m_nStatus = 0;
    std::chrono::steady_clock::time_point m_tStatus{};  // when m_nStatus arrived
    bool m_bWriteFailed = false;                        // the last frame could not be written
    int m_nGarbled = 0;
    std::array<uint8_t, FRAME_BUFFER_SIZE> m_frame{};
    std::atomic<LinkFault> m_fault{LinkFault::None};
    std::atomic<int> m_nFailedPage{-1};
    mutable std::mutex m_causeMutex;  // guards the text below
    std::string m_strWriteError;
};

}  // namespace nvds
