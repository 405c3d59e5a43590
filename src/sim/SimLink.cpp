#include "sim/SimLink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "link/BaudTable.h"
#include "link/LineRate.h"
#include "link/LinkConstants.h"
#include "platform/AtomicFile.h"

namespace nvds {

namespace {

using Clock = std::chrono::steady_clock;

// A UART frame is start bit, 8 data bits and stop bit.
constexpr double BITS_PER_BYTE = 10.0;
// A receiver still decodes bytes whose rate is off by a few percent.
constexpr double RATE_TOLERANCE = 0.03;
// Longest frame the assembler accepts; longer length fields are line noise.
constexpr uint32_t MAX_FRAME = 4096 + FRAME_OVERHEAD;

Clock::duration Seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

CSimLine::CSimLine(SimOptions options) : m_opt(std::move(options)), m_chip(m_opt.crystal) {
    m_chip.m_nEraseMs = m_opt.eraseMs;
    m_chip.m_nProgramMs = m_opt.programMs;
    m_chip.m_nRefuseBaud = m_opt.refuseBaud;
}

void CSimLine::Boot() {
    std::string bytes;
    if (!m_opt.flashFile.empty() && ReadWholeFile(m_opt.flashFile, bytes)) {
        SetFlash(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
    m_tReady = Clock::now() + std::chrono::milliseconds(m_opt.bootDelayMs);
}

void CSimLine::Reset() {
    std::lock_guard<std::mutex> lock(m_chipMutex);
    m_chip.Reset();
}

void CSimLine::Interrupt() {
    std::lock_guard<std::mutex> lock(m_sleepMutex);
    m_tInterrupted = Clock::now();
    m_bStop = true;
    m_sleepCv.notify_all();
}

void CSimLine::Resume() {
    std::lock_guard<std::mutex> lock(m_sleepMutex);
    m_bStop = false;
}

std::vector<uint8_t> CSimLine::Flash() {
    std::lock_guard<std::mutex> lock(m_chipMutex);
    return m_chip.Flash();
}

std::vector<uint32_t> CSimLine::ProgramAddresses() {
    std::lock_guard<std::mutex> lock(m_chipMutex);
    return m_programs;
}

void CSimLine::SetFlash(const std::vector<uint8_t>& flash) {
    std::lock_guard<std::mutex> lock(m_chipMutex);
    std::copy_n(flash.begin(), std::min(flash.size(), m_chip.Flash().size()),
                m_chip.Flash().begin());
}

void CSimLine::TakeOut() {
    m_bAbsent = true;
}

void CSimLine::PutIn() {
    {
        std::lock_guard<std::mutex> lock(m_chipMutex);
        std::fill(m_chip.Flash().begin(), m_chip.Flash().end(), 0xFF);
        m_chip.Reset();
    }
    // Only the serving thread touches the frame assembler; a chip that was pulled out halfway
    // through a frame leaves a partial one, which the next frame start must not continue.
    m_bDiscardPartial = true;
    m_bAbsent = false;
}

void CSimLine::Feed(const uint8_t* data, size_t size, uint32_t hostBaud, TimePoint readAt) {
    if (m_bAbsent) {
        return;
    }
    if (m_bDiscardPartial.exchange(false)) {
        m_rx.clear();
    }
    for (size_t i = 0; i < size && !m_bHungUp && !m_bStop && !m_bAbsent; ++i) {
        OnByte(data[i], hostBaud, readAt);
    }
}

CSimLink::CSimLink(SimOptions options)
    : m_line(std::move(options)), m_strLinkPath(m_line.Options().linkPath) {}

CSimLink::~CSimLink() {
    Stop();
}

namespace {

// True when `path` is a symlink to a pty node, as Start makes it.
bool IsOurLink(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        return false;
    }
    char target[PATH_MAX];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) {
        return false;
    }
    target[n] = '\0';
    return std::string(target).rfind("/dev/pts/", 0) == 0;
}

}  // namespace

bool CSimLink::Start(std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) {
            *error = why;
        }
        Stop();
        return false;
    };
    struct stat st {};
    if (!m_strLinkPath.empty() && lstat(m_strLinkPath.c_str(), &st) == 0 &&
        !IsOurLink(m_strLinkPath)) {
        std::string path = m_strLinkPath;
        m_strLinkPath.clear();  // not ours: Stop must leave it alone
        return fail(path + " exists and is not a link to a pseudo-terminal; not replaced");
    }
    m_line.Boot();
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        return fail(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
    }
    m_strSlave = ptsname(m_master);
    // Keeping one slave fd open ourselves means the host may close and reopen the port
    // without the master seeing a hang-up; raw so nothing is echoed before the host opens it.
    m_slaveKeep = open(m_strSlave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (m_slaveKeep < 0 || tcgetattr(m_slaveKeep, &tio) != 0) {
        return fail("cannot open " + m_strSlave);
    }
    cfmakeraw(&tio);
    tcsetattr(m_slaveKeep, TCSANOW, &tio);
    SetLineRate(m_slaveKeep, SyncBaud(m_line.Options().crystal));
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    if (!m_strLinkPath.empty()) {
        unlink(m_strLinkPath.c_str());
        if (symlink(m_strSlave.c_str(), m_strLinkPath.c_str()) != 0) {
            return fail("cannot make the link " + m_strLinkPath + ": " + std::strerror(errno));
        }
        m_bOwnLink = true;
    }
    m_line.SetOutput([this](const uint8_t* data, size_t size) {
        // A host that closed its port reads nothing; what does not fit the pty is lost as on
        // a real line.
        if (write(m_master, data, size) < 0) {
            return;
        }
    });
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_bStop = false;
    m_line.Resume();
    m_thread = std::thread(&CSimLink::Serve, this);
    return true;
}

void CSimLink::Stop() {
    m_bStop = true;
    m_line.Interrupt();
    if (m_wakeFd >= 0) {
        uint64_t one = 1;
        if (write(m_wakeFd, &one, sizeof one) < 0) {
            // An eventfd written once cannot be full.
        }
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    HangUp();
    if (m_wakeFd >= 0) {
        close(m_wakeFd);
        m_wakeFd = -1;
    }
    if (m_bOwnLink) {
        unlink(m_strLinkPath.c_str());
        m_bOwnLink = false;
    }
}

void CSimLink::HangUp() {
    if (m_master >= 0) {
        close(m_master);
        m_master = -1;
    }
    if (m_slaveKeep >= 0) {
        close(m_slaveKeep);
        m_slaveKeep = -1;
    }
}

void CSimLink::Serve() {
    uint8_t buffer[4096];
    while (!m_bStop && !m_line.HungUp()) {
        pollfd fds[2] = {{m_master, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (m_bStop || !(fds[0].revents & POLLIN)) {
            continue;
        }
        ssize_t n = read(m_master, buffer, sizeof buffer);
        if (n <= 0) {
            continue;
        }
        // The host's rate is read back from the slave's termios: bytes sent at another rate
        // than the chip's UART runs at arrive as garbage.
        m_line.Feed(buffer, static_cast<size_t>(n), GetLineRate(m_master), Clock::now());
    }
    if (m_line.HungUp()) {
        HangUp();
    }
}

double CSimLine::ByteSeconds() const {
    return BITS_PER_BYTE / m_chip.Baud();
}

bool CSimLine::RateMatches(uint32_t hostBaud) const {
    return std::fabs(hostBaud - m_chip.Baud()) <= m_chip.Baud() * RATE_TOLERANCE;
}

bool CSimLine::SleepUntil(TimePoint when) {
    std::unique_lock<std::mutex> lock(m_sleepMutex);
    return !m_sleepCv.wait_until(lock, when, [&] { return m_bStop.load(); });
}

void CSimLine::OnByte(uint8_t byte, uint32_t hostBaud, TimePoint readAt) {
    if (readAt < m_tReady) {
        return;  // still booting
    }
    if (!RateMatches(hostBaud)) {
        // A pty carries no DTR, so the host going back to the sync rate and sending a sync byte
        // stands for the reset pulse that precedes every connect: the chip reboots.
        if (m_rx.empty() && byte == CMD_SYNC && hostBaud == SyncBaud(m_opt.crystal)) {
            Reset();
        }
        return;
    }
    double byteTime = ByteSeconds();
    m_tLine = std::max(readAt, m_tLine) + Seconds(byteTime);
    m_dFloor = m_dFloor + byteTime;
    if (m_rx.empty()) {
        if (byte == CMD_SYNC) {
            ++m_nSyncs;
            if (m_opt.pace) {
                SleepUntil(m_tLine);
            }
            Send({m_chip.HandleSync()});
            if (m_nEchoes < m_opt.echoSyncs) {
                ++m_nEchoes;
                m_bEchoPending = true;
                m_tEcho = Clock::now() + std::chrono::milliseconds(m_opt.echoDelayMs);
            }
        } else if (byte == FRAME_START) {
            m_rx.push_back(byte);
            m_nNeed = FRAME_HEADER_SIZE;
        }
        return;
    }
    m_rx.push_back(byte);
    if (m_rx.size() == FRAME_HEADER_SIZE) {
        m_nNeed = (m_rx[2] | m_rx[3] << 8 | m_rx[4] << 16) + FRAME_OVERHEAD;
        if (m_nNeed > MAX_FRAME) {
            m_rx.clear();
            return;
        }
    }
    if (m_rx.size() == m_nNeed) {
        HandleFrame();
        m_rx.clear();
    }
}

void CSimLine::HandleFrame() {
    if (m_bEchoPending) {
        // The late second answer to a sync byte goes out while this frame is still arriving.
        m_bEchoPending = false;
        if (m_opt.pace) {
            SleepUntil(m_tEcho);
        }
        Send({STATUS_ACK});
    }
    if (m_opt.pace && !SleepUntil(m_tLine)) {
        // The host closed the line (to change its rate) before the frame's last byte had
        // crossed it: the chip never received the whole frame.
        std::lock_guard<std::mutex> lock(m_sleepMutex);
        if (m_tInterrupted < m_tLine) {
            return;
        }
    }
    SimAnswer answer;
    {
        std::lock_guard<std::mutex> lock(m_chipMutex);
        answer = m_chip.HandleFrame(m_rx.data(), m_rx.size());
        bool handled = !answer.bytes.empty();
        if (handled && m_rx[1] == CMD_SECTOR_ERASE) {
            ++m_nErases;
        }
        if (handled && m_rx[1] == CMD_PROGRAM) {
            m_programs.push_back(answer.address);
            if (m_opt.weakPage >= 0 &&
                answer.address == static_cast<uint32_t>(m_opt.weakPage) * NVDS_PAGE_SIZE) {
                // A weak page: the chip acknowledges the program, yet one cell holds the
                // wrong value, which only reading the page back reveals.
                m_chip.Flash()[answer.address + (m_opt.weakByte & 0xFF)] ^= 0x01;
            }
        }
    }
    ++m_nFrames;
    if (answer.bytes.empty()) {
        return;
    }
    if (answer.busyMs > 0) {
        m_dFloor = m_dFloor + answer.busyMs / 1000.0;
        SleepUntil(Clock::now() + std::chrono::milliseconds(answer.busyMs));
    }
    bool isFrame = answer.bytes.size() > 1;
    bool drop = m_opt.dropEvery > 0 && ++m_nAnswers % m_opt.dropEvery == 0;
    if (answer.pageOp && m_opt.dropPage >= 0 &&
        answer.address == static_cast<uint32_t>(m_opt.dropPage) * NVDS_PAGE_SIZE &&
        m_nPageDrops < m_opt.dropPageTimes) {
        ++m_nPageDrops;
        drop = true;
    }
    if (isFrame && m_opt.corruptEvery > 0 && ++m_nDataFrames % m_opt.corruptEvery == 0) {
        answer.bytes.back() ^= 0x5A;
    }
    // The line drops as the last page operation ends, before its answer could leave: the
    // host never learns whether that page was done.
    bool hangUp =
        answer.pageOp && m_opt.hangupAfterPages >= 0 && ++m_nPages >= m_opt.hangupAfterPages;
    if (!drop && !hangUp) {
        Send(answer.bytes);
    }
    if (answer.newBaud > 0) {
        std::lock_guard<std::mutex> lock(m_chipMutex);
        m_chip.SetBaud(answer.newBaud);
    }
    if (answer.wrote) {
        SaveFlash();
    }
    if (hangUp) {
        m_bHungUp = true;
    }
}

void CSimLine::Send(const std::vector<uint8_t>& bytes) {
    double wire = ByteSeconds() * static_cast<double>(bytes.size());
    m_dFloor = m_dFloor + wire;
    if (m_opt.pace) {
        // The last byte leaves the chip's UART one wire time after the first.
        SleepUntil(Clock::now() + Seconds(wire));
    }
    if (m_output && !m_bStop && !m_bAbsent) {
        m_output(bytes.data(), bytes.size());
    }
}

void CSimLine::SaveFlash() {
    if (m_opt.flashFile.empty()) {
        return;
    }
    std::vector<uint8_t> flash = Flash();
    WriteFileAtomically(m_opt.flashFile, flash.data(), flash.size());
}

}  // namespace nvds
