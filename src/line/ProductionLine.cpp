#include "line/ProductionLine.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "line/RecordShared.h"
#include "link/BaudTable.h"
#include "link/BurnOptions.h"
#include "link/ConnectTarget.h"
#include "link/LinkConstants.h"
#include "link/LinkFlows.h"
#include "link/ProgstarDlg.h"
#include "platform/ExitCodes.h"
#include "platform/Sha256.h"

namespace nvds::line {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* TEXT_STOPPED = "Stopped";
constexpr const char* TEXT_FINISHED = "Finished";
constexpr const char* TEXT_BURN_FAILED = "Burn failed";
constexpr const char* TEXT_CHECK_FAILED = "Reading the chip before burning failed";
constexpr const char* TEXT_PORT_LOST = "the port disappeared";
constexpr const char* PHASE_PROGRAM = "program";
constexpr const char* PHASE_VERIFY = "verify";
// The record's refusal when every address of the pool was handed out: the station stops.
constexpr const char* TEXT_POOL_EXHAUSTED = "address range exhausted";
// The back-off of record retries grows to this many times the first wait.
constexpr int RETRY_GROWTH = 16;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

struct ProductionLine::Unit {
    explicit Unit(const StationPort& station) {
        status.name = station.name.empty() ? station.path : station.name;
        status.port = station.path;
    }

    CProgstarDlg engine;
    StationStatus status;  // guarded by the line's m_mutex
    std::thread thread;
    // Under m_stopMutex: the station works on a chip that Finish lets it complete.
    bool inChip = false;
    // Station thread only.
    bool opened = false;  // the port opened once
    bool lost = false;    // the connect found the port gone
    int pageEvents = 0;   // of the burn in progress: 1..16 programmed, 17..32 read back
    std::string stopWhy;  // the Stopped event's message
    StationState resume = StationState::Waiting;  // the state a record pause returns to
};

ProductionLine::ProductionLine(LineSettings settings, ProductionRecord& record,
                               const GoldenImage& golden, LineListener listener,
                               const LinkFactory& links)
    : m_settings(std::move(settings)),
      m_record(record),
      m_golden(golden),
      m_listener(std::move(listener)),
      m_links(links),
      m_journal(m_settings.journalPath) {
    for (const StationPort& station : m_settings.stations) {
        m_units.push_back(std::make_unique<Unit>(station));
    }
}

ProductionLine::~ProductionLine() {
    Stop();
    for (auto& unit : m_units) {
        if (unit->thread.joinable()) {
            unit->thread.join();
        }
    }
}

bool ProductionLine::Run() {
    {
        // Outcomes a killed run left behind; a station that finds the record unavailable
        // tries again before its first reservation.
        std::lock_guard<std::mutex> lock(m_recordMutex);
        std::string error;
        ReplayJournalLocked(error);
    }
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        m_nRunning = static_cast<int>(m_units.size());
    }
    for (auto& unit : m_units) {
        unit->thread = std::thread([this, u = unit.get()] {
            RunStation(*u);
            std::lock_guard<std::mutex> lock(m_stopMutex);
            --m_nRunning;
            m_wake.notify_all();
        });
    }
    {
        // Finish is bounded: a chip still in progress at the limit is stopped.
        std::unique_lock<std::mutex> lock(m_stopMutex);
        Clock::time_point deadline = Clock::time_point::max();
        while (m_nRunning > 0) {
            if (m_bFinish && !m_bStop && deadline == Clock::time_point::max()) {
                deadline = Clock::now() + m_settings.finishLimit;
            }
            if (deadline == Clock::time_point::max()) {
                m_wake.wait(lock);
            } else if (m_wake.wait_until(lock, deadline) == std::cv_status::timeout &&
                       m_nRunning > 0) {
                lock.unlock();
                Stop();
                lock.lock();
            }
        }
    }
    bool all = true;
    for (auto& unit : m_units) {
        unit->thread.join();
        std::lock_guard<std::mutex> lock(m_mutex);
        all = all && unit->status.reachedCount;
    }
    return all && !m_units.empty();
}

void ProductionLine::Finish() {
    std::lock_guard<std::mutex> lock(m_stopMutex);
    m_bFinish = true;
    // Stations waiting for a chip or for its removal end now; the others after their chip.
    for (auto& unit : m_units) {
        if (!unit->inChip) {
            unit->engine.Cancel();
        }
    }
    m_wake.notify_all();
}

