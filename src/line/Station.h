#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/TagTypes.h"
#include "image/NvdsImage.h"

namespace nvds::line {

/// Where a station stands in its loop; what its tile or table row shows.
enum class StationState {
    Waiting,            // looking for a chip (no time limit); PASS/FAIL of the last chip
                        // stay shown (StationStatus::lastResult) until the next is detected
    Checking,           // a chip answered: reading its NVDS area before erasing it
    Burning,            // an address is reserved and the pages are being programmed
    Verifying,          // the pages are read back and compared
    Pass,               // the chip is good; waiting until it is taken out
    Fail,               // the chip failed (reason in StationStatus::message); waiting for removal
    Skipped,            // the chip already carries an address; not burned; waiting for removal
    PortLost,           // the port disappeared; reopened when it comes back
    RecordUnavailable,  // the record does not answer; paused, retrying with a back-off
    Stopped,            // done: the count was reached, the range ran out, too many failures
                        // in a row, or the line was stopped
};

/// "waiting", "checking", "burning", "verifying", "PASS", "FAIL", "skipped", "port lost",
/// "record unavailable", "stopped".
const char* StationStateName(StationState state);

/// The outcome of a station's last chip, kept until the next chip is detected.
enum class ChipResult { None, Pass, Fail, Skipped };

/// What a station shows on the board or in the live table.
struct StationStatus {
    std::string name;  // the station's name (`--port NAME=PATH`), else the port
    std::string port;  // the device path
    StationState state = StationState::Waiting;
    std::string phase;  // "program" or "verify" while a page event is current
    int page = 0;       // the last page event of the burn in progress, 1..16
    bool hasAddress = false;
    uint64_t lastAddress = 0;  // the address of the last chip burned or being burned
    ChipResult lastResult = ChipResult::None;
    int done = 0;      // chips verified (PASS)
    int failures = 0;  // chips failed (FAIL)
    int skipped = 0;   // chips already programmed, left alone
    int consecutiveFailures = 0;
    bool reachedCount = false;
    std::string message;  // the FAIL reason, why the station stopped, or what it waits for
};

/// One event of a station; the kinds follow the machine-readable events of the tool.
struct StationEvent {
    enum Kind {
        Connecting,         // waiting for a chip
        Connected,          // a chip answered
        Page,               // page `page` of 16, `phase` "program" or "verify"
        Verified,           // the read-back matched
        Done,               // PASS: recorded verified (address, seconds)
        Error,              // FAIL of a chip (hasAddress) or a station error (message, cause)
        Skipped,            // the chip already carries `address`; not burned
        ChipGone,           // the chip was taken out ("removed")
        StationLost,        // the port disappeared
        StationBack,        // the port came back and was reopened
        RecordUnavailable,  // the record failed (message); the station pauses
        RecordBack,         // the record answers again; journalled outcomes written
        Stopped,            // the station ended (message says why)
    };
    StationEvent() = default;
    StationEvent(Kind k) : kind(k) {}  // NOLINT: implicit, so a bare kind reads as an event
    Kind kind = Connecting;
    std::string name;   // the station's name
    std::string port;   // its device path
    int page = 0;       // Page: 1..16
    std::string phase;  // Page: "program" or "verify"
    bool hasAddress = false;
    uint64_t address = 0;
    double seconds = 0;  // Done: the burn's duration
    int code = 0;        // Error: the exit code the failure stands for (4 verify, 1 otherwise)
    std::string message;
    std::string cause;   // Error: the one-line cause (verify page/offset, time-out, hang-up)
    int64_t timeMs = 0;  // when it happened, ms since 1970 UTC
};

/// The golden image a line burns: the golden file's bytes, of which only the device address's
/// value bytes change from chip to chip. Loaded once; safe to use from several stations at once.
class GoldenImage {
public:
    /// Reads the image file at `path` and refuses it, with a message naming the tags, when the
    /// station's `catalogue` would change it as "Open..." takes it: a current entry of a tag
    /// the catalogue does not define, a value that is missing, mis-sized, does not decode or is
    /// out of range, an entry list that runs past the area, or no device address (tag 1) of
    /// the catalogue's length. A taken image keeps the image check's notices (a hex value
    /// shorter than its tag, filled with zeros) for the caller to show.
    bool Load(const std::string& path, const TagTable& catalogue, std::string& error);

    /// The golden bytes with the device address's value bytes set to `address`. False with a
    /// message only when no golden image was loaded.
    bool Build(uint64_t address, NvdsImage& image, std::string& error) const;

    /// The golden file's name (without its folder) and the SHA-256 of its bytes, in hex, as the
    /// start banner and the record show them.
    const std::string& Name() const { return m_strName; }
    const std::string& Sha256() const { return m_strSha256; }
    const std::vector<std::string>& Notices() const { return m_notices; }

private:
    std::vector<std::string> m_notices;
    std::string m_strName;
    std::string m_strSha256;
    NvdsImage m_bytes{};
    uint32_t m_addressOffset = 0;  // first value byte of tag 1's current entry; 0: not loaded
};

/// The device address held by an NVDS area that is a valid image: the magic, an entry list
/// that ends inside the area and a current tag 1 entry of six bytes. Nothing otherwise.
std::optional<uint64_t> AddressOnImage(const NvdsImage& image);

}  // namespace nvds::line
