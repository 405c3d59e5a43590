// The record of a burn whose address the desktop window chose itself, and the look-up of one
// address before such a burn, against real record files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "line/RecordScratch.h"

namespace nvds::test {
namespace {

using line::AddressValue;

const std::string UPPER_DIGEST = "ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789";

// Whatever the row said before, a recorded burn leaves one verified row per address with the
// burn's station, digest and duration, and the pool never hands that address out again: not
// when it was a reusable failure, not when it lies ahead; the pool still starts at its first
// fresh address and steps over the recorded one.
TEST(RecordWindowBurn, RecordedAddressesAreVerifiedAndNeverHandedOut) {
    ScratchFolder scratch;
    const std::string path = scratch.Path("window.db");
    const line::Station window{"desk", "UART(chip)"};
    {
        auto record = OpenRecord(path, Pool("C0 11 22 33 44 00"));
        ASSERT_EQ(ReserveText(*record), "C0 11 22 33 44 00");
        ASSERT_TRUE(record->MarkFailed(AddressValue("C0 11 22 33 44 00"), true));

        EXPECT_TRUE(
            record->RecordBurn(AddressValue("C0 11 22 33 44 00"), window, UPPER_DIGEST, 1.5));
        EXPECT_TRUE(record->RecordBurn(AddressValue("C0 11 22 33 44 05"), window, DIGEST, 2));
        EXPECT_TRUE(record->RecordBurn(AddressValue("AA BB CC DD EE FF"), window, DIGEST, 3));
        // The same address burned again: still one row, now with the second burn's values.
        EXPECT_TRUE(record->RecordBurn(AddressValue("C0 11 22 33 44 05"), STATION,
                                       std::string(64, 'b'), 4));
        for (const char* next : {"01", "02", "03", "04", "06"}) {
            EXPECT_EQ(ReserveText(*record), std::string("C0 11 22 33 44 ") + next);
        }
    }
    EXPECT_EQ(States(path), (std::vector<std::string>{
                                "AA BB CC DD EE FF verified", "C0 11 22 33 44 00 verified",
                                "C0 11 22 33 44 01 abandoned", "C0 11 22 33 44 02 abandoned",
                                "C0 11 22 33 44 03 abandoned", "C0 11 22 33 44 04 abandoned",
                                "C0 11 22 33 44 05 verified", "C0 11 22 33 44 06 abandoned"}));
    EXPECT_EQ(Sql(path,
                  "SELECT station_host || ' ' || station_port || ' ' || image_sha256 || ' ' ||"
                  " seconds FROM record_address WHERE address_text LIKE 'C0 11 22 33 44 0_'"
                  " AND state = 'verified' ORDER BY address"),
              (std::vector<std::string>{
                  "desk UART(chip) "
                  "abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789 1.5",
                  "bench1 /dev/ttyUSB0 " + std::string(64, 'b') + " 4.0"}));

    // A reopened pool goes on after the recorded addresses too.
    auto again = OpenRecord(path, Pool("C0 11 22 33 44 00"));
    EXPECT_EQ(ReserveText(*again), "C0 11 22 33 44 07");
}

// The look-up answers each state; false means "no row" only while LastError() is empty, even
// right after another call failed, and a record that cannot be read says so.
TEST(RecordWindowBurn, StateOfTellsAMissingRowFromAFailedLookUp) {
    ScratchFolder scratch;
    const std::string path = scratch.Path("window.db");
    {
        auto dying = OpenRecord(path, Pool("00 00 00 00 00 10"));
        ASSERT_EQ(ReserveText(*dying), "00 00 00 00 00 10");  // abandoned when it closes
    }
    auto record = OpenRecord(path, Pool("00 00 00 00 00 20"));
    ASSERT_EQ(ReserveText(*record), "00 00 00 00 00 20");
    ASSERT_EQ(ReserveText(*record), "00 00 00 00 00 21");
    ASSERT_TRUE(record->MarkFailed(AddressValue("00 00 00 00 00 21"), false));
    ASSERT_TRUE(record->RecordBurn(AddressValue("00 00 00 00 00 30"), STATION, DIGEST, 1));

    const struct {
        const char* address;
        line::RecordState state;
    } rows[] = {{"00 00 00 00 00 10", line::RECORD_ABANDONED},
                {"00 00 00 00 00 20", line::RECORD_RESERVED},
                {"00 00 00 00 00 21", line::RECORD_FAILED},
                {"00 00 00 00 00 30", line::RECORD_VERIFIED}};
    for (const auto& row : rows) {
        line::RecordState state = line::RECORD_RESERVED;
        EXPECT_TRUE(record->StateOf(AddressValue(row.address), state)) << row.address;
        EXPECT_EQ(state, row.state) << row.address;
    }

    EXPECT_FALSE(record->RecordBurn(AddressValue("00 00 00 00 00 31"), STATION, "xyz", 1));
    EXPECT_EQ(record->LastError(), "image hash must be 64 hex digits: \"xyz\"");
    line::RecordState state = line::RECORD_VERIFIED;
    EXPECT_FALSE(record->StateOf(AddressValue("00 00 00 00 00 31"), state));
    EXPECT_EQ(record->LastError(), "");

    auto reader = std::make_unique<line::SqliteRecord>();
    ASSERT_TRUE(reader->OpenToRead(path)) << reader->LastError();
    EXPECT_FALSE(reader->RecordBurn(AddressValue("00 00 00 00 00 31"), STATION, DIGEST, 1));
    EXPECT_EQ(reader->LastError(), "production record " + path + " is not open for allocation");

    Sql(path, "DROP TABLE record_address");
    EXPECT_FALSE(record->StateOf(AddressValue("00 00 00 00 00 30"), state));
    EXPECT_EQ(record->LastError(), "production record " + path + ": no such table: record_address");
}

}  // namespace
}  // namespace nvds::test
