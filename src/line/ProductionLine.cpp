#include "line/ProductionLine.h"

#include <chrono>
#include <thread>
#include <utility>

#include "link/BurnOptions.h"
#include "link/ConnectTarget.h"
#include "link/LinkFlows.h"
#include "link/ProgstarDlg.h"
#include "platform/Prompter.h"
#include "platform/Sha256.h"

namespace nvds::line {

namespace {

// Exit codes the failures of a station stand for.
constexpr int CODE_FAILED = 1;
constexpr int CODE_VERIFY_FAILED = 4;

constexpr const char* TEXT_STOPPED = "Stopped";
constexpr const char* TEXT_BURN_FAILED = "Burn failed";

// Keeps the engine's messages of one station for its error events; nothing is asked.
class StationPrompter : public Prompter {
public:
    void Message(const std::string& text) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_strLast = text;
    }
    bool Ask(const std::string& text) override {
        Message(text);
        return false;
    }
    std::string TakeLast() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_strLast, std::string());
    }

private:
    std::mutex m_mutex;
    std::string m_strLast;
};

}  // namespace

struct ProductionLine::Unit {
    explicit Unit(const std::string& port) : engine(prompter) { status.port = port; }

    StationPrompter prompter;
    CProgstarDlg engine;
    StationStatus status;  // guarded by the line's m_mutex
    std::thread thread;
};

