#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimChip.h"

namespace nvds {

/// How the simulated chip behaves on its line.
struct SimOptions {
    int crystal = 0;            // 0 = 16MHz, 1 = 32MHz
    bool pace = false;          // send and take bytes at the line rate the host set
    uint32_t eraseMs = 0;       // flash busy time per sector erase
    uint32_t programMs = 0;     // flash busy time per page program
    uint32_t bootDelayMs = 0;   // silent for this long after start
    int dropEvery = 0;          // every Nth answer is lost
    int corruptEvery = 0;       // every Nth answer frame has a bad CRC
    int refuseBaud = 0;         // this many baud commands are ignored
    int hangupAfterPages = -1;  // hang the line up after this many page reads/programs
    int dropPage = -1;          // answers to reads/programs of this page are lost ...
    int dropPageTimes = 0;      // ... this many times
    std::string flashFile;      // flash kept here across runs
    std::string linkPath;       // symlink made to the pty
};

/// The simulated chip on a pseudo-terminal: the host opens SlavePath() as it opens a real
/// serial device. Serves on its own thread from Start() until Stop() or a simulated hang-up.
class CSimLink {
public:
    explicit CSimLink(SimOptions options);
    ~CSimLink();
    CSimLink(const CSimLink&) = delete;
    CSimLink& operator=(const CSimLink&) = delete;

    /// Opens the pty, loads the flash file and starts serving. False with a reason on failure.
    bool Start(std::string* error = nullptr);
    /// Stops serving and closes the pty.
    void Stop();

    /// Path of the pty the host opens.
    const std::string& SlavePath() const { return m_strSlave; }

    /// A copy of the flash, or replaces it (while serving too).
    std::vector<uint8_t> Flash();
    void SetFlash(const std::vector<uint8_t>& flash);

    /// Counters, for tests and the benchmark.
    int FramesHandled() const { return m_nFrames; }
    int SyncsAnswered() const { return m_nSyncs; }
    bool HungUp() const { return m_bHungUp; }
    /// Wire time of every byte that crossed the line plus flash busy time, in seconds.
    double FloorSeconds() const;
    void ResetFloor();
    /// Time the chip began to answer (after the boot delay).
    std::chrono::steady_clock::time_point ReadySince() const { return m_tReady; }

private:
    using TimePoint = std::chrono::steady_clock::time_point;

    void Serve();
    void OnByte(uint8_t byte, uint32_t hostBaud, TimePoint readAt);
    void HandleFrame();
    void Send(const std::vector<uint8_t>& bytes);
    bool SleepUntil(TimePoint when);
    bool RateMatches(uint32_t hostBaud) const;
    double ByteSeconds() const;
    void HangUp();
    void SaveFlash();

    SimOptions m_opt;
    CSimChip m_chip;
    std::mutex m_chipMutex;  // guards m_chip against Flash()/SetFlash() from other threads
    int m_master = -1;
    int m_slaveKeep = -1;
    int m_wakeFd = -1;
    std::string m_strSlave;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bHungUp{false};
    std::mutex m_sleepMutex;
    std::condition_variable m_sleepCv;

    // Assembler of frames from the byte stream.
    std::vector<uint8_t> m_rx;
    uint32_t m_nNeed = 0;
    TimePoint m_tLine{};  // when the last byte received has fully crossed the line
    TimePoint m_tReady{};

    std::atomic<int> m_nFrames{0};
    std::atomic<int> m_nSyncs{0};
    int m_nAnswers = 0;
    int m_nDataFrames = 0;
    int m_nPages = 0;
    int m_nPageDrops = 0;
    std::atomic<double> m_dFloor{0};
};

}  // namespace nvds
