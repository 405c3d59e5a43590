#include "line/PostgresRecord.h"

#include <libpq-fe.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "line/RecordShared.h"

namespace nvds::line {

namespace {

// The key of the transaction-level advisory lock that every write holds: two allocators never
// read the same "next", and one of several openers of a new database creates the tables.
constexpr const char* ALLOCATION_LOCK = "SELECT pg_advisory_xact_lock(1314276435)";
constexpr const char* BEGIN_AND_LOCK = "BEGIN; SELECT pg_advisory_xact_lock(1314276435)";

// Parameter types as the server knows them (pg_type), so that it never has to guess.
constexpr Oid INT8_TYPE = 20;
constexpr Oid INT2_TYPE = 21;
constexpr Oid INT4_TYPE = 23;
constexpr Oid BOOL_TYPE = 16;
constexpr Oid FLOAT4_TYPE = 700;
constexpr Oid FLOAT8_TYPE = 701;
constexpr Oid NUMERIC_TYPE = 1700;
constexpr Oid TEXT_TYPE = 25;

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

// "?" placeholders as the server numbers them; the record's SQL has no "?" inside a literal.
std::string Numbered(const std::string& sql) {
    std::string out;
    int number = 0;
    for (char c : sql) {
        // Appended piece by piece: "$" + to_string(...) trips GCC 12's -O3 -Wrestrict.
        if (c == '?') {
            out += '$';
            out += std::to_string(++number);
        } else {
            out += c;
        }
    }
    return out;
}

SqlValue ValueOf(const PGresult* result, int row, int column) {
    if (PQgetisnull(result, row, column)) {
        return {};
    }
    const char* text = PQgetvalue(result, row, column);
    switch (PQftype(result, column)) {
        case INT8_TYPE:
        case INT4_TYPE:
        case INT2_TYPE:
            return int64_t(std::strtoll(text, nullptr, 10));
        case BOOL_TYPE:
            return int64_t(text[0] == 't' ? 1 : 0);
        case FLOAT4_TYPE:
        case FLOAT8_TYPE:
        case NUMERIC_TYPE:
            return std::strtod(text, nullptr);
        default:
            return std::string(text);
    }
}

class PostgresSession : public SqlSession {
public:
    ~PostgresSession() override { PQfinish(m_conn); }

    // Our defaults come before the target, so that the target's own values win: a server that
    // does not answer is reported within seconds, and a cut network is noticed by keepalives
    // instead of the system's two hours.
    bool Connect(const std::string& target) {
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
            m_error = "cannot reach the production record server " + target + ": out of memory";
            return false;
        }
        const char* host = PQhost(m_conn);
        const char* port = PQport(m_conn);
        const char* db = PQdb(m_conn);
        m_name = std::string("database \"") + (db ? db : "") + "\" on " + (host ? host : "") + ":" +
                 (port ? port : "");
        if (PQstatus(m_conn) != CONNECTION_OK) {
            m_error = "cannot reach the production record server (" + m_name +
                      "): " + OneLine(PQerrorMessage(m_conn));
            return false;
        }
        PQsetNoticeProcessor(m_conn, IgnoreNotice, nullptr);
        return true;
    }

    /// Runs `sql` now and again after every new connection.
    bool Setting(const std::string& sql) {
        m_settings.push_back(sql);
        SqlRows rows;
        return Run(sql, {}, rows);
    }

    // The lock is taken in the same round trip as BEGIN when the connection is sound.
    bool BeginWrite() override {
        PGresult* result = PQexec(m_conn, BEGIN_AND_LOCK);
        const bool ok = PQresultStatus(result) == PGRES_TUPLES_OK;
        PQclear(result);
        if (ok) {
            return true;
        }
        Rollback();
        SqlRows lock;
        return BeginRead() && Run(ALLOCATION_LOCK, {}, lock);
    }

    // A server that went away (restarted, or a blip of the network) is reached again here, where
    // nothing is under way that could be lost. While it stays away, every call fails.
    bool BeginRead() override {
        SqlRows rows;
        if (Run("BEGIN", {}, rows)) {
            return true;
        }
        if (!m_lost) {
            return false;
        }
        PQreset(m_conn);
        if (PQstatus(m_conn) != CONNECTION_OK) {
            m_error = "lost the connection to the production record server (" + m_name +
                      "): " + OneLine(PQerrorMessage(m_conn));
            return false;
        }
        m_reconnected = true;
        m_lost = false;
        for (const std::string& sql : m_settings) {
            if (!Run(sql, {}, rows)) {
                return false;
            }
        }
        return Run("BEGIN", {}, rows);
    }

    bool Commit() override {
        SqlRows rows;
        return Run("COMMIT", {}, rows);
    }

    void Rollback() override {
        if (PQstatus(m_conn) == CONNECTION_OK && PQtransactionStatus(m_conn) != PQTRANS_IDLE) {
            PQclear(PQexec(m_conn, "ROLLBACK"));
        }
    }

