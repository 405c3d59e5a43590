#include "line/RecordStore.h"

#include <ctime>

#include "line/RecordShared.h"

namespace nvds::line {

namespace {

constexpr const char* HISTORY_COLUMNS =
    "SELECT id, attempt, run, address, outcome, reusable, station_host, station_name, lot,"
    " golden_name, golden_sha256, started_at, ended_at, utc_offset, image_sha256, reason,"
    " seconds FROM record_history";

// The host's offset from UTC at `ms`, in minutes east.
int UtcOffsetMinutes(int64_t ms) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm local{};
    localtime_r(&seconds, &local);
    return static_cast<int>(local.tm_gmtoff / 60);
}

HistoryRow HistoryFrom(const SqlRows& rows, size_t i) {
    HistoryRow row;
    row.id = rows.Int(i, 0);
    row.attempt = rows.Int(i, 1);
    row.run = rows.Int(i, 2);
    row.address = static_cast<uint64_t>(rows.Int(i, 3));
    row.outcome = RecordStateFromName(rows.Text(i, 4));
    row.reusable = rows.Int(i, 5) != 0;
    row.context = {
        {rows.Text(i, 6), rows.Text(i, 7)}, rows.Text(i, 8), rows.Text(i, 9), rows.Text(i, 10)};
    row.startedAtMs = rows.Int(i, 11);
    row.endedAtMs = rows.Int(i, 12);
    row.utcOffsetMinutes = static_cast<int>(rows.Int(i, 13));
    row.imageSha256 = rows.Text(i, 14);
    row.reason = rows.Text(i, 15);
    row.seconds = rows.Real(i, 16);
    return row;
}

}  // namespace

struct RecordStore::Attempt {
    int64_t id = 0;
    uint64_t address = 0;
    int64_t run = 0;
    BurnContext context;
    int64_t reservedAt = 0;
    std::string endedAs;  // "verified" or "failed" once a row has ended it, else empty
};

RecordStore::~RecordStore() {
    Close();
}

bool RecordStore::Fail(const std::string& text) {
    m_error = text;
    return false;
}

bool RecordStore::Sql(const std::string& sql, const std::vector<SqlValue>& params, SqlRows& rows) {
    return m_session->Run(sql, params, rows) || Fail(m_session->Error());
}

bool RecordStore::Sql(const std::string& sql, const std::vector<SqlValue>& params) {
    SqlRows rows;
    return Sql(sql, params, rows);
}

// A session that has connected again has a new key: the run takes it, and is open again if
// another process found the old session gone and closed it meanwhile (its reservations then
// are abandoned in the record, and EndBurn still appends what became of them).
bool RecordStore::Begin(bool write) {
    if (!m_session) {
        return Fail("the production record is not open");
    }
    if (!(write ? m_session->BeginWrite() : m_session->BeginRead())) {
        return Fail(m_session->Error());
    }
    if (m_session->TakeReconnected() && m_run != 0 && !Rekey()) {
        m_session->Rollback();
        return false;
    }
    return true;
}

bool RecordStore::Commit() {
    return m_session->Commit() || Fail(m_session->Error());
}

bool RecordStore::Writable() {
    return m_run != 0 || Fail((m_session ? m_session->Label() : std::string("production record")) +
                              " is not open for allocation");
}

bool RecordStore::Rekey() {
    std::string key;
    if (!m_session->SessionKey(key)) {
        return Fail(m_session->Error());
    }
    return Sql("UPDATE record_run SET session_key = ?, closed_at = NULL WHERE id = ?",
               {key, m_run});
}

bool RecordStore::Attach(std::unique_ptr<SqlSession> session, const AddressPool& pool) {
    Close();
    m_session = std::move(session);
    PoolBounds bounds;
    if (!PoolBoundsOf(pool, bounds, m_error)) {
        return false;
    }
    m_pool = pool;
    m_poolLow = bounds.low;
    m_poolHigh = bounds.high;
    m_freshFrom = pool.first;
    m_abandoned.clear();
    if (!Begin(true)) {
        return false;
    }
    if (!CreateSchema() || !RegisterRun() || !SweepDeadRuns() || !Commit()) {
        m_session->Rollback();
        m_run = 0;
        m_abandoned.clear();
        return false;
    }
    return true;
}

