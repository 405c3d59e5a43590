#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "catalogue/NvdsConfig.h"
#include "catalogue/TagTypes.h"
#include "image/NvdsImage.h"

namespace nvds::line {

/// Where a station stands in its loop.
enum class StationState {
    Waiting,   // looking for a chip (no time limit)
    Burning,   // an address is reserved and the burn (with its read-back) runs
    Removing,  // the outcome is recorded; waiting until the chip is taken out
    Stopped,   // done: the count was reached, the range ran out, or the line was stopped
};

/// "waiting", "burning", "remove chip", "stopped".
const char* StationStateName(StationState state);

/// What a station shows in the live table.
struct StationStatus {
    std::string port;
    StationState state = StationState::Waiting;
    int page = 0;  // the last page event of the burn in progress, 1..16
    bool hasAddress = false;
    uint64_t lastAddress = 0;  // the address of the last chip burned or being burned
    int done = 0;              // chips verified
    int failures = 0;          // burns that failed
    bool reachedCount = false;
    std::string message;  // why the station stopped, or the last failure
};

/// One event of a station; the kinds follow the machine-readable events of the tool.
struct StationEvent {
    enum Kind { Connecting, Connected, Page, Verified, Done, Error, ChipGone, Stopped };
    StationEvent() = default;
    StationEvent(Kind k) : kind(k) {}  // NOLINT: implicit, so a bare kind reads as an event
    Kind kind = Connecting;
    std::string port;
    int page = 0;  // Page: 1..16
    bool hasAddress = false;
    uint64_t address = 0;
    double seconds = 0;  // Done: the burn's duration
    int code = 0;        // Error: the exit code the failure stands for (4 verify, 1 otherwise)
    std::string message;
    std::string cause;  // Error: the link's one-line cause of a failed transfer, may be empty
};

/// The golden image taken into a table as "Open..." takes a file, from which every station
/// builds the image for its address. Safe to use from several stations at once.
class GoldenImage {
public:
    /// Reads the image file at `path` against the loaded `catalogue` and checks its tags.
    /// False with the message the tool shows when the file is refused or holds no valid tags.
    bool Load(const std::string& path, CNvdsConfig& config, const TagTable& catalogue,
              std::string& error);

    /// The golden image with tag 1 (the device address) set to `address`, checked like any
    /// edited value. False with the check's or the build's message.
    bool Build(uint64_t address, NvdsImage& image, std::string& error) const;

private:
    CNvdsConfig* m_pConfig = nullptr;
    TagTable m_table{};
    mutable std::mutex m_mutex;  // CheckValue keeps its message in the shared config
};

}  // namespace nvds::line
