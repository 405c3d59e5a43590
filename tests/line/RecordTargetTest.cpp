// What only one back end has: a file that is refused or left alone, owners told apart by
// their process; a server that goes away and sessions of other hosts.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/NvdsRun.h"
#include "line/ProcessOwner.h"
#include "line/RecordBackend.h"
#include "line/SqliteRecord.h"

namespace nvds::test {
namespace {

using line::AddressText;

// What a server target that cannot be reached reports: the database and the server.
std::string Unreachable(const std::string& db, const std::string& port) {
    return "cannot reach the production record server (database \"" + db +
           "\" on /nonexistent:" + port +
           "): connection to server on socket \"/nonexistent/.s.PGSQL." + port +
           "\" failed: No such file or directory \tIs the server running locally and accepting "
           "connections on that socket?";
}

// A last address that the lower-half step can never reach is refused when the pool is opened.
TEST(RecordFile, RefusesAPoolWhoseLastAddressIsOutOfReach) {
    ScratchFolder scratch;
    line::SqliteRecord record;
    EXPECT_FALSE(record.OpenForAllocation(scratch.Path("line.db"),
                                          Pool("C0 11 22 00 00 10", 1, "C0 11 23 00 00 00")));
    EXPECT_EQ(record.LastError(),
              "address pool: the last address C0 11 23 00 00 00 cannot be reached from C0 11 22 "
              "00 00 10 by stepping the lower three pairs up");
    EXPECT_FALSE(record.OpenForAllocation(scratch.Path("line.db"),
                                          Pool("C0 11 22 00 00 10", -1, "C0 11 22 00 00 11")));
    EXPECT_EQ(record.LastError(),
              "address pool: the last address C0 11 22 00 00 11 cannot be reached from C0 11 22 "
              "00 00 10 by stepping the lower three pairs down");
    EXPECT_FALSE(std::filesystem::exists(scratch.Path("line.db")));
}

// Only a place that lasts is a record: no empty text, no database SQLite keeps in memory or
// deletes at close, no folder, no file in a folder that does not exist. Nothing is created
// while checking, and `nvds record` refuses such a target as a usage error.
TEST(RecordFile, TargetsThatDoNotLastAreRefused) {
    ScratchFolder scratch;
    const std::string existing = scratch.Path("line.db");
    Open(existing, Pool("C0 00 00 00 00 00"));
    const std::string refused[] = {"",
                                   ":memory:",
                                   "file::memory:",
                                   "file:line.db?mode=memory&cache=shared",
                                   "file:",
                                   "line.db?mode=memory",
                                   scratch.Path(""),
                                   scratch.Path("sub/"),
                                   scratch.Path("missing/line.db"),
                                   "/dev/null"};
    for (const std::string& target : refused) {
        std::string error;
        EXPECT_FALSE(line::CheckRecordTarget(target, error)) << target;
        EXPECT_FALSE(error.empty()) << target;
    }
    const std::string accepted[] = {existing, scratch.Path("new.db"), "new.db",
                                    "postgresql:///record?host=/nonexistent",
                                    "host=/nonexistent dbname=record"};
    for (const std::string& target : accepted) {
        std::string error;
        EXPECT_TRUE(line::CheckRecordTarget(target, error)) << target << ": " << error;
    }
    std::string error;
    line::CheckRecordTarget("", error);
    EXPECT_EQ(error, "the production record is named by an empty text: give a file or a server");
    line::CheckRecordTarget(":memory:", error);
    EXPECT_EQ(error,
              "the production record :memory: would be a temporary database that is lost when the "
              "program ends: give a plain file path or a server");

    for (const std::string& target : {std::string(""), std::string("file::memory:")}) {
        EXPECT_EQ(RunNvds("record '" + target + "'").exitCode, 2) << target;
    }
    EXPECT_FALSE(std::filesystem::exists(scratch.Path("new.db")));
    EXPECT_FALSE(std::filesystem::exists("new.db"));
}

// Another program's database (or any other file) is refused, to read or to allocate, before
// anything is written: its bytes and the folder around it are as they were, with no journal
// or side file. A server target goes to the server, never to a file of that name.
TEST(RecordFile, ForeignTargetsAreLeftAsTheyWere) {
    ScratchFolder scratch;
    const std::string foreign = scratch.Path("parts.db");
    Sql(foreign, "CREATE TABLE parts (name TEXT)");
    Sql(foreign, "INSERT INTO parts VALUES ('resistor')");
    const std::string text = scratch.Path("notes.txt");
    std::ofstream(text) << "not a database, but long enough to be read as a file header\n";
    auto read = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    auto listing = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(scratch.Path(""))) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    };
    const std::vector<std::string> namesBefore = listing();
    const struct {
        std::string target;
        std::string error;
    } cases[] = {
        {foreign, foreign + " is not a production record (no schema version)"},
        {text, text + " is not a production record (not an SQLite database)"},
        {"postgresql:///record?host=/nonexistent", Unreachable("record", "5432")},
        {"postgres:///other?host=/nonexistent&port=5999", Unreachable("other", "5999")},
        {"host=/nonexistent dbname=record", Unreachable("record", "5432")},
    };
    for (const auto& c : cases) {
        const std::string bytes = read(c.target);
        std::string error;
        EXPECT_EQ(line::OpenProductionRecord(c.target, Pool("C0 00 00 00 00 00"), error), nullptr);
        EXPECT_EQ(error, c.error);
        error.clear();
        EXPECT_EQ(line::OpenProductionRecordToRead(c.target, error), nullptr);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(read(c.target), bytes) << c.target;
        EXPECT_EQ(listing(), namesBefore) << c.target;
    }
    EXPECT_EQ(Sql(foreign, "SELECT name FROM sqlite_master"), std::vector<std::string>{"parts"});
    EXPECT_FALSE(std::filesystem::exists("host=/nonexistent dbname=record"));
}