bool RecordStore::AttachToRead(std::unique_ptr<SqlSession> session) {
    Close();
    m_session = std::move(session);
    if (!Begin(false)) {
        return false;
    }
    bool empty = false;
    const bool ok = CheckSchema(*m_session, SchemaUse::READ, empty);
    m_session->Rollback();
    return ok;
}

// A process that closes its record can no longer report on its reservations: they are
// abandoned at once rather than left until the process ends.
void RecordStore::Close() {
    if (m_session && m_run != 0 && Begin(true)) {
        if (!AbandonRun(m_run, nullptr) || !Commit()) {
            m_session->Rollback();
        }
    }
    m_run = 0;
    m_session.reset();
}

bool RecordStore::RegisterRun() {
    m_owner = CurrentProcessOwner();
    std::string key;
    if (!m_session->SessionKey(key)) {
        return Fail(m_session->Error());
    }
    SqlRows run;
    if (!Sql("INSERT INTO record_run (host, pid, boot_id, start_ticks, session_key, opened_at)"
             " VALUES (?, ?, ?, ?, ?, ?) RETURNING id",
             {m_owner.host, m_owner.pid, m_owner.bootId, m_owner.startTicks, key, NowMs()}, run)) {
        return false;
    }
    m_run = run.Int(0, 0);
    return true;
}

bool RecordStore::SweepDeadRuns() {
    SqlRows runs;
    if (!Sql("SELECT id FROM record_run WHERE closed_at IS NULL AND id <> ? ORDER BY id", {m_run},
             runs)) {
        return false;
    }
    for (size_t i = 0; i < runs.Size(); ++i) {
        bool alive = true;
        if (!RunAlive(runs.Int(i, 0), alive) ||
            (!alive && !AbandonRun(runs.Int(i, 0), &m_abandoned))) {
            return false;
        }
    }
    return true;
}

bool RecordStore::RunAlive(int64_t run, bool& alive) {
    if (run == m_run) {
        alive = true;
        return true;
    }
    SqlRows rows;
    if (!Sql("SELECT host, pid, boot_id, start_ticks, session_key, closed_at FROM record_run"
             " WHERE id = ?",
             {run}, rows)) {
        return false;
    }
    if (rows.Size() == 0 || !rows.IsNull(0, 5)) {
        alive = false;
        return true;
    }
    const ProcessOwner owner{rows.Text(0, 0), rows.Int(0, 1), rows.Text(0, 2), rows.Int(0, 3)};
    return m_session->RunAlive(owner, rows.Text(0, 4), alive) || Fail(m_session->Error());
}

// Each open reservation of `run` gets its "abandoned" history row (its chip may carry the
// address: it needs rework), its address is never handed out again, and the run is closed.
bool RecordStore::AbandonRun(int64_t run, std::vector<HistoryRow>* abandoned) {
    SqlRows open;
    if (!Sql("SELECT attempt FROM record_address WHERE state = 'reserved' AND owner = ?"
             " ORDER BY reserved_at, address",
             {run}, open)) {
        return false;
    }
    const int64_t now = NowMs();
    for (size_t i = 0; i < open.Size(); ++i) {
        Attempt attempt;
        bool found = false;
        HistoryRow row;
        BurnEnd end;
        if (!LoadAttempt(open.Int(i, 0), attempt, found)) {
            return false;
        }
        if (!found) {
            return Fail(m_session->Label() + " holds no reservation " +
                        std::to_string(open.Int(i, 0)));
        }
        end.seconds = double(now - attempt.reservedAt) / 1000.0;
        if (!InsertHistory(attempt, RECORD_ABANDONED, end, now, &row) ||
            !Sql("UPDATE record_address SET state = 'abandoned', ended_at = ? WHERE attempt = ?"
                 " AND state = 'reserved'",
                 {now, attempt.id})) {
            return false;
        }
        if (abandoned) {
            abandoned->push_back(row);
        }
    }
    return Sql("UPDATE record_run SET closed_at = ? WHERE id = ?", {now, run});
}

