#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "line/OutcomeJournal.h"
#include "line/ProductionRecord.h"
#include "line/Station.h"
#include "link/LinkFactory.h"
#include "link/LinkOutcome.h"
#include "link/LinkTransport.h"

namespace nvds::line {

/// Receives every station's events with the station's status after it; calls never overlap.
using LineListener = std::function<void(const StationEvent& event, const StationStatus& status)>;

/// One station: a name the operator and the record know it by, and the device it burns on.
struct StationPort {
    std::string name;  // from `--port NAME=PATH`; the path itself when not given
    std::string path;  // a device path (by-id and by-path links are kept as given), or SPI
};

struct LineSettings {
    std::vector<StationPort> stations;  // one station each
    int crystal = 0;
    int baudRow = 0;
    int count = 0;     // verified chips after which a station stops; 0: no limit
    std::string host;  // recorded with each reservation
    std::string lot;   // the run's label, recorded with each burn
    /// Consecutive failed chips after which a station stops; 0: no limit.
    int maxFailures = 3;
    /// Burn a chip that already carries an address again, with that address.
    bool reburnProgrammed = false;
    /// How often a station looks whether its chip was taken out.
    std::chrono::milliseconds gonePeriod{50};
    /// How often a station whose port disappeared looks whether it came back.
    std::chrono::milliseconds portPeriod{500};
    /// Where outcomes wait while the record does not answer; empty: a file in the user's
    /// state folder.
    std::string journalPath;
    /// How long Finish lets a chip in progress run before the station is stopped.
    std::chrono::milliseconds finishLimit{10000};
    /// The first wait before the record is tried again; each further wait doubles, up to 16
    /// times this.
    std::chrono::milliseconds recordRetry{500};
};

/// Several stations in one process, each on its own thread with its own engine and link,
/// sharing one production record (its calls are serialised here) and one golden image. A
/// station loops: wait for a chip without a time limit, look whether it already carries an
/// image (page 0 first), reserve the next address, build the image with that address, burn it
/// in safe order and read it back, record the outcome, wait until the chip is taken out. A
/// port that disappears is reopened when it comes back; outcomes the record does not take are
/// kept in a journal and written when it answers again.
class ProductionLine {
public:
    ProductionLine(LineSettings settings, ProductionRecord& record, const GoldenImage& golden,
                   LineListener listener, const LinkFactory& links);
    ~ProductionLine();
    ProductionLine(const ProductionLine&) = delete;
    ProductionLine& operator=(const ProductionLine&) = delete;

    /// Writes the outcomes a journal holds (left by a run that was killed), then runs every
    /// station until all have stopped. True only when every station stopped because it
    /// reached the count.
    bool Run();

    /// Lets every station finish the chip it is burning (bounded) and then stop; from any
    /// thread (the first SIGINT, the board's Stop button).
    void Finish();

    /// Stops every station from any thread (a second signal, closing the board): every wait
    /// ends at once, a burn in progress is recorded as failed (reusable only when page 0 was not
    /// programmed).
    void Stop();

    /// A copy of every station's status, in the order of the ports.
    std::vector<StationStatus> Statuses() const;

private:
    struct Unit;
    // How a chip ended for the station's loop.
    enum class ChipEnd { Next, Stop, PortLost };
    // How a record call ended after its retries.
    enum class RecordCall { Done, Refused, Stopped };

    void RunStation(Unit& unit);
    ChipEnd BurnOne(Unit& unit);
    ChipEnd Burn(Unit& unit, uint64_t address, int64_t attempt);
    // The pre-burn check: Ok, with the address when the chip holds a valid image.
    LinkOutcome CheckChip(Unit& unit, bool& carries, uint64_t& address);
    // Runs `call` on the record after the journal was written; while either fails the station
    // pauses (state "record unavailable") and tries again with a back-off. Refused: the pool is
    // used up (`error`); Stopped: the line stopped or is finishing meanwhile.
    // A call that fails leaves its reason in the record's LastError().
    RecordCall CallRecord(Unit& unit, const std::function<bool()>& call, std::string& error);
    // Writes the journal's entries to the record; under m_recordMutex.
    bool ReplayJournalLocked(std::string& error);
    // Waits until the port opens again; false when the line stops first.
    bool AwaitPort(Unit& unit);
    // Waits `period` or until the line stops or finishes; false when it did.
    bool Pause(std::chrono::milliseconds period);
    // Clears the engine's connect state unless the line is stopping; false when it is.
    bool Prepare(Unit& unit);
    // "Stopped" after Stop(), "Finished" after Finish().
    const char* StopReason() const;
    void Report(Unit& unit, StationEvent event, bool chipFailed = false);
    BurnContext Context(const Unit& unit) const;

    LineSettings m_settings;
    ProductionRecord& m_record;
    const GoldenImage& m_golden;
    LineListener m_listener;
    const LinkFactory& m_links;  // makes every station's link
    std::vector<std::unique_ptr<Unit>> m_units;
    mutable std::mutex m_mutex;  // statuses and listener calls
    std::mutex m_recordMutex;    // one record call at a time; the journal
    OutcomeJournal m_journal;
    bool m_bJournalPending = true;   // the journal may hold entries; under m_recordMutex
    mutable std::mutex m_stopMutex;  // the stop flags, the stations' chip flags, m_nRunning
    std::condition_variable m_wake;  // Stop, Finish, a station ending
    bool m_bStop = false;
    bool m_bFinish = false;
    int m_nRunning = 0;
};

}  // namespace nvds::line
