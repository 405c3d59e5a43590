#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/NvdsRun.h"
#include "line/RecordScratch.h"

namespace nvds::test {
namespace {

using line::AddressValue;

// The step moves the lower three pairs only: the pool ends at its last address or at the end
// of the lower half, never carrying into (or borrowing from) the upper three pairs.
TEST(RecordAllocation, StepsThroughThePoolAndStopsAtItsEnd) {
    struct Case {
        const char* first;
        int step;
        const char* last;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"C0 11 22 33 44 FE",
         1,
         "",
         {"C0 11 22 33 44 FE", "C0 11 22 33 44 FF", "C0 11 22 33 45 00"}},
        {"C0 11 22 FF FF FE",
         1,
         "",
         {"C0 11 22 FF FF FE", "C0 11 22 FF FF FF",
          "error: address range exhausted: every address from C0 11 22 FF FF FE to C0 11 22 FF FF "
          "FF has been handed out"}},
        {"AA BB CC 00 00 01",
         -1,
         "",
         {"AA BB CC 00 00 01", "AA BB CC 00 00 00",
          "error: address range exhausted: every address from AA BB CC 00 00 01 to AA BB CC 00 00 "
          "00 has been handed out"}},
        {"00 11 22 33 44 50",
         1,
         "00 11 22 33 44 51",
         {"00 11 22 33 44 50", "00 11 22 33 44 51",
          "error: address range exhausted: every address from 00 11 22 33 44 50 to 00 11 22 33 44 "
          "51 has been handed out"}},
    };
    for (const Case& c : cases) {
        ScratchFolder scratch;
        auto record = OpenRecord(scratch.Path("line.db"), Pool(c.first, c.step, c.last));
        std::vector<std::string> got;
        for (size_t i = 0; i < c.expected.size(); ++i) {
            got.push_back(ReserveText(*record));
        }
        EXPECT_EQ(got, c.expected) << c.first << " step " << c.step << " last " << c.last;
    }
}

// A failure before page 0 was programmed leaves no valid image, so its address goes out again
// before the pool moves on; any other failure, a verified chip and a dead station's
// reservation keep their addresses for good, also across a reopen.
TEST(RecordAllocation, OnlyReusableFailuresComeBack) {
    ScratchFolder scratch;
    const std::string path = scratch.Path("line.db");
    {
        auto record = OpenRecord(path, Pool("C0 00 00 00 00 00"));
        uint64_t a[5] = {};
        for (uint64_t& address : a) {
            ASSERT_TRUE(record->Reserve(STATION, address)) << record->LastError();
        }
        ASSERT_TRUE(record->MarkFailed(a[0], false));
        ASSERT_TRUE(record->MarkFailed(a[1], true));
        ASSERT_TRUE(record->MarkVerified(a[2], DIGEST, 1.5));
        ASSERT_TRUE(record->MarkFailed(a[3], true));
        // a[4] stays reserved: closing the record abandons it.
        EXPECT_EQ(ReserveText(*record), "C0 00 00 00 00 01");
        EXPECT_EQ(ReserveText(*record), "C0 00 00 00 00 03");
        EXPECT_EQ(ReserveText(*record), "C0 00 00 00 00 05");
    }
    auto record = OpenRecord(path, Pool("C0 00 00 00 00 00"));
    EXPECT_EQ(ReserveText(*record), "C0 00 00 00 00 06");
    EXPECT_EQ(States(path), (std::vector<std::string>{
                                "C0 00 00 00 00 00 failed", "C0 00 00 00 00 01 abandoned",
                                "C0 00 00 00 00 02 verified", "C0 00 00 00 00 03 abandoned",
                                "C0 00 00 00 00 04 abandoned", "C0 00 00 00 00 05 abandoned",
                                "C0 00 00 00 00 06 reserved"}));
    // Ending an address twice, or one this process does not hold, changes nothing.
    EXPECT_FALSE(record->MarkVerified(AddressValue("C0 00 00 00 00 02"), DIGEST, 1));
    EXPECT_EQ(record->LastError(), "address C0 00 00 00 00 02 is not reserved by this process");
    EXPECT_FALSE(record->MarkFailed(AddressValue("C0 00 00 00 00 04"), true));
    EXPECT_EQ(record->LastError(), "address C0 00 00 00 00 04 is not reserved by this process");
    EXPECT_EQ(ReserveText(*record), "C0 00 00 00 00 07");
}

// Going down, the reusable address nearest the pool's start comes first; one that belongs to
// another pool (another upper half) is never taken.
TEST(RecordAllocation, ReusableAddressesStayInTheirPool) {
    ScratchFolder scratch;
    const std::string path = scratch.Path("line.db");
    auto down = OpenRecord(path, Pool("C0 00 00 00 00 10", -1));
    uint64_t a[3] = {};
    for (uint64_t& address : a) {
        ASSERT_TRUE(down->Reserve(STATION, address));
        ASSERT_TRUE(down->MarkFailed(address, true));
    }
    auto other = OpenRecord(path, Pool("D0 00 00 00 00 10", -1));
    EXPECT_EQ(ReserveText(*other), "D0 00 00 00 00 10");
    EXPECT_EQ(ReserveText(*down), "C0 00 00 00 00 10");
    EXPECT_EQ(ReserveText(*down), "C0 00 00 00 00 0F");
    EXPECT_EQ(ReserveText(*down), "C0 00 00 00 00 0E");
    EXPECT_EQ(ReserveText(*down), "C0 00 00 00 00 0D");
}

// What a server target that cannot be reached reports: the database and the server.
std::string Unreachable(const std::string& db, const std::string& port) {
    return "cannot reach the production record server (database \"" + db +
           "\" on /nonexistent:" + port +
           "): connection to server on socket \"/nonexistent/.s.PGSQL." + port +
           "\" failed: No such file or directory \tIs the server running locally and accepting "
           "connections on that socket?";
}

// The record keeps one schema version row; a file of another version and another SQLite
// database are refused with a clear text, and nothing is changed; a server target goes to the
// server, never to a file of that name.
TEST(RecordAllocation, SchemaVersionAndForeignTargets) {
    ScratchFolder scratch;
    const std::string path = scratch.Path("line.db");
    OpenRecord(path, Pool("C0 00 00 00 00 00"));
    EXPECT_EQ(Sql(path, "SELECT version FROM record_schema"), std::vector<std::string>{"2"});
    OpenRecord(path, Pool("C0 00 00 00 00 00"));
    EXPECT_EQ(Sql(path, "SELECT version FROM record_schema"), std::vector<std::string>{"2"});

    Sql(path, "UPDATE record_schema SET version = 3");
    const std::string foreign = scratch.Path("other.db");
    Sql(foreign, "CREATE TABLE parts (name TEXT)");
    struct Case {
        std::string target;
        std::string error;
    };
    const Case cases[] = {
        {path, path + " is a production record of schema version 3; this program knows version 2"},
        {foreign, foreign + " is not a production record (no schema version)"},
        {"postgresql:///record?host=/nonexistent", Unreachable("record", "5432")},
        {"postgres:///other?host=/nonexistent&port=5999", Unreachable("other", "5999")},
        {"host=/nonexistent dbname=record", Unreachable("record", "5432")},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(line::OpenProductionRecord(c.target, Pool("C0 00 00 00 00 00"), error), nullptr);
        EXPECT_EQ(error, c.error);
        error.clear();
        EXPECT_EQ(line::OpenProductionRecordToRead(c.target, error), nullptr);
        EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(Sql(foreign, "SELECT name FROM sqlite_master"), std::vector<std::string>{"parts"});
    EXPECT_FALSE(std::filesystem::exists("host=/nonexistent dbname=record"));
}

// A last address that the lower-half step can never reach is refused when the pool is opened.
TEST(RecordAllocation, RefusesAPoolWhoseLastAddressIsOutOfReach) {
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
// while checking, and both commands refuse such a target as a usage error.
TEST(RecordAllocation, TargetsThatDoNotLastAreRefused) {
    ScratchFolder scratch;
    const std::string existing = scratch.Path("line.db");
    OpenRecord(existing, Pool("C0 00 00 00 00 00"));
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

    std::ofstream(scratch.Path("golden.nvds")) << "not read: the record is checked first";
    for (const std::string& target : {std::string(""), std::string("file::memory:")}) {
        const ToolRun line = RunNvds("line --image '" + scratch.Path("golden.nvds") +
                                     "' --port /dev/nonexistent --first-address 'C0 11 22 00 00 "
                                     "01' --record '" +
                                     target + "'");
        EXPECT_EQ(line.exitCode, 2) << target;
        EXPECT_NE(line.err.find("the production record "), std::string::npos) << line.err;
        EXPECT_EQ(line.err.find("nonexistent"), std::string::npos) << line.err;
        const ToolRun record = RunNvds("record '" + target + "'");
        EXPECT_EQ(record.exitCode, 2) << target;
    }
    EXPECT_FALSE(std::filesystem::exists(scratch.Path("new.db")));
    EXPECT_FALSE(std::filesystem::exists("new.db"));
}

// Another program's database (or any other file) is refused before anything is written: its
// bytes and the folder around it are as they were, with no journal or side file.
TEST(RecordAllocation, ForeignFileIsLeftAsItWas) {
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
        std::string path;
        std::string error;
    } cases[] = {
        {foreign, foreign + " is not a production record (no schema version)"},
        {text, text + " is not a production record (not an SQLite database)"},
    };
    for (const auto& c : cases) {
        const std::string bytes = read(c.path);
        std::string error;
        EXPECT_EQ(line::OpenProductionRecord(c.path, Pool("C0 00 00 00 00 00"), error), nullptr);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(read(c.path), bytes) << c.path;
        EXPECT_EQ(listing(), namesBefore) << c.path;
    }
}

}  // namespace
}  // namespace nvds::test