bool RecordStore::LoadAttempt(int64_t id, Attempt& attempt, bool& found) {
    SqlRows rows;
    if (!Sql("SELECT address, run, station_host, station_name, lot, golden_name, golden_sha256,"
             " reserved_at, (SELECT MIN(h.outcome) FROM record_history h WHERE h.attempt = t.id"
             " AND h.outcome <> 'abandoned') FROM record_attempt t WHERE id = ?",
             {id}, rows)) {
        return false;
    }
    found = rows.Size() == 1;
    if (found) {
        attempt = {
            id,
            static_cast<uint64_t>(rows.Int(0, 0)),
            rows.Int(0, 1),
            {{rows.Text(0, 2), rows.Text(0, 3)}, rows.Text(0, 4), rows.Text(0, 5), rows.Text(0, 6)},
            rows.Int(0, 7),
            rows.IsNull(0, 8) ? "" : rows.Text(0, 8)};
    }
    return true;
}

bool RecordStore::InsertHistory(const Attempt& attempt, RecordState outcome, const BurnEnd& end,
                                int64_t endedAt, HistoryRow* row) {
    SqlRows id;
    const int offset = UtcOffsetMinutes(endedAt);
    const bool reusable = outcome == RECORD_FAILED && end.reusable;
    if (!Sql("INSERT INTO record_history (attempt, run, address, address_text, outcome, reusable,"
             " station_host, station_name, lot, golden_name, golden_sha256, started_at, ended_at,"
             " utc_offset, image_sha256, reason, seconds)"
             " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
             {attempt.id, attempt.run, static_cast<int64_t>(attempt.address),
              AddressText(attempt.address), std::string(RecordStateName(outcome)),
              int64_t(reusable ? 1 : 0), attempt.context.station.host, attempt.context.station.port,
              attempt.context.lot, attempt.context.goldenName, attempt.context.goldenSha256,
              attempt.reservedAt, endedAt, int64_t(offset), LowerHex(end.imageSha256), end.reason,
              end.seconds},
             id)) {
        return false;
    }
    if (row) {
        *row = {id.Int(0, 0),
                attempt.id,
                attempt.run,
                attempt.address,
                outcome,
                reusable,
                attempt.context,
                attempt.reservedAt,
                endedAt,
                offset,
                LowerHex(end.imageSha256),
                end.reason,
                end.seconds};
    }
    return true;
}

bool RecordStore::NewAttempt(uint64_t address, const BurnContext& context, int64_t now,
                             int64_t& id) {
    SqlRows rows;
    if (!Sql("INSERT INTO record_attempt (address, run, station_host, station_name, lot,"
             " golden_name, golden_sha256, reserved_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"
             " RETURNING id",
             {static_cast<int64_t>(address), m_run, context.station.host, context.station.port,
              context.lot, context.goldenName, LowerHex(context.goldenSha256), now},
             rows)) {
        return false;
    }
    id = rows.Int(0, 0);
    return true;
}

// An address given back by a failure that left no image on the chip goes out first, the one
// nearest the pool's start.
bool RecordStore::FindReusable(uint64_t& address, bool& found) {
    SqlRows rows;
    if (!Sql(std::string("SELECT address FROM record_address WHERE state = 'failed' AND"
                         " reusable = 1 AND address BETWEEN ? AND ? ORDER BY address") +
                 (m_pool.step > 0 ? "" : " DESC") + " LIMIT 1",
             {static_cast<int64_t>(m_poolLow), static_cast<int64_t>(m_poolHigh)}, rows)) {
        return false;
    }
    found = rows.Size() == 1;
    if (found) {
        address = static_cast<uint64_t>(rows.Int(0, 0));
    }
    return true;
}

