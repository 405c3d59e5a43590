#include "line/SqliteRecord.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cctype>
#include <ctime>

#include "line/RecordShared.h"

namespace nvds::line {

namespace {

constexpr int64_t SCHEMA_VERSION = 1;
// Long enough to outwait the other stations' transactions (each a few fsyncs), short enough
// that a hung writer shows up as an error rather than a station that hangs with it.
constexpr int BUSY_TIMEOUT_MS = 30000;

// Plain SQL, so that the same tables can live in a server database too.
const char* const SCHEMA_SQL[] = {
    "CREATE TABLE record_schema (version INTEGER NOT NULL)",
    "CREATE TABLE record_owner ("
    " id INTEGER PRIMARY KEY,"
    " host VARCHAR(255) NOT NULL,"
    " pid BIGINT NOT NULL,"
    " boot_id VARCHAR(64) NOT NULL,"
    " start_ticks BIGINT NOT NULL,"
    " opened_at BIGINT NOT NULL)",
    ADDRESS_TABLE_SQL,
    ADDRESS_INDEX_SQL,
};

// A prepared statement whose values are bound in order; a failed prepare or bind makes
// every later call a no-op that reports the first error.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        m_rc = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr);
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int64_t value) {
        if (m_rc == SQLITE_OK) {
            m_rc = sqlite3_bind_int64(m_stmt, ++m_index, value);
        }
        return *this;
    }
    Statement& Bind(uint64_t value) { return Bind(static_cast<int64_t>(value)); }
    Statement& Bind(double value) {
        if (m_rc == SQLITE_OK) {
            m_rc = sqlite3_bind_double(m_stmt, ++m_index, value);
        }
        return *this;
    }
    Statement& Bind(const std::string& text) {
        if (m_rc == SQLITE_OK) {
            m_rc = sqlite3_bind_text(m_stmt, ++m_index, text.data(), static_cast<int>(text.size()),
                                     SQLITE_TRANSIENT);
        }
        return *this;
    }
    Statement& Bind(const char* text) { return Bind(std::string(text)); }

    /// SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return m_rc == SQLITE_OK ? sqlite3_step(m_stmt) : m_rc; }

    bool IsNull(int column) { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
    int64_t Int(int column) { return sqlite3_column_int64(m_stmt, column); }
    double Real(int column) { return sqlite3_column_double(m_stmt, column); }
    std::string Text(int column) {
        const unsigned char* text = sqlite3_column_text(m_stmt, column);
        return text ? reinterpret_cast<const char*>(text) : "";
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_rc = SQLITE_OK;
    int m_index = 0;
};

// Rolls the open transaction back unless it was committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : m_db(db) {}
    ~Transaction() {
        if (!m_done) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Committed() { m_done = true; }

private:
    sqlite3* m_db;
    bool m_done = false;
};

}  // namespace

SqliteRecord::~SqliteRecord() {
    Close();
}

// A process that closes its record can no longer report on its reservations: they are
// abandoned at once rather than left until the process ends.
void SqliteRecord::Close() {
    if (!m_db) {
        return;
    }
    if (m_ownerId != 0 && Exec("BEGIN IMMEDIATE")) {
        Transaction transaction(m_db);
        Statement abandon(m_db,
                          "UPDATE record_address SET state = 'abandoned', ended_at = ?"
                          " WHERE state = 'reserved' AND owner = ?");
        Statement forget(m_db, "DELETE FROM record_owner WHERE id = ?");
        if (abandon.Bind(NowMs()).Bind(m_ownerId).Step() == SQLITE_DONE &&
            forget.Bind(m_ownerId).Step() == SQLITE_DONE && Exec("COMMIT")) {
            transaction.Committed();
        }
    }
    sqlite3_close_v2(m_db);
    m_db = nullptr;
}

bool SqliteRecord::Fail(const std::string& text) {
    m_strError = text;
    return false;
}

bool SqliteRecord::SqlFail() {
    const int code = sqlite3_errcode(m_db);
    if (code == SQLITE_NOTADB) {
        return Fail(m_path + " is not a production record (not an SQLite database)");
    }
    return Fail("production record " + m_path + ": " + sqlite3_errmsg(m_db));
}

bool SqliteRecord::Exec(const char* sql) {
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK || SqlFail();
}

bool SqliteRecord::OpenFile(const std::string& path, int flags) {
    Close();
    m_ownerId = 0;
    m_path = path;
    if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        std::string text = "cannot open production record " + path + ": " +
                           (m_db ? sqlite3_errmsg(m_db) : "out of memory");
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        return Fail(text);
    }
    sqlite3_extended_result_codes(m_db, 0);
    sqlite3_busy_timeout(m_db, BUSY_TIMEOUT_MS);
    return true;
}

