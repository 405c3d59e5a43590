#include "link/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "link/LineRate.h"
#include "link/LinkTrace.h"
#include "link/PortHolders.h"
#include "link/RxQueue.h"

namespace nvds {

namespace {

constexpr size_t READ_CHUNK = 1024;

// Every refusal of a port held elsewhere reads the same, naming the holder when /proc tells.
std::string InUseText(const std::string& path) {
    return path + ": the port is in use by another program" +
           DescribeHolders(FindPortHolders(path));
}

// The exclusive mode is kept by the tty, not by the open file: on a pty, whose master keeps
// the tty alive, it would outlive a holder that was killed and lock every later non-root open
// out. There the lock alone guards the port.
bool ExclusiveModeOutlivesHolder(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ResolvedName(const std::string& path) {
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) == nullptr) {
        return BaseName(path);
    }
    return BaseName(real);
}

// DTR and RTS off; a pty has no modem lines and refuses, which does no harm.
void DropModemLines(int fd) {
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);
}

}  // namespace

CSerialPort::~CSerialPort() {
    ClosePort();
}

bool CSerialPort::IsOpen() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_fd >= 0;
}

std::string CSerialPort::LastError() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_strLastError;
}

std::string CSerialPort::Warning() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_strWarning;
}

int CSerialPort::OpenPort(const std::string& path, uint32_t baud) {
    ClosePort();
    std::lock_guard<std::mutex> lock(m_lock);
    m_strLastError.clear();
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // EBUSY: another program holds the port in exclusive mode.
        m_strLastError = errno == EBUSY ? InUseText(path) : path + ": " + std::strerror(errno);
        return 0;
    }
    // A regular file, /dev/null or a FIFO would otherwise fail the lock or the configuration
    // below and be blamed on another program.
    if (!isatty(fd)) {
        m_strLastError = path + ": not a serial device";
        close(fd);
        return 0;
    }
    // Opening a tty raises DTR and RTS; on most boards that holds the chip in reset. Drop
    // both at once, before anything else happens on the line.
    DropModemLines(fd);
    // Two programs on one port corrupt each other's frames: take the port for ourselves. The
    // lock goes with the process however it ends; the exclusive mode also keeps out programs
    // that take no lock.
    bool exclusive = !ExclusiveModeOutlivesHolder(fd);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || (exclusive && ioctl(fd, TIOCEXCL) != 0)) {
        close(fd);
        m_strLastError = InUseText(path);
        return 0;
    }
    if (m_strWarnedPath != path) {
        // Looked at once per port: a program that opened it without a lock still disturbs it.
        m_strWarnedPath = path;
        std::string holders = DescribeHolders(FindPortHolders(path));
        m_strWarning = holders.empty() ? "" : path + " is also open in another program" + holders;
    }
    if (!Configure(fd, baud)) {
        m_strLastError =
            path + ": cannot set " + std::to_string(baud) + " baud: " + std::strerror(errno);
        ioctl(fd, TIOCNXCL);
        close(fd);
        return 0;
    }
    m_fd = fd;
    m_nBaud = baud;
    m_tWireEnd = {};
    m_bLineLost = false;
    TuneLatencyTimer(path);
    return 1;
}

bool CSerialPort::Configure(int fd, uint32_t baud) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // Reads return what is there at once; the reader only reads after poll() saw data.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0 || !SetLineRate(fd, baud)) {
        return false;
    }
    // Setting the rate may raise the lines again on some drivers.
    DropModemLines(fd);
    tcflush(fd, TCIOFLUSH);
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// FTDI adapters hold short answers back for their latency timer (16 ms by default); a 1 ms
// timer lets each answer through as soon as it is complete.
void CSerialPort::TuneLatencyTimer(const std::string& path) {
    std::string tty = ResolvedName(path);
    char driver[PATH_MAX];
    std::string link = "/sys/class/tty/" + tty + "/device/driver";
    ssize_t n = readlink(link.c_str(), driver, sizeof driver - 1);
    if (n <= 0) {
        return;
    }
    driver[n] = '\0';
    if (BaseName(driver) != "ftdi_sio") {
        return;
    }
    std::string file = "/sys/bus/usb-serial/devices/" + tty + "/latency_timer";
    std::ifstream in(file);
    std::string old;
    std::ofstream out;
    if (in >> old) {
        out.open(file);
    }
    if (!out || !(out << "1\n") || !out.flush()) {
        TraceNote("latency timer of " + tty + " left at " + (old.empty() ? "?" : old) +
                  " ms: " + file + " is not writable");
        return;
    }
    m_strLatencyFile = file;
    m_strLatencyOld = old;
    TraceNote("latency timer of " + tty + " set to 1 ms (was " + old + " ms)");
}

