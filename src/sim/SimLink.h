#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
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
    uint32_t eraseMs = 40;      // flash busy time per sector erase
    uint32_t programMs = 2;     // flash busy time per page program
    uint32_t bootDelayMs = 0;   // silent for this long after start
    int dropEvery = 0;          // every Nth answer is lost
    int corruptEvery = 0;       // every Nth answer frame has a bad CRC
    int refuseBaud = 0;         // this many baud commands are ignored
    int hangupAfterPages = -1;  // hang the line up on this many-th page read/program, unanswered
    int dropPage = -1;          // answers to reads/programs of this page are lost ...
    int dropPageTimes = 0;      // ... this many times
    int weakPage = -1;          // programs of this page are acknowledged, but one byte of it
    int weakByte = 0x80;        // (this offset in the page) keeps its lowest bit inverted
    int echoSyncs = 0;          // this many sync answers are sent a second time, late: ...
    uint32_t echoDelayMs = 0;   // ... this long after the first, as the next frame comes in
    std::string flashFile;      // flash kept here across runs
    std::string linkPath;       // symlink made to the pty
};

/// The simulated chip on a line, whatever carries the bytes: frames assembled from the bytes
/// the host sent at its rate, answers with the configured faults, the line rate and flash
/// times modelled when pacing. Fed from one serving thread; Flash() and the counters may be
/// read from any thread.
class CSimLine {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    /// Receives the chip's answer bytes on the serving thread.
    using Output = std::function<void(const uint8_t* data, size_t size)>;

    explicit CSimLine(SimOptions options);
    CSimLine(const CSimLine&) = delete;
    CSimLine& operator=(const CSimLine&) = delete;

    /// Loads the flash file (when one is set) and starts the boot delay. Call before feeding.
    void Boot();
    /// Where the answers go; set before feeding.
    void SetOutput(Output output) { m_output = std::move(output); }
    /// Bytes the host sent at `hostBaud`, read at `readAt`.
    void Feed(const uint8_t* data, size_t size, uint32_t hostBaud, TimePoint readAt);
    /// The reset line: the chip reboots.
    void Reset();
    /// Ends every sleep of the serving thread and makes Feed return at once, until Resume.
    void Interrupt();
    void Resume();

    std::vector<uint8_t> Flash();
    void SetFlash(const std::vector<uint8_t>& flash);
    const SimOptions& Options() const { return m_opt; }

    /// Takes the chip out of its socket: every byte sent is lost and nothing answers, but the
    /// line itself stays usable (unlike a hang-up), as a socket without a chip does.
    void TakeOut();
    /// Puts a fresh chip in: erased flash, boot state, answering again.
    void PutIn();
    /// True while no chip is in the socket.
    bool Absent() const { return m_bAbsent; }

    int FramesHandled() const { return m_nFrames; }
    int SyncsAnswered() const { return m_nSyncs; }
    /// True once the simulated hang-up happened; the line stays dead.
    bool HungUp() const { return m_bHungUp; }
    double FloorSeconds() const { return m_dFloor.load(); }
    void ResetFloor() { m_dFloor = 0; }
    TimePoint ReadySince() const { return m_tReady; }
    /// Sector erase frames handled.
    int ErasesHandled() const { return m_nErases; }
    /// Flash addresses of the program frames handled, in the order they came.
    std::vector<uint32_t> ProgramAddresses();

private:
    void OnByte(uint8_t byte, uint32_t hostBaud, TimePoint readAt);
    void HandleFrame();
    void Send(const std::vector<uint8_t>& bytes);
    bool SleepUntil(TimePoint when);
    bool RateMatches(uint32_t hostBaud) const;
    double ByteSeconds() const;
    void SaveFlash();

    SimOptions m_opt;
    CSimChip m_chip;
    std::mutex m_chipMutex;  // guards m_chip against Flash()/SetFlash() from other threads
    Output m_output;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bHungUp{false};
    std::atomic<bool> m_bAbsent{false};
    std::atomic<bool> m_bDiscardPartial{false};
    std::mutex m_sleepMutex;
    TimePoint m_tInterrupted{};  // guarded by m_sleepMutex
    std::condition_variable m_sleepCv;

    // Assembler of frames from the byte stream.
    std::vector<uint8_t> m_rx;
    uint32_t m_nNeed = 0;
    TimePoint m_tLine{};  // when the last byte received has fully crossed the line
    TimePoint m_tReady{};
    int m_nEchoes = 0;
    bool m_bEchoPending = false;
    TimePoint m_tEcho{};

    std::atomic<int> m_nFrames{0};
    std::atomic<int> m_nSyncs{0};
    std::atomic<int> m_nErases{0};
    std::vector<uint32_t> m_programs;  // guarded by m_chipMutex
    int m_nAnswers = 0;
    int m_nDataFrames = 0;
    int m_nPages = 0;
    int m_nPageDrops = 0;
    std::atomic<double> m_dFloor{0};
};

/// The simulated chip on a pseudo-terminal: the host opens SlavePath() as it opens a real
/// serial device. Serves on its own thread from Start() until Stop() or a simulated hang-up.
class CSimLink {
public:
    explicit CSimLink(SimOptions options);
    ~CSimLink();
    CSimLink(const CSimLink&) = delete;
    CSimLink& operator=(const CSimLink&) = delete;

    /// Opens the pty, loads the flash file and starts serving. False with a reason on failure,
    /// among them a link path that exists and is not a link to a pty.
    bool Start(std::string* error = nullptr);
    /// Stops serving and closes the pty.
    void Stop();

    /// Path of the pty the host opens.
    const std::string& SlavePath() const { return m_strSlave; }

    /// A copy of the flash, or replaces it (while serving too).
    std::vector<uint8_t> Flash() { return m_line.Flash(); }
    void SetFlash(const std::vector<uint8_t>& flash) { m_line.SetFlash(flash); }
    /// The chip taken out of its socket (the pty stays open) and a fresh one put in.
    void TakeOut() { m_line.TakeOut(); }
    void PutIn() { m_line.PutIn(); }
    bool Absent() const { return m_line.Absent(); }

    /// Counters, for tests and the benchmark.
    int FramesHandled() const { return m_line.FramesHandled(); }
    int SyncsAnswered() const { return m_line.SyncsAnswered(); }
    bool HungUp() const { return m_line.HungUp(); }
    /// Wire time of every byte that crossed the line plus flash busy time, in seconds.
    double FloorSeconds() const { return m_line.FloorSeconds(); }
    void ResetFloor() { m_line.ResetFloor(); }
    /// Time the chip began to answer (after the boot delay).
    std::chrono::steady_clock::time_point ReadySince() const { return m_line.ReadySince(); }

private:
    void Serve();
    void HangUp();

    CSimLine m_line;
    std::string m_strLinkPath;
    bool m_bOwnLink = false;
    int m_master = -1;
    int m_slaveKeep = -1;
    int m_wakeFd = -1;
    std::string m_strSlave;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
};

}  // namespace nvds
