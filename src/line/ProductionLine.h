#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "line/ProductionRecord.h"
#include "line/Station.h"
#include "link/LinkTransport.h"

namespace nvds::line {

/// Makes the link of the station at `port`; null: the port as the tool opens it (a serial
/// device, or the USB bridge for SPI).
using TransportFactory = std::function<std::unique_ptr<LinkTransport>(const std::string& port)>;

/// Receives every station's events with the station's status after it; calls never overlap.
using LineListener = std::function<void(const StationEvent& event, const StationStatus& status)>;

struct LineSettings {
    std::vector<std::string> ports;  // one station each
    int crystal = 0;
    int baudRow = 0;
    int count = 0;     // verified chips after which a station stops; 0: no limit
    std::string host;  // recorded with each reservation
    /// How often a station looks whether its chip was taken out.
    std::chrono::milliseconds gonePeriod{50};
};

/// Several stations in one process, each on its own thread with its own engine and link,
/// sharing one production record (its calls are serialised here) and one golden image. A
/// station loops: wait for a chip without a time limit, reserve the next address, build the
/// image with that address, burn it in safe order and read it back, record the outcome, wait
/// until the chip is taken out.
class ProductionLine {
public:
    ProductionLine(LineSettings settings, ProductionRecord& record, const GoldenImage& golden,
                   LineListener listener, TransportFactory transports = {});
    ~ProductionLine();
    ProductionLine(const ProductionLine&) = delete;
    ProductionLine& operator=(const ProductionLine&) = delete;

    /// Runs every station until all have stopped. True only when every station stopped
    /// because it reached the count.
    bool Run();

    /// Stops every station from any thread (a signal watcher): every wait ends at once, a
    /// burn in progress is recorded as failed (reusable only when page 0 was not programmed).
    void Stop();

    /// A copy of every station's status, in the order of the ports.
    std::vector<StationStatus> Statuses() const;

private:
    struct Unit;
    void RunStation(Unit& unit);
    // The burn of one chip that answered; false when the station must stop.
    bool BurnOne(Unit& unit);
    // Clears the engine's connect state unless the line is stopping; false when it is.
    bool Prepare(Unit& unit);
    void Report(Unit& unit, StationEvent event);

    LineSettings m_settings;
    ProductionRecord& m_record;
    const GoldenImage& m_golden;
    LineListener m_listener;
    TransportFactory m_transports;
    std::vector<std::unique_ptr<Unit>> m_units;
    mutable std::mutex m_mutex;  // the stop flag, statuses and listener calls
    std::mutex m_recordMutex;    // one record call at a time
    bool m_bStop = false;
};

}  // namespace nvds::line
