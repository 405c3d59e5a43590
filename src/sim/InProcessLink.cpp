#include "sim/InProcessLink.h"

#include <algorithm>

#include "link/RxQueue.h"

namespace nvds {

namespace {

// The first pulses are what tests look at; a long run keeps no more than these.
constexpr size_t MAX_LINE_CALLS = 1024;

}  // namespace

CInProcessLink::CInProcessLink(std::shared_ptr<CSimLine> chip) : m_pChip(std::move(chip)) {
    m_pChip->Boot();
    m_pChip->SetOutput([this](const uint8_t* data, size_t size) {
        RxQueue* rx;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            rx = m_bOpen ? m_pRx : nullptr;
        }
        // Close joins this thread before the queue may go away, so the pointer stays valid.
        if (rx != nullptr) {
            rx->Push(data, size, m_bAbort);
        }
    });
}

CInProcessLink::~CInProcessLink() {
    Close();
    m_pChip->SetOutput({});
}

bool CInProcessLink::Open(uint32_t baud, RxQueue& rx) {
    Close();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pChip->HungUp()) {
        m_strLastError = "simulated chip: the line hung up";
        return false;
    }
    m_strLastError.clear();
    m_nBaud = baud;
    m_pRx = &rx;
    m_bOpen = true;
    m_bStop = false;
    m_bAbort = false;
    m_toChip.clear();
    m_nTaken = m_nWritten;
    m_pChip->Resume();
    m_thread = std::thread(&CInProcessLink::Serve, this);
    return true;
}

void CInProcessLink::Close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
        m_bAbort = true;
        m_cv.notify_all();
    }
    m_pChip->Interrupt();
    if (m_pRx != nullptr) {
        m_pRx->Wake();
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bOpen = false;
    m_pRx = nullptr;
}

bool CInProcessLink::IsOpen() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bOpen;
}

bool CInProcessLink::Write(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bOpen || m_pChip->HungUp()) {
        return false;
    }
    m_toChip.insert(m_toChip.end(), data, data + size);
    m_nWritten += size;
    auto now = std::chrono::steady_clock::now();
    if (m_pChip->Options().pace && m_nBaud > 0) {
        // A UART byte is 10 bits: start, 8 data, stop.
        std::chrono::duration<double> wire(10.0 * static_cast<double>(size) / m_nBaud);
        m_tWireEnd = std::max(now, m_tWireEnd) +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(wire);
    } else {
        m_tWireEnd = now;
    }
    m_cv.notify_all();
    return true;
}

std::chrono::steady_clock::time_point CInProcessLink::Drain() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [&] { return m_bStop || !m_bOpen || m_nTaken == m_nWritten; });
    m_cv.wait_until(lock, m_tWireEnd, [&] { return m_bStop || !m_bOpen; });
    return std::max(m_tTaken, m_tWireEnd);
}

void CInProcessLink::SetResetLine(bool on) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_lineCalls.size() < MAX_LINE_CALLS) {
            m_lineCalls.push_back({on, std::chrono::steady_clock::now()});
        }
    }
    if (on) {
        m_pChip->Reset();
    }
}

void CInProcessLink::Purge() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_toChip.clear();
    m_nTaken = m_nWritten;
    m_cv.notify_all();
}

std::vector<CInProcessLink::LineCall> CInProcessLink::ResetLineCalls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lineCalls;
}

std::string CInProcessLink::LastError() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_strLastError;
}

std::vector<ComPortEntry> CInProcessLinks::Ports() const {
    std::vector<ComPortEntry> entries;
    for (const auto& [port, chip] : m_chips) {
        entries.push_back({"UART(" + port.substr(port.rfind('/') + 1) + ")", port});
    }
    return entries;
}

void CInProcessLink::Serve() {
    std::vector<uint8_t> bytes;
    for (;;) {
        uint32_t baud;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait(lock, [&] { return m_bStop || !m_toChip.empty(); });
            if (m_bStop) {
                return;
            }
            bytes.assign(m_toChip.begin(), m_toChip.end());
            m_toChip.clear();
            m_nTaken = m_nWritten;
            m_tTaken = std::chrono::steady_clock::now();
            m_cv.notify_all();
            baud = m_nBaud;
        }
        m_pChip->Feed(bytes.data(), bytes.size(), baud, std::chrono::steady_clock::now());
    }
}

}  // namespace nvds
