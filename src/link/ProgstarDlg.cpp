#include "link/ProgstarDlg.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "link/BaudTable.h"
#include "link/Crc16.h"
#include "link/LinkTexts.h"
#include "link/LinkTrace.h"
#include "link/SerialLink.h"
#include "platform/LittleEndian.h"

namespace nvds {

CProgstarDlg::CProgstarDlg() : m_pLink(std::make_unique<CSerialLink>(std::string())) {}

CProgstarDlg::~CProgstarDlg() {
    m_pLink->Close();
    m_rxQueue.Shutdown();
    if (m_dispatch.joinable()) {
        m_dispatch.join();
    }
}

void CProgstarDlg::SetLink(std::unique_ptr<LinkTransport> link, int crystal, int baudIndex) {
    SetTransport(std::move(link));
    m_nCrystal = crystal;
    m_nBaudRate = BaudOfRow(baudIndex, crystal);
    m_baudPayload = BaudCommandPayload(baudIndex);
}

void CProgstarDlg::SetTransport(std::unique_ptr<LinkTransport> link) {
    m_pLink->Close();
    m_pLink = std::move(link);
}

void CProgstarDlg::StartReceiveDispatchThread() {
    if (!m_dispatch.joinable()) {
        m_dispatch = std::thread(&CProgstarDlg::ReceiveDispatchThread, this);
    }
}

void CProgstarDlg::ReceiveDispatchThread() {
    std::vector<uint8_t> bytes;
    while (m_rxQueue.PopAll(bytes)) {
        OnRxBytes(bytes.data(), bytes.size());
    }
}

void CProgstarDlg::OnRxBytes(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (size_t i = 0; i < size; ++i) {
        ParseByte(data[i]);
    }
}

// Answer frame as buffered: [0] command, [1..3] length L little-endian, [4..4+L-1] data,
// [4+L] CRC low, [5+L] CRC high. Lone bytes 1..4 between frames are status bytes.
void CProgstarDlg::ParseByte(uint8_t byte) {
    switch (m_nState) {
        case 0:
            if (byte >= STATUS_ACK && byte <= STATUS_MAX) {
                m_nStatus = byte;
                m_tStatus = std::chrono::steady_clock::now();
                m_bFrameReady = false;
                TraceBytes("in ", &byte, 1);
                m_cv.notify_all();
            } else if (byte == FRAME_START) {
                m_nState = 1;
                m_nWriteIndex = 0;
            } else {
                ++m_nGarbled;
            }
            return;
        case 1:
            m_nState = 2;
            break;
        case 2:
            m_nRemaining = byte;
            m_nState = 3;
            break;
        case 3:
            m_nRemaining |= static_cast<uint32_t>(byte) << 8;
            m_nState = 4;
            break;
        case 4:
            m_nRemaining |= static_cast<uint32_t>(byte) << 16;
            m_nRemaining += 2;  // the CRC follows the data
            m_nState = 5;
            break;
        default:
            --m_nRemaining;
            break;
    }
    // A length field larger than the buffer still consumes its bytes; the surplus is dropped
    // and the frame then fails its CRC check.
    if (m_nWriteIndex < m_frame.size()) {
        m_frame[m_nWriteIndex] = byte;
    }
    ++m_nWriteIndex;
    if (m_nState == 5 && m_nRemaining == 0) {
        m_nState = 0;
        m_bFrameReady = true;
        // Counted for the connect's diagnosis only; WaitDataFrame checks with the length it
        // asked for.
        uint32_t length = m_nWriteIndex - 6;
        if (m_nWriteIndex > m_frame.size() ||
            Crc16(m_frame.data(), length + 4) != GetLe16(m_frame.data() + length + 4)) {
            m_nGarbled += static_cast<int>(m_nWriteIndex + 1);
        }
        if (TraceOn()) {
            std::vector<uint8_t> frame{FRAME_START};
            frame.insert(frame.end(), m_frame.begin(),
                         m_frame.begin() + std::min<size_t>(m_nWriteIndex, m_frame.size()));
            TraceBytes("in ", frame.data(), frame.size());
        }
        m_cv.notify_all();
    }
}

template <typename Ready>
bool CProgstarDlg::WaitFor(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds timeout,
                           Ready ready) {
    if (m_cv.wait_for(lock, timeout, [&] { return ready() || m_bCancel || m_bWriteFailed; }) &&
        !m_bCancel && !m_bWriteFailed) {
        return true;
    }
    if (m_bWriteFailed) {
        return false;  // the fault and its cause were noted when the write failed
    }
    NoteFault(m_bCancel             ? LinkFault::Cancelled
              : m_pLink->LineLost() ? LinkFault::HangUp
                                    : LinkFault::Timeout);
    return false;
}

bool CProgstarDlg::WriteFailed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bWriteFailed;
}

