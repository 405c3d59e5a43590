// The record's tables: created on first use, checked at every opening, and brought up from the
// schema before the history (one address table) in one transaction.
#include <algorithm>
#include <iterator>
#include <regex>

#include "line/RecordShared.h"
#include "line/RecordStore.h"

namespace nvds::line {

namespace {

constexpr int64_t SCHEMA_VERSION = 2;
// The schema of one address table whose rows were updated in place.
constexpr int64_t ADDRESS_ONLY_SCHEMA = 1;

// Plain SQL, the same in every back end; ID stands for the back end's generated key.
const char* const RUN_TABLE_SQL =
    "CREATE TABLE record_run ("
    " id ID,"
    " host VARCHAR(255) NOT NULL,"
    " pid BIGINT NOT NULL,"
    " boot_id VARCHAR(64) NOT NULL,"
    " start_ticks BIGINT NOT NULL,"
    " session_key VARCHAR(255) NOT NULL,"
    " opened_at BIGINT NOT NULL,"
    " closed_at BIGINT)";
// One row per reservation: where and what it burns; never changed.
const char* const ATTEMPT_TABLE_SQL =
    "CREATE TABLE record_attempt ("
    " id ID,"
    " address BIGINT NOT NULL,"
    " run BIGINT NOT NULL,"
    " station_host VARCHAR(255) NOT NULL,"
    " station_name VARCHAR(255) NOT NULL,"
    " lot TEXT NOT NULL,"
    " golden_name TEXT NOT NULL,"
    " golden_sha256 VARCHAR(64) NOT NULL,"
    " reserved_at BIGINT NOT NULL)";
const char* const HISTORY_TABLE_SQL =
    "CREATE TABLE record_history ("
    " id ID,"
    " attempt BIGINT NOT NULL,"
    " run BIGINT NOT NULL,"
    " address BIGINT NOT NULL,"
    " address_text CHAR(17) NOT NULL,"
    " outcome VARCHAR(10) NOT NULL CHECK (outcome IN ('verified', 'failed', 'abandoned')),"
    " reusable SMALLINT NOT NULL,"
    " station_host VARCHAR(255) NOT NULL,"
    " station_name VARCHAR(255) NOT NULL,"
    " lot TEXT NOT NULL,"
    " golden_name TEXT NOT NULL,"
    " golden_sha256 VARCHAR(64) NOT NULL,"
    " started_at BIGINT NOT NULL,"
    " ended_at BIGINT NOT NULL,"
    " utc_offset INTEGER NOT NULL,"
    " image_sha256 VARCHAR(64) NOT NULL,"
    " reason TEXT NOT NULL,"
    " seconds DOUBLE PRECISION NOT NULL)";
// The address table is derived state: the allocation index, with its owner run and attempt.
const char* const ADDRESS_TABLE_SQL =
    "CREATE TABLE record_address ("
    " address BIGINT NOT NULL UNIQUE,"
    " address_text CHAR(17) NOT NULL,"
    " state VARCHAR(10) NOT NULL"
    "  CHECK (state IN ('reserved', 'verified', 'failed', 'abandoned')),"
    " reusable SMALLINT NOT NULL DEFAULT 0,"
    " station_host VARCHAR(255) NOT NULL,"
    " station_port VARCHAR(255) NOT NULL,"
    " owner BIGINT,"
    " reserved_at BIGINT NOT NULL,"
    " ended_at BIGINT,"
    " image_sha256 CHAR(64),"
    " seconds DOUBLE PRECISION,"
    " attempt BIGINT)";
const char* const INDEX_SQL[] = {
    "CREATE INDEX record_address_state ON record_address (state, owner)",
    "CREATE INDEX record_history_attempt ON record_history (attempt)",
    "CREATE INDEX record_history_address ON record_history (address)",
};

// The history of an address-only record: every row becomes an attempt of one closed run and,
// unless it was still reserved, its history row. A reservation cannot be ended by the program
// that made it once the schema has changed, so it is abandoned: never handed out again.
const char* const MIGRATION_SQL[] = {
    "ALTER TABLE record_address ADD COLUMN attempt BIGINT",
    "INSERT INTO record_attempt (address, run, station_host, station_name, lot, golden_name,"
    " golden_sha256, reserved_at) SELECT address, ?, station_host, station_port, '', '', '',"
    " reserved_at FROM record_address ORDER BY reserved_at, address",
    "UPDATE record_address SET owner = ?, attempt = (SELECT MAX(t.id) FROM record_attempt t"
    " WHERE t.address = record_address.address)",
    "UPDATE record_address SET state = 'abandoned', ended_at = ? WHERE state = 'reserved'",
    "INSERT INTO record_history (attempt, run, address, address_text, outcome, reusable,"
    " station_host, station_name, lot, golden_name, golden_sha256, started_at, ended_at,"
    " utc_offset, image_sha256, reason, seconds) SELECT attempt, owner, address, address_text,"
    " state, reusable, station_host, station_port, '', '', '', reserved_at,"
    " COALESCE(ended_at, reserved_at), 0, COALESCE(image_sha256, ''), '', COALESCE(seconds, 0)"
    " FROM record_address ORDER BY reserved_at, address",
    "DROP TABLE record_owner",
};

std::string WithIds(const char* sql, const SqlSession& session) {
    return std::regex_replace(sql, std::regex(" id ID,"),
                              std::string(" id ") + session.IdColumnType() + ",");
}

}  // namespace

// Only reads. `empty` when the database holds no table at all (a new record); a table of
// ours without a version, or anything else, is not a production record.
bool RecordStore::CheckSchema(SqlSession& session, SchemaUse use, bool& empty) {
    SqlRows tables;
    if (!session.Run(session.TableNamesSql(), {}, tables)) {
        return Fail(session.Error());
    }
    empty = tables.Size() == 0;
    if (empty && use == SchemaUse::ALLOCATE) {
        return true;
    }
    const std::string notOurs = session.Name() + " is not a production record (no schema version)";
    SqlRows version;
    bool hasSchema = false;
    for (size_t i = 0; i < tables.Size(); ++i) {
        hasSchema = hasSchema || tables.Text(i, 0) == "record_schema";
    }
    if (!hasSchema) {
        return Fail(notOurs);
    }
    if (!session.Run("SELECT version FROM record_schema", {}, version)) {
        return Fail(session.Error());
    }
    if (version.Size() != 1) {
        return Fail(notOurs);
    }
    const int64_t found = version.Int(0, 0);
    const bool migratable = use == SchemaUse::ALLOCATE && found == ADDRESS_ONLY_SCHEMA;
    if (found != SCHEMA_VERSION && !migratable) {
        return Fail(
            session.Name() + " is a production record of schema version " + std::to_string(found) +
            "; this program knows version " + std::to_string(SCHEMA_VERSION) +
            (found == ADDRESS_ONLY_SCHEMA ? " (opening it for allocation brings it up to date)"
                                          : ""));
    }
    m_schemaVersion = found;
    return true;
}

bool RecordStore::Identify(SqlSession& session) {
    if (!session.BeginRead()) {
        return Fail(session.Error());
    }
    bool empty = false;
    const bool ours = CheckSchema(session, SchemaUse::ALLOCATE, empty);
    session.Rollback();
    return ours;
}

// Called inside the opening's write transaction: creates the tables in an empty database,
// brings an address-only record up to date, and refuses anything else that is not ours.
bool RecordStore::CreateSchema() {
    bool empty = false;
    if (!CheckSchema(*m_session, SchemaUse::ALLOCATE, empty)) {
        return false;
    }
    if (!empty) {
        return m_schemaVersion == SCHEMA_VERSION || Migrate();
    }
    const char* const tablesSql[] = {"CREATE TABLE record_schema (version INTEGER NOT NULL)",
                                     RUN_TABLE_SQL, ATTEMPT_TABLE_SQL, ADDRESS_TABLE_SQL,
                                     HISTORY_TABLE_SQL};
    for (const char* sql : tablesSql) {
        if (!Sql(WithIds(sql, *m_session), {})) {
            return false;
        }
    }
    for (const char* sql : INDEX_SQL) {
        if (!Sql(sql, {})) {
            return false;
        }
    }
    for (const std::string& sql : m_session->AppendOnlySql("record_history")) {
        if (!Sql(sql, {})) {
            return false;
        }
    }
    return Sql("INSERT INTO record_schema (version) VALUES (?)", {SCHEMA_VERSION});
}

bool RecordStore::Migrate() {
    const char* const tablesSql[] = {RUN_TABLE_SQL, ATTEMPT_TABLE_SQL, HISTORY_TABLE_SQL};
    for (const char* sql : tablesSql) {
        if (!Sql(WithIds(sql, *m_session), {})) {
            return false;
        }
    }
    for (const std::string& sql : m_session->AppendOnlySql("record_history")) {
        if (!Sql(sql, {})) {
            return false;
        }
    }
    const int64_t now = NowMs();
    SqlRows run;
    if (!Sql("INSERT INTO record_run (host, pid, boot_id, start_ticks, session_key, opened_at,"
             " closed_at) VALUES ('', 0, '', 0, '', ?, ?) RETURNING id",
             {now, now}, run)) {
        return false;
    }
    const int64_t migrated = run.Int(0, 0);
    const std::vector<SqlValue> params[] = {{}, {migrated}, {migrated}, {now}, {}, {}};
    for (size_t i = 0; i < std::size(MIGRATION_SQL); ++i) {
        if (!Sql(MIGRATION_SQL[i], params[i])) {
            return false;
        }
    }
    for (const char* sql : INDEX_SQL) {
        if (std::string(sql).find("record_address") == std::string::npos && !Sql(sql, {})) {
            return false;
        }
    }
    return Sql("UPDATE record_schema SET version = ?", {SCHEMA_VERSION});
}

}  // namespace nvds::line