// The first address from the pool's start, in the step's direction, that the record never
// handed out: a gap left by nothing, not one step past the furthest address, so that one stray
// address far ahead never moves the start. Address rows are never deleted, so no address
// before the last one found can become fresh again and the search goes on from there.
bool RecordStore::FindFresh(uint64_t& address, bool& found) {
    const bool up = m_pool.step > 0;
    const int64_t from = static_cast<int64_t>(m_freshFrom);
    SqlRows taken;
    if (!Sql("SELECT 1 FROM record_address WHERE address = ?", {from}, taken)) {
        return false;
    }
    if (taken.Size() == 0) {
        address = m_freshFrom;
        found = true;
        return true;
    }
    SqlRows gap;
    if (!Sql(up ? "SELECT a.address + 1 FROM record_address a WHERE a.address >= ? AND"
                  " a.address < ? AND NOT EXISTS (SELECT 1 FROM record_address b WHERE"
                  " b.address = a.address + 1) ORDER BY a.address LIMIT 1"
                : "SELECT a.address - 1 FROM record_address a WHERE a.address <= ? AND"
                  " a.address > ? AND NOT EXISTS (SELECT 1 FROM record_address b WHERE"
                  " b.address = a.address - 1) ORDER BY a.address DESC LIMIT 1",
             {from, static_cast<int64_t>(up ? m_poolHigh : m_poolLow)}, gap)) {
        return false;
    }
    found = gap.Size() == 1;
    if (found) {
        address = static_cast<uint64_t>(gap.Int(0, 0));
        m_freshFrom = address;
    }
    return true;
}

std::string RecordStore::ExhaustedText() const {
    return "address range exhausted: every address from " + AddressText(m_pool.first) + " to " +
           AddressText(m_pool.step > 0 ? m_poolHigh : m_poolLow) + " has been handed out";
}

// The address row of `address`, when `condition` holds for it, now held by `attempt`.
bool RecordStore::HoldAddress(uint64_t address, const BurnContext& context, int64_t attempt,
                              int64_t now, const std::string& condition, int64_t& changed) {
    SqlRows rows;
    if (!Sql("UPDATE record_address SET state = 'reserved', reusable = 0, station_host = ?,"
             " station_port = ?, owner = ?, attempt = ?, reserved_at = ?, ended_at = NULL,"
             " image_sha256 = NULL, seconds = NULL WHERE address = ?" +
                 condition,
             {context.station.host, context.station.port, m_run, attempt, now,
              static_cast<int64_t>(address)},
             rows)) {
        return false;
    }
    changed = rows.changed;
    return true;
}

bool RecordStore::InsertAddress(uint64_t address, const BurnContext& context, int64_t attempt,
                                int64_t now) {
    return Sql(
        "INSERT INTO record_address (address, address_text, state, reusable,"
        " station_host, station_port, owner, attempt, reserved_at)"
        " VALUES (?, ?, 'reserved', 0, ?, ?, ?, ?, ?)",
        {static_cast<int64_t>(address), AddressText(address), context.station.host,
         context.station.port, m_run, attempt, now});
}

bool RecordStore::ReserveNext(const BurnContext& context, uint64_t& address, int64_t& attempt) {
    if (!Writable() || !Begin(true)) {
        return false;
    }
    const int64_t now = NowMs();
    bool reusable = false;
    bool fresh = false;
    bool ok = FindReusable(address, reusable) && (reusable || FindFresh(address, fresh)) &&
              ((reusable || fresh) || Fail(ExhaustedText())) &&
              NewAttempt(address, context, now, attempt);
    int64_t changed = 0;
    if (ok && reusable) {
        ok = HoldAddress(address, context, attempt, now, " AND state = 'failed' AND reusable = 1",
                         changed) &&
             (changed == 1 || Fail(m_session->Label() + ": reusable address " +
                                   AddressText(address) + " changed while it was taken"));
    } else if (ok) {
        ok = InsertAddress(address, context, attempt, now);
    }
    if (ok && m_hook) {
        m_hook(HOOK_RESERVE_BEFORE_COMMIT);
    }
    if (!ok || !Commit()) {
        m_session->Rollback();
        return false;
    }
    return true;
}