// Only dead owners lose their reservations: a live process of this host, and any process of
// another host, keep theirs; a pid that now belongs to a process started at another time, or
// one from before the last boot, is dead.
TEST(RecordFile, SweepAbandonsOnlyDeadOwners) {
    const line::ProcessOwner self = line::CurrentProcessOwner();
    struct Case {
        std::string host;
        std::string bootId;
        int64_t startTicks;
        const char* state;
    };
    const Case cases[] = {
        {self.host, self.bootId, self.startTicks, "reserved"},
        {self.host, self.bootId, self.startTicks + 1, "abandoned"},
        {self.host, "00000000-0000-0000-0000-000000000000", self.startTicks, "abandoned"},
        {self.host + ".elsewhere", "00000000-0000-0000-0000-000000000000", 1, "reserved"},
    };
    for (const Case& c : cases) {
        ScratchFolder scratch;
        const std::string path = scratch.Path("line.db");
        Open(path, Pool("C0 11 22 00 00 00"));
        Sql(path,
            "INSERT INTO record_run (id, host, pid, boot_id, start_ticks, session_key, opened_at)"
            " VALUES (77, '" +
                c.host + "', " + std::to_string(self.pid) + ", '" + c.bootId + "', " +
                std::to_string(c.startTicks) + ", '', 0)");
        Sql(path,
            "INSERT INTO record_attempt (id, address, run, station_host, station_name, lot,"
            " golden_name, golden_sha256, reserved_at) VALUES (5, 1, 77, 'h', 'p', '', '', '', 0)");
        Sql(path,
            "INSERT INTO record_address (address, address_text, state, station_host,"
            " station_port, owner, attempt, reserved_at) VALUES (1, '00 00 00 00 00 01',"
            " 'reserved', 'h', 'p', 77, 5, 0)");
        Open(path, Pool("C0 11 22 00 00 00"));
        EXPECT_EQ(States(path),
                  std::vector<std::string>{std::string("00 00 00 00 00 01 ") + c.state})
            << c.host << " " << c.bootId << " " << c.startTicks;
    }
}

// A station that still runs keeps its reservation; once it is killed (even before its parent
// has reaped it), the next open abandons it.
TEST(RecordFile, LiveStationKeepsItsReservationUntilItDies) {
    ScratchFolder scratch;
    const std::string path = scratch.Path("line.db");
    int report[2], hold[2];
    ASSERT_EQ(pipe(report), 0);
    ASSERT_EQ(pipe(hold), 0);
    const pid_t child = fork();
    if (child == 0) {
        line::SqliteRecord record;
        char byte = 0;
        if (record.OpenForAllocation(path, Pool("C0 11 22 00 00 00")) &&
            ReserveText(record).rfind("error", 0) != 0 && write(report[1], &byte, 1) == 1) {
            (void)!read(hold[0], &byte, 1);  // blocks until the parent kills us
        }
        _exit(3);
    }
    close(report[1]);  // a child that fails to reserve ends the read at once
    char byte = 0;
    ASSERT_EQ(read(report[0], &byte, 1), 1);
    Open(path, Pool("C0 11 22 00 00 00"));
    EXPECT_EQ(States(path), std::vector<std::string>{"C0 11 22 00 00 00 reserved"});
    kill(child, SIGKILL);
    // Killed but not yet reaped: a zombie holds nothing.
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, child, &info, WEXITED | WNOWAIT), 0);
    Open(path, Pool("C0 11 22 00 00 00"));
    EXPECT_EQ(States(path), std::vector<std::string>{"C0 11 22 00 00 00 abandoned"});
    waitpid(child, nullptr, 0);
    for (int fd : {report[0], hold[0], hold[1]}) {
        close(fd);
    }
}

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

}  // namespace
}  // namespace nvds::test