void CSerialPort::RestoreLatencyTimer() {
    if (m_strLatencyFile.empty()) {
        return;
    }
    std::ofstream out(m_strLatencyFile);
    out << m_strLatencyOld << "\n";
    m_strLatencyFile.clear();
}

void CSerialPort::StartReader(RxQueue& queue) {
    if (m_reader.joinable() || !IsOpen()) {
        return;
    }
    m_bStop = false;
    m_pQueue = &queue;
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_reader = std::thread(&CSerialPort::ReaderThread, this, &queue);
}

void CSerialPort::ReaderThread(RxQueue* queue) {
    int fd;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        fd = m_fd;
    }
    uint8_t buffer[READ_CHUNK];
    pollfd fds[2] = {{fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    while (!m_bStop) {
        // After a hang-up only the wake-up fd is watched, so a dead line does not spin.
        nfds_t count = m_bLineLost ? 1 : 2;
        int r = poll(m_bLineLost ? &fds[1] : fds, count, -1);
        if (r < 0 && errno != EINTR) {
            break;
        }
        if (m_bStop || r <= 0 || m_bLineLost) {
            continue;
        }
        if (fds[0].revents & POLLIN) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0) {
                queue->Push(buffer, static_cast<size_t>(n), m_bStop);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
        }
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL | POLLIN)) {
            m_bLineLost = true;
            TraceNote("the line hung up");
        }
    }
}

void CSerialPort::ClosePort() {
    if (m_reader.joinable()) {
        m_bStop = true;
        uint64_t one = 1;
        if (write(m_wakeFd, &one, sizeof one) < 0) {
            // The eventfd cannot be full after one write; nothing to do.
        }
        if (m_pQueue != nullptr) {
            m_pQueue->Wake();
        }
        m_reader.join();
    }
    if (m_wakeFd >= 0) {
        close(m_wakeFd);
        m_wakeFd = -1;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    CloseFd();
}

void CSerialPort::CloseFd() {
    if (m_fd < 0) {
        return;
    }
    RestoreLatencyTimer();
    // The exclusive bit outlives the fd on a pty whose master stays open; drop it.
    ioctl(m_fd, TIOCNXCL);
    close(m_fd);
    m_fd = -1;
}

bool CSerialPort::Write(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_fd < 0) {
        return false;
    }
    // When the last byte will have left the UART, reckoned from now: 10 bits a byte.
    auto now = std::chrono::steady_clock::now();
    std::chrono::duration<double> wire(m_nBaud > 0 ? 10.0 * static_cast<double>(size) / m_nBaud
                                                   : 0.0);
    m_tWireEnd = std::max(now, m_tWireEnd) +
                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(wire);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(m_fd, data + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            m_strLastError =
                std::string("write: ") + (n < 0 ? std::strerror(errno) : "nothing taken");
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::chrono::steady_clock::time_point CSerialPort::Drain() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_fd >= 0) {
        while (tcdrain(m_fd) != 0 && errno == EINTR) {
        }
    }
    // The bytes were out when tcdrain returned at the latest, and no earlier than their wire
    // time allows. A thread that wakes late from tcdrain must not push the moment past an
    // answer that already came, so the reckoned wire end bounds it.
    return std::min(std::chrono::steady_clock::now(), m_tWireEnd);
}

void CSerialPort::SetDtr(bool on) {
    std::lock_guard<std::mutex> lock(m_lock);
    int dtr = TIOCM_DTR;
    if (m_fd >= 0) {
        ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &dtr);
    }
}

void CSerialPort::Purge() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_fd >= 0) {
        tcflush(m_fd, TCIOFLUSH);
    }
}

}  // namespace nvds
