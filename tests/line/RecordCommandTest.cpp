#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "common/NvdsRun.h"
#include "line/RecordScratch.h"

namespace nvds::test {
namespace {

const std::string ABC_DIGEST = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

// A record with a fixed history: two runs, three attempts, times at three UTC offsets, a
// reason with a comma and quotes, a station name with an escape sequence.
std::string FixedRecord(const ScratchFolder& scratch) {
    const std::string path = scratch.Path("line.db");
    Open(path, Pool("C0 11 22 00 00 00"));
    const std::string t0 = "1765000000000";
    Sql(path,
        "INSERT INTO record_history (id, attempt, run, address, address_text, outcome, reusable,"
        " station_host, station_name, lot, golden_name, golden_sha256, started_at, ended_at,"
        " utc_offset, image_sha256, reason, seconds) VALUES"
        " (1, 1, 1, 211179817402368, 'C0 11 22 00 00 00', 'verified', 0, 'bench1', 's1', 'lot-7',"
        " 'golden.nvds', '" +
            std::string(64, 'c') + "', " + t0 + ", " + t0 + " + 30000, 60, '" + ABC_DIGEST +
            "', '', 12.5),"
            " (2, 2, 1, 211179817402369, 'C0 11 22 00 00 01', 'failed', 0, 'bench1', 's2',"
            " 'lot-7', 'golden.nvds', '', " +
            t0 + " + 20000, " + t0 +
            " + 25000, -330, '', 'verify: page 3, offset 0x12 \"x\"', 5),"
            " (3, 3, 2, 211179817402370, 'C0 11 22 00 00 02', 'failed', 1, 'bench2',"
            " 's' || char(27) || '[2J', 'a\"b', '', '', " +
            t0 + " + 60000, " + t0 + " + 90000, 0, '', 'erase: no answer', 30)");
    Sql(path,
        "INSERT INTO record_address (address, address_text, state, reusable, station_host,"
        " station_port, reserved_at, ended_at) VALUES"
        " (211179817402368, 'C0 11 22 00 00 00', 'verified', 0, 'bench1', 's1', " +
            t0 + ", " + t0 +
            " + 30000),"
            " (211179817402369, 'C0 11 22 00 00 01', 'failed', 0, 'bench1', 's2', " +
            t0 + " + 20000, " + t0 +
            " + 25000),"
            " (211179817402370, 'C0 11 22 00 00 02', 'failed', 1, 'bench2', 's', " +
            t0 + " + 60000, " + t0 + " + 90000)");
    return path;
}

// The history under a header line, each time at the offset its host had and every text with
// its control characters escaped, then one line per run and the counts per state.
TEST(RecordCommand, ListsTheHistoryTheRunsAndTheSummary) {
    ScratchFolder scratch;
    const std::string path = FixedRecord(scratch);
    const ToolRun run = RunNvds("record '" + path + "'", "", "TZ=JST-9");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              "address\toutcome\tstation\tlot\tstarted\tended\tgolden\timage sha256\tseconds\t"
              "reason\n"
              "C0 11 22 00 00 00\tverified\tbench1:s1\tlot-7\t2025-12-06T06:46:40+01:00\t"
              "2025-12-06T06:47:10+01:00\tgolden.nvds\t" +
                  ABC_DIGEST +
                  "\t12.50\t\n"
                  "C0 11 22 00 00 01\tfailed\tbench1:s2\tlot-7\t2025-12-06T00:17:00-05:30\t"
                  "2025-12-06T00:17:05-05:30\tgolden.nvds\t\t5.00\tverify: page 3, offset 0x12 "
                  "\"x\"\n"
                  "C0 11 22 00 00 02\tfailed (reusable)\tbench2:s\\x1B[2J\ta\"b\t"
                  "2025-12-06T05:47:40+00:00\t2025-12-06T05:48:10+00:00\t\t\t30.00\terase: no "
                  "answer\n"
                  "run 1\tbench1\tlot lot-7\t2025-12-06T05:46:40Z\t2025-12-06T05:47:10Z\tchips 2\t"
                  "verified 1\tfailed 1\tabandoned 0\tyield 50.0%\t120.0 chips per hour\tverify: "
                  "page 3, offset 0x12 \"x\" (1)\n"
                  "run 2\tbench2\tlot a\"b\t2025-12-06T05:47:40Z\t2025-12-06T05:48:10Z\tchips 1\t"
                  "verified 0\tfailed 1\tabandoned 0\tyield 0.0%\t0.0 chips per hour\terase: no "
                  "answer (1)\n"
                  "summary\tverified 1\tfailed 2\tabandoned 0\treserved 0\t120.0 chips per hour\n");

