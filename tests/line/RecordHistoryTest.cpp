// The record's history, allocation and runs, every scenario on both back ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "line/RecordBackend.h"
#include "line/RecordShared.h"

namespace nvds::test {
namespace {

using line::AddressText;
using line::AddressValue;

line::BurnContext Context(const std::string& station, const std::string& lot = "lot-7") {
    return {{"bench1", station}, lot, "golden.nvds", std::string(64, 'C')};
}

line::BurnEnd Verified(const std::string& digest = DIGEST) {
    line::BurnEnd end;
    end.outcome = line::RECORD_VERIFIED;
    end.imageSha256 = digest;
    end.seconds = 2.5;
    return end;
}

line::BurnEnd Failed(const std::string& reason, bool reusable) {
    line::BurnEnd end;
    end.outcome = line::RECORD_FAILED;
    end.reusable = reusable;
    end.reason = reason;
    end.seconds = 1;
    return end;
}

// "address outcome station lot" for every history row, oldest first.
std::vector<std::string> HistoryLines(line::ProductionRecord& record,
                                      const line::HistoryFilter& filter = {}) {
    std::vector<line::HistoryRow> rows;
    EXPECT_TRUE(record.History(filter, rows)) << record.LastError();
    std::vector<std::string> lines;
    for (const line::HistoryRow& row : rows) {
        lines.push_back(AddressText(row.address) + " " + line::RecordStateName(row.outcome) + " " +
                        row.context.station.port + " " + row.context.lot);
    }
    return lines;
}

class RecordHistory : public ::testing::TestWithParam<bool> {
protected:
    Backend backend{GetParam()};
};

// Every attempt is a row of its own with where, what and how it ended; a second burn of an
// address keeps the first one's row; the rows cannot be changed or deleted, even from outside;
// ending an attempt again with the same outcome is a replay that adds nothing.
TEST_P(RecordHistory, EveryAttemptIsARowThatIsNeverChanged) {
    const std::string target = backend.NewTarget();
    ASSERT_FALSE(target.empty());
    auto record = Open(target, Pool("C0 11 22 00 00 00"));
    ASSERT_NE(record, nullptr);
    uint64_t address = 0;
    int64_t first = 0, second = 0;
    ASSERT_TRUE(record->ReserveNext(Context("s1"), address, first)) << record->LastError();
    ASSERT_TRUE(record->EndBurn(first, Failed("verify: page 3 offset 0x12", false)));
    ASSERT_TRUE(record->ReserveAddress(address, Context("desk", ""), second));
    line::AddressInfo info;
    ASSERT_TRUE(record->Lookup(address, info));
    EXPECT_TRUE(info.known && info.state == line::RECORD_RESERVED && info.liveReservation);
    ASSERT_TRUE(record->EndBurn(second, Verified(std::string(64, 'E'))));
    EXPECT_TRUE(record->EndBurn(second, Verified(std::string(64, 'E'))));  // a replay
    EXPECT_FALSE(record->EndBurn(second, Failed("late", true)));
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
    EXPECT_EQ(rows[0].context.station.port, "s1");
    EXPECT_EQ(rows[0].context.lot, "lot-7");
    EXPECT_EQ(rows[0].context.goldenName, "golden.nvds");
    EXPECT_EQ(rows[0].context.goldenSha256, std::string(64, 'c'));
    EXPECT_EQ(rows[1].outcome, line::RECORD_VERIFIED);
    EXPECT_EQ(rows[1].imageSha256, std::string(64, 'e'));
    EXPECT_EQ(rows[1].seconds, 2.5);
    EXPECT_EQ(rows[1].context.station.port, "desk");
    EXPECT_GE(rows[1].endedAtMs, rows[1].startedAtMs);
    EXPECT_GT(rows[1].startedAtMs, 1700000000000);
    ASSERT_TRUE(record->Lookup(address, info));
    EXPECT_EQ(info.state, line::RECORD_VERIFIED);
    EXPECT_EQ(info.station.port, "desk");
    EXPECT_TRUE(line::MayBeOnChip(info));

    for (const char* change : {"UPDATE record_history SET outcome = 'verified', reason = ''",
                               "DELETE FROM record_history"}) {
        const std::vector<std::string> refused = backend.Query(target, change);
        ASSERT_EQ(refused.size(), 1u) << change;
        EXPECT_NE(refused[0].find("record_history is append-only"), std::string::npos)
            << refused[0];
    }
    EXPECT_EQ(HistoryLines(*record),
              (std::vector<std::string>{"C0 11 22 00 00 00 failed s1 lot-7",
                                        "C0 11 22 00 00 00 verified desk "}));
}

// The next address is the first the record never handed out, from the pool's first one in the
// step's direction: an address recorded far ahead never moves the start, and is stepped over
// when the pool reaches it. A reusable failure goes out first. PeekNext tells the next address
// and how many are left, counting it, and says when none is.
TEST_P(RecordHistory, NextAddressIsTheFirstFreshOne) {
    struct Case {
        int step;
        const char* first;
        const char* last;
        const char* stray;
        std::vector<std::string> order;
    };
    const Case cases[] = {
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
    for (const Case& c : cases) {
        const std::string target = backend.NewTarget();
        ASSERT_FALSE(target.empty());
        auto record = Open(target, Pool(c.first, c.step, c.last));
        ASSERT_NE(record, nullptr);
        int64_t attempt = 0;
        ASSERT_TRUE(record->ReserveAddress(AddressValue(c.stray), Context("desk"), attempt));
        ASSERT_TRUE(record->EndBurn(attempt, Verified()));
        ASSERT_TRUE(
            record->ReserveAddress(AddressValue("C0 11 22 33 44 55"), Context("desk"), attempt));
        std::vector<std::string> order;
        for (uint64_t left = c.order.size(); left > 0; --left) {
            uint64_t peeked = 0, peekedLeft = 0, address = 0;
            ASSERT_TRUE(record->PeekNext(peeked, peekedLeft)) << record->LastError();
            EXPECT_EQ(peekedLeft, left) << c.first;
            ASSERT_TRUE(record->ReserveNext(Context("s1"), address, attempt));
            EXPECT_EQ(address, peeked);
            order.push_back(AddressText(address));
            if (left == c.order.size()) {
                // The first one fails before page 0: it comes back before the pool moves on.
                ASSERT_TRUE(record->EndBurn(attempt, Failed("erase: no answer", true)));
                ASSERT_TRUE(record->PeekNext(peeked, peekedLeft));
                EXPECT_EQ(AddressText(peeked), c.first);
                EXPECT_EQ(peekedLeft, left);
                ASSERT_TRUE(record->ReserveNext(Context("s1"), address, attempt));
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
TEST_P(RecordHistory, AbandonedBurnsAreListedAndTheirEndStillCounts) {
    const std::string target = backend.NewTarget();
    ASSERT_FALSE(target.empty());
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    if (child == 0) {
        std::string error;
        auto record = line::OpenProductionRecord(target, Pool("C0 11 22 00 00 00"), error);
        uint64_t address = 0;
        int64_t attempt = 0;
        if (record && record->ReserveNext(Context("s2"), address, attempt) &&
            write(fds[1], &attempt, sizeof(attempt)) == sizeof(attempt)) {
            raise(SIGKILL);
        }
        _exit(3);
    }
    close(fds[1]);
    int64_t attempt = 0;
    ASSERT_EQ(read(fds[0], &attempt, sizeof(attempt)), ssize_t(sizeof(attempt)));
    close(fds[0]);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
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
    EXPECT_TRUE(line::MayBeOnChip(info));
    EXPECT_EQ(ReserveText(*record), "C0 11 22 00 00 01");

    EXPECT_TRUE(record->EndBurn(attempt, Verified())) << record->LastError();
    ASSERT_TRUE(record->Lookup(abandoned.address, info));
    EXPECT_EQ(info.state, line::RECORD_VERIFIED);
    record.reset();
    auto again = Open(target, Pool("C0 11 22 00 00 00"));
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->AbandonedAtOpen().empty());  // closed, not dead: already written
    EXPECT_EQ(HistoryLines(*again),
              (std::vector<std::string>{"C0 11 22 00 00 00 abandoned s2 lot-7",
                                        "C0 11 22 00 00 00 verified s2 lot-7",
                                        "C0 11 22 00 00 01 abandoned /dev/ttyUSB0 "}));
    EXPECT_EQ(ReserveText(*again), "C0 11 22 00 00 02");
}

// The history filtered by station, lot and time, and one summary per run: its chips, the
// share verified, the failures by reason (most frequent first), and the pace over its own time.
TEST_P(RecordHistory, FiltersAndRunSummaries) {
    const std::string target = backend.NewTarget();
    ASSERT_FALSE(target.empty());
    int64_t firstRun = 0;
    {
        auto record = Open(target, Pool("C0 11 22 00 00 00"));
        ASSERT_NE(record, nullptr);
        firstRun = record->CurrentRun();
        const line::BurnEnd ends[] = {Verified(), Failed("verify: page 3", false),
                                      Failed("erase: no answer", true),
                                      Failed("verify: page 3", false), Verified()};
        for (const line::BurnEnd& end : ends) {
            uint64_t address = 0;
            int64_t attempt = 0;
            ASSERT_TRUE(record->ReserveNext(
                Context(end.outcome == line::RECORD_VERIFIED ? "s1" : "s2"), address, attempt));
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
    EXPECT_EQ(HistoryLines(*record, byLot),
              std::vector<std::string>{AddressText(address) + " verified s1 lot-8"});
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
TEST_P(RecordHistory, AddressOnlyRecordIsBroughtUpToDate) {
    const std::string target = backend.NewTarget();
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
            std::string(64, 'a') +
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
    EXPECT_EQ(backend.Query(target, "SELECT version FROM record_schema"),
              std::vector<std::string>{"2"});
    EXPECT_EQ(HistoryLines(*record), (std::vector<std::string>{"C0 11 22 00 00 00 verified p ",
                                                               "C0 11 22 00 00 01 failed p ",
                                                               "C0 11 22 00 00 02 abandoned q "}));
    EXPECT_EQ(ReserveText(*record), "C0 11 22 00 00 01");  // the reusable failure
    EXPECT_EQ(ReserveText(*record), "C0 11 22 00 00 03");
    EXPECT_NE(line::OpenProductionRecordToRead(target, error), nullptr) << error;
}

INSTANTIATE_TEST_SUITE_P(, RecordHistory, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Postgres" : "Sqlite";
                         });

}  // namespace
}  // namespace nvds::test
