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

TEST(RecordCommand, ListsEveryRowAndTheSummary) {
    ScratchFolder scratch;
    const std::string path = scratch.Path("line.db");
    auto record = OpenRecord(path, Pool("C0 11 22 00 00 00"));
    uint64_t a[5] = {};
    for (uint64_t& address : a) {
        ASSERT_TRUE(record->Reserve(STATION, address));
    }
    ASSERT_TRUE(record->MarkVerified(a[0], ABC_DIGEST, 12.5));
    ASSERT_TRUE(record->MarkFailed(a[1], true));
    ASSERT_TRUE(record->MarkFailed(a[2], false));
    ASSERT_TRUE(record->MarkVerified(a[4], std::string(64, 'F'), 13.25));
    {
        auto other = OpenRecord(path, Pool("C0 11 22 00 00 05"));
        uint64_t address = 0;
        ASSERT_TRUE(other->Reserve(STATION, address));  // abandoned when closed
    }
    // Fixed times (milliseconds after t0) over the real ones; 03 has not ended.
    const int64_t t0 = 1765000000000;
    const int64_t times[6][2] = {{0, 30000},  {20000, 25000}, {40000, 45000},
                                 {60000, -1}, {60500, 90000}, {70000, 75000}};
    for (uint64_t i = 0; i < 6; ++i) {
        Sql(path, "UPDATE record_address SET reserved_at = " + std::to_string(t0 + times[i][0]) +
                      (times[i][1] < 0 ? "" : ", ended_at = " + std::to_string(t0 + times[i][1])) +
                      " WHERE address = " + std::to_string(a[0] + i));
    }

    // Times are UTC whatever the zone of the machine.
    const ToolRun run = RunNvds("record '" + path + "'", "", "TZ=JST-9");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const std::string station = "\tbench1:/dev/ttyUSB0\t";
    EXPECT_EQ(run.out,
              "C0 11 22 00 00 00\tverified" + station +
                  "2025-12-06T05:46:40Z\t2025-12-06T05:47:10Z\t" + ABC_DIGEST + "\t12.50\n" +
                  "C0 11 22 00 00 01\tfailed (reusable)" + station +
                  "2025-12-06T05:47:00Z\t2025-12-06T05:47:05Z\t\t\n" + "C0 11 22 00 00 02\tfailed" +
                  station + "2025-12-06T05:47:20Z\t2025-12-06T05:47:25Z\t\t\n" +
                  "C0 11 22 00 00 03\treserved" + station + "2025-12-06T05:47:40Z\t\t\t\n" +
                  "C0 11 22 00 00 04\tverified" + station +
                  "2025-12-06T05:47:40Z\t2025-12-06T05:48:10Z\t" + std::string(64, 'f') +
                  "\t13.25\n" + "C0 11 22 00 00 05\tabandoned" + station +
                  "2025-12-06T05:47:50Z\t2025-12-06T05:47:55Z\t\t\n" +
                  "summary\tverified 2\tfailed 2\tabandoned 1\treserved 1\t80.0 chips per hour\n");

    const ToolRun json = RunNvds("record --json '" + path + "'");
    EXPECT_EQ(json.exitCode, 0) << json.err;
    std::istringstream lines(json.out);
    std::vector<nlohmann::json> objects;
    for (std::string line; std::getline(lines, line);) {
        objects.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(objects.size(), 7u);
    EXPECT_EQ(objects[0], nlohmann::json::parse(R"({"address":"C0 11 22 00 00 00",
        "value":211179817402368,"state":"verified","reusable":false,"host":"bench1",
        "port":"/dev/ttyUSB0","reservedAt":"2025-12-06T05:46:40Z","endedAt":"2025-12-06T05:47:10Z",
        "imageSha256":")" + ABC_DIGEST + R"(","seconds":12.5})"));
    EXPECT_EQ(objects[3]["endedAt"], nullptr);
    EXPECT_EQ(objects[1]["reusable"], true);
    EXPECT_EQ(objects[6], nlohmann::json::parse(R"({"summary":{"verified":2,"failed":2,
        "abandoned":1,"reserved":1,"chipsPerHour":80.0}})"));
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
        {scratch.Path(""), scratch.Path("") + " is not a production record (not a file)\n"},
    };
    for (const Case& c : cases) {
        const ToolRun run = RunNvds("record '" + c.file + "'");
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, c.error);
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_EQ(RunNvds("record").exitCode, 2);
}

}  // namespace
}  // namespace nvds::test