bool SqliteRecord::OpenToRead(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return Fail("cannot open production record " + path + ": no such file");
    }
    if (!S_ISREG(info.st_mode)) {
        return Fail(path + " is not a production record (not a file)");
    }
    if (!OpenFile(path, SQLITE_OPEN_READONLY)) {
        return false;
    }
    if (!Exec("BEGIN")) {
        return false;
    }
    const bool ok = CheckSchema(false);
    Exec("COMMIT");
    return ok;
}

bool SqliteRecord::OpenForAllocation(const std::string& path, const AddressPool& pool) {
    PoolBounds bounds;
    std::string error;
    if (!PoolBoundsOf(pool, bounds, error)) {
        return Fail(error);
    }
    m_pool = pool;
    m_poolLow = bounds.low;
    m_poolHigh = bounds.high;
    if (!OpenFile(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) {
        return false;
    }
    // WAL with synchronous=FULL: a commit is on the disk before it returns, and a process
    // killed at any moment leaves the last committed state for the next opener to recover.
    if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=FULL")) {
        return false;
    }
    if (!Exec("BEGIN IMMEDIATE")) {
        return false;
    }
    Transaction transaction(m_db);
    if (!CheckSchema(true) || !RegisterOwner() || !AbandonDeadOwners() || !Exec("COMMIT")) {
        m_ownerId = 0;
        return false;
    }
    transaction.Committed();
    return true;
}

bool SqliteRecord::CheckSchema(bool createWhenEmpty) {
    Statement tables(m_db,
                     "SELECT COUNT(*), SUM(CASE WHEN name = 'record_schema' THEN 1 ELSE 0 END)"
                     " FROM sqlite_master WHERE type = 'table'");
    if (tables.Step() != SQLITE_ROW) {
        return SqlFail();
    }
    if (tables.Int(0) == 0 && createWhenEmpty) {
        return CreateSchema();
    }
    if (tables.Int(1) == 0) {
        return Fail(m_path + " is not a production record (no schema version)");
    }
    Statement version(m_db, "SELECT version FROM record_schema");
    if (version.Step() != SQLITE_ROW) {
        return Fail(m_path + " is not a production record (no schema version)");
    }
    if (version.Int(0) != SCHEMA_VERSION) {
        return Fail(m_path + " is a production record of schema version " +
                    std::to_string(version.Int(0)) + "; this program knows version " +
                    std::to_string(SCHEMA_VERSION));
    }
    return true;
}

bool SqliteRecord::CreateSchema() {
    for (const char* sql : SCHEMA_SQL) {
        if (!Exec(sql)) {
            return false;
        }
    }
    Statement version(m_db, "INSERT INTO record_schema (version) VALUES (?)");
    return version.Bind(SCHEMA_VERSION).Step() == SQLITE_DONE || SqlFail();
}

bool SqliteRecord::RegisterOwner() {
    m_owner = CurrentProcessOwner();
    Statement insert(m_db,
                     "INSERT INTO record_owner (host, pid, boot_id, start_ticks, opened_at)"
                     " VALUES (?, ?, ?, ?, ?)");
    if (insert.Bind(m_owner.host)
            .Bind(m_owner.pid)
            .Bind(m_owner.bootId)
            .Bind(m_owner.startTicks)
            .Bind(NowMs())
            .Step() != SQLITE_DONE) {
        return SqlFail();
    }
    m_ownerId = sqlite3_last_insert_rowid(m_db);
    return true;
}