void ProductionLine::Stop() {
    std::lock_guard<std::mutex> lock(m_stopMutex);
    m_bStop = true;
    for (auto& unit : m_units) {
        unit->engine.Cancel();
    }
    m_wake.notify_all();
}

std::vector<StationStatus> ProductionLine::Statuses() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<StationStatus> statuses;
    for (const auto& unit : m_units) {
        statuses.push_back(unit->status);
    }
    return statuses;
}

bool ProductionLine::Prepare(Unit& unit) {
    // Under the lock with the stop flags: a Stop() or Finish() that came before must not have
    // its cancel cleared by the reset, and one that comes after finds the flag cleared already.
    std::lock_guard<std::mutex> lock(m_stopMutex);
    if (m_bStop || m_bFinish) {
        unit.stopWhy = m_bStop ? TEXT_STOPPED : TEXT_FINISHED;
        return false;
    }
    unit.engine.ResetForConnect();
    return true;
}

const char* ProductionLine::StopReason() const {
    std::lock_guard<std::mutex> lock(m_stopMutex);
    return m_bStop ? TEXT_STOPPED : TEXT_FINISHED;
}

bool ProductionLine::Pause(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(m_stopMutex);
    return !m_wake.wait_for(lock, period, [this] { return m_bStop || m_bFinish; });
}

BurnContext ProductionLine::Context(const Unit& unit) const {
    BurnContext context;
    context.station = Station{m_settings.host, unit.status.name};
    context.lot = m_settings.lot;
    context.goldenName = m_golden.Name();
    context.goldenSha256 = m_golden.Sha256();
    return context;
}

void ProductionLine::Report(Unit& unit, StationEvent event, bool chipFailed) {
    std::lock_guard<std::mutex> lock(m_mutex);
    StationStatus& status = unit.status;
    event.name = status.name;
    event.port = status.port;
    event.timeMs = NowMs();
    switch (event.kind) {
        case StationEvent::Connecting:
            // The last chip's PASS, FAIL or skip stays shown until the next chip answers.
            status.state = StationState::Waiting;
            status.page = 0;
            status.phase.clear();
            break;
        case StationEvent::Connected:
            status.state = StationState::Checking;
            status.lastResult = ChipResult::None;
            status.hasAddress = false;
            status.message.clear();
            break;
        case StationEvent::Page:
            status.page = event.page;
            status.phase = event.phase;
            status.state =
                event.phase == PHASE_VERIFY ? StationState::Verifying : StationState::Burning;
            break;
        case StationEvent::Verified:
            break;
        case StationEvent::Done:
            ++status.done;
            status.consecutiveFailures = 0;
            status.state = StationState::Pass;
            status.lastResult = ChipResult::Pass;
            status.message.clear();
            break;
        case StationEvent::Error:
            status.message = event.message;
            if (event.hasAddress || chipFailed) {
                ++status.failures;
                ++status.consecutiveFailures;
                status.state = StationState::Fail;
                status.lastResult = ChipResult::Fail;
            }
            break;
        case StationEvent::Skipped:
            ++status.skipped;
            status.state = StationState::Skipped;
            status.lastResult = ChipResult::Skipped;
            status.hasAddress = event.hasAddress;
            status.lastAddress = event.address;
            status.message = event.message;
            break;
        case StationEvent::ChipGone:
            status.state = StationState::Waiting;
            break;
        case StationEvent::StationLost:
            status.state = StationState::PortLost;
            status.message = event.message;
            break;
        case StationEvent::StationBack:
            status.state = StationState::Waiting;
            status.message.clear();
            break;
        case StationEvent::RecordUnavailable:
            unit.resume = status.state;
            status.state = StationState::RecordUnavailable;
            break;
        case StationEvent::RecordBack:
            status.state = unit.resume;
            break;
        case StationEvent::Stopped:
            status.state = StationState::Stopped;
            if (!event.message.empty()) {
                status.message = event.message;
            }
            break;
    }
    if (m_listener) {
        m_listener(event, status);
    }
}