ProductionLine::ProductionLine(LineSettings settings, ProductionRecord& record,
                               const GoldenImage& golden, LineListener listener,
                               TransportFactory transports)
    : m_settings(std::move(settings)),
      m_record(record),
      m_golden(golden),
      m_listener(std::move(listener)),
      m_transports(std::move(transports)) {
    for (const StationPort& station : m_settings.stations) {
        m_units.push_back(std::make_unique<Unit>(station.path));
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
    for (auto& unit : m_units) {
        unit->thread = std::thread([this, u = unit.get()] { RunStation(*u); });
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
    // Until stations learn to finish a chip first, finishing stops them at once.
    Stop();
}

void ProductionLine::Stop() {
    std::lock_guard<std::mutex> lock(m_stopMutex);
    m_bStop = true;
    for (auto& unit : m_units) {
        unit->engine.Cancel();
    }
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
    // Under the lock with the stop flag: a Stop() that came before must not have its cancel
    // cleared by the reset, and one that comes after finds the flag cleared already.
    std::lock_guard<std::mutex> lock(m_stopMutex);
    if (m_bStop) {
        return false;
    }
    unit.engine.ResetForConnect();
    return true;
}

void ProductionLine::Report(Unit& unit, StationEvent event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    StationStatus& status = unit.status;
    event.port = status.port;
    switch (event.kind) {
        case StationEvent::Connecting:
            status.state = StationState::Waiting;
            status.page = 0;
            break;
        case StationEvent::Connected:
            break;
        case StationEvent::Page:
            status.page = event.page;
            break;
        case StationEvent::Verified:
            break;
        case StationEvent::Done:
            ++status.done;
            status.state = StationState::Pass;
            status.lastResult = ChipResult::Pass;
            break;
        case StationEvent::Error:
            status.message = event.message;
            if (event.hasAddress) {
                ++status.failures;
                status.state = StationState::Fail;
                status.lastResult = ChipResult::Fail;
            }
            break;
        case StationEvent::ChipGone:
        case StationEvent::Skipped:
        case StationEvent::StationLost:
        case StationEvent::StationBack:
        case StationEvent::RecordUnavailable:
        case StationEvent::RecordBack:
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

void ProductionLine::RunStation(Unit& unit) {
    const std::string& port = unit.status.port;
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        if (m_transports) {
            unit.engine.SetLink(m_transports(port), m_settings.crystal, m_settings.baudRow);
            unit.engine.StartReceiveDispatchThread();
        } else {
            SetUpLink(unit.engine, port, m_settings.crystal, m_settings.baudRow);
        }
    }
    StationEvent stop{StationEvent::Stopped};
    for (;;) {
        if (!Prepare(unit)) {
            stop.message = TEXT_STOPPED;
            break;
        }
        Report(unit, {StationEvent::Connecting});
        if (!ConnectTargetUntilCancelled(unit.engine)) {
            if (unit.engine.Cancelled()) {
                stop.message = TEXT_STOPPED;
            } else {
                // The link itself could not be used (the port does not open).
                StationEvent error{StationEvent::Error};
                error.code = CODE_FAILED;
                error.message = unit.prompter.TakeLast();
                error.cause = unit.engine.Transport().LastError();
                Report(unit, error);
            }
            break;
        }
        Report(unit, {StationEvent::Connected});
        if (!BurnOne(unit)) {
            if (unit.engine.Cancelled()) {
                stop.message = TEXT_STOPPED;
            }
            break;
        }
        bool reached = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            reached = m_settings.count > 0 && unit.status.done >= m_settings.count;
            unit.status.reachedCount = reached;
        }
        if (reached) {
            stop.message = std::to_string(m_settings.count) + " chip(s) done";
            break;
        }
        if (!WaitChipGone(unit.engine, m_settings.gonePeriod)) {
            stop.message = TEXT_STOPPED;
            break;
        }
        Report(unit, {StationEvent::ChipGone});
    }
    unit.engine.ClosePort();
    Report(unit, stop);
}

bool ProductionLine::BurnOne(Unit& unit) {
    const std::string& port = unit.status.port;
    uint64_t address = 0;
    std::string error;
    bool reserved;
    {
        std::lock_guard<std::mutex> lock(m_recordMutex);
        reserved = m_record.Reserve(Station{m_settings.host, port}, address);
        error = reserved ? "" : m_record.LastError();
    }
    StationEvent failure{StationEvent::Error};
    failure.code = CODE_FAILED;
    if (!reserved) {
        failure.message = error;
        Report(unit, failure);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        unit.status.state = StationState::Burning;
        unit.status.hasAddress = true;
        unit.status.lastAddress = address;
        unit.status.page = 0;
    }
    failure.hasAddress = true;
    failure.address = address;

    NvdsImage image;
    if (!m_golden.Build(address, image, error)) {
        // Nothing reached the chip: the address goes back to the pool.
        std::lock_guard<std::mutex> lock(m_recordMutex);
        m_record.MarkFailed(address, true);
        failure.message = error;
        Report(unit, failure);
        return false;
    }

    BurnEvents events;
    events.pages = [&](int page) {
        StationEvent event{StationEvent::Page};
        event.page = page;
        event.hasAddress = true;
        event.address = address;
        Report(unit, event);
    };
    events.verified = [&] { Report(unit, {StationEvent::Verified}); };
    BurnOptions options;
    options.safeOrder = true;
    options.verify = true;
    unit.prompter.TakeLast();
    auto start = std::chrono::steady_clock::now();
    BurnOutcome outcome = BurnImageWithOptions(unit.engine, unit.engine.m_bConnected != 0, image,
                                               unit.prompter, options, events);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    if (outcome.result == BurnResult::Burned) {
        std::string digest = Sha256Hex(image.data(), image.size());
        bool marked;
        {
            std::lock_guard<std::mutex> lock(m_recordMutex);
            marked = m_record.MarkVerified(address, digest, seconds);
            error = marked ? "" : m_record.LastError();
        }
        if (!marked) {
            failure.message = error;
            Report(unit, failure);
            return false;
        }
        StationEvent done{StationEvent::Done};
        done.hasAddress = true;
        done.address = address;
        done.seconds = seconds;
        Report(unit, done);
        return true;
    }

    // An address that may be on the chip never goes back to the pool.
    bool marked;
    {
        std::lock_guard<std::mutex> lock(m_recordMutex);
        marked = m_record.MarkFailed(address, !outcome.pageZeroMayBeWritten);
        error = marked ? "" : m_record.LastError();
    }
    if (outcome.result == BurnResult::VerifyFailed) {
        failure.code = CODE_VERIFY_FAILED;
        failure.message = VerifyFailedText(outcome.firstDifference);
    } else {
        failure.message = unit.prompter.TakeLast();
        if (failure.message.empty()) {
            failure.message = TEXT_BURN_FAILED;
        }
        failure.cause = unit.engine.FailureCause();
    }
    Report(unit, failure);
    if (!marked) {
        StationEvent recordError{StationEvent::Error};
        recordError.code = CODE_FAILED;
        recordError.message = error;
        Report(unit, recordError);
        return false;
    }
    return !unit.engine.Cancelled();
}

}  // namespace nvds::line