// Only owners of this host can be looked at here. Reservations of processes on other hosts
// stay reserved (never handed out) until those hosts open the record again and sweep their
// own dead; a shared server will need leases for a host that never comes back.
bool SqliteRecord::AbandonDeadOwners() {
    Statement owners(m_db,
                     "SELECT id, pid, boot_id, start_ticks FROM record_owner"
                     " WHERE host = ? AND id <> ?");
    owners.Bind(m_owner.host).Bind(m_ownerId);
    std::vector<int64_t> dead;
    int rc;
    while ((rc = owners.Step()) == SQLITE_ROW) {
        ProcessOwner owner{m_owner.host, owners.Int(1), owners.Text(2), owners.Int(3)};
        if (!ProcessOwnerAlive(owner)) {
            dead.push_back(owners.Int(0));
        }
    }
    if (rc != SQLITE_DONE) {
        return SqlFail();
    }
    const int64_t now = NowMs();
    for (int64_t id : dead) {
        Statement abandon(m_db,
                          "UPDATE record_address SET state = 'abandoned', ended_at = ?"
                          " WHERE state = 'reserved' AND owner = ?");
        Statement forget(m_db, "DELETE FROM record_owner WHERE id = ?");
        if (abandon.Bind(now).Bind(id).Step() != SQLITE_DONE ||
            forget.Bind(id).Step() != SQLITE_DONE) {
            return SqlFail();
        }
    }
    return true;
}

bool SqliteRecord::Reserve(const Station& station, uint64_t& address) {
    if (m_ownerId == 0) {
        return Fail("production record " + m_path + " is not open for allocation");
    }
    // The write lock is taken before the first read, so that no other station can read the
    // same next address between our read and our insert.
    if (!Exec("BEGIN IMMEDIATE")) {
        return false;
    }
    Transaction transaction(m_db);
    bool found = false;
    if (!TakeReusable(station, address, found) || (!found && !TakeNext(station, address))) {
        return false;
    }
    if (m_hook) {
        m_hook(HOOK_RESERVE_BEFORE_COMMIT);
    }
    if (!Exec("COMMIT")) {
        return false;
    }
    transaction.Committed();
    return true;
}

// An address given back by a failure that left no image on the chip goes out first, in the
// pool's direction.
bool SqliteRecord::TakeReusable(const Station& station, uint64_t& address, bool& found) {
    Statement pick(m_db, m_pool.step > 0
                             ? "SELECT MIN(address) FROM record_address WHERE state = 'failed'"
                               " AND reusable = 1 AND address BETWEEN ? AND ?"
                             : "SELECT MAX(address) FROM record_address WHERE state = 'failed'"
                               " AND reusable = 1 AND address BETWEEN ? AND ?");
    if (pick.Bind(m_poolLow).Bind(m_poolHigh).Step() != SQLITE_ROW) {
        return SqlFail();
    }
    found = !pick.IsNull(0);
    if (!found) {
        return true;
    }
    address = static_cast<uint64_t>(pick.Int(0));
    Statement take(m_db,
                   "UPDATE record_address SET state = 'reserved', reusable = 0,"
                   " station_host = ?, station_port = ?, owner = ?, reserved_at = ?,"
                   " ended_at = NULL, image_sha256 = NULL, seconds = NULL"
                   " WHERE address = ? AND state = 'failed' AND reusable = 1");
    if (take.Bind(station.host)
            .Bind(station.port)
            .Bind(m_ownerId)
            .Bind(NowMs())
            .Bind(address)
            .Step() != SQLITE_DONE) {
        return SqlFail();
    }
    return sqlite3_changes(m_db) == 1 ||
           Fail("production record " + m_path + ": reusable address " + AddressText(address) +
                " changed while it was taken");
}

