#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace nvds {

class RxQueue;

/// The serial transport to the boot loader: a tty opened raw 8N1 without flow control and
/// taken exclusively, and one reader thread that hands every received byte, in order, to the
/// receive queue. Writers call Write; the port lock serialises writes, the fd swap and close.
class CSerialPort {
public:
    CSerialPort() = default;
    ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    /// Opens `path` at `baud` (any rate), 8N1, no flow control, DTR and RTS off, queues purged.
    /// An open port is closed first. Returns 1, or 0 with the reason in LastError() (a path
    /// that is no terminal is "not a serial device").
    int OpenPort(const std::string& path, uint32_t baud);

    /// Starts the reader thread, which feeds `queue` until ClosePort.
    void StartReader(RxQueue& queue);

    /// Stops the reader (it has ended before the fd is closed) and closes the port. Safe when
    /// closed.
    void ClosePort();

    bool IsOpen() const;

    /// Writes all bytes under the port lock. Returns false on failure (a lost write shows up as
    /// a missing answer to the protocol).
    bool Write(const uint8_t* data, size_t size);

    /// Waits until every byte written has been transmitted (tcdrain) and returns the moment
    /// they were: when tcdrain returned, or their reckoned wire end when that is earlier.
    std::chrono::steady_clock::time_point Drain();

    /// Raises or drops DTR; failures (a pty has no modem lines) are ignored.
    void SetDtr(bool on);

    /// Discards unsent output and unread input.
    void Purge();

    /// Why the last OpenPort or Write failed.
    std::string LastError() const;

    /// A note from the last successful OpenPort that the user should see: another program has
    /// the port open without a lock (named when /proc tells). Empty when there is none.
    std::string Warning() const;

    /// True once the reader saw the line hang up (the device went away).
    bool LineLost() const { return m_bLineLost; }

private:
    void ReaderThread(RxQueue* queue);
    bool Configure(int fd, uint32_t baud);
    void TuneLatencyTimer(const std::string& path);
    void RestoreLatencyTimer();
    void CloseFd();

    mutable std::mutex m_lock;  // guards m_fd, writes and close
    int m_fd = -1;
    uint32_t m_nBaud = 9600;                             // the rate the port was opened at
    std::chrono::steady_clock::time_point m_tWireEnd{};  // when the last byte written is out
    int m_wakeFd = -1;
    std::thread m_reader;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bLineLost{false};
    RxQueue* m_pQueue = nullptr;
    std::string m_strLastError;
    std::string m_strWarning;
    std::string m_strWarnedPath;  // the port the holders were looked up for
    std::string m_strLatencyFile;
    std::string m_strLatencyOld;
};

}  // namespace nvds