void CProgstarDlg::NoteFault(LinkFault fault) {
    m_fault = fault;
    if (TraceOn()) {
        TraceNote(FaultText(fault));
    }
}

int CProgstarDlg::SendFrame(uint8_t command, const uint8_t* payload, uint32_t readLen,
                            uint32_t length, int confirm) {
    if (m_bCancel) {
        NoteFault(LinkFault::Cancelled);  // nothing more goes out once stopped
        return 0;
    }
    const int tries = m_pLink->ConfirmTries(confirm);  // 0: sent once written
    std::vector<uint8_t> frame = m_pLink->Frame(command, payload, length, readLen);
    for (int attempt = 0; attempt < std::max(tries, 1); ++attempt) {
        TraceBytes(m_pLink->TraceOut(), frame.data(), frame.size());
        const bool written = m_pLink->Write(frame.data(), frame.size());
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bWriteFailed = !written;
        }
        if (!written) {
            {
                std::lock_guard<std::mutex> lock(m_causeMutex);
                m_strWriteError = m_pLink->LastError();
            }
            NoteFault(m_pLink->LineLost() ? LinkFault::HangUp : LinkFault::WriteFailed);
            // An unconfirmed frame counts as sent all the same; the wait for its answer that
            // follows then ends at once with this cause instead of running out its time.
            return tries > 0 ? 0 : 1;
        }
        if (tries == 0) {
            return 1;
        }
        // With CONFIRM_AFTER_WIRE, an ACK that came before the last byte was out answered
        // something earlier (a late second answer to a sync byte): taking it would move on
        // before the chip has the frame.
        const bool afterWire = confirm == CONFIRM_AFTER_WIRE;
        std::chrono::steady_clock::time_point sent{};
        if (afterWire) {
            sent = m_pLink->Drain();
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        auto acked = [&] {
            if (afterWire && m_nStatus == STATUS_ACK && m_tStatus < sent) {
                m_nStatus = 0;
            }
            return m_nStatus == STATUS_ACK;
        };
        if (WaitFor(lock, ACK_TIMEOUT, acked)) {
            m_nStatus = 0;
            return 1;
        }
        if (m_bCancel) {
            return 0;
        }
    }
    return 0;
}

int CProgstarDlg::WaitStatus(uint8_t value, uint16_t timeoutMs) {
    if (WriteFailed()) {
        return 0;  // nothing can answer a frame that was not sent; its cause is noted
    }
    return m_pLink->WaitStatus(*this, value, std::chrono::milliseconds(timeoutMs));
}

int CProgstarDlg::WaitDataFrame(uint8_t* out, uint32_t length, uint32_t timeoutMs) {
    // Command, three length bytes and the CRC must fit the frame buffer beside the data.
    if (length + 6 > FRAME_BUFFER_SIZE || WriteFailed()) {
        return 0;
    }
    return m_pLink->WaitDataFrame(*this, out, length, std::chrono::milliseconds(timeoutMs));
}

