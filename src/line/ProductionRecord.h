#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/BdAddr.h"

namespace nvds::line {

/// What became of an address that was handed out.
enum RecordState : int {
    RECORD_RESERVED = 0,   // taken for a burn that has not ended yet
    RECORD_VERIFIED = 1,   // burned and read back equal
    RECORD_FAILED = 2,     // the burn failed; `reusable` when no valid image can be on the chip
    RECORD_ABANDONED = 3,  // its process died during the burn: it may be on a chip
};

/// The state's name as stored and shown: "reserved", "verified", "failed", "abandoned".
const char* RecordStateName(RecordState state);

/// The pool of device addresses: a 48-bit first address, an optional last one, and a step of
/// +1 (Increase) or -1 (Decrease) that moves the lower three pairs only.
struct AddressPool {
    uint64_t first = 0;
    std::optional<uint64_t> last;
    int step = 1;
};

/// Where a burn happens: the host name and the port the chip hangs on.
struct Station {
    std::string host;
    std::string port;
};

/// One address handed out. Times are milliseconds since 1970 (UTC); 0 when not ended yet.
struct RecordRow {
    uint64_t address = 0;
    RecordState state = RECORD_RESERVED;
    bool reusable = false;
    Station station;
    int64_t reservedAtMs = 0;
    int64_t endedAtMs = 0;
    std::string imageSha256;  // hex, empty unless verified
    double seconds = -1;      // the burn's duration, negative unless verified
};

/// Counts per state of the address table and the pace over its verified rows.
struct RecordSummary {
    int64_t reserved = 0;
    int64_t verified = 0;
    int64_t failed = 0;
    int64_t abandoned = 0;
    /// Verified chips per hour from the first reservation to the last end among them; 0 when
    /// there is none or no time passed.
    double chipsPerHour = 0;
};

/// What the line or the window knows of a burn when it starts: where it happens and what is
/// burned. Kept with every history row.
struct BurnContext {
    Station station;           // host, and the station's name (or its port when unnamed)
    std::string lot;           // the run's label (`--lot`), may be empty
    std::string goldenName;    // the golden image's file name; empty for a window burn
    std::string goldenSha256;  // hex digest of the golden file; empty for a window burn
};

/// How a burn attempt ended, as the station or the window saw it.
struct BurnEnd {
    RecordState outcome = RECORD_FAILED;  // RECORD_VERIFIED or RECORD_FAILED
    bool reusable = false;                // failed before page 0 could hold a valid image
    std::string imageSha256;              // hex digest of the image burned (with its address)
    std::string reason;  // the failure's cause line ("verify: page 3 offset 0x12 ..."),
                         // empty for a verified burn
    double seconds = 0;  // from the reservation to the end
};

/// One row of the append-only history: one burn attempt, or the abandonment of one whose
/// process died. Rows are inserted, never updated or deleted.
struct HistoryRow {
    int64_t id = 0;       // ascending in insertion order
    int64_t attempt = 0;  // the reservation it ends (several rows may end one attempt:
                          // "abandoned" at a later start, then "verified" from a journal)
    int64_t run = 0;      // the opening of the record (one `nvds line` or window session)
    uint64_t address = 0;
    RecordState outcome = RECORD_FAILED;  // verified, failed or abandoned
    bool reusable = false;
    BurnContext context;
    int64_t startedAtMs = 0;  // the reservation's time, ms since 1970 UTC
    int64_t endedAtMs = 0;
    int utcOffsetMinutes = 0;  // the recording host's offset from UTC at endedAtMs
    std::string imageSha256;
    std::string reason;
    double seconds = 0;
};

/// Which history rows to show; empty fields do not filter.
struct HistoryFilter {
    std::optional<int64_t> sinceMs;
    std::string station;  // the station's name (or port)
    std::string lot;
    std::optional<int64_t> run;
};

/// Counts of one run (one opening of the record) over its history rows.
struct RunSummary {
    int64_t run = 0;
    std::string host;
    std::string lot;
    std::string goldenName;
    std::string goldenSha256;
    int64_t startedAtMs = 0;  // first reservation of the run
    int64_t endedAtMs = 0;    // last end of the run
    int64_t chips = 0;        // attempts that ended (verified + failed)
    int64_t verified = 0;
    int64_t failed = 0;
    int64_t abandoned = 0;
    double firstPassYield = 0;  // verified / chips, 0..1
    double chipsPerHour = 0;    // verified over the run's own time
    std::vector<std::pair<std::string, int64_t>> failuresByReason;  // most frequent first
};

/// What the record holds of one address: its derived state and the last attempt's place and
/// time, for the question the window asks before burning it again.
struct AddressInfo {
    bool known = false;  // the record has handed out or recorded this address
    RecordState state = RECORD_RESERVED;
    bool reusable = false;         // failed, and no valid image can be on a chip
    bool liveReservation = false;  // reserved by a process that still runs
    Station station;
    int64_t atMs = 0;  // the last attempt's end (or its reservation's time when open)
};

/// Whether a chip may carry `info`'s address: verified, reserved by a live process,
/// abandoned, or failed after page 0 could have been written.
inline bool MayBeOnChip(const AddressInfo& info) {
    if (!info.known) {
        return false;
    }
    switch (info.state) {
        case RECORD_VERIFIED:
        case RECORD_ABANDONED:
            return true;
        case RECORD_RESERVED:
            return info.liveReservation;
        case RECORD_FAILED:
            return !info.reusable;
    }
    return true;
}

/// The production record: one row per address handed out, kept so that an address that may
/// be on a chip is never handed out again, whatever moment the process dies at.
class ProductionRecord {
public:
    virtual ~ProductionRecord() = default;

