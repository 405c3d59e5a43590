#pragma once

// A scratch PostgreSQL server for tests and benchmarks: its own data folder under /tmp, a Unix
// socket in that folder and no TCP port, stopped and removed when the object goes away. The
// server refuses to run as root: as root, the folder is given to the "postgres" user and the
// server programs run as that user.

#include <libpq-fe.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace nvds::test {

class PgServer {
public:
    PgServer() = default;
    ~PgServer() {
        if (!m_dir.empty()) {
            Stop("immediate");
            std::filesystem::remove_all(m_dir);
        }
    }
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    /// Creates and starts the server; false, with `error`, when the server programs are missing
    /// or it does not start. `durable` keeps fsync on (benchmarks compare like with like);
    /// without it, a commit still reaches the operating system before it returns, which is all
    /// that a server killed (not a machine switched off) needs.
    bool Start(std::string& error, bool durable = false) {
        m_bin = FindBin();
        if (m_bin.empty()) {
            error =
                "PostgreSQL server programs (initdb, pg_ctl) not found under "
                "/usr/lib/postgresql/*/bin or on PATH: install the postgresql package "
                "(scripts/setup)";
            return false;
        }
        char pattern[] = "/tmp/nvds_pg.XXXXXX";
        if (!mkdtemp(pattern)) {
            error = "cannot create a scratch folder for the PostgreSQL server";
            return false;
        }
        m_dir = pattern;
        if (geteuid() == 0) {
            const passwd* user = getpwnam("postgres");
            if (!user || chown(m_dir.c_str(), user->pw_uid, user->pw_gid) != 0) {
                error = "running as root, and no \"postgres\" user to run the server as";
                return false;
            }
            m_runAs = "runuser -u postgres -- ";
        }
        if (!Shell(m_bin + "/initdb -D " + m_dir + "/data -U nvds -A trust --no-sync -E UTF8 " +
                   "--no-locale > " + m_dir + "/initdb.log 2>&1")) {
            error = "initdb failed: see " + m_dir + "/initdb.log";
            return false;
        }
        std::ofstream conf(m_dir + "/data/postgresql.conf", std::ios::app);
        conf << "listen_addresses = ''\nunix_socket_directories = '" << m_dir << "'\n"
             << "max_connections = 60\nshared_buffers = 16MB\n"
             << (durable ? "" : "fsync = off\n");
        conf.close();
        if (!StartAgain()) {
            error = "the PostgreSQL server did not start: see " + m_dir + "/server.log";
            return false;
        }
        return true;
    }

    /// Starts the stopped server again on the same data.
    bool StartAgain() {
        return Shell(m_bin + "/pg_ctl -D " + m_dir + "/data -l " + m_dir + "/server.log -w " +
                     "start > /dev/null 2>&1");
    }

    /// Stops the server: "fast" ends the sessions cleanly, "immediate" as a crash would.
    bool Stop(const std::string& mode) {
        return Shell(m_bin + "/pg_ctl -D " + m_dir + "/data -m " + mode + " -w stop > " +
                     "/dev/null 2>&1");
    }

    /// The folder holding the server's socket.
    const std::string& SocketDir() const { return m_dir; }

    /// A connection URI for database `name`.
    std::string Uri(const std::string& name) const {
        return "postgresql:///" + name + "?host=" + m_dir + "&user=nvds";
    }

    /// Runs `sql` in database `name`; the first column of every row as text ("NULL" for null),
    /// or "error: ..." as the only value when it fails.
    std::vector<std::string> Sql(const std::string& name, const std::string& sql) const {
        PGconn* conn = PQconnectdb(("host=" + m_dir + " user=nvds dbname=" + name).c_str());
        std::vector<std::string> values;
        PGresult* result = PQexec(conn, sql.c_str());
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
            values.push_back(std::string("error: ") + PQerrorMessage(conn));
        }
        for (int row = 0; status == PGRES_TUPLES_OK && row < PQntuples(result); ++row) {
            values.push_back(PQgetisnull(result, row, 0) ? "NULL" : PQgetvalue(result, row, 0));
        }
        PQclear(result);
        PQfinish(conn);
        return values;
    }

private:
    static std::string FindBin() {
        std::vector<std::filesystem::path> found;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
            if (std::filesystem::exists(entry.path() / "bin" / "pg_ctl")) {
                found.push_back(entry.path() / "bin");
            }
        }
        if (!found.empty()) {
            std::sort(found.begin(), found.end());
            return found.back().string();
        }
        return std::system("command -v pg_ctl > /dev/null && command -v initdb > /dev/null") == 0
                   ? std::filesystem::path(Which("pg_ctl")).parent_path().string()
                   : "";
    }

    static std::string Which(const std::string& program) {
        const char* path = std::getenv("PATH");
        std::string dirs = path ? path : "";
        size_t start = 0;
        while (start <= dirs.size()) {
            const size_t end = std::min(dirs.find(':', start), dirs.size());
            const std::string candidate = dirs.substr(start, end - start) + "/" + program;
            if (access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
            start = end + 1;
        }
        return "";
    }

    bool Shell(const std::string& command) const {
        return std::system((m_runAs + command).c_str()) == 0;
    }

    std::string m_bin;
    std::string m_dir;
    std::string m_runAs;
};

/// One scratch server for the whole test binary: started on first use, stopped at exit. Null,
/// with `error`, when it cannot start.
inline PgServer* SharedPgServer(std::string& error) {
    static std::string startError;
    static std::unique_ptr<PgServer> server = [] {
        auto s = std::make_unique<PgServer>();
        if (!s->Start(startError)) {
            s.reset();
        }
        return s;
    }();
    error = startError;
    return server.get();
}

/// A database name not used before in this test binary.
inline std::string NewDatabaseName() {
    static int databases = 0;
    return "record" + std::to_string(++databases);
}

}  // namespace nvds::test