    bool Run(const std::string& sql, const std::vector<SqlValue>& params, SqlRows& rows) override {
        rows = {};
        std::vector<std::string> texts(params.size());
        std::vector<const char*> values(params.size());
        std::vector<Oid> types(params.size());
        for (size_t i = 0; i < params.size(); ++i) {
            if (const int64_t* number = std::get_if<int64_t>(&params[i])) {
                texts[i] = std::to_string(*number);
                types[i] = INT8_TYPE;
            } else if (const double* real = std::get_if<double>(&params[i])) {
                char text[32];
                std::snprintf(text, sizeof(text), "%.17g", *real);
                texts[i] = text;
                types[i] = FLOAT8_TYPE;
            } else if (const std::string* text = std::get_if<std::string>(&params[i])) {
                texts[i] = *text;
                types[i] = TEXT_TYPE;
            }
            values[i] =
                std::holds_alternative<std::monostate>(params[i]) ? nullptr : texts[i].c_str();
        }
        PGresult* result =
            PQexecParams(m_conn, Numbered(sql).c_str(), static_cast<int>(params.size()),
                         types.data(), values.data(), nullptr, nullptr, 0);
        const ExecStatusType status = PQresultStatus(result);
        const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
        if (ok) {
            for (int row = 0; row < PQntuples(result); ++row) {
                std::vector<SqlValue> values;
                for (int column = 0; column < PQnfields(result); ++column) {
                    values.push_back(ValueOf(result, row, column));
                }
                rows.rows.push_back(std::move(values));
            }
            rows.changed = std::atoll(PQcmdTuples(result));
        } else {
            ServerFail(result);
        }
        PQclear(result);
        return ok;
    }

    const char* TableNamesSql() const override {
        return "SELECT tablename::text FROM pg_tables WHERE schemaname = current_schema()";
    }

    const char* IdColumnType() const override { return "BIGSERIAL PRIMARY KEY"; }

    std::vector<std::string> AppendOnlySql(const std::string& table) const override {
        return {"CREATE OR REPLACE FUNCTION " + table +
                    "_refuse() RETURNS trigger LANGUAGE plpgsql AS $body$ BEGIN RAISE EXCEPTION '" +
                    table + " is append-only: its rows are never changed'; END $body$",
                "CREATE TRIGGER " + table + "_append_only BEFORE UPDATE OR DELETE ON " + table +
                    " FOR EACH ROW EXECUTE FUNCTION " + table + "_refuse()",
                "CREATE TRIGGER " + table + "_no_truncate BEFORE TRUNCATE ON " + table +
                    " FOR EACH STATEMENT EXECUTE FUNCTION " + table + "_refuse()"};
    }

    // A run is its session on the server, wherever its process runs: once the server no
    // longer lists the session (or has been restarted since, which ends every session), the
    // process has died or lost the server and reports on none of its reservations.
    bool SessionKey(std::string& key) override {
        SqlRows rows;
        if (!Run("SELECT pg_backend_pid()::text || '@' || pg_postmaster_start_time()::text", {},
                 rows)) {
            return false;
        }
        key = rows.Text(0, 0);
        return true;
    }

    bool RunAlive(const ProcessOwner&, const std::string& key, bool& alive) override {
        SqlRows rows;
        if (!Run("SELECT COUNT(*) FROM pg_stat_activity"
                 " WHERE pid::text || '@' || pg_postmaster_start_time()::text = ?",
                 {key}, rows)) {
            return false;
        }
        alive = rows.Int(0, 0) > 0;
        return true;
    }

    bool TakeReconnected() override {
        const bool reconnected = m_reconnected;
        m_reconnected = false;
        return reconnected;
    }

    const std::string& Error() const override { return m_error; }
    const std::string& Name() const override { return m_name; }
    std::string Label() const override { return "production record (" + m_name + ")"; }

private:
    // A failure without an SQL state comes from libpq itself (the socket closed, no answer);
    // class 08 is a connection failure and 57P an administrator's or a crash's shutdown.
    void ServerFail(const PGresult* result) {
        const std::string message = OneLine(PQerrorMessage(m_conn));
        const char* code = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        const std::string state = code ? code : "";
        if (PQstatus(m_conn) != CONNECTION_OK || state.empty() || state.rfind("08", 0) == 0 ||
            state.rfind("57P", 0) == 0) {
            m_error =
                "lost the connection to the production record server (" + m_name + "): " + message;
            m_lost = true;
        } else {
            m_error = "production record (" + m_name + "): " + message;
        }
    }

    PGconn* m_conn = nullptr;
    std::string m_name;  // "database D on H:P", for messages
    std::string m_error;
    std::vector<std::string> m_settings;
    bool m_reconnected = false;
    bool m_lost = false;  // the last failure was the connection's
};

}  // namespace

bool PostgresRecord::OpenForAllocation(const std::string& target, const AddressPool& pool) {
    Close();
    auto session = std::make_unique<PostgresSession>();
    if (!session->Connect(target)) {
        return Fail(session->Error());
    }
    return Attach(std::move(session), pool);
}

bool PostgresRecord::OpenToRead(const std::string& target) {
    Close();
    auto session = std::make_unique<PostgresSession>();
    if (!session->Connect(target) ||
        !session->Setting("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY")) {
        return Fail(session->Error());
    }
    return AttachToRead(std::move(session));
}

}  // namespace nvds::line
