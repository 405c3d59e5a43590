#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/NvdsRun.h"
#include "common/PgServer.h"
#include "line/PostgresRecord.h"
#include "line/RecordBackend.h"

namespace nvds::test {
namespace {

using line::AddressText;
using line::AddressValue;

class RecordBackends : public ::testing::TestWithParam<bool> {
protected:
    Backend backend{GetParam()};
};

// The pool's order, its end, and the reusable failures that go out first, on either record.
TEST_P(RecordBackends, AllocationOrderAndReusableFirst) {
    const std::string target = backend.NewTarget();
    ASSERT_FALSE(target.empty());
    {
        auto down = Open(target, Pool("AA BB CC 00 00 01", -1));
        ASSERT_NE(down, nullptr);
        EXPECT_EQ(ReserveText(*down), "AA BB CC 00 00 01");
        EXPECT_EQ(ReserveText(*down), "AA BB CC 00 00 00");
        EXPECT_EQ(ReserveText(*down),
                  "error: address range exhausted: every address from AA BB CC 00 00 01 to AA BB "
                  "CC 00 00 00 has been handed out");
    }
    {
        auto record = Open(target, Pool("C0 00 00 00 00 FE"));
        ASSERT_NE(record, nullptr);
        uint64_t a[5] = {};
        for (uint64_t& address : a) {
            ASSERT_TRUE(record->Reserve(STATION, address)) << record->LastError();
        }
        ASSERT_TRUE(record->MarkFailed(a[0], false));
        ASSERT_TRUE(record->MarkFailed(a[1], true));
        ASSERT_TRUE(record->MarkVerified(a[2], DIGEST, 1.5));
        ASSERT_TRUE(record->MarkFailed(a[3], true));
        EXPECT_EQ(ReserveText(*record), "C0 00 00 00 00 FF");
        EXPECT_EQ(ReserveText(*record), "C0 00 00 00 01 01");
        EXPECT_EQ(ReserveText(*record), "C0 00 00 00 01 03");
        EXPECT_FALSE(record->MarkVerified(AddressValue("C0 00 00 00 01 00"), DIGEST, 1));
        EXPECT_EQ(record->LastError(), "address C0 00 00 00 01 00 is not reserved by this process");
        line::RecordState state{};
        EXPECT_TRUE(record->StateOf(AddressValue("C0 00 00 00 01 00"), state));
        EXPECT_EQ(state, line::RECORD_VERIFIED);
        EXPECT_FALSE(record->StateOf(AddressValue("C0 00 00 00 01 04"), state));
        if (backend.Postgres()) {
            EXPECT_EQ(record->LastError(), "");  // no row: not a failure
        }
        ASSERT_TRUE(record->RecordBurn(AddressValue("C0 00 00 00 00 FE"), STATION, DIGEST, 2));
    }
    auto record = Open(target, Pool("C0 00 00 00 00 FE"));
    EXPECT_EQ(ReserveText(*record), "C0 00 00 00 01 04");
    EXPECT_EQ(
        backend.StatesOf(target),
        (std::vector<std::string>{"AA BB CC 00 00 00 abandoned", "AA BB CC 00 00 01 abandoned",
                                  "C0 00 00 00 00 FE verified", "C0 00 00 00 00 FF abandoned",
                                  "C0 00 00 00 01 00 verified", "C0 00 00 00 01 01 abandoned",
                                  "C0 00 00 00 01 02 abandoned", "C0 00 00 00 01 03 abandoned",
                                  "C0 00 00 00 01 04 reserved"}));
}

// One schema version row however often the record is opened; another version is refused
// with a text that names the record, and so is a reader of a target that holds no record.
TEST_P(RecordBackends, SchemaVersion) {
    const std::string target = backend.NewTarget();
    ASSERT_FALSE(target.empty());
    std::string error;
    EXPECT_EQ(line::OpenProductionRecordToRead(target, error), nullptr);
    EXPECT_EQ(error, backend.Postgres()
                         ? backend.Name(target) + " is not a production record (no schema version)"
                         : "cannot open production record " + target + ": no such file");
    Open(target, Pool("C0 00 00 00 00 00"));
    Open(target, Pool("C0 00 00 00 00 00"));
    EXPECT_EQ(backend.Query(target, "SELECT version FROM record_schema"),
              std::vector<std::string>{"2"});
    backend.Query(target, "UPDATE record_schema SET version = 3");
    const std::string refused = backend.Name(target) +
                                " is a production record of schema version 3; this program knows "
                                "version 2";
    EXPECT_EQ(line::OpenProductionRecord(target, Pool("C0 00 00 00 00 00"), error), nullptr);
    EXPECT_EQ(error, refused);
    EXPECT_EQ(line::OpenProductionRecordToRead(target, error), nullptr);
    EXPECT_EQ(error, refused);
}

// Two processes that open a new record at the same moment and allocate from it at once: every
// allocation succeeds and has a row of its own.
TEST_P(RecordBackends, TwoProcessesAllocatingAtOnce) {
    const std::string target = backend.NewTarget();
    ASSERT_FALSE(target.empty());
    constexpr int EACH = 400;
    pid_t children[2];
    for (pid_t& child : children) {
        child = fork();
        if (child == 0) {
            std::string error;
            auto record = line::OpenProductionRecord(target, Pool("C0 11 22 00 00 00"), error);
            uint64_t address = 0;
            int done = 0;
            while (record && done < EACH && record->Reserve(STATION, address)) {
                ++done;
            }
            _exit(done == EACH ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
    }
    EXPECT_EQ(backend.Query(target,
                            "SELECT COUNT(DISTINCT address) || ' ' || MIN(address_text)"
                            " || ' ' || MAX(address_text) FROM record_address"),
              std::vector<std::string>{"800 C0 11 22 00 00 00 C0 11 22 00 03 1F"});
}

enum CrashPoint { AFTER_RESERVE, INSIDE_VERIFY, AFTER_VERIFY };

// A station killed after its reservation, inside the verify transaction or after it: the row
// is there, a dead reservation becomes abandoned at the next open, and the address is never
// handed out again.
TEST_P(RecordBackends, KilledStationLosesNothingAndReusesNothing) {
    struct Case {
        CrashPoint point;
        const char* stateAfterOpen;
    };
    const Case cases[] = {
        {AFTER_RESERVE, "abandoned"},
        {INSIDE_VERIFY, "abandoned"},
        {AFTER_VERIFY, "verified"},
    };
    for (const Case& c : cases) {
        const std::string target = backend.NewTarget();
        ASSERT_FALSE(target.empty());
        const pid_t child = fork();
        if (child == 0) {
            auto killInsideVerify = [&c](line::RecordHookPoint hook) {
                if (c.point == INSIDE_VERIFY && hook == line::HOOK_VERIFY_BEFORE_COMMIT) {
                    raise(SIGKILL);
                }
            };
            std::unique_ptr<line::ProductionRecord> record;
            if (backend.Postgres()) {
                auto pg = std::make_unique<line::PostgresRecord>();
                if (pg->OpenForAllocation(target, Pool("C0 11 22 00 00 00"))) {
                    pg->SetHook(killInsideVerify);
                    record = std::move(pg);
                }
            } else {
                auto file = std::make_unique<line::SqliteRecord>();
                if (file->OpenForAllocation(target, Pool("C0 11 22 00 00 00"))) {
                    file->SetHook(killInsideVerify);
                    record = std::move(file);
                }
            }
            uint64_t address = 0;
            if (!record || !record->Reserve(STATION, address)) {
                _exit(3);
            }
            if (c.point != AFTER_RESERVE) {
                record->MarkVerified(address, DIGEST, 2.0);
            }
            raise(SIGKILL);
            _exit(4);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
        backend.AwaitSessionsOfDeadClients();
        auto record = Open(target, Pool("C0 11 22 00 00 00"));
        EXPECT_EQ(backend.StatesOf(target),
                  std::vector<std::string>{std::string("C0 11 22 00 00 00 ") + c.stateAfterOpen})
            << "killed at " << c.point;
        EXPECT_EQ(ReserveText(*record), "C0 11 22 00 00 01");
    }
}

INSTANTIATE_TEST_SUITE_P(, RecordBackends, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Postgres" : "Sqlite";
                         });

// An owner is its session on the server, whichever machine it runs on: an owner of another host
// whose session the server no longer lists loses its reservations at the next open, one whose
// session is still there keeps them.
TEST(PostgresRecord, DeadSessionsOfAnyHostAreSwept) {
    Backend backend(true);
    const std::string target = backend.NewTarget();
    ASSERT_FALSE(target.empty());
    auto live = Open(target, Pool("C0 11 22 00 00 00"));
    ASSERT_NE(live, nullptr);
    const std::vector<std::string> liveSession =
        backend.Query(target, "SELECT session_key FROM record_run");
    ASSERT_EQ(liveSession.size(), 1u);
    backend.Query(target,
                  "INSERT INTO record_run (id, host, pid, boot_id, start_ticks, session_key,"
                  " opened_at) VALUES (1001, 'elsewhere', 1, 'x', 1, '0@' ||"
                  " pg_postmaster_start_time()::text, 0), (1002, 'elsewhere', 1, 'x', 1, '" +
                      liveSession[0] + "', 0)");
    backend.Query(target,
                  "INSERT INTO record_attempt (id, address, run, station_host, station_name, lot,"
                  " golden_name, golden_sha256, reserved_at) VALUES"
                  " (2001, 1, 1001, 'elsewhere', 'p', '', '', '', 0),"
                  " (2002, 2, 1002, 'elsewhere', 'p', '', '', '', 0)");
    backend.Query(target,
                  "INSERT INTO record_address (address, address_text, state, station_host,"
                  " station_port, owner, attempt, reserved_at) VALUES"
                  " (1, '00 00 00 00 00 01', 'reserved', 'elsewhere', 'p', 1001, 2001, 0),"
                  " (2, '00 00 00 00 00 02', 'reserved', 'elsewhere', 'p', 1002, 2002, 0)");
    Open(target, Pool("C0 11 22 00 00 00"));
    EXPECT_EQ(backend.StatesOf(target), (std::vector<std::string>{"00 00 00 00 00 01 abandoned",
                                                                  "00 00 00 00 00 02 reserved"}));
}

// A server that goes away mid-run: every call fails with a text naming the server while it is
// down (so the station burns nothing), opening fails too; once it is back, the next call
// connects again by itself and the reservation made before is still this process's own.
// Had another process found the old session gone and abandoned it, EndBurn still appends the
// truth and the address says what its chip carries.
TEST(PostgresRecord, LostServerIsReachedAgainAndKeepsTheReservations) {
    Backend backend(true);
    const std::string target = backend.NewTarget();
    ASSERT_FALSE(target.empty());
    const std::string name = backend.Name(target);
    auto record = Open(target, Pool("C0 11 22 00 00 00"));
    ASSERT_NE(record, nullptr);
    line::BurnContext context;
    context.station = STATION;
    uint64_t first = 0, second = 0;
    int64_t firstAttempt = 0, secondAttempt = 0;
    ASSERT_TRUE(record->ReserveNext(context, first, firstAttempt));
    ASSERT_TRUE(backend.Server()->Stop("immediate"));

    const std::string lost = "lost the connection to the production record server (" + name + "): ";
    uint64_t address = 0;
    int64_t attempt = 0;
    EXPECT_FALSE(record->ReserveNext(context, address, attempt));
    EXPECT_EQ(record->LastError().substr(0, lost.size()), lost) << record->LastError();
    line::AddressInfo info;
    EXPECT_FALSE(record->Lookup(first, info));
    EXPECT_EQ(record->LastError().substr(0, lost.size()), lost) << record->LastError();
    std::string error;
    EXPECT_EQ(line::OpenProductionRecord(target, Pool("C0 11 22 00 00 00"), error), nullptr);
    const std::string unreachable = "cannot reach the production record server (" + name +
                                    "): connection to server on socket \"" +
                                    backend.Server()->SocketDir() + "/.s.PGSQL.5432\" failed: ";
    EXPECT_EQ(error.substr(0, unreachable.size()), unreachable) << error;

    ASSERT_TRUE(backend.Server()->StartAgain());
    line::BurnEnd verified;
    verified.outcome = line::RECORD_VERIFIED;
    verified.imageSha256 = DIGEST;
    EXPECT_TRUE(record->EndBurn(firstAttempt, verified)) << record->LastError();
    ASSERT_TRUE(record->ReserveNext(context, second, secondAttempt)) << record->LastError();
    auto other = Open(target, Pool("C0 11 22 00 00 00"));
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(ReserveText(*other), "C0 11 22 00 00 02");
    EXPECT_TRUE(other->Lookup(second, info));
    EXPECT_TRUE(info.liveReservation);

    // Lost again, and this time another opener sweeps the dead session first.
    ASSERT_TRUE(backend.Server()->Stop("immediate"));
    ASSERT_TRUE(backend.Server()->StartAgain());
    other = Open(target, Pool("C0 11 22 00 00 00"));
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(backend.StatesOf(target),
              (std::vector<std::string>{"C0 11 22 00 00 00 verified", "C0 11 22 00 00 01 abandoned",
                                        "C0 11 22 00 00 02 abandoned"}));
    EXPECT_TRUE(record->EndBurn(secondAttempt, verified)) << record->LastError();
    EXPECT_EQ(backend.Query(target, "SELECT outcome FROM record_history WHERE address = " +
                                        std::to_string(second) + " ORDER BY id"),
              (std::vector<std::string>{"abandoned", "verified"}));
    EXPECT_EQ(backend.StatesOf(target)[1], "C0 11 22 00 00 01 verified");
}

// `nvds record` reads a server record like a file: its history and its runs, and a
// database that holds no record is refused with the server named.
TEST(PostgresRecord, RecordCommandReadsTheServer) {
    Backend backend(true);
    const std::string target = backend.NewTarget();
    ASSERT_FALSE(target.empty());
    const ToolRun empty = RunNvds("record '" + target + "'");
    EXPECT_EQ(empty.exitCode, 1);
    EXPECT_EQ(empty.err,
              backend.Name(target) + " is not a production record (no schema version)\n");
    {
        auto record = Open(target, Pool("C0 11 22 00 00 00"));
        ASSERT_NE(record, nullptr);
        uint64_t a[2] = {};
        for (uint64_t& address : a) {
            ASSERT_TRUE(record->Reserve(STATION, address));
        }
        ASSERT_TRUE(record->MarkVerified(a[0], DIGEST, 12.5));
        ASSERT_TRUE(record->MarkFailed(a[1], true));
    }
    const ToolRun run = RunNvds("record --csv '" + target + "'");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::istringstream lines(run.out);
    std::vector<std::string> starts;
    for (std::string line; std::getline(lines, line);) {
        starts.push_back(line.substr(0, line.find(",bench1")));
    }
    ASSERT_EQ(starts.size(), 3u) << run.out;
    EXPECT_EQ(starts[1], "1,1,1,C0 11 22 00 00 00,verified,0");
    EXPECT_EQ(starts[2], "2,2,1,C0 11 22 00 00 01,failed,1");
    EXPECT_NE(run.out.find(DIGEST + ",12.50,\r\n"), std::string::npos) << run.out;
    const ToolRun text = RunNvds("record '" + target + "'");
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("\tchips 2\tverified 1\tfailed 1\tabandoned 0\tyield 50.0%"),
              std::string::npos)
        << text.out;
}

}  // namespace
}  // namespace nvds::test
