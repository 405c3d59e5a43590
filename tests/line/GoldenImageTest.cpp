// The golden image a line burns: refused when the station's catalogue would change it, and
// burned byte for byte with only the device address's value replaced; the journal of
// outcomes that wait for the record.

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "catalogue/NvdsConfig.h"
#include "image/BuildImage.h"
#include "image/ImageFile.h"
#include "image/NvdsArea.h"
#include "line/OutcomeJournal.h"
#include "line/RecordScratch.h"
#include "line/Station.h"
#include "platform/AtomicFile.h"
#include "platform/Prompter.h"
#include "platform/Sha256.h"

namespace nvds {
namespace {

class GoldenImageTest : public ::testing::Test {
protected:
    GoldenImageTest() : m_config(m_prompter, "zbkey_db.xml", "userkey_db.xml") {
        EXPECT_EQ(m_config.LoadTagDb("zbkey_db.xml", m_table), 1);
        EXPECT_EQ(m_config.LoadTagDb("userkey_db.xml", m_table), 1);
    }

    NvdsImage Defaults(TagTable table) {
        NvdsImage image = ErasedImage();
        std::string invalid;
        EXPECT_EQ(BuildImage(table, image, invalid), 1) << invalid;
        return image;
    }

    std::string Write(const std::string& name, const uint8_t* data, size_t size) {
        std::string path = m_scratch.Path(name);
        EXPECT_TRUE(WriteFileAtomically(path, data, size));
        return path;
    }

    // Loads the image as a golden image; the error, or "" when it was taken.
    std::string Refusal(const NvdsImage& image) {
        line::GoldenImage golden;
        std::string error;
        std::string path = Write("golden.nvds", image.data(), image.size());
        return golden.Load(path, m_table, error) ? "" : error;
    }