bool ProductionLine::ReplayJournalLocked(std::string& error) {
    if (!m_bJournalPending) {
        return true;
    }
    std::vector<JournalEntry> entries;
    if (!m_journal.Load(entries, error)) {
        return false;
    }
    std::vector<JournalEntry> left;
    bool away = false;
    for (const JournalEntry& entry : entries) {
        // Once a call fails the record is away: the rest stay for the next try, in order. An
        // entry whose address this record never handed out was journalled for another
        // record; it stays too, for the run that uses that one.
        AddressInfo info;
        away = away || !m_record.Lookup(entry.address, info);
        if (away || !info.known || !m_record.EndBurn(entry.attempt, entry.end)) {
            away = away || info.known;
            if (away && error.empty()) {
                error = m_record.LastError();
            }
            left.push_back(entry);
        }
    }
    if (left.size() != entries.size()) {
        std::string stored;
        if (!m_journal.Store(left, stored)) {
            // Entries written twice are harmless: ending an attempt again changes nothing.
            error = stored;
            return false;
        }
    }
    m_bJournalPending = away;
    return !away;
}

ProductionLine::RecordCall ProductionLine::CallRecord(Unit& unit, const std::function<bool()>& call,
                                                      std::string& error) {
    std::chrono::milliseconds wait = m_settings.recordRetry;
    bool paused = false;
    for (;;) {
        bool ok;
        {
            std::lock_guard<std::mutex> lock(m_recordMutex);
            error.clear();
            ok = ReplayJournalLocked(error) && call();
            if (!ok && error.empty()) {
                error = m_record.LastError();
            }
        }
        if (ok) {
            if (paused) {
                Report(unit, {StationEvent::RecordBack});
            }
            return RecordCall::Done;
        }
        if (error.rfind(TEXT_POOL_EXHAUSTED, 0) == 0) {
            return RecordCall::Refused;
        }
        if (!paused) {
            StationEvent event{StationEvent::RecordUnavailable};
            event.message = error;
            Report(unit, event);
            paused = true;
        }
        if (!Pause(wait)) {
            return RecordCall::Stopped;
        }
        wait = std::min(wait * 2, m_settings.recordRetry * RETRY_GROWTH);
    }
}

bool ProductionLine::AwaitPort(Unit& unit) {
    StationEvent lost{StationEvent::StationLost};
    lost.message = unit.engine.Transport().LastError();
    if (lost.message.empty()) {
        lost.message = TEXT_PORT_LOST;
    }
    Report(unit, lost);
    unit.engine.ClosePort();
    for (;;) {
        if (!Pause(m_settings.portPeriod)) {
            unit.stopWhy = StopReason();
            return false;
        }
        // The same path again: a by-id or by-path link leads to the device wherever it
        // comes back.
        if (unit.engine.ReopenPort(SyncBaud(m_settings.crystal)) &&
            !unit.engine.Transport().LineLost()) {
            unit.lost = false;
            Report(unit, {StationEvent::StationBack});
            return true;
        }
        unit.engine.ClosePort();
    }
}

void ProductionLine::RunStation(Unit& unit) {
    const std::string& port = unit.status.port;
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        SetUpLink(unit.engine, m_links, port, m_settings.crystal, m_settings.baudRow);
    }
    // The connect's progress comes every few sync attempts: the moment to notice a port
    // that went away while no chip answers.
    ConnectProgress watch = [&unit](int) {
        unit.opened = true;
        if (unit.engine.Transport().LineLost()) {
            unit.lost = true;
            unit.engine.Cancel();
        }
    };
    unit.stopWhy = TEXT_STOPPED;
    for (;;) {
        if (!Prepare(unit)) {
            break;
        }
        unit.lost = false;
        Report(unit, {StationEvent::Connecting});
        const LinkOutcome connected = ConnectTargetUntilCancelled(unit.engine, watch);
        if (!connected) {
            if (unit.lost || (unit.opened && !unit.engine.Cancelled())) {
                if (!AwaitPort(unit)) {
                    break;
                }
                continue;
            }
            if (!unit.engine.Cancelled()) {
                // The port never opened: a wrong path, not one that went away.
                StationEvent error{StationEvent::Error};
                error.code = EXIT_FAIL;
                error.message = connected.message;
                error.cause = connected.cause;
                unit.stopWhy = error.message;
                Report(unit, error);
            } else {
                unit.stopWhy = StopReason();
            }
            break;
        }
        unit.opened = true;
        {
            std::lock_guard<std::mutex> lock(m_stopMutex);
            unit.inChip = !m_bStop && !m_bFinish;
        }
        if (!unit.inChip) {
            unit.stopWhy = StopReason();
            break;
        }
        Report(unit, {StationEvent::Connected});
        const ChipEnd end = BurnOne(unit);
        bool finishing;
        {
            std::lock_guard<std::mutex> lock(m_stopMutex);
            unit.inChip = false;
            finishing = m_bFinish;
        }
        if (end == ChipEnd::Stop) {
            break;
        }
        if (end == ChipEnd::PortLost) {
            if (!AwaitPort(unit)) {
                break;
            }
            continue;
        }
        bool reached = false;
        int failedInRow = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            reached = m_settings.count > 0 && unit.status.done >= m_settings.count;
            unit.status.reachedCount = reached;
            failedInRow = unit.status.consecutiveFailures;
        }
        if (reached) {
            unit.stopWhy = std::to_string(m_settings.count) + " chip(s) done";
            break;
        }
        if (m_settings.maxFailures > 0 && failedInRow >= m_settings.maxFailures) {
            unit.stopWhy = "Stopped after " + std::to_string(failedInRow) +
                           " failed chips in a row: check the socket, the chips and the golden "
                           "image";
            break;
        }
        if (finishing) {
            unit.stopWhy = TEXT_FINISHED;
            break;
        }
        if (!WaitChipGone(unit.engine, m_settings.gonePeriod)) {
            unit.stopWhy = StopReason();
            break;
        }
        if (unit.engine.Transport().LineLost() || !unit.engine.Transport().IsOpen()) {
            if (!AwaitPort(unit)) {
                break;
            }
            continue;
        }
        Report(unit, {StationEvent::ChipGone});
    }
    unit.engine.ClosePort();
    StationEvent stop{StationEvent::Stopped};
    stop.message = unit.stopWhy;
    Report(unit, stop);
}

