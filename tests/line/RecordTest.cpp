// The production record's rules, every scenario on an SQLite file and on a PostgreSQL server.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "line/RecordBackend.h"
#include "line/RecordShared.h"
#include "line/RecordStore.h"

namespace nvds::test {
namespace {

using line::AddressText;
using Lines = std::vector<std::string>;

// "address outcome station lot" for every history row, oldest first.
Lines HistoryLines(line::ProductionRecord& record, const line::HistoryFilter& filter = {}) {
    std::vector<line::HistoryRow> rows;
    EXPECT_TRUE(record.History(filter, rows)) << record.LastError();
    Lines lines;
    for (const line::HistoryRow& row : rows) {
        lines.push_back(AddressText(row.address) + " " + line::RecordStateName(row.outcome) + " " +
                        row.context.station.port + " " + row.context.lot);
    }
    return lines;
}

// Reserves an address of `target` from C0 11 22 00 00 00 in a process of its own, which then
// runs `then` on its open record and is killed by SIGKILL; the attempt it reserved.
template <typename Then>
int64_t ReserveAndDie(const std::string& target, const line::BurnContext& context, Then then) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        std::string error;
        auto record = line::OpenProductionRecord(target, Pool("C0 11 22 00 00 00"), error);
        uint64_t address = 0;
        int64_t attempt = 0;
        if (!record || !record->ReserveNext(context, address, attempt) ||
            write(fds[1], &attempt, sizeof(attempt)) != sizeof(attempt)) {
            _exit(3);
        }
        then(static_cast<line::RecordStore&>(*record), attempt);
        raise(SIGKILL);
        _exit(4);
    }
    close(fds[1]);
    int64_t attempt = 0;
    EXPECT_EQ(read(fds[0], &attempt, sizeof(attempt)), ssize_t(sizeof(attempt)));
    close(fds[0]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
    return attempt;
}

class Record : public ::testing::TestWithParam<bool> {
protected:
    /// A new record target and the record opened on it for allocation from `pool`.
    std::unique_ptr<line::ProductionRecord> OpenNew(const line::AddressPool& pool) {
        target = backend.NewTarget();
        return target.empty() ? nullptr : Open(target, pool);
    }
    Lines States() const { return backend.StatesOf(target); }

