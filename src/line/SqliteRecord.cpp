#include "line/SqliteRecord.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <map>
#include <memory>
#include <thread>

#include "line/RecordShared.h"

namespace nvds::line {

namespace {

// Long enough to outwait the other stations' transactions (each a few fsyncs), short enough
// that a hung writer shows up as an error rather than a station that hangs with it.
constexpr int BUSY_TIMEOUT_MS = 30000;
// Switching to WAL needs the file to itself and does not wait on the busy handler: it is
// tried again at this pace until the busy time-out.
constexpr std::chrono::milliseconds WAL_RETRY_PAUSE{5};

// The session over one SQLite connection. Statements are prepared once and kept: the same
// few are run for every burn.
class SqliteSession : public SqlSession {
public:
    explicit SqliteSession(const std::string& path)
        : m_path(path), m_label("production record " + path), m_host(CurrentProcessOwner().host) {}
    ~SqliteSession() override {
        for (auto& [sql, stmt] : m_statements) {
            sqlite3_finalize(stmt);
        }
        sqlite3_close_v2(m_db);
    }
    SqliteSession(const SqliteSession&) = delete;
    SqliteSession& operator=(const SqliteSession&) = delete;

    const char* TableNamesSql() const override {
        return "SELECT name FROM sqlite_master WHERE type = 'table'";
    }

    const char* IdColumnType() const override { return "INTEGER PRIMARY KEY"; }

    std::vector<std::string> AppendOnlySql(const std::string& table) const override {
        const std::string refuse = " ON " + table + " BEGIN SELECT RAISE(ABORT, '" + table +
                                   " is append-only: its rows are never changed'); END";
        return {"CREATE TRIGGER " + table + "_no_update BEFORE UPDATE" + refuse,
                "CREATE TRIGGER " + table + "_no_delete BEFORE DELETE" + refuse};
    }