// The pool's next address lies one step beyond the furthest address ever handed out in its
// range, so an address that has a row, whatever its state, is never produced again.
bool SqliteRecord::TakeNext(const Station& station, uint64_t& address) {
    Statement furthest(m_db, m_pool.step > 0 ? "SELECT MAX(address) FROM record_address"
                                               " WHERE address BETWEEN ? AND ?"
                                             : "SELECT MIN(address) FROM record_address"
                                               " WHERE address BETWEEN ? AND ?");
    if (furthest.Bind(m_poolLow).Bind(m_poolHigh).Step() != SQLITE_ROW) {
        return SqlFail();
    }
    if (furthest.IsNull(0)) {
        address = m_pool.first;
    } else {
        const uint64_t reached = static_cast<uint64_t>(furthest.Int(0));
        const uint64_t end = m_pool.step > 0 ? m_poolHigh : m_poolLow;
        if (reached == end) {
            return Fail("address range exhausted: every address from " + AddressText(m_pool.first) +
                        " to " + AddressText(end) + " has been handed out");
        }
        address = m_pool.step > 0 ? reached + 1 : reached - 1;
    }
    Statement insert(m_db,
                     "INSERT INTO record_address (address, address_text, state, reusable,"
                     " station_host, station_port, owner, reserved_at)"
                     " VALUES (?, ?, 'reserved', 0, ?, ?, ?, ?)");
    if (insert.Bind(address)
            .Bind(AddressText(address))
            .Bind(station.host)
            .Bind(station.port)
            .Bind(m_ownerId)
            .Bind(NowMs())
            .Step() != SQLITE_DONE) {
        return SqlFail();
    }
    return true;
}

bool SqliteRecord::EndReservation(uint64_t address, const std::function<int(sqlite3*)>& update,
                                  bool verify) {
    if (m_ownerId == 0) {
        return Fail("production record " + m_path + " is not open for allocation");
    }
    if (!Exec("BEGIN IMMEDIATE")) {
        return false;
    }
    Transaction transaction(m_db);
    if (update(m_db) != SQLITE_DONE) {
        return SqlFail();
    }
    if (sqlite3_changes(m_db) != 1) {
        return Fail("address " + AddressText(address) + " is not reserved by this process");
    }
    if (verify && m_hook) {
        m_hook(HOOK_VERIFY_BEFORE_COMMIT);
    }
    if (!Exec("COMMIT")) {
        return false;
    }
    transaction.Committed();
    return true;
}

bool SqliteRecord::MarkVerified(uint64_t address, const std::string& imageSha256, double seconds) {
    if (!IsSha256Hex(imageSha256)) {
        return Fail("image hash must be 64 hex digits: \"" + imageSha256 + "\"");
    }
    const std::string digest = LowerHex(imageSha256);
    return EndReservation(
        address,
        [&](sqlite3* db) {
            Statement update(db,
                             "UPDATE record_address SET state = 'verified', ended_at = ?,"
                             " image_sha256 = ?, seconds = ?"
                             " WHERE address = ? AND state = 'reserved' AND owner = ?");
            return update.Bind(NowMs())
                .Bind(digest)
                .Bind(seconds)
                .Bind(address)
                .Bind(m_ownerId)
                .Step();
        },
        true);
}

bool SqliteRecord::MarkFailed(uint64_t address, bool reusable) {
    return EndReservation(
        address,
        [&](sqlite3* db) {
            Statement update(
                db,
                "UPDATE record_address SET state = 'failed', ended_at = ?,"
                " reusable = ? WHERE address = ? AND state = 'reserved' AND owner = ?");
            return update.Bind(NowMs())
                .Bind(int64_t(reusable ? 1 : 0))
                .Bind(address)
                .Bind(m_ownerId)
                .Step();
        },
        false);
}