    Backend backend{GetParam()};
    std::string target;
};

// The step moves the lower three pairs only: without a last address the pool ends at the end
// of the lower half, never carrying into (or borrowing from) the upper three pairs.
TEST_P(Record, StepsThroughThePoolAndStopsAtItsEnd) {
    const auto exhausted = [](const std::string& from, const std::string& to) {
        return "error: address range exhausted: every address from " + from + " to " + to +
               " has been handed out";
    };
    const struct {
        const char* first;
        int step;
        Lines expected;
    } cases[] = {
        {"C0 11 22 33 44 FE", 1, {"C0 11 22 33 44 FE", "C0 11 22 33 44 FF", "C0 11 22 33 45 00"}},
        {"C0 11 22 FF FF FE",
         1,
         {"C0 11 22 FF FF FE", "C0 11 22 FF FF FF",
          exhausted("C0 11 22 FF FF FE", "C0 11 22 FF FF FF")}},
        {"AA BB CC 00 00 01",
         -1,
         {"AA BB CC 00 00 01", "AA BB CC 00 00 00",
          exhausted("AA BB CC 00 00 01", "AA BB CC 00 00 00")}},
    };
    for (const auto& c : cases) {
        auto record = OpenNew(Pool(c.first, c.step));
        ASSERT_NE(record, nullptr);
        Lines got;
        for (size_t i = 0; i < c.expected.size(); ++i) {
            got.push_back(ReserveText(*record));
        }
        EXPECT_EQ(got, c.expected) << c.first << " step " << c.step;
    }
}

// A failure before page 0 was programmed leaves no valid image, so its address goes out again
// before the pool moves on; any other failure, a verified chip and a closed or dead station's
// reservation keep their addresses for good, also across a reopen. Going down, the reusable
// address nearest the pool's start comes first; one of another pool is never taken.
TEST_P(Record, OnlyReusableFailuresComeBack) {
    {
        auto record = OpenNew(Pool("C0 00 00 00 00 FE"));
        ASSERT_NE(record, nullptr);
        const line::BurnEnd ends[] = {Failed(false), Failed(true), Verified(), Failed(true)};
        std::vector<int64_t> attempts;
        for (size_t i = 0; i < std::size(ends) + 1; ++i) {  // the last one stays reserved
            uint64_t address = 0;
            ASSERT_TRUE(record->ReserveNext(Context(), address, attempts.emplace_back()))
                << record->LastError();
        }
        for (size_t i = 0; i < std::size(ends); ++i) {
            ASSERT_TRUE(record->EndBurn(attempts[i], ends[i])) << record->LastError();
        }
        EXPECT_EQ(ReserveText(*record), "C0 00 00 00 00 FF");
        EXPECT_EQ(ReserveText(*record), "C0 00 00 00 01 01");
        EXPECT_EQ(ReserveText(*record), "C0 00 00 00 01 03");
    }
    auto record = Open(target, Pool("C0 00 00 00 00 FE"));
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(ReserveText(*record), "C0 00 00 00 01 04");
    EXPECT_EQ(States(), (Lines{"C0 00 00 00 00 FE failed", "C0 00 00 00 00 FF abandoned",
                               "C0 00 00 00 01 00 verified", "C0 00 00 00 01 01 abandoned",
                               "C0 00 00 00 01 02 abandoned", "C0 00 00 00 01 03 abandoned",
                               "C0 00 00 00 01 04 reserved"}));

    auto down = Open(target, Pool("C0 00 00 00 00 10", -1));
    ASSERT_NE(down, nullptr);
    for (int i = 0; i < 3; ++i) {
        uint64_t address = 0;
        int64_t attempt = 0;
        ASSERT_TRUE(down->ReserveNext(Context(), address, attempt));
        ASSERT_TRUE(down->EndBurn(attempt, Failed(true)));
    }
    auto other = Open(target, Pool("D0 00 00 00 00 10", -1));
    EXPECT_EQ(ReserveText(*other), "D0 00 00 00 00 10");
    for (const char* next : {"10", "0F", "0E", "0D"}) {
        EXPECT_EQ(ReserveText(*down), std::string("C0 00 00 00 00 ") + next);
    }
}

// Whatever the row said before, a window's burn leaves its address verified with the burn's
// station, digest (stored in lower case) and duration, and the pool never hands that address
// out again: not when it was a reusable failure, not when it lies ahead; the pool still starts
// at its first fresh address and steps over the recorded one, also when opened again.
TEST_P(Record, WindowBurnsAreVerifiedAndNeverHandedOut) {
    const std::string upper(64, 'E');
    const line::BurnContext desk = Context("UART(chip)");
    {
        auto record = OpenNew(Pool("C0 11 22 33 44 00"));
        ASSERT_NE(record, nullptr);
        uint64_t address = 0;
        int64_t attempt = 0;
        ASSERT_TRUE(record->ReserveNext(Context(), address, attempt));
        ASSERT_TRUE(record->EndBurn(attempt, Failed(true)));
        Burn(*record, address, Verified(upper, 1.5), desk);
        Burn(*record, Addr("C0 11 22 33 44 05"), Verified(DIGEST, 2), desk);
        Burn(*record, Addr("AA BB CC DD EE FF"), Verified(DIGEST, 3), desk);
        // The same address burned again: still one row, now with the second burn's values.
        Burn(*record, Addr("C0 11 22 33 44 05"), Verified(std::string(64, 'b'), 4));
        for (const char* next : {"01", "02", "03", "04", "06"}) {
            EXPECT_EQ(ReserveText(*record), std::string("C0 11 22 33 44 ") + next);
        }
    }
    EXPECT_EQ(States(), (Lines{"AA BB CC DD EE FF verified", "C0 11 22 33 44 00 verified",
                               "C0 11 22 33 44 01 abandoned", "C0 11 22 33 44 02 abandoned",
                               "C0 11 22 33 44 03 abandoned", "C0 11 22 33 44 04 abandoned",
                               "C0 11 22 33 44 05 verified", "C0 11 22 33 44 06 abandoned"}));
    auto again = Open(target, Pool("C0 11 22 33 44 00"));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(ReserveText(*again), "C0 11 22 33 44 07");
    std::vector<line::RecordRow> rows;
    ASSERT_TRUE(again->Addresses(rows)) << again->LastError();
    Lines verified;
    for (const line::RecordRow& row : rows) {
        if (row.state == line::RECORD_VERIFIED) {
            verified.push_back(AddressText(row.address) + " " + row.station.port + " " +
                               row.imageSha256 + " " + std::to_string(row.seconds));
        }
    }
    std::sort(verified.begin(), verified.end());
    EXPECT_EQ(verified,
              (Lines{"AA BB CC DD EE FF UART(chip) " + DIGEST + " 3.000000",
                     "C0 11 22 33 44 00 UART(chip) " + std::string(64, 'e') + " 1.500000",
                     "C0 11 22 33 44 05 /dev/ttyUSB0 " + std::string(64, 'b') + " 4.000000"}));
    const line::RecordSummary summary = line::SummaryOf(rows);
    EXPECT_EQ(summary.verified, 3);
    EXPECT_EQ(summary.abandoned, 5);
    EXPECT_EQ(summary.reserved, 1);
}

// The look-up answers each state and says "unknown" for an address without a row; a burn
// with a malformed digest, a burn through a reader, and a look-up in a broken record fail
// with a text that says why.
TEST_P(Record, LookupTellsEachStateAndFailures) {
    {
        auto dying = OpenNew(Pool("00 00 00 00 00 10"));
        ASSERT_NE(dying, nullptr);
        ASSERT_EQ(ReserveText(*dying), "00 00 00 00 00 10");  // abandoned when it closes
    }
    auto record = Open(target, Pool("00 00 00 00 00 20"));
    ASSERT_NE(record, nullptr);
    ASSERT_EQ(ReserveText(*record), "00 00 00 00 00 20");
    Burn(*record, Addr("00 00 00 00 00 21"), Failed(false));
    Burn(*record, Addr("00 00 00 00 00 30"), Verified());
    const struct {
        const char* address;
        line::RecordState state;
    } rows[] = {{"00 00 00 00 00 10", line::RECORD_ABANDONED},
                {"00 00 00 00 00 20", line::RECORD_RESERVED},
                {"00 00 00 00 00 21", line::RECORD_FAILED},
                {"00 00 00 00 00 30", line::RECORD_VERIFIED}};
    for (const auto& row : rows) {
        line::AddressInfo info;
        EXPECT_TRUE(record->Lookup(Addr(row.address), info)) << row.address;
        EXPECT_TRUE(info.known) << row.address;
        EXPECT_EQ(info.state, row.state) << row.address;
        EXPECT_TRUE(line::MayBeOnChip(info)) << row.address;
    }
    // A failure before page 0 gives no address back while an earlier chip may carry it.
    Burn(*record, Addr("00 00 00 00 00 21"), Failed(true));
    line::AddressInfo info;
    EXPECT_TRUE(record->Lookup(Addr("00 00 00 00 00 21"), info) && line::MayBeOnChip(info));
    int64_t attempt = 0;
    ASSERT_TRUE(record->ReserveAddress(Addr("00 00 00 00 00 31"), Context(), attempt));
    EXPECT_FALSE(record->EndBurn(attempt, Verified("xyz")));
    EXPECT_EQ(record->LastError(), "image hash must be 64 hex digits: \"xyz\"");
    EXPECT_TRUE(record->Lookup(Addr("00 00 00 00 00 32"), info));
    EXPECT_FALSE(info.known);

    std::string error;
    auto reader = line::OpenProductionRecordToRead(target, error);
    ASSERT_NE(reader, nullptr) << error;
    EXPECT_FALSE(reader->ReserveAddress(Addr("00 00 00 00 00 33"), Context(), attempt));
    EXPECT_EQ(reader->LastError(), backend.Label(target) + " is not open for allocation");
    backend.Query(target, "DROP TABLE record_address");
    EXPECT_FALSE(record->Lookup(Addr("00 00 00 00 00 30"), info));
    EXPECT_EQ(record->LastError(), backend.Postgres()
                                       ? record->LastError()
                                       : backend.Label(target) + ": no such table: record_address");
    EXPECT_NE(record->LastError().find("record_address"), std::string::npos) << record->LastError();
}

// One schema version row however often the record is opened; another version is refused
// with a text that names the record, and so is a reader of a target that holds no record.
TEST_P(Record, SchemaVersion) {
    target = backend.NewTarget();
    ASSERT_FALSE(target.empty());
    std::string error;
    EXPECT_EQ(line::OpenProductionRecordToRead(target, error), nullptr);
    EXPECT_EQ(error, backend.Postgres()
                         ? backend.Name(target) + " is not a production record (no schema version)"
                         : "cannot open production record " + target + ": no such file");
    Open(target, Pool("C0 00 00 00 00 00"));
    Open(target, Pool("C0 00 00 00 00 00"));
    EXPECT_EQ(backend.Query(target, "SELECT version FROM record_schema"), Lines{"2"});
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
// allocation succeeds (the write lock is waited for, not failed on) and has a row of its own.
TEST_P(Record, TwoProcessesAllocatingAtOnce) {
    target = backend.NewTarget();
    ASSERT_FALSE(target.empty());
    constexpr int EACH = 400;
    pid_t children[2];
    for (pid_t& child : children) {
        child = fork();
        if (child == 0) {
            std::string error;
            auto record = line::OpenProductionRecord(target, Pool("C0 11 22 00 00 00"), error);
            int done = 0;
            while (record && done < EACH && ReserveText(*record).rfind("error", 0) != 0) {
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
              Lines{"800 C0 11 22 00 00 00 C0 11 22 00 03 1F"});
}

enum CrashPoint { INSIDE_VERIFY, AFTER_VERIFY };

// A station killed inside the verify transaction or after it (killed right after its
// reservation: see AbandonedBurnsAreListed): the row is there, a dead reservation becomes
// abandoned at the next open, and the address is never handed out again.
TEST_P(Record, KilledStationLosesNothingAndReusesNothing) {
    const struct {
        CrashPoint point;
        const char* stateBeforeOpen;
        const char* stateAfterOpen;
    } cases[] = {
        {INSIDE_VERIFY, "reserved", "abandoned"},
        {AFTER_VERIFY, "verified", "verified"},
    };
    for (const auto& c : cases) {
        target = backend.NewTarget();
        ASSERT_FALSE(target.empty());
        ReserveAndDie(target, Context(), [&c](line::RecordStore& record, int64_t attempt) {
            record.SetHook([&c](line::RecordHookPoint hook) {
                if (c.point == INSIDE_VERIFY && hook == line::HOOK_VERIFY_BEFORE_COMMIT) {
                    raise(SIGKILL);
                }
            });
            record.EndBurn(attempt, Verified());
        });
        backend.AwaitSessionsOfDeadClients();
        EXPECT_EQ(States(), Lines{std::string("C0 11 22 00 00 00 ") + c.stateBeforeOpen});
        auto record = Open(target, Pool("C0 11 22 00 00 00"));
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(States(), Lines{std::string("C0 11 22 00 00 00 ") + c.stateAfterOpen})
            << "killed at " << c.point;
        EXPECT_EQ(ReserveText(*record), "C0 11 22 00 00 01");
    }
}

// Every attempt is a row of its own with where, what and how it ended; a second burn of an
// address keeps the first one's row; the rows cannot be changed or deleted, even from outside;
// ending an attempt again with the same outcome is a replay that adds nothing.
TEST_P(Record, EveryAttemptIsARowThatIsNeverChanged) {
    auto record = OpenNew(Pool("C0 11 22 00 00 00"));
    ASSERT_NE(record, nullptr);
    uint64_t address = 0;
    int64_t first = 0, second = 0;
    ASSERT_TRUE(record->ReserveNext(Context("s1", "lot-7"), address, first)) << record->LastError();
    ASSERT_TRUE(record->EndBurn(first, Failed(false, "verify: page 3 offset 0x12")));
    ASSERT_TRUE(record->ReserveAddress(address, Context("desk"), second));
    line::AddressInfo info;
    ASSERT_TRUE(record->Lookup(address, info));
    EXPECT_TRUE(info.known && info.state == line::RECORD_RESERVED && info.liveReservation);
    ASSERT_TRUE(record->EndBurn(second, Verified(std::string(64, 'E'))));
    EXPECT_TRUE(record->EndBurn(second, Verified(std::string(64, 'E'))));  // a replay
    EXPECT_FALSE(record->EndBurn(second, Failed(true, "late")));
    EXPECT_EQ(record->LastError(), "reservation " + std::to_string(second) +
                                       " of C0 11 22 00 00 00 has ended verified already");

    std::vector<line::HistoryRow> rows;
    ASSERT_TRUE(record->History({}, rows));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].attempt, first);
    EXPECT_EQ(rows[0].run, record->CurrentRun());
    EXPECT_EQ(rows[0].outcome, line::RECORD_FAILED);
    EXPECT_EQ(rows[0].reason, "verify: page 3 offset 0x12");
    EXPECT_EQ(rows[0].context.station.host, "bench1");
    EXPECT_EQ(rows[0].context.goldenName, "golden.nvds");
    EXPECT_EQ(rows[0].context.goldenSha256, std::string(64, 'c'));
    EXPECT_EQ(rows[1].outcome, line::RECORD_VERIFIED);
    EXPECT_EQ(rows[1].imageSha256, std::string(64, 'e'));
    EXPECT_EQ(rows[1].seconds, 2.5);
    EXPECT_GE(rows[1].endedAtMs, rows[1].startedAtMs);
    EXPECT_GT(rows[1].startedAtMs, 1700000000000);
    ASSERT_TRUE(record->Lookup(address, info));
    EXPECT_EQ(info.state, line::RECORD_VERIFIED);
    EXPECT_EQ(info.station.port, "desk");

    for (const char* change : {"UPDATE record_history SET outcome = 'verified', reason = ''",
                               "DELETE FROM record_history"}) {
        const Lines refused = backend.Query(target, change);
        ASSERT_EQ(refused.size(), 1u) << change;
        EXPECT_NE(refused[0].find("record_history is append-only"), std::string::npos)
            << refused[0];
    }
    EXPECT_EQ(HistoryLines(*record),
              (Lines{"C0 11 22 00 00 00 failed s1 lot-7", "C0 11 22 00 00 00 verified desk "}));
}

// The next address is the first the record never handed out, from the pool's first one in the
// step's direction: an address recorded far ahead never moves the start, and is stepped over
// when the pool reaches it. A reusable failure goes out first. PeekNext tells the next address
// and how many are left, counting it, and says when none is.
TEST_P(Record, NextAddressIsTheFirstFreshOne) {
    const struct {
        int step;
        const char* first;
        const char* last;
        const char* stray;
        Lines order;
    } cases[] = {
        {1,
         "C0 11 22 00 00 01",
         "C0 11 22 00 00 05",
         "C0 11 22 00 00 03",
         {"C0 11 22 00 00 01", "C0 11 22 00 00 02", "C0 11 22 00 00 04", "C0 11 22 00 00 05"}},
        {-1,
         "C0 11 22 00 00 05",
         "C0 11 22 00 00 01",
         "C0 11 22 00 00 04",
         {"C0 11 22 00 00 05", "C0 11 22 00 00 03", "C0 11 22 00 00 02", "C0 11 22 00 00 01"}},
    };
    for (const auto& c : cases) {
        auto record = OpenNew(Pool(c.first, c.step, c.last));
        ASSERT_NE(record, nullptr);
        Burn(*record, Addr(c.stray), Verified());
        int64_t attempt = 0;
        ASSERT_TRUE(record->ReserveAddress(Addr("C0 11 22 33 44 55"), Context(), attempt));
        Lines order;
        for (uint64_t left = c.order.size(); left > 0; --left) {
            uint64_t peeked = 0, peekedLeft = 0, address = 0;
            ASSERT_TRUE(record->PeekNext(peeked, peekedLeft)) << record->LastError();
            EXPECT_EQ(peekedLeft, left) << c.first;
            ASSERT_TRUE(record->ReserveNext(Context(), address, attempt));
            EXPECT_EQ(address, peeked);
            order.push_back(AddressText(address));
            if (left == c.order.size()) {
                // The first one fails before page 0: it comes back before the pool moves on.
                ASSERT_TRUE(record->EndBurn(attempt, Failed(true)));
                ASSERT_TRUE(record->PeekNext(peeked, peekedLeft));
                EXPECT_EQ(AddressText(peeked), c.first);
                EXPECT_EQ(peekedLeft, left);
                ASSERT_TRUE(record->ReserveNext(Context(), address, attempt));
                EXPECT_EQ(AddressText(address), c.first);
            }
        }
        EXPECT_EQ(order, c.order);
        uint64_t peeked = 0, left = 0;
        EXPECT_FALSE(record->PeekNext(peeked, left));
        EXPECT_EQ(record->LastError(), std::string("address range exhausted: every address from ") +
                                           c.first + " to " + c.last + " has been handed out");
    }
}

// A station killed during its burn: the next opening writes an "abandoned" row for its chip
// and lists it (where and when: the chip needs rework); the address is never handed out again;
// a journal that later tells how the burn ended still adds that row, and the address then
// says what its chip carries. Closing a record abandons its own open reservations too.
TEST_P(Record, AbandonedBurnsAreListedAndTheirEndStillCounts) {
    target = backend.NewTarget();
    ASSERT_FALSE(target.empty());
    const int64_t attempt =
        ReserveAndDie(target, Context("s2", "lot-7"), [](line::RecordStore&, int64_t) {});
    backend.AwaitSessionsOfDeadClients();

    auto record = Open(target, Pool("C0 11 22 00 00 00"));
    ASSERT_NE(record, nullptr);
    ASSERT_EQ(record->AbandonedAtOpen().size(), 1u);
    const line::HistoryRow& abandoned = record->AbandonedAtOpen()[0];
    EXPECT_EQ(AddressText(abandoned.address), "C0 11 22 00 00 00");
    EXPECT_EQ(abandoned.attempt, attempt);
    EXPECT_EQ(abandoned.context.station.port, "s2");
    EXPECT_GT(abandoned.startedAtMs, 0);
    EXPECT_NE(abandoned.run, record->CurrentRun());
    line::AddressInfo info;
    ASSERT_TRUE(record->Lookup(abandoned.address, info));
    EXPECT_EQ(info.state, line::RECORD_ABANDONED);
    EXPECT_EQ(ReserveText(*record), "C0 11 22 00 00 01");

    EXPECT_TRUE(record->EndBurn(attempt, Verified())) << record->LastError();
    ASSERT_TRUE(record->Lookup(abandoned.address, info));
    EXPECT_EQ(info.state, line::RECORD_VERIFIED);
    record.reset();
    auto again = Open(target, Pool("C0 11 22 00 00 00"));
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->AbandonedAtOpen().empty());  // closed, not dead: already written
    EXPECT_EQ(HistoryLines(*again),
              (Lines{"C0 11 22 00 00 00 abandoned s2 lot-7", "C0 11 22 00 00 00 verified s2 lot-7",
                     "C0 11 22 00 00 01 abandoned /dev/ttyUSB0 "}));
    EXPECT_EQ(ReserveText(*again), "C0 11 22 00 00 02");
}

// The history filtered by station, lot and time, and one summary per run: its chips, the
// share verified, the failures by reason (most frequent first), and the pace over its own time.
TEST_P(Record, FiltersAndRunSummaries) {
    int64_t firstRun = 0;
    {
        auto record = OpenNew(Pool("C0 11 22 00 00 00"));
        ASSERT_NE(record, nullptr);
        firstRun = record->CurrentRun();
        const line::BurnEnd ends[] = {Verified(), Failed(false, "verify: page 3"),
                                      Failed(true, "erase: no answer"),
                                      Failed(false, "verify: page 3"), Verified()};
        for (const line::BurnEnd& end : ends) {
            uint64_t address = 0;
            int64_t attempt = 0;
            ASSERT_TRUE(record->ReserveNext(
                Context(end.outcome == line::RECORD_VERIFIED ? "s1" : "s2", "lot-7"), address,
                attempt));
            ASSERT_TRUE(record->EndBurn(attempt, end));
        }
    }
    auto record = Open(target, Pool("C0 11 22 00 00 00"));
    ASSERT_NE(record, nullptr);
    uint64_t address = 0;
    int64_t attempt = 0;
    ASSERT_TRUE(record->ReserveNext(Context("s1", "lot-8"), address, attempt));
    ASSERT_TRUE(record->EndBurn(attempt, Verified()));

    line::HistoryFilter byStation;
    byStation.station = "s1";
    EXPECT_EQ(HistoryLines(*record, byStation).size(), 3u);
    line::HistoryFilter byLot;
    byLot.lot = "lot-8";
    EXPECT_EQ(HistoryLines(*record, byLot), Lines{AddressText(address) + " verified s1 lot-8"});
    line::HistoryFilter future;
    future.sinceMs = line::NowMs() + 60000;
    EXPECT_TRUE(HistoryLines(*record, future).empty());

    std::vector<line::RunSummary> runs;
    ASSERT_TRUE(record->Runs({}, runs)) << record->LastError();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].run, firstRun);
    EXPECT_EQ(runs[0].lot, "lot-7");
    EXPECT_EQ(runs[0].goldenName, "golden.nvds");
    EXPECT_EQ(runs[0].chips, 5);
    EXPECT_EQ(runs[0].verified, 2);
    EXPECT_EQ(runs[0].failed, 3);
    EXPECT_DOUBLE_EQ(runs[0].firstPassYield, 0.4);
    EXPECT_EQ(runs[0].failuresByReason, (std::vector<std::pair<std::string, int64_t>>{
                                            {"verify: page 3", 2}, {"erase: no answer", 1}}));
    EXPECT_EQ(runs[1].run, record->CurrentRun());
    EXPECT_EQ(runs[1].chips, 1);
    EXPECT_DOUBLE_EQ(runs[1].firstPassYield, 1.0);
    for (const line::RunSummary& run : runs) {
        EXPECT_LE(run.startedAtMs, run.endedAtMs);
        if (run.endedAtMs > run.startedAtMs) {
            EXPECT_DOUBLE_EQ(run.chipsPerHour, double(run.verified) * 3600000.0 /
                                                   double(run.endedAtMs - run.startedAtMs));
        }
    }
    line::HistoryFilter secondRun;
    secondRun.run = record->CurrentRun();
    ASSERT_TRUE(record->Runs(secondRun, runs));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].lot, "lot-8");
}