    bool Open(int flags) {
        if (sqlite3_open_v2(m_path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
            m_error = "cannot open production record " + m_path + ": " +
                      (m_db ? sqlite3_errmsg(m_db) : "out of memory");
            return false;
        }
        sqlite3_busy_timeout(m_db, BUSY_TIMEOUT_MS);
        return true;
    }

    // WAL with synchronous=FULL: a commit is on the disk before it returns, and a process
    // killed at any moment leaves the last committed state for the next opener to recover.
    bool UseWal() {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(BUSY_TIMEOUT_MS);
        SqlRows mode;
        while (!Run("PRAGMA journal_mode=WAL", {}, mode) || mode.Size() != 1 ||
               mode.Text(0, 0) != "wal") {
            const int code = sqlite3_errcode(m_db);
            if ((code != SQLITE_BUSY && code != SQLITE_LOCKED && code != SQLITE_OK) ||
                std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(WAL_RETRY_PAUSE);
        }
        return Run("PRAGMA synchronous=FULL", {}, mode);
    }

    bool BeginWrite() override { return Exec("BEGIN IMMEDIATE"); }
    bool BeginRead() override { return Exec("BEGIN"); }
    bool Commit() override { return Exec("COMMIT"); }
    void Rollback() override {
        if (m_db && !sqlite3_get_autocommit(m_db)) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }

    bool Run(const std::string& sql, const std::vector<SqlValue>& params, SqlRows& rows) override {
        rows = {};
        sqlite3_stmt* stmt = Prepared(sql);
        if (!stmt) {
            return SqlFail();
        }
        int rc = SQLITE_OK;
        for (size_t i = 0; i < params.size() && rc == SQLITE_OK; ++i) {
            rc = Bind(stmt, static_cast<int>(i + 1), params[i]);
        }
        while (rc == SQLITE_OK || rc == SQLITE_ROW) {
            rc = sqlite3_step(stmt);
            if (rc == SQLITE_ROW) {
                rows.rows.push_back(Row(stmt));
            }
        }
        rows.changed = sqlite3_changes(m_db);
        const bool ok = rc == SQLITE_DONE || SqlFail();
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        return ok;
    }

    bool SessionKey(std::string& key) override {
        key.clear();
        return true;
    }

    // Only processes of this host can be looked at. Another host's run keeps its reservations
    // (never handed out) until that host opens the record again and sweeps its own dead.
    bool RunAlive(const ProcessOwner& owner, const std::string&, bool& alive) override {
        alive = owner.host != m_host || ProcessOwnerAlive(owner);
        return true;
    }

    const std::string& Error() const override { return m_error; }
    const std::string& Name() const override { return m_path; }
    std::string Label() const override { return m_label; }

private:
    bool Exec(const char* sql) {
        return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK || SqlFail();
    }

    bool SqlFail() {
        if (sqlite3_errcode(m_db) == SQLITE_NOTADB) {
            m_error = m_path + " is not a production record (not an SQLite database)";
        } else {
            m_error = m_label + ": " + sqlite3_errmsg(m_db);
        }
        return false;
    }

    sqlite3_stmt* Prepared(const std::string& sql) {
        auto found = m_statements.find(sql);
        if (found != m_statements.end()) {
            return found->second;
        }
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
            return nullptr;
        }
        m_statements.emplace(sql, stmt);
        return stmt;
    }

    static int Bind(sqlite3_stmt* stmt, int index, const SqlValue& value) {
        if (const int64_t* number = std::get_if<int64_t>(&value)) {
            return sqlite3_bind_int64(stmt, index, *number);
        }
        if (const double* real = std::get_if<double>(&value)) {
            return sqlite3_bind_double(stmt, index, *real);
        }
        if (const std::string* text = std::get_if<std::string>(&value)) {
            return sqlite3_bind_text(stmt, index, text->data(), static_cast<int>(text->size()),
                                     SQLITE_TRANSIENT);
        }
        return sqlite3_bind_null(stmt, index);
    }

    static std::vector<SqlValue> Row(sqlite3_stmt* stmt) {
        std::vector<SqlValue> row;
        for (int column = 0; column < sqlite3_column_count(stmt); ++column) {
            switch (sqlite3_column_type(stmt, column)) {
                case SQLITE_INTEGER:
                    row.emplace_back(int64_t(sqlite3_column_int64(stmt, column)));
                    break;
                case SQLITE_FLOAT:
                    row.emplace_back(sqlite3_column_double(stmt, column));
                    break;
                case SQLITE_NULL:
                    row.emplace_back();
                    break;
                default:
                    row.emplace_back(std::string(
                        reinterpret_cast<const char*>(sqlite3_column_text(stmt, column)),
                        static_cast<size_t>(sqlite3_column_bytes(stmt, column))));
            }
        }
        return row;
    }

    std::string m_path;
    std::string m_label;
    std::string m_host;
    std::string m_error;
    sqlite3* m_db = nullptr;
    std::map<std::string, sqlite3_stmt*> m_statements;
};

// A record is a file: a missing one is created only for allocation, anything else is refused
// before SQLite is let near it.
bool CheckFile(const std::string& path, bool mustExist, bool& exists, std::string& error) {
    struct stat info {};
    exists = stat(path.c_str(), &info) == 0;
    if (!exists) {
        if (mustExist) {
            error = "cannot open production record " + path + ": no such file";
        }
        return !mustExist;
    }
    if (!S_ISREG(info.st_mode)) {
        error = path + " is not a production record (not a file)";
        return false;
    }
    exists = info.st_size > 0;
    return true;
}

}  // namespace

bool SqliteRecord::OpenForAllocation(const std::string& path, const AddressPool& pool) {
    Close();
    std::string error;
    bool exists = false;
    if (!CheckFile(path, false, exists, error)) {
        return Fail(error);
    }
    // Another program's database is recognised through a read-only connection, so that it is
    // refused before anything (a journal mode, a side file) has been written to it.
    if (exists) {
        SqliteSession reader(path);
        if (!reader.Open(SQLITE_OPEN_READONLY)) {
            return Fail(reader.Error());
        }
        if (!Identify(reader)) {
            return false;
        }
    }
    PoolBounds bounds;
    if (!PoolBoundsOf(pool, bounds, error)) {
        return Fail(error);
    }
    auto session = std::make_unique<SqliteSession>(path);
    if (!session->Open(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) || !session->UseWal()) {
        return Fail(session->Error());
    }
    return Attach(std::move(session), pool);
}

bool SqliteRecord::OpenToRead(const std::string& path) {
    Close();
    std::string error;
    bool exists = false;
    if (!CheckFile(path, true, exists, error)) {
        return Fail(error);
    }
    auto session = std::make_unique<SqliteSession>(path);
    if (!session->Open(SQLITE_OPEN_READONLY)) {
        return Fail(session->Error());
    }
    return AttachToRead(std::move(session));
}

}  // namespace nvds::line
