#pragma once

// Where a record test's record lives: an SQLite file or a database on the shared PostgreSQL
// server, so that one test runs on both back ends.

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/PgServer.h"
#include "line/RecordScratch.h"

namespace nvds::test {

// Where a test's record lives, for both kinds of record: a fresh SQLite file or a fresh
// database on the shared server.
class Backend {
public:
    explicit Backend(bool postgres) : m_postgres(postgres) {}

    bool Postgres() const { return m_postgres; }

    /// A new, empty record target; fails the test when the server is not there.
    std::string NewTarget() {
        if (!m_postgres) {
            return m_scratch.Path("line" + std::to_string(++m_count) + ".db");
        }
        std::string error;
        m_server = SharedPgServer(error);
        if (!m_server) {
            ADD_FAILURE() << error;
            return "";
        }
        m_db = NewDatabaseName();
        EXPECT_EQ(m_server->Sql("postgres", "CREATE DATABASE " + m_db), std::vector<std::string>{});
        return m_server->Uri(m_db);
    }

    /// The name the record's messages give the target.
    std::string Name(const std::string& target) const {
        return m_postgres ? "database \"" + m_db + "\" on " + m_server->SocketDir() + ":5432"
                          : target;
    }

    /// How the record's messages label the target.
    std::string Label(const std::string& target) const {
        return "production record " + (m_postgres ? "(" + Name(target) + ")" : target);
    }

    std::vector<std::string> Query(const std::string& target, const std::string& sql) const {
        return m_postgres ? m_server->Sql(m_db, sql) : Sql(target, sql);
    }

    /// "address state" for every row, in address order.
    std::vector<std::string> StatesOf(const std::string& target) const {
        return Query(target, STATES_SQL);
    }

    /// Waits until the server has ended the sessions of killed clients (it notices their
    /// closed sockets at once, but ends the session a moment later).
    void AwaitSessionsOfDeadClients() const {
        if (!m_postgres) {
            return;
        }
        for (int i = 0; i < 1000; ++i) {
            if (m_server->Sql(m_db,
                              "SELECT COUNT(*) FROM record_run r WHERE closed_at IS NULL AND"
                              " EXISTS (SELECT 1 FROM pg_stat_activity a WHERE a.pid::text ||"
                              " '@' || pg_postmaster_start_time()::text = r.session_key)") ==
                std::vector<std::string>{"0"}) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "the sessions of killed clients did not end";
    }

    PgServer* Server() const { return m_server; }

private:
    bool m_postgres;
    ScratchFolder m_scratch;
    int m_count = 0;
    PgServer* m_server = nullptr;
    std::string m_db;
};

}  // namespace nvds::test
