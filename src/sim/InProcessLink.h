#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/LinkFactory.h"
#include "link/LinkTransport.h"
#include "sim/SimLink.h"

namespace nvds {

/// A serial link straight to a simulated chip in the same process, without a pty: the engine's
/// bytes go to the chip's serving thread with the rate the link was opened at, the chip's
/// answers go to the engine's receive queue. The chip (`CSimLine`, with the faults of its
/// options) may be shared with the test that made it and outlives reopening the link. DTR
/// resets the chip; a simulated hang-up ends the link for good.
class CInProcessLink : public LinkTransport {
public:
    explicit CInProcessLink(std::shared_ptr<CSimLine> chip);
    ~CInProcessLink() override;

    bool Open(uint32_t baud, RxQueue& rx) override;
    void Close() override;
    bool IsOpen() const override;
    bool Write(const uint8_t* data, size_t size) override;
    /// Waits until the chip has taken every byte written and, when the chip paces its line,
    /// until their wire time has passed.
    std::chrono::steady_clock::time_point Drain() override;
    void SetResetLine(bool on) override;
    void Purge() override;
    std::string LastError() const override;
    bool LineLost() const override { return m_pChip->HungUp(); }
    std::string Name() const override { return "simulated chip"; }

    /// One change of the reset line: raised or dropped, and when.
    struct LineCall {
        bool on;
        std::chrono::steady_clock::time_point at;
    };
    /// The changes of the reset line since the link was made, in order (the first 1024).
    std::vector<LineCall> ResetLineCalls() const;

private:
    void Serve();

    std::shared_ptr<CSimLine> m_pChip;
    mutable std::mutex m_mutex;  // guards everything below
    std::condition_variable m_cv;
    std::deque<uint8_t> m_toChip;
    uint64_t m_nWritten = 0;                           // bytes written since the link was made ...
    uint64_t m_nTaken = 0;                             // ... and taken by the chip (or purged)
    std::chrono::steady_clock::time_point m_tTaken{};  // when the chip last took bytes
    std::chrono::steady_clock::time_point m_tWireEnd{};  // when the last byte written is out
    uint32_t m_nBaud = 0;
    bool m_bOpen = false;
    bool m_bStop = false;
    RxQueue* m_pRx = nullptr;
    std::string m_strLastError;
    std::vector<LineCall> m_lineCalls;
    std::thread m_thread;
    std::atomic<bool> m_bAbort{false};  // ends a Push into a full receive queue on close
};

/// Links to simulated chips in this process, one chip per port: the Interface list offers each
/// port as "UART(name)", in the order of the ports.
class CInProcessLinks : public LinkFactory {
public:
    explicit CInProcessLinks(std::map<std::string, std::shared_ptr<CSimLine>> chips)
        : m_chips(std::move(chips)) {}
    std::unique_ptr<LinkTransport> Make(const std::string& port) const override {
        return std::make_unique<CInProcessLink>(m_chips.at(port));
    }
    std::vector<ComPortEntry> Ports() const override;

private:
    std::map<std::string, std::shared_ptr<CSimLine>> m_chips;
};

}  // namespace nvds