// A record of the schema before the history (one address table updated in place) is brought
// up to date when it is opened for allocation: each row becomes its history row, a reservation
// that can no longer be ended is abandoned, and nothing is handed out twice. A reader refuses it.
TEST_P(Record, AddressOnlyRecordIsBroughtUpToDate) {
    target = backend.NewTarget();
    ASSERT_FALSE(target.empty());
    const std::string oldSchema[] = {
        "CREATE TABLE record_schema (version INTEGER NOT NULL)",
        "INSERT INTO record_schema VALUES (1)",
        "CREATE TABLE record_owner (id INTEGER PRIMARY KEY, host VARCHAR(255) NOT NULL)",
        "CREATE TABLE record_address (address BIGINT NOT NULL UNIQUE, address_text CHAR(17) NOT"
        " NULL, state VARCHAR(10) NOT NULL, reusable SMALLINT NOT NULL DEFAULT 0, station_host"
        " VARCHAR(255) NOT NULL, station_port VARCHAR(255) NOT NULL, owner BIGINT, reserved_at"
        " BIGINT NOT NULL, ended_at BIGINT, image_sha256 CHAR(64), seconds DOUBLE PRECISION)",
        "INSERT INTO record_address VALUES"
        " (211179817402368, 'C0 11 22 00 00 00', 'verified', 0, 'h', 'p', 1, 10, 20, '" +
            DIGEST +
            "', 1.5), (211179817402369, 'C0 11 22 00 00 01', 'failed', 1, 'h', 'p', 1, 30, 40,"
            " NULL, NULL), (211179817402370, 'C0 11 22 00 00 02', 'reserved', 0, 'h', 'q', 1,"
            " 50, NULL, NULL, NULL)"};
    for (const std::string& sql : oldSchema) {
        backend.Query(target, sql);
    }
    std::string error;
    EXPECT_EQ(line::OpenProductionRecordToRead(target, error), nullptr);
    EXPECT_EQ(error, backend.Name(target) +
                         " is a production record of schema version 1; this program knows "
                         "version 2 (opening it for allocation brings it up to date)");

    auto record = Open(target, Pool("C0 11 22 00 00 00"));
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(backend.Query(target, "SELECT version FROM record_schema"), Lines{"2"});
    EXPECT_EQ(HistoryLines(*record),
              (Lines{"C0 11 22 00 00 00 verified p ", "C0 11 22 00 00 01 failed p ",
                     "C0 11 22 00 00 02 abandoned q "}));
    EXPECT_EQ(ReserveText(*record), "C0 11 22 00 00 01");  // the reusable failure
    EXPECT_EQ(ReserveText(*record), "C0 11 22 00 00 03");
    EXPECT_NE(line::OpenProductionRecordToRead(target, error), nullptr) << error;
}

INSTANTIATE_TEST_SUITE_P(, Record, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Postgres" : "Sqlite";
                         });

}  // namespace
}  // namespace nvds::test