bool RecordStore::ReserveAddress(uint64_t address, const BurnContext& context, int64_t& attempt) {
    if (!Writable() || !Begin(true)) {
        return false;
    }
    const int64_t now = NowMs();
    int64_t changed = 0;
    const bool ok = NewAttempt(address, context, now, attempt) &&
                    HoldAddress(address, context, attempt, now, "", changed) &&
                    (changed == 1 || InsertAddress(address, context, attempt, now));
    if (!ok || !Commit()) {
        m_session->Rollback();
        return false;
    }
    return true;
}

// The address table follows the attempt that holds the address now. An attempt that no longer
// holds it (the address was reserved again since) cannot set its state, but when its chip may
// carry the address, a reusable failure of the later attempt must not give it out again.
bool RecordStore::UpdateDerivedState(const Attempt& attempt, const BurnEnd& end, int64_t endedAt) {
    const bool verified = end.outcome == RECORD_VERIFIED;
    if (!verified && end.reusable) {
        SqlRows onChip;
        if (!Sql("SELECT 1 FROM record_history WHERE address = ? AND attempt <> ? AND"
                 " (outcome IN ('verified', 'abandoned') OR (outcome = 'failed' AND reusable = 0))"
                 " LIMIT 1",
                 {static_cast<int64_t>(attempt.address), attempt.id}, onChip)) {
            return false;
        }
        const bool reusable = onChip.Size() == 0;
        return Sql(
            "UPDATE record_address SET state = 'failed', reusable = ?, ended_at = ?,"
            " image_sha256 = NULL, seconds = NULL WHERE address = ? AND attempt = ?",
            {int64_t(reusable ? 1 : 0), endedAt, static_cast<int64_t>(attempt.address),
             attempt.id});
    }
    SqlRows mine;
    if (!Sql("UPDATE record_address SET state = ?, reusable = 0, ended_at = ?, image_sha256 = ?,"
             " seconds = ? WHERE address = ? AND attempt = ?",
             {std::string(RecordStateName(end.outcome)), endedAt,
              verified ? SqlValue(LowerHex(end.imageSha256)) : SqlValue(),
              verified ? SqlValue(end.seconds) : SqlValue(), static_cast<int64_t>(attempt.address),
              attempt.id},
             mine)) {
        return false;
    }
    return mine.changed == 1 || Sql("UPDATE record_address SET reusable = 0 WHERE address = ?",
                                    {static_cast<int64_t>(attempt.address)});
}

bool RecordStore::EndBurn(int64_t attemptId, const BurnEnd& end) {
    if (end.outcome != RECORD_VERIFIED && end.outcome != RECORD_FAILED) {
        return Fail("a burn ends verified or failed, not " +
                    std::string(RecordStateName(end.outcome)));
    }
    if ((end.outcome == RECORD_VERIFIED || !end.imageSha256.empty()) &&
        !IsSha256Hex(end.imageSha256)) {
        return Fail("image hash must be 64 hex digits: \"" + end.imageSha256 + "\"");
    }
    if (!Writable() || !Begin(true)) {
        return false;
    }
    Attempt attempt;
    bool found = false;
    bool ok =
        LoadAttempt(attemptId, attempt, found) &&
        (found || Fail(m_session->Label() + " holds no reservation " + std::to_string(attemptId)));
    if (ok && !attempt.endedAs.empty()) {
        // Ended before: the same end again is a replay and changes nothing.
        m_session->Rollback();
        const std::string before = attempt.endedAs;
        return before == RecordStateName(end.outcome) ||
               Fail("reservation " + std::to_string(attemptId) + " of " +
                    AddressText(attempt.address) + " has ended " + before + " already");
    }
    const int64_t now = NowMs();
    ok = ok && InsertHistory(attempt, end.outcome, end, now, nullptr) &&
         UpdateDerivedState(attempt, end, now);
    if (ok && end.outcome == RECORD_VERIFIED && m_hook) {
        m_hook(HOOK_VERIFY_BEFORE_COMMIT);
    }
    if (!ok || !Commit()) {
        m_session->Rollback();
        return false;
    }
    return true;
}