int CProgstarDlg::WaitParsedStatus(uint8_t value, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (WaitFor(lock, timeout, [&] { return m_nStatus == value; })) {
        m_nStatus = 0;
        return 1;
    }
    return 0;
}

int CProgstarDlg::WaitParsedFrame(uint8_t* out, uint32_t length,
                                  std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!WaitFor(lock, timeout, [&] { return m_bFrameReady; })) {
        return 0;
    }
    m_bFrameReady = false;
    // The caller's length decides where the CRC sits, not the length field received.
    uint16_t crc = Crc16(m_frame.data(), length + 4);
    if (crc != GetLe16(m_frame.data() + length + 4)) {
        NoteFault(LinkFault::BadCrc);
        return 0;
    }
    std::memcpy(out, m_frame.data() + 4, length);
    return 1;
}

int CProgstarDlg::SetAddress(uint32_t address) {
    uint8_t payload[4];
    PutLe32(payload, address);
    return SendFrame(CMD_SET_ADDRESS, payload, 0, 4, 1);
}

LinkOutcome CProgstarDlg::ReopenPort(uint32_t baud) {
    // Closing or changing the rate while a frame is still going out would cut it off.
    if (m_pLink->IsOpen()) {
        m_pLink->Drain();
    }
    m_pLink->Close();
    if (!m_pLink->Open(baud, m_rxQueue)) {
        TraceNote(m_pLink->LastError());
        return {LinkCode::OpenFailed, MSG_OPEN_FAILED, m_pLink->LastError()};
    }
    TraceNote(m_pLink->Name() + " open at " + std::to_string(baud) + " baud");
    return {};
}

void CProgstarDlg::ClosePort() {
    m_pLink->Close();
}

bool CProgstarDlg::WriteRaw(const uint8_t* data, size_t size) {
    TraceBytes(m_pLink->TraceOut(), data, size);
    return m_pLink->Write(data, size);
}

void CProgstarDlg::ResetReceiveState() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nStatus = 0;
    m_nState = 0;
}

void CProgstarDlg::ResetForConnect() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ClearFailure();
    m_bConnected = 0;
    m_bCancel = false;
    m_nStatus = 0;
    m_nState = 0;
    m_bFrameReady = false;
    m_nGarbled = 0;
    m_bWriteFailed = false;
}

bool CProgstarDlg::WaitAck(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait_for(lock, timeout, [&] { return m_nStatus == STATUS_ACK || m_bCancel; });
    return m_nStatus == STATUS_ACK;
}

void CProgstarDlg::ClearStatus() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nStatus = 0;
}

void CProgstarDlg::Cancel() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bCancel = true;
    m_cv.notify_all();
}

LinkFault CProgstarDlg::LastFault() const {
    return m_fault;
}

void CProgstarDlg::ClearFailure() {
    m_fault = LinkFault::None;
    m_nFailedPage = -1;
    std::lock_guard<std::mutex> lock(m_causeMutex);
    m_strWriteError.clear();
}

int CProgstarDlg::GarbledBytes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nGarbled;
}

void CProgstarDlg::SetFailedPage(int page) {
    m_nFailedPage = page;
}

std::string CProgstarDlg::FailureCause() const {
    std::lock_guard<std::mutex> lock(m_causeMutex);
    const char* text = FaultText(m_fault);
    if (text == nullptr) {
        return {};
    }
    std::string what = text;
    if (m_fault == LinkFault::WriteFailed && !m_strWriteError.empty()) {
        what += " (" + m_strWriteError + ")";
    }
    int page = m_nFailedPage;
    return page >= 0 ? "page " + std::to_string(page + 1) + " of " +
                           std::to_string(NVDS_PAGE_COUNT) + ": " + what
                     : what;
}

int CProgstarDlg::ParserState() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nState;
}

uint8_t CProgstarDlg::StatusByte() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nStatus;
}

}  // namespace nvds