// A burn of an address chosen outside the pool: the row says verified whatever it said
// before, since the chip now holds that address.
bool SqliteRecord::RecordBurn(uint64_t address, const Station& station,
                              const std::string& imageSha256, double seconds) {
    if (!IsSha256Hex(imageSha256)) {
        return Fail("image hash must be 64 hex digits: \"" + imageSha256 + "\"");
    }
    if (m_ownerId == 0) {
        return Fail("production record " + m_path + " is not open for allocation");
    }
    if (!Exec("BEGIN IMMEDIATE")) {
        return false;
    }
    Transaction transaction(m_db);
    const int64_t now = NowMs();
    Statement upsert(m_db,
                     "INSERT INTO record_address (address, address_text, state, reusable,"
                     " station_host, station_port, owner, reserved_at, ended_at, image_sha256,"
                     " seconds) VALUES (?, ?, 'verified', 0, ?, ?, ?, ?, ?, ?, ?)"
                     " ON CONFLICT (address) DO UPDATE SET state = 'verified', reusable = 0,"
                     " station_host = excluded.station_host, station_port = excluded.station_port,"
                     " owner = excluded.owner, reserved_at = excluded.reserved_at,"
                     " ended_at = excluded.ended_at, image_sha256 = excluded.image_sha256,"
                     " seconds = excluded.seconds");
    if (upsert.Bind(address)
            .Bind(AddressText(address))
            .Bind(station.host)
            .Bind(station.port)
            .Bind(m_ownerId)
            .Bind(now)
            .Bind(now)
            .Bind(LowerHex(imageSha256))
            .Bind(seconds)
            .Step() != SQLITE_DONE) {
        return SqlFail();
    }
    if (!Exec("COMMIT")) {
        return false;
    }
    transaction.Committed();
    return true;
}

// False both for an address without a row and for a failed look-up; LastError() is empty in
// the first case only, so that a caller never takes a broken record for a fresh address.
bool SqliteRecord::StateOf(uint64_t address, RecordState& state) {
    m_strError.clear();
    Statement select(m_db, "SELECT state FROM record_address WHERE address = ?");
    const int rc = select.Bind(address).Step();
    if (rc == SQLITE_ROW) {
        state = RecordStateFromName(select.Text(0));
        return true;
    }
    if (rc != SQLITE_DONE) {
        SqlFail();
    }
    return false;
}

bool SqliteRecord::Rows(std::vector<RecordRow>& rows) {
    rows.clear();
    Statement select(m_db,
                     "SELECT address, state, reusable, station_host, station_port, reserved_at,"
                     " ended_at, image_sha256, seconds FROM record_address"
                     " ORDER BY reserved_at, address");
    int rc;
    while ((rc = select.Step()) == SQLITE_ROW) {
        RecordRow row;
        row.address = static_cast<uint64_t>(select.Int(0));
        row.state = RecordStateFromName(select.Text(1));
        row.reusable = select.Int(2) != 0;
        row.station = {select.Text(3), select.Text(4)};
        row.reservedAtMs = select.Int(5);
        row.endedAtMs = select.IsNull(6) ? 0 : select.Int(6);
        row.imageSha256 = select.Text(7);
        row.seconds = select.IsNull(8) ? -1 : select.Real(8);
        rows.push_back(std::move(row));
    }
    return rc == SQLITE_DONE || SqlFail();
}

bool SqliteRecord::Summary(RecordSummary& summary) {
    summary = {};
    Statement counts(m_db, "SELECT state, COUNT(*) FROM record_address GROUP BY state");
    int rc;
    while ((rc = counts.Step()) == SQLITE_ROW) {
        const int64_t count = counts.Int(1);
        switch (RecordStateFromName(counts.Text(0))) {
            case RECORD_RESERVED:
                summary.reserved = count;
                break;
            case RECORD_VERIFIED:
                summary.verified = count;
                break;
            case RECORD_FAILED:
                summary.failed = count;
                break;
            case RECORD_ABANDONED:
                summary.abandoned = count;
                break;
        }
    }
    if (rc != SQLITE_DONE) {
        return SqlFail();
    }
    Statement pace(m_db,
                   "SELECT MIN(reserved_at), MAX(ended_at) FROM record_address"
                   " WHERE state = 'verified'");
    if (pace.Step() != SQLITE_ROW) {
        return SqlFail();
    }
    const int64_t spanMs = pace.Int(1) - pace.Int(0);
    if (summary.verified > 0 && spanMs > 0) {
        summary.chipsPerHour = double(summary.verified) * 3600000.0 / double(spanMs);
    }
    return true;
}

}  // namespace nvds::line