    /// Reserves the next address of the pool for a burn in `context`: a reusable failed address
    /// first, otherwise the first address from the pool's first one, in the step's direction,
    /// that the record has never handed out (an address recorded far ahead never moves the
    /// start). Committed before it returns; `attempt` names the reservation for EndBurn.
    virtual bool ReserveNext(const BurnContext& context, uint64_t& address, int64_t& attempt) = 0;

    /// Reserves the given `address` (a window burn), whatever the record holds of it: the
    /// caller has asked the user first when MayBeOnChip. Earlier rows stay as they are.
    virtual bool ReserveAddress(uint64_t address, const BurnContext& context, int64_t& attempt) = 0;

    /// Ends the reservation `attempt` with a new history row and the address's derived state.
    /// Idempotent: ending an attempt again with the same outcome changes nothing and succeeds
    /// (a journal replaying after a lost answer). An attempt abandoned meanwhile by another
    /// process still gets its row: the history then says both.
    virtual bool EndBurn(int64_t attempt, const BurnEnd& end) = 0;

    /// What the record holds of `address` (info.known false when nothing). False only when
    /// the look-up failed (LastError() says why).
    virtual bool Lookup(uint64_t address, AddressInfo& info) = 0;

    /// The address ReserveNext would hand out now and how many the pool has left after it
    /// (counting it); false with LastError() when the pool is used up.
    virtual bool PeekNext(uint64_t& address, uint64_t& left) {
        (void)address, (void)left;
        return false;
    }

    /// The rows this opening marked abandoned (chips that need rework), oldest first.
    virtual const std::vector<HistoryRow>& AbandonedAtOpen() const {
        static const std::vector<HistoryRow> none;
        return none;
    }

    /// The history rows that pass `filter`, oldest first.
    virtual bool History(const HistoryFilter& filter, std::vector<HistoryRow>& rows) {
        (void)filter, (void)rows;
        return false;
    }

    /// One summary per run among the rows that pass `filter`, oldest run first.
    virtual bool Runs(const HistoryFilter& filter, std::vector<RunSummary>& runs) {
        (void)filter, (void)runs;
        return false;
    }

    /// The address table: every address handed out, with the state derived from its latest
    /// attempt, in the order they were reserved.
    virtual bool Addresses(std::vector<RecordRow>& rows) {
        (void)rows;
        return false;
    }

    /// The run this opening records under (0 when opened to read).
    virtual int64_t CurrentRun() const { return 0; }

    /// The text of the last failure.
    virtual const std::string& LastError() const = 0;
};

/// Whether `target` names a place where a record lasts: a path to a new or existing regular
/// file (SQLite) or a PostgreSQL connection string. Refuses, with `error`, an empty text,
/// SQLite's in-memory and temporary forms (":memory:", URI filenames "file:..."), a folder,
/// and a new file in a folder that does not exist. Touches nothing.
bool CheckRecordTarget(const std::string& target, std::string& error);

/// Opens the record at `target` for allocation from `pool`, creating it on first use, and
/// abandons the reservations left by dead owners. A path is an SQLite file; a "postgresql://"
/// or "postgres://" URI or a key=value connection string is a PostgreSQL database shared by
/// several machines. Null, with `error`, on failure.
std::unique_ptr<ProductionRecord> OpenProductionRecord(const std::string& target,
                                                       const AddressPool& pool, std::string& error);

/// Opens an existing record to read it; never creates one and changes nothing.
std::unique_ptr<ProductionRecord> OpenProductionRecordToRead(const std::string& target,
                                                             std::string& error);

/// The counts per state of the address table `rows` and the chips per hour.
RecordSummary SummaryOf(const std::vector<RecordRow>& rows);

using nvds::AddressText;

}  // namespace nvds::line