LinkOutcome ProductionLine::CheckChip(Unit& unit, bool& carries, uint64_t& address) {
    CProgstarDlg& engine = unit.engine;
    NvdsImage held = ErasedImage();
    carries = false;
    engine.ClearFailure();
    // The magic is programmed last, so a chip without a valid image most often has an erased
    // page 0: one page decides whether the whole area is read.
    if (!ReadPages(engine, held, {}, 1)) {
        return TransferFailed(engine);
    }
    if (std::all_of(held.begin(), held.begin() + NVDS_PAGE_SIZE,
                    [](uint8_t b) { return b == 0xFF; })) {
        return {};
    }
    if (!ReadPages(engine, held, {})) {
        return TransferFailed(engine);
    }
    engine.ClearFailure();
    if (std::optional<uint64_t> found = AddressOnImage(held)) {
        carries = true;
        address = *found;
    }
    return {};
}

ProductionLine::ChipEnd ProductionLine::BurnOne(Unit& unit) {
    bool carries = false;
    uint64_t address = 0;
    if (const LinkOutcome checked = CheckChip(unit, carries, address); !checked) {
        StationEvent failure{StationEvent::Error};
        failure.code = EXIT_FAIL;
        failure.message = TEXT_CHECK_FAILED;
        failure.cause = checked.cause;
        if (unit.engine.Cancelled()) {
            unit.stopWhy = TEXT_STOPPED;
            return ChipEnd::Stop;
        }
        Report(unit, failure, true);
        return unit.engine.Transport().LineLost() ? ChipEnd::PortLost : ChipEnd::Next;
    }

    const BurnContext context = Context(unit);
    std::string error;
    int64_t attempt = 0;
    RecordCall call;
    if (carries && !m_settings.reburnProgrammed) {
        AddressInfo info;
        call = CallRecord(
            unit, [&] { return m_record.Lookup(address, info); }, error);
        if (call == RecordCall::Done) {
            StationEvent skipped{StationEvent::Skipped};
            skipped.hasAddress = true;
            skipped.address = address;
            skipped.message =
                "Already programmed with " + AddressText(address) +
                (info.known ? std::string(", ") + RecordStateName(info.state) + " in the record"
                            : std::string(", an address the record does not know")) +
                ": not burned";
            Report(unit, skipped);
            return ChipEnd::Next;
        }
    } else {
        // A chip that carries an address is burned again with it; any other takes the next.
        call = CallRecord(
            unit,
            [&] {
                return carries ? m_record.ReserveAddress(address, context, attempt)
                               : m_record.ReserveNext(context, address, attempt);
            },
            error);
    }
    if (call == RecordCall::Stopped) {
        unit.stopWhy = StopReason();
        return ChipEnd::Stop;
    }
    if (call == RecordCall::Refused) {
        StationEvent failure{StationEvent::Error};
        failure.code = EXIT_FAIL;
        failure.message = error;
        unit.stopWhy = error;
        Report(unit, failure);
        return ChipEnd::Stop;
    }
    return Burn(unit, address, attempt);
}

