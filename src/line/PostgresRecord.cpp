#include "line/PostgresRecord.h"

#include <libpq-fe.h>
#include <time.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "line/RecordShared.h"

namespace nvds::line {

namespace {

constexpr int64_t SCHEMA_VERSION = 1;
// The key of the transaction-level advisory lock that every allocation, every creation of the
// tables and every sweep of dead owners holds: two allocators never read the same "next".
constexpr const char* ALLOCATION_LOCK = "SELECT pg_advisory_xact_lock(1314276435)";

// The same tables and columns as the SQLite file, with the server's own key generator for the
// owners and two more owner columns: the owner's server session.
const char* const SCHEMA_SQL[] = {
    "CREATE TABLE record_schema (version INTEGER NOT NULL)",
    "CREATE TABLE record_owner ("
    " id BIGSERIAL PRIMARY KEY,"
    " host VARCHAR(255) NOT NULL,"
    " pid BIGINT NOT NULL,"
    " boot_id VARCHAR(64) NOT NULL,"
    " start_ticks BIGINT NOT NULL,"
    " opened_at BIGINT NOT NULL,"
    " backend_pid INTEGER NOT NULL,"
    " server_started TEXT NOT NULL)",
    ADDRESS_TABLE_SQL,
    ADDRESS_INDEX_SQL,
};

std::string Text(int64_t value) {
    return std::to_string(value);
}

std::string Text(uint64_t value) {
    return std::to_string(static_cast<int64_t>(value));
}

std::string Text(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.17g", value);
    return text;
}

// libpq's messages end in a newline and may span lines: one line for ours.
std::string OneLine(const char* message) {
    std::string text = message ? message : "";
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
    for (char& c : text) {
        c = c == '\n' ? ' ' : c;
    }
    return text;
}

// The server's NOTICEs (e.g. when a table is created) are not for the operator's terminal.
void IgnoreNotice(void*, const char*) {}

}  // namespace

// A statement's result, cleared when it goes out of scope.
class PostgresRecord::Result {
public:
    Result() = default;
    ~Result() { PQclear(m_result); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;

    void Reset(PGresult* result) {
        PQclear(m_result);
        m_result = result;
    }
    PGresult* Get() const { return m_result; }
    int Rows() const { return PQntuples(m_result); }
    int Changes() const { return std::atoi(PQcmdTuples(m_result)); }
    bool IsNull(int row, int column) const { return PQgetisnull(m_result, row, column) != 0; }
    int64_t Int(int row, int column) const {
        return std::strtoll(PQgetvalue(m_result, row, column), nullptr, 10);
    }
    double Real(int row, int column) const {
        return std::strtod(PQgetvalue(m_result, row, column), nullptr);
    }
    std::string Str(int row, int column) const { return PQgetvalue(m_result, row, column); }

private:
    PGresult* m_result = nullptr;
};

PostgresRecord::~PostgresRecord() {
    Close();
}

// A process that closes its record can no longer report on its reservations: they are
// abandoned at once rather than left until its session is found gone.
void PostgresRecord::Close() {
    if (!m_conn) {
        return;
    }
    if (m_ownerId != 0 && PQstatus(m_conn) == CONNECTION_OK) {
        Transact([&] {
            Result abandon, forget;
            return Run(abandon,
                       "UPDATE record_address SET state = 'abandoned', ended_at = $1"
                       " WHERE state = 'reserved' AND owner = $2",
                       {Text(NowMs()), Text(m_ownerId)}) &&
                   Run(forget, "DELETE FROM record_owner WHERE id = $1", {Text(m_ownerId)});
        });
    }
    PQfinish(m_conn);
    m_conn = nullptr;
    m_ownerId = 0;
}

bool PostgresRecord::Fail(const std::string& text) {
    m_strError = text;
    return false;
}

// A failure without an SQL state comes from libpq itself (the socket closed, no answer);
// class 08 is a connection failure and 57P an administrator's or a crash's shutdown.
bool PostgresRecord::ServerFail(const PGresult* result) {
    const std::string message = OneLine(PQerrorMessage(m_conn));
    const char* code = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const std::string state = code ? code : "";
    if (PQstatus(m_conn) != CONNECTION_OK || state.empty() || state.rfind("08", 0) == 0 ||
        state.rfind("57P", 0) == 0) {
        return Fail("lost the connection to the production record server (" + m_server +
                    "): " + message);
    }
    return Fail("production record (" + m_server + "): " + message);
}

bool PostgresRecord::Run(Result& result, const char* sql, const std::vector<std::string>& values) {
    std::vector<const char*> params;
    for (const std::string& value : values) {
        params.push_back(value.c_str());
    }
    result.Reset(PQexecParams(m_conn, sql, static_cast<int>(params.size()), nullptr, params.data(),
                              nullptr, nullptr, 0));
    const ExecStatusType status = PQresultStatus(result.Get());
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || ServerFail(result.Get());
}

// One change, one transaction: `body` runs between BEGIN and COMMIT and is rolled back when it
// fails. A COMMIT whose answer never came (a lost server) is reported as a failure, so the
// caller never goes on (burns) on a change that may not have been committed.
bool PostgresRecord::Transact(const std::function<bool()>& body) {
    Result begin;
    if (!Run(begin, "BEGIN")) {
        return false;
    }
    if (!body()) {
        if (PQstatus(m_conn) == CONNECTION_OK) {
            PQclear(PQexec(m_conn, "ROLLBACK"));
        }
        return false;
    }
    Result commit;
    return Run(commit, "COMMIT");
}

bool PostgresRecord::Connect(const std::string& target) {
    Close();
    // Our defaults come before the target, so that the target's own values win: a server that
    // does not answer is reported within seconds, and a cut network is noticed by keepalives
    // instead of the system's two hours.
    const char* keywords[] = {"connect_timeout",
                              "keepalives_idle",
                              "keepalives_interval",
                              "keepalives_count",
                              "tcp_user_timeout",
                              "dbname",
                              nullptr};
    const char* values[] = {"10", "10", "5", "3", "15000", target.c_str(), nullptr};
    m_conn = PQconnectdbParams(keywords, values, 1);
    if (!m_conn) {
        return Fail("cannot reach the production record server " + target + ": out of memory");
    }
    const char* host = PQhost(m_conn);
    const char* port = PQport(m_conn);
    const char* db = PQdb(m_conn);
    m_server = std::string("database \"") + (db ? db : "") + "\" on " + (host ? host : "") + ":" +
               (port ? port : "");
    if (PQstatus(m_conn) != CONNECTION_OK) {
        const std::string text = "cannot reach the production record server (" + m_server +
                                 "): " + OneLine(PQerrorMessage(m_conn));
        PQfinish(m_conn);
        m_conn = nullptr;
        return Fail(text);
    }
    PQsetNoticeProcessor(m_conn, IgnoreNotice, nullptr);
    return true;
}

bool PostgresRecord::OpenToRead(const std::string& target) {
    if (!Connect(target)) {
        return false;
    }
    Result readOnly;
    return Run(readOnly, "SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY") &&
           CheckSchema(false);
}

bool PostgresRecord::OpenForAllocation(const std::string& target, const AddressPool& pool) {
    PoolBounds bounds;
    std::string error;
    if (!PoolBoundsOf(pool, bounds, error)) {
        return Fail(error);
    }
    m_pool = pool;
    m_poolLow = bounds.low;
    m_poolHigh = bounds.high;
    if (!Connect(target)) {
        return false;
    }
    // Several stations may open a new database at once: the lock makes one of them create the
    // tables while the others wait and then find them.
    const bool ok = Transact([&] {
        Result lock;
        return Run(lock, ALLOCATION_LOCK) && CheckSchema(true) && RegisterOwner() &&
               AbandonDeadOwners();
    });
    if (!ok) {
        m_ownerId = 0;
    }
    return ok;
}

bool PostgresRecord::CheckSchema(bool createWhenEmpty) {
    Result tables;
    if (!Run(tables,
             "SELECT to_regclass('record_schema') IS NOT NULL,"
             " to_regclass('record_address') IS NOT NULL OR to_regclass('record_owner') IS NOT "
             "NULL")) {
        return false;
    }
    const bool hasSchema = tables.Str(0, 0) == "t";
    const bool hasOthers = tables.Str(0, 1) == "t";
    if (!hasSchema && !hasOthers && createWhenEmpty) {
        for (const char* sql : SCHEMA_SQL) {
            Result create;
            if (!Run(create, sql)) {
                return false;
            }
        }
        Result version;
        return Run(version, "INSERT INTO record_schema (version) VALUES ($1)",
                   {Text(SCHEMA_VERSION)});
    }
    Result version;
    if (!hasSchema || !Run(version, "SELECT version FROM record_schema") || version.Rows() == 0) {
        return Fail(m_server + " is not a production record (no schema version)");
    }
    if (version.Int(0, 0) != SCHEMA_VERSION) {
        return Fail(m_server + " is a production record of schema version " +
                    std::to_string(version.Int(0, 0)) + "; this program knows version " +
                    std::to_string(SCHEMA_VERSION));
    }
    return true;
}

bool PostgresRecord::RegisterOwner() {
    const ProcessOwner owner = CurrentProcessOwner();
    Result insert;
    if (!Run(insert,
             "INSERT INTO record_owner (host, pid, boot_id, start_ticks, opened_at, backend_pid,"
             " server_started) VALUES ($1, $2, $3, $4, $5, pg_backend_pid(),"
             " pg_postmaster_start_time()::text) RETURNING id",
             {owner.host, Text(owner.pid), owner.bootId, Text(owner.startTicks), Text(NowMs())})) {
        return false;
    }
    m_ownerId = insert.Int(0, 0);
    return true;
}

// An owner is its session on the server, wherever its process runs: when the server no longer
// lists the owner's backend pid in pg_stat_activity (or has been restarted since the owner
// registered, which ends every session), its process has died or lost the server, and can
// report on none of its reservations any more. So a station of any machine sweeps the dead
// owners of every machine. A pid that a later session reuses keeps a dead owner "alive" until
// that session ends too, which only holds its addresses back longer: never hands them out.
bool PostgresRecord::AbandonDeadOwners() {
    Result sweep;
    return Run(sweep,
               "WITH dead AS (DELETE FROM record_owner o WHERE o.id <> $1 AND"
               " (o.server_started <> pg_postmaster_start_time()::text OR NOT EXISTS"
               " (SELECT 1 FROM pg_stat_activity a WHERE a.pid = o.backend_pid)) RETURNING id)"
               " UPDATE record_address SET state = 'abandoned', ended_at = $2"
               " WHERE state = 'reserved' AND owner IN (SELECT id FROM dead)",
               {Text(m_ownerId), Text(NowMs())});
}

bool PostgresRecord::Reserve(const Station& station, uint64_t& address) {
    if (m_ownerId == 0) {
        return Fail("production record (" + m_server + ") is not open for allocation");
    }
    return Transact([&] {
        // The lock is taken before the first read, so that no other station, of this machine
        // or another, reads the same next address between our read and our insert.
        Result lock;
        bool found = false;
        if (!Run(lock, ALLOCATION_LOCK) || !TakeReusable(station, address, found) ||
            (!found && !TakeNext(station, address))) {
            return false;
        }
        if (m_hook) {
            m_hook(HOOK_RESERVE_BEFORE_COMMIT);
        }
        return true;
    });
}

// An address given back by a failure that left no image on the chip goes out first, in the
// pool's direction.
bool PostgresRecord::TakeReusable(const Station& station, uint64_t& address, bool& found) {
    Result pick;
    if (!Run(pick,
             m_pool.step > 0 ? "SELECT MIN(address) FROM record_address WHERE state = 'failed'"
                               " AND reusable = 1 AND address BETWEEN $1 AND $2"
                             : "SELECT MAX(address) FROM record_address WHERE state = 'failed'"
                               " AND reusable = 1 AND address BETWEEN $1 AND $2",
             {Text(m_poolLow), Text(m_poolHigh)})) {
        return false;
    }
    found = !pick.IsNull(0, 0);
    if (!found) {
        return true;
    }
    address = static_cast<uint64_t>(pick.Int(0, 0));
    Result take;
    if (!Run(take,
             "UPDATE record_address SET state = 'reserved', reusable = 0,"
             " station_host = $1, station_port = $2, owner = $3, reserved_at = $4,"
             " ended_at = NULL, image_sha256 = NULL, seconds = NULL"
             " WHERE address = $5 AND state = 'failed' AND reusable = 1",
             {station.host, station.port, Text(m_ownerId), Text(NowMs()), Text(address)})) {
        return false;
    }
    return take.Changes() == 1 || Fail("production record (" + m_server + "): reusable address " +
                                       AddressText(address) + " changed while it was taken");
}

// The pool's next address lies one step beyond the furthest address ever handed out in its
// range, so an address that has a row, whatever its state, is never produced again; the
// UNIQUE constraint refuses the insert should two allocators ever get past the lock together.
bool PostgresRecord::TakeNext(const Station& station, uint64_t& address) {
    Result furthest;
    if (!Run(furthest,
             m_pool.step > 0 ? "SELECT MAX(address) FROM record_address"
                               " WHERE address BETWEEN $1 AND $2"
                             : "SELECT MIN(address) FROM record_address"
                               " WHERE address BETWEEN $1 AND $2",
             {Text(m_poolLow), Text(m_poolHigh)})) {
        return false;
    }
    if (furthest.IsNull(0, 0)) {
        address = m_pool.first;
    } else {
        const uint64_t reached = static_cast<uint64_t>(furthest.Int(0, 0));
        const uint64_t end = m_pool.step > 0 ? m_poolHigh : m_poolLow;
        if (reached == end) {
            return Fail("address range exhausted: every address from " + AddressText(m_pool.first) +
                        " to " + AddressText(end) + " has been handed out");
        }
        address = m_pool.step > 0 ? reached + 1 : reached - 1;
    }
    Result insert;
    return Run(insert,
               "INSERT INTO record_address (address, address_text, state, reusable,"
               " station_host, station_port, owner, reserved_at)"
               " VALUES ($1, $2, 'reserved', 0, $3, $4, $5, $6)",
               {Text(address), AddressText(address), station.host, station.port, Text(m_ownerId),
                Text(NowMs())});
}

bool PostgresRecord::EndReservation(uint64_t address, const char* sql,
                                    const std::vector<std::string>& values, bool verify) {
    if (m_ownerId == 0) {
        return Fail("production record (" + m_server + ") is not open for allocation");
    }
    return Transact([&] {
        Result update;
        if (!Run(update, sql, values)) {
            return false;
        }
        if (update.Changes() != 1) {
            return Fail("address " + AddressText(address) + " is not reserved by this process");
        }
        if (verify && m_hook) {
            m_hook(HOOK_VERIFY_BEFORE_COMMIT);
        }
        return true;
    });
}

bool PostgresRecord::MarkVerified(uint64_t address, const std::string& imageSha256,
                                  double seconds) {
    if (!IsSha256Hex(imageSha256)) {
        return Fail("image hash must be 64 hex digits: \"" + imageSha256 + "\"");
    }
    return EndReservation(
        address,
        "UPDATE record_address SET state = 'verified', ended_at = $1,"
        " image_sha256 = $2, seconds = $3"
        " WHERE address = $4 AND state = 'reserved' AND owner = $5",
        {Text(NowMs()), LowerHex(imageSha256), Text(seconds), Text(address), Text(m_ownerId)},
        true);
}

bool PostgresRecord::MarkFailed(uint64_t address, bool reusable) {
    return EndReservation(address,
                          "UPDATE record_address SET state = 'failed', ended_at = $1,"
                          " reusable = $2 WHERE address = $3 AND state = 'reserved' AND owner = $4",
                          {Text(NowMs()), reusable ? "1" : "0", Text(address), Text(m_ownerId)},
                          false);
}

// A burn of an address chosen outside the pool: the row says verified whatever it said
// before, since the chip now holds that address.
bool PostgresRecord::RecordBurn(uint64_t address, const Station& station,
                                const std::string& imageSha256, double seconds) {
    if (!IsSha256Hex(imageSha256)) {
        return Fail("image hash must be 64 hex digits: \"" + imageSha256 + "\"");
    }
    if (m_ownerId == 0) {
        return Fail("production record (" + m_server + ") is not open for allocation");
    }
    const std::string now = Text(NowMs());
    return Transact([&] {
        Result upsert;
        return Run(upsert,
                   "INSERT INTO record_address (address, address_text, state, reusable,"
                   " station_host, station_port, owner, reserved_at, ended_at, image_sha256,"
                   " seconds) VALUES ($1, $2, 'verified', 0, $3, $4, $5, $6, $7, $8, $9)"
                   " ON CONFLICT (address) DO UPDATE SET state = 'verified', reusable = 0,"
                   " station_host = excluded.station_host, station_port = excluded.station_port,"
                   " owner = excluded.owner, reserved_at = excluded.reserved_at,"
                   " ended_at = excluded.ended_at, image_sha256 = excluded.image_sha256,"
                   " seconds = excluded.seconds",
                   {Text(address), AddressText(address), station.host, station.port,
                    Text(m_ownerId), now, now, LowerHex(imageSha256), Text(seconds)});
    });
}

// False both for an address without a row and for a failed look-up (a lost server); LastError()
// is empty in the first case only, so that a caller never takes a lost record for a fresh
// address.
bool PostgresRecord::StateOf(uint64_t address, RecordState& state) {
    m_strError.clear();
    Result select;
    if (!Run(select, "SELECT state FROM record_address WHERE address = $1", {Text(address)}) ||
        select.Rows() == 0) {
        return false;
    }
    state = RecordStateFromName(select.Str(0, 0));
    return true;
}

bool PostgresRecord::Rows(std::vector<RecordRow>& rows) {
    rows.clear();
    Result select;
    if (!Run(select,
             "SELECT address, state, reusable, station_host, station_port, reserved_at,"
             " ended_at, image_sha256, seconds FROM record_address"
             " ORDER BY reserved_at, address")) {
        return false;
    }
    for (int i = 0; i < select.Rows(); ++i) {
        RecordRow row;
        row.address = static_cast<uint64_t>(select.Int(i, 0));
        row.state = RecordStateFromName(select.Str(i, 1));
        row.reusable = select.Int(i, 2) != 0;
        row.station = {select.Str(i, 3), select.Str(i, 4)};
        row.reservedAtMs = select.Int(i, 5);
        row.endedAtMs = select.IsNull(i, 6) ? 0 : select.Int(i, 6);
        row.imageSha256 = select.Str(i, 7);
        row.seconds = select.IsNull(i, 8) ? -1 : select.Real(i, 8);
        rows.push_back(std::move(row));
    }
    return true;
}

bool PostgresRecord::Summary(RecordSummary& summary) {
    summary = {};
    Result counts;
    if (!Run(counts, "SELECT state, COUNT(*) FROM record_address GROUP BY state")) {
        return false;
    }
    for (int i = 0; i < counts.Rows(); ++i) {
        const int64_t count = counts.Int(i, 1);
        switch (RecordStateFromName(counts.Str(i, 0))) {
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
    Result pace;
    if (!Run(pace,
             "SELECT COALESCE(MIN(reserved_at), 0), COALESCE(MAX(ended_at), 0)"
             " FROM record_address WHERE state = 'verified'")) {
        return false;
    }
    const int64_t spanMs = pace.Int(0, 1) - pace.Int(0, 0);
    if (summary.verified > 0 && spanMs > 0) {
        summary.chipsPerHour = double(summary.verified) * 3600000.0 / double(spanMs);
    }
    return true;
}

}  // namespace nvds::line