    test::ScratchFolder m_scratch;
    RecordingPrompter m_prompter;
    CNvdsConfig m_config;
    TagTable m_table{};
};

// Every way the catalogue would change the image is refused with the tag named; a file that is
// no image gets the message "Open..." shows.
TEST_F(GoldenImageTest, RefusesWhatTheCatalogueWouldChange) {
    const std::string intro =
        "golden.nvds: the station's catalogue would change this golden image:";
    NvdsImage good = Defaults(m_table);
    EXPECT_EQ(Refusal(good), "");

    NvdsImage unknown = good;
    const uint8_t value[2] = {0x11, 0x22};
    NvdsArea(unknown).PutTag(110, 2, value);
    EXPECT_EQ(Refusal(unknown),
              m_scratch.Path(intro) + "\n  Tag=110: not defined in the station's catalogue");

    NvdsImage outOfRange = good;
    const uint8_t trim = 0xFF;
    NvdsArea(outOfRange).PutTag(3, 1, &trim);
    std::string error = Refusal(outOfRange);
    EXPECT_NE(error.find(intro + "\n  Tag=  3: "), std::string::npos) << error;
    EXPECT_EQ(error.find("reset to default"), std::string::npos) << error;

    TagTable withoutAddress = m_table;
    withoutAddress[1].mark = 0;
    error = Refusal(Defaults(withoutAddress));
    EXPECT_NE(error.find("Tag=1: the device address is missing"), std::string::npos) << error;

    NvdsImage shortAddress = good;
    const uint8_t four[4] = {1, 2, 3, 4};
    NvdsArea(shortAddress).PutTag(1, 4, four);
    error = Refusal(shortAddress);
    EXPECT_NE(error.find("Tag=1: the device address has 4 bytes, must have 6"), std::string::npos)
        << error;

    NvdsImage runsOff = good;
    runsOff[NVDS_FIRST_ENTRY + 2] = 0xF0;  // the first entry's length leads past the area
    runsOff[NVDS_FIRST_ENTRY + 3] = 0xFF;
    error = Refusal(runsOff);
    EXPECT_NE(error.find("runs past the end of the area"), std::string::npos) << error;

    NvdsImage noMagic = good;
    noMagic[0] = 'X';
    line::GoldenImage golden;
    std::string path = Write("nomagic.nvds", noMagic.data(), noMagic.size());
    EXPECT_FALSE(golden.Load(path, m_table, error));
    EXPECT_EQ(error, path + ": " + ImageFileMessage(ImageFileResult::NotImage));
    EXPECT_FALSE(golden.Build(1, noMagic, error));
}

// The chip's image is the golden file's bytes, superseded entries, a hex value shorter than
// its tag and a short file's erased end included, with only the six address bytes replaced
// (last pair first); the digest is the file's own. The short value's notice is kept.
TEST_F(GoldenImageTest, BuildsTheGoldenBytesWithOnlyTheAddressReplaced) {
    m_table[24].def.lengthVariable = true;
    NvdsImage image = Defaults(m_table);
    const uint8_t trims[2] = {0x21, 0x22};
    const uint8_t irk[3] = {0xAB, 0xCD, 0};  // two of sixteen bytes, then the terminator
    NvdsArea area(image);
    area.PutTag(3, 1, &trims[0]);
    area.PutTag(3, 1, &trims[1]);  // the first one stays, superseded
    area.PutTag(24, 3, irk);
    uint32_t end = 0;
    EntryHeader header;
    ASSERT_EQ(area.FindTag(0xFE, end, header), NVDS_NOT_FOUND);
    const size_t size = end + 1;  // the file stops just after the end marker
    std::string path = Write("short.nvds", image.data(), size);

    line::GoldenImage golden;
    std::string error;
    ASSERT_TRUE(golden.Load(path, m_table, error)) << error;
    EXPECT_EQ(golden.Name(), "short.nvds");
    EXPECT_EQ(golden.Sha256(), Sha256Hex(image.data(), size));
    EXPECT_EQ(golden.Notices(),
              std::vector<std::string>{"The current hex length is less than force length, and 0x00 "
                                       "will be filled in the current data behind"});

    NvdsImage built;
    ASSERT_TRUE(golden.Build(0xC0112233445A, built, error));
    uint32_t position = 0;
    ASSERT_EQ(NvdsArea(image).FindTag(1, position, header), NVDS_OK);
    const uint32_t value = position + NVDS_HEADER_SIZE;
    const uint8_t expected[6] = {0x5A, 0x44, 0x33, 0x22, 0x11, 0xC0};
    for (uint32_t i = 0; i < NVDS_IMAGE_SIZE; ++i) {
        if (i >= value && i < value + 6) {
            EXPECT_EQ(built[i], expected[i - value]) << i;
        } else {
            EXPECT_EQ(built[i], image[i]) << i;
        }
    }
    EXPECT_EQ(line::AddressOnImage(built), 0xC0112233445Au);
    built[0] = 0xFF;
    EXPECT_EQ(line::AddressOnImage(built), std::nullopt);
    EXPECT_EQ(line::AddressOnImage(ErasedImage()), std::nullopt);
}

// Entries survive the round trip with tabs and line ends in the reason; a last line cut short
// by a crash and damaged lines are skipped; an empty journal is removed.
TEST(OutcomeJournalTest, KeepsEntriesAndSkipsDamagedLines) {
    test::ScratchFolder scratch;
    const std::string path = scratch.Path("state/sub/journal");
    line::OutcomeJournal journal(path);
    line::JournalEntry first;
    first.attempt = 41;
    first.address = 0xC01122000001;
    first.end.outcome = line::RECORD_VERIFIED;
    first.end.imageSha256 = std::string(64, 'a');
    first.end.seconds = 1.25;
    line::JournalEntry second;
    second.attempt = 42;
    second.address = 0xC01122000002;
    second.end.outcome = line::RECORD_FAILED;
    second.end.reusable = true;
    second.end.reason = "page 3\tof 16:\nno answer \\ in time";
    std::string error;
    ASSERT_TRUE(journal.Add(first, error)) << error;
    ASSERT_TRUE(journal.Add(second, error)) << error;
    {
        std::ofstream out(path, std::ios::app);
        out << "43\tC01122000003\tabandoned\t0\t\t0.000\t\n";  // not an outcome a burn ends with
        out << "44\tC01122000004\tfailed\t0\t\t0.500\tpage 3 of";  // cut short
    }
    std::vector<line::JournalEntry> entries;
    ASSERT_TRUE(journal.Load(entries, error)) << error;
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].attempt, 41);
    EXPECT_EQ(entries[0].address, 0xC01122000001u);
    EXPECT_EQ(entries[0].end.outcome, line::RECORD_VERIFIED);
    EXPECT_EQ(entries[0].end.imageSha256, first.end.imageSha256);
    EXPECT_DOUBLE_EQ(entries[0].end.seconds, 1.25);
    EXPECT_EQ(entries[1].end.reason, second.end.reason);
    EXPECT_TRUE(entries[1].end.reusable);

    ASSERT_TRUE(journal.Store({entries[1]}, error)) << error;
    ASSERT_TRUE(journal.Load(entries, error));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].attempt, 42);
    ASSERT_TRUE(journal.Store({}, error));
    ASSERT_TRUE(journal.Load(entries, error));
    EXPECT_TRUE(entries.empty());

    // Attempt numbers are one record's own: two records never share a journal.
    const std::string a = line::DefaultJournalPath("line.db");
    EXPECT_NE(a, line::DefaultJournalPath("other/line.db"));
    EXPECT_NE(a, line::DefaultJournalPath());
    EXPECT_EQ(a, line::DefaultJournalPath("line.db"));
    EXPECT_EQ(a.substr(0, a.rfind('/')), line::DefaultJournalPath().substr(0, a.rfind('/')));
}

}  // namespace
}  // namespace nvds