ProductionLine::ChipEnd ProductionLine::Burn(Unit& unit, uint64_t address, int64_t attempt) {
    const Clock::time_point start = Clock::now();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        unit.status.state = StationState::Burning;
        unit.status.hasAddress = true;
        unit.status.lastAddress = address;
        unit.status.page = 0;
    }
    StationEvent failure{StationEvent::Error};
    failure.code = EXIT_FAIL;
    failure.hasAddress = true;
    failure.address = address;

    NvdsImage image;
    std::string error;
    BurnEnd end;
    if (!m_golden.Build(address, image, error)) {
        // Nothing reached the chip: the address goes back to the pool.
        end.reusable = true;
        end.reason = error;
        failure.message = error;
    } else {
        unit.pageEvents = 0;
        BurnEvents events;
        events.pages = [&](int page) {
            StationEvent event{StationEvent::Page};
            event.page = page;
            event.phase = ++unit.pageEvents <= int(NVDS_PAGE_COUNT) ? PHASE_PROGRAM : PHASE_VERIFY;
            event.hasAddress = true;
            event.address = address;
            Report(unit, event);
        };
        events.verified = [&] { Report(unit, {StationEvent::Verified}); };
        BurnOptions options;
        options.safeOrder = true;
        options.verify = true;
        const BurnOutcome outcome = BurnImageWithOptions(unit.engine, unit.engine.m_bConnected != 0,
                                                         image, options, events);
        end.imageSha256 = Sha256Hex(image.data(), image.size());
        if (outcome.result == BurnResult::Burned) {
            end.outcome = RECORD_VERIFIED;
        } else {
            // An address that may be on the chip never goes back to the pool.
            end.reusable = !outcome.pageZeroMayBeWritten;
            if (outcome.result == BurnResult::VerifyFailed) {
                failure.code = EXIT_VERIFY_FAILED;
                failure.message = VerifyFailedText(outcome.firstDifference);
                end.reason = failure.message;
            } else {
                failure.message =
                    outcome.link.message.empty() ? TEXT_BURN_FAILED : outcome.link.message;
                failure.cause = outcome.link.cause;
                end.reason = failure.cause.empty() ? failure.message : failure.cause;
            }
        }
    }
    end.seconds = SecondsSince(start);

    bool ended;
    {
        std::lock_guard<std::mutex> lock(m_recordMutex);
        ended = ReplayJournalLocked(error) && m_record.EndBurn(attempt, end);
        if (!ended) {
            error = error.empty() ? m_record.LastError() : error;
        }
    }
    std::string journalled;
    if (!ended) {
        // Kept here until the record answers; the station does not go on before.
        std::lock_guard<std::mutex> lock(m_recordMutex);
        if (m_journal.Add(JournalEntry{attempt, address, end}, journalled)) {
            m_bJournalPending = true;
            journalled.clear();
        }
    }
    // The operator learns whether the chip is good before anything else.
    if (end.outcome == RECORD_VERIFIED) {
        StationEvent done{StationEvent::Done};
        done.hasAddress = true;
        done.address = address;
        done.seconds = end.seconds;
        Report(unit, done);
    } else {
        Report(unit, failure);
    }
    if (!journalled.empty()) {
        // Neither the record nor the journal took the outcome: the reservation stays open
        // and is abandoned at a later start, so the address is never handed out again.
        StationEvent lostOutcome{StationEvent::Error};
        lostOutcome.code = EXIT_FAIL;
        lostOutcome.message = journalled;
        Report(unit, lostOutcome);
    }
    if (!ended) {
        std::string why;
        if (CallRecord(
                unit, [] { return true; }, why) == RecordCall::Stopped) {
            unit.stopWhy = StopReason();
            return ChipEnd::Stop;
        }
    }
    if (unit.engine.Cancelled()) {
        unit.stopWhy = StopReason();
        return ChipEnd::Stop;
    }
    if (end.outcome != RECORD_VERIFIED && unit.engine.Transport().LineLost()) {
        return ChipEnd::PortLost;
    }
    return ChipEnd::Next;
}

}  // namespace nvds::line
