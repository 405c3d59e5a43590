#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "line/ProcessOwner.h"
#include "line/RecordScratch.h"

namespace nvds::test {
namespace {

using line::AddressText;

enum CrashPoint { AFTER_RESERVE, INSIDE_VERIFY, AFTER_VERIFY };

// Reports the reserved address through `fd`, then dies by SIGKILL at `point`. Never returns.
[[noreturn]] void ReserveAndDie(const std::string& path, CrashPoint point, int fd) {
    line::SqliteRecord record;
    uint64_t address = 0;
    if (!record.OpenForAllocation(path, Pool("C0 11 22 00 00 00")) ||
        !record.Reserve(STATION, address) ||
        write(fd, &address, sizeof(address)) != sizeof(address)) {
        _exit(3);
    }
    if (point == INSIDE_VERIFY) {
        record.SetHook([](line::RecordHookPoint hook) {
            if (hook == line::HOOK_VERIFY_BEFORE_COMMIT) {
                raise(SIGKILL);
            }
        });
    }
    if (point != AFTER_RESERVE) {
        record.MarkVerified(address, DIGEST, 2.0);
    }
    raise(SIGKILL);
    _exit(4);
}

// Runs ReserveAndDie in a child and waits until it is gone; the address it reserved.
uint64_t CrashChild(const std::string& path, CrashPoint point) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        ReserveAndDie(path, point, fds[1]);
    }
    close(fds[1]);
    uint64_t address = 0;
    EXPECT_EQ(read(fds[0], &address, sizeof(address)), ssize_t(sizeof(address)));
    close(fds[0]);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
    return address;
}

// A station killed after its reservation, inside the verify transaction or after it: the row
// is there, a dead reservation becomes abandoned at the next open, and the address is never
// handed out again.
TEST(RecordCrash, KilledStationLosesNothingAndReusesNothing) {
    struct Case {
        CrashPoint point;
        const char* stateBeforeOpen;
        const char* stateAfterOpen;
    };
    const Case cases[] = {
        {AFTER_RESERVE, "reserved", "abandoned"},
        {INSIDE_VERIFY, "reserved", "abandoned"},
        {AFTER_VERIFY, "verified", "verified"},
    };
    for (const Case& c : cases) {
        ScratchFolder scratch;
        const std::string path = scratch.Path("line.db");
        const std::string text = AddressText(CrashChild(path, c.point));
        EXPECT_EQ(text, "C0 11 22 00 00 00");
        EXPECT_EQ(States(path), std::vector<std::string>{text + " " + c.stateBeforeOpen});
        auto record = OpenRecord(path, Pool("C0 11 22 00 00 00"));
        EXPECT_EQ(States(path), std::vector<std::string>{text + " " + c.stateAfterOpen})
            << "killed at " << c.point;
        EXPECT_EQ(ReserveText(*record), "C0 11 22 00 00 01");
    }
}

// Only dead owners lose their reservations: a live process of this host, and any process of
// another host, keep theirs; a pid that now belongs to a process started at another time, or
// one from before the last boot, is dead.
TEST(RecordCrash, SweepAbandonsOnlyDeadOwners) {
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
        OpenRecord(path, Pool("C0 11 22 00 00 00"));
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
        OpenRecord(path, Pool("C0 11 22 00 00 00"));
        EXPECT_EQ(States(path),
                  std::vector<std::string>{std::string("00 00 00 00 00 01 ") + c.state})
            << c.host << " " << c.bootId << " " << c.startTicks;
    }
}

// A station that still runs keeps its reservation; once it is killed (even before its parent
// has reaped it), the next open abandons it.
TEST(RecordCrash, LiveStationKeepsItsReservationUntilItDies) {
    ScratchFolder scratch;
    const std::string path = scratch.Path("line.db");
    int report[2], hold[2];
    ASSERT_EQ(pipe(report), 0);
    ASSERT_EQ(pipe(hold), 0);
    const pid_t child = fork();
    if (child == 0) {
        line::SqliteRecord record;
        uint64_t address = 0;
        char byte = 0;
        if (record.OpenForAllocation(path, Pool("C0 11 22 00 00 00")) &&
            record.Reserve(STATION, address) && write(report[1], &address, 8) == 8) {
            (void)!read(hold[0], &byte, 1);  // blocks until the parent kills us
        }
        _exit(3);
    }
    uint64_t address = 0;
    ASSERT_EQ(read(report[0], &address, 8), 8);
    OpenRecord(path, Pool("C0 11 22 00 00 00"));
    EXPECT_EQ(States(path), std::vector<std::string>{"C0 11 22 00 00 00 reserved"});
    kill(child, SIGKILL);
    // Killed but not yet reaped: a zombie holds nothing.
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, child, &info, WEXITED | WNOWAIT), 0);
    OpenRecord(path, Pool("C0 11 22 00 00 00"));
    EXPECT_EQ(States(path), std::vector<std::string>{"C0 11 22 00 00 00 abandoned"});
    waitpid(child, nullptr, 0);
    for (int fd : {report[0], report[1], hold[0], hold[1]}) {
        close(fd);
    }
}

// Two processes allocating into one file at the same time: every allocation succeeds (the
// write lock is waited for, not failed on) and every one has a row of its own.
TEST(RecordCrash, TwoProcessesNeverShareAnAddress) {
    ScratchFolder scratch;
    const std::string path = scratch.Path("line.db");
    OpenRecord(path, Pool("C0 11 22 00 00 00"));
    pid_t children[2];
    for (pid_t& child : children) {
        child = fork();
        if (child == 0) {
            line::SqliteRecord record;
            uint64_t address = 0;
            int done = 0;
            if (record.OpenForAllocation(path, Pool("C0 11 22 00 00 00"))) {
                while (done < 1000 && record.Reserve(STATION, address)) {
                    ++done;
                }
            }
            _exit(done == 1000 ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
    }
    EXPECT_EQ(Sql(path, "SELECT COUNT(DISTINCT address) FROM record_address"),
              std::vector<std::string>{"2000"});
}

}  // namespace
}  // namespace nvds::test
