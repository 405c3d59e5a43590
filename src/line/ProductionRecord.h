#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

/// Counts per state and the pace over the verified rows.
struct RecordSummary {
    int64_t reserved = 0;
    int64_t verified = 0;
    int64_t failed = 0;
    int64_t abandoned = 0;
    /// Verified chips per hour from the first reservation to the last end among them; 0 when
    /// there is none or no time passed.
    double chipsPerHour = 0;
};

/// The production record: one row per address handed out, kept so that an address that may
/// be on a chip is never handed out again, whatever moment the process dies at.
class ProductionRecord {
public:
    virtual ~ProductionRecord() = default;

    /// Takes the next address for a burn at `station` and stores it as reserved, committed
    /// before it is returned. A reusable failed address of the pool comes first. False, with
    /// LastError(), when the pool is exhausted or the record cannot be written.
    virtual bool Reserve(const Station& station, uint64_t& address) = 0;

    /// Marks a reserved address of this process verified, once the read-back matched.
    /// `imageSha256` is the 64 hex digits of the burned image's digest.
    virtual bool MarkVerified(uint64_t address, const std::string& imageSha256, double seconds) = 0;

    /// Marks a reserved address of this process failed. `reusable` only when the chip
    /// provably holds no valid image (the failure came before page 0 was programmed).
    virtual bool MarkFailed(uint64_t address, bool reusable) = 0;

    /// Records a burn whose address was not taken from the pool (the desktop program burns
    /// the address its list shows) as verified: a new row, or the existing row of that address
    /// updated. False, with LastError(), when the record cannot be written.
    virtual bool RecordBurn(uint64_t address, const Station& station,
                            const std::string& imageSha256, double seconds) = 0;

    /// The state of `address` in the record. False when the record holds no row for it (then
    /// LastError() is empty) or the look-up failed (LastError() says why).
    virtual bool StateOf(uint64_t address, RecordState& state) = 0;

    /// Every row, in the order the addresses were reserved.
    virtual bool Rows(std::vector<RecordRow>& rows) = 0;

    /// The counts per state and the chips per hour.
    virtual bool Summary(RecordSummary& summary) = 0;

    /// The text of the last failure.
    virtual const std::string& LastError() const = 0;
};

/// Opens the record at `target` for allocation from `pool`, creating it on first use, and
/// abandons the reservations left by dead owners. A path is an SQLite file; a "postgresql://"
/// or "postgres://" URI or a key=value connection string is a PostgreSQL database shared by
/// several machines. Null, with `error`, on failure.
std::unique_ptr<ProductionRecord> OpenProductionRecord(const std::string& target,
                                                       const AddressPool& pool, std::string& error);

/// Opens an existing record to read it; never creates one and changes nothing.
std::unique_ptr<ProductionRecord> OpenProductionRecordToRead(const std::string& target,
                                                             std::string& error);

/// The 48-bit value of an address text "C0 11 22 33 44 55".
uint64_t AddressValue(const std::string& text);

/// The canonical text of a 48-bit address value.
std::string AddressText(uint64_t address);

}  // namespace nvds::line