bool RecordStore::Lookup(uint64_t address, AddressInfo& info) {
    info = {};
    if (!Begin(false)) {
        return false;
    }
    SqlRows rows;
    bool ok =
        Sql("SELECT state, reusable, station_host, station_port, owner, reserved_at,"
            " ended_at FROM record_address WHERE address = ?",
            {static_cast<int64_t>(address)}, rows);
    if (ok && rows.Size() == 1) {
        info.known = true;
        info.state = RecordStateFromName(rows.Text(0, 0));
        info.reusable = rows.Int(0, 1) != 0;
        info.station = {rows.Text(0, 2), rows.Text(0, 3)};
        info.atMs = rows.IsNull(0, 6) ? rows.Int(0, 5) : rows.Int(0, 6);
        if (info.state == RECORD_RESERVED) {
            ok = RunAlive(rows.Int(0, 4), info.liveReservation);
        }
    }
    m_session->Rollback();
    return ok;
}

bool RecordStore::PeekNext(uint64_t& address, uint64_t& left) {
    if (!Writable() || !Begin(false)) {
        return false;
    }
    bool reusable = false;
    bool fresh = false;
    uint64_t freshAddress = 0;
    SqlRows counts;
    const bool up = m_pool.step > 0;
    bool ok = FindReusable(address, reusable) && FindFresh(freshAddress, fresh);
    if (ok && fresh) {
        ok = Sql("SELECT COUNT(*) FROM record_address WHERE address BETWEEN ? AND ?",
                 {static_cast<int64_t>(up ? freshAddress : m_poolLow),
                  static_cast<int64_t>(up ? m_poolHigh : freshAddress)},
                 counts);
    }
    SqlRows reusableCount;
    ok = ok &&
         Sql("SELECT COUNT(*) FROM record_address WHERE state = 'failed' AND reusable = 1"
             " AND address BETWEEN ? AND ?",
             {static_cast<int64_t>(m_poolLow), static_cast<int64_t>(m_poolHigh)}, reusableCount);
    m_session->Rollback();
    if (!ok) {
        return false;
    }
    left = static_cast<uint64_t>(reusableCount.Int(0, 0));
    if (fresh) {
        const uint64_t span = (up ? m_poolHigh - freshAddress : freshAddress - m_poolLow) + 1;
        left += span - static_cast<uint64_t>(counts.Int(0, 0));
        address = reusable ? address : freshAddress;
    }
    return reusable || fresh || Fail(ExhaustedText());
}

bool RecordStore::History(const HistoryFilter& filter, std::vector<HistoryRow>& rows) {
    rows.clear();
    std::string sql = HISTORY_COLUMNS;
    std::vector<SqlValue> params;
    auto where = [&](const char* condition, SqlValue value) {
        sql += params.empty() ? " WHERE " : " AND ";
        sql += condition;
        params.push_back(std::move(value));
    };
    if (filter.sinceMs) {
        where("ended_at >= ?", *filter.sinceMs);
    }
    if (!filter.station.empty()) {
        where("station_name = ?", filter.station);
    }
    if (!filter.lot.empty()) {
        where("lot = ?", filter.lot);
    }
    if (filter.run) {
        where("run = ?", *filter.run);
    }
    sql += " ORDER BY id";
    if (!Begin(false)) {
        return false;
    }
    SqlRows found;
    const bool ok = Sql(sql, params, found);
    m_session->Rollback();
    for (size_t i = 0; ok && i < found.Size(); ++i) {
        rows.push_back(HistoryFrom(found, i));
    }
    return ok;
}

}  // namespace nvds::line