    const ToolRun csv = RunNvds("record --csv '" + path + "'");
    EXPECT_EQ(csv.exitCode, 0) << csv.err;
    EXPECT_EQ(csv.out,
              "id,attempt,run,address,outcome,reusable,host,station,lot,started,ended,golden_name,"
              "golden_sha256,image_sha256,seconds,reason\r\n"
              "1,1,1,C0 11 22 00 00 00,verified,0,bench1,s1,lot-7,2025-12-06T06:46:40+01:00,"
              "2025-12-06T06:47:10+01:00,golden.nvds," +
                  std::string(64, 'c') + "," + ABC_DIGEST +
                  ",12.50,\r\n"
                  "2,2,1,C0 11 22 00 00 01,failed,0,bench1,s2,lot-7,2025-12-06T00:17:00-05:30,"
                  "2025-12-06T00:17:05-05:30,golden.nvds,,,5.00,\"verify: page 3, offset 0x12 "
                  "\"\"x\"\"\"\r\n"
                  "3,3,2,C0 11 22 00 00 02,failed,1,bench2,s\x1b[2J,\"a\"\"b\","
                  "2025-12-06T05:47:40+00:00,2025-12-06T05:48:10+00:00,,,,30.00,erase: no "
                  "answer\r\n");

    const ToolRun json = RunNvds("record --json '" + path + "'");
    EXPECT_EQ(json.exitCode, 0) << json.err;
    std::istringstream lines(json.out);
    std::vector<nlohmann::json> objects;
    for (std::string line; std::getline(lines, line);) {
        objects.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(objects.size(), 4u);
    EXPECT_EQ(objects[0], nlohmann::json::parse(R"({"address":"C0 11 22 00 00 00",
        "value":211179817402368,"state":"verified","reusable":false,"host":"bench1",
        "port":"s1","reservedAt":"2025-12-06T05:46:40Z","endedAt":"2025-12-06T05:47:10Z",
        "imageSha256":null,"seconds":null})"));
    EXPECT_EQ(objects[3], nlohmann::json::parse(R"({"summary":{"verified":1,"failed":2,
        "abandoned":0,"reserved":0,"chipsPerHour":120.0}})"));
}

// Each filter narrows the history and the runs; a time without an offset is local time; a
// time that is not one is a usage error.
TEST(RecordCommand, FiltersByStationLotAndTime) {
    ScratchFolder scratch;
    const std::string path = FixedRecord(scratch);
    auto addresses = [](const std::string& out) {
        std::vector<std::string> found;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("C0 ", 0) == 0 || line.rfind("run ", 0) == 0) {
                found.push_back(line.substr(0, line.find('\t')));
            }
        }
        return found;
    };
    const struct {
        std::string args;
        std::string env;
        std::vector<std::string> lines;
    } cases[] = {
        {"--station s2", "", {"C0 11 22 00 00 01", "run 1"}},
        {"--lot 'a\"b'", "", {"C0 11 22 00 00 02", "run 2"}},
        {"--since 2025-12-06T05:47:30Z", "", {"C0 11 22 00 00 02", "run 2"}},
        {"--since 2025-12-06T06:47:06+01:00",
         "",
         {"C0 11 22 00 00 00", "C0 11 22 00 00 02", "run 1", "run 2"}},
        {"--since '2025-12-06 14:47:06'",
         "TZ=JST-9",
         {"C0 11 22 00 00 00", "C0 11 22 00 00 02", "run 1", "run 2"}},
        {"--since 2025-12-07 --lot lot-7", "TZ=UTC", {}},
    };
    for (const auto& c : cases) {
        const ToolRun run = RunNvds("record " + c.args + " '" + path + "'", "", c.env);
        EXPECT_EQ(run.exitCode, 0) << c.args << run.err;
        EXPECT_EQ(addresses(run.out), c.lines) << c.args;
    }
    for (const char* since : {"2025-13-01", "2025-12-06T25:00", "yesterday", "2025-12-06Z+01"}) {
        const ToolRun run = RunNvds("record --since '" + std::string(since) + "' '" + path + "'");
        EXPECT_EQ(run.exitCode, 2) << since;
        EXPECT_EQ(run.out, "");
    }
}

// The command reads records only: anything else is refused with exit 1, and a missing file is
// not created.
TEST(RecordCommand, RefusesWhatIsNotARecord) {
    ScratchFolder scratch;
    const std::string text = scratch.Path("notes.txt");
    std::ofstream(text) << "C0 11 22 33 44 55 verified\n";
    const std::string foreign = scratch.Path("parts.db");
    Sql(foreign, "CREATE TABLE parts (name TEXT)");
    const std::string missing = scratch.Path("missing.db");
    struct Case {
        std::string file;
        std::string error;
    };
    const Case cases[] = {
        {missing, "cannot open production record " + missing + ": no such file\n"},
        {text, text + " is not a production record (not an SQLite database)\n"},
        {foreign, foreign + " is not a production record (no schema version)\n"},
    };
    for (const Case& c : cases) {
        const ToolRun run = RunNvds("record '" + c.file + "'");
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, c.error);
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_EQ(RunNvds("record").exitCode, 2);
    const ToolRun folder = RunNvds("record '" + scratch.Path("") + "'");
    EXPECT_EQ(folder.exitCode, 2);
    EXPECT_EQ(folder.err, "the production record " + scratch.Path("") + " is not a regular file\n");
}

}  // namespace
}  // namespace nvds::test
