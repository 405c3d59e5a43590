#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "image/BuildImage.h"
#include "image/CheckImage.h"
#include "image/NvdsArea.h"

namespace nvds {
namespace {

void Define(TagTable& table, uint32_t code, TagCoding coding, uint32_t length, bool variable,
            const std::string& value, uint32_t max = 0xFFFFFFFF) {
    TagEntry& entry = table[code];
    entry.mark = TAG_ENTRY_MARK;
    entry.tag = code;
    entry.def.coding = coding;
    entry.def.length = length;
    entry.def.lengthVariable = variable;
    entry.def.max = max;
    entry.def.show = true;
    entry.def.defaultText = "default";
    entry.valueText = value;
}

// A small catalogue: device name, a two-byte number, a bool, a device address.
TagTable SampleTable() {
    TagTable table;
    Define(table, 2, CODING_STRING_ASCII, 8, true, "abc");
    Define(table, 5, CODING_NUMBER, 2, false, "0x123", 0x3F0);
    Define(table, 6, CODING_BOOL, 1, false, "True");
    Define(table, 9, CODING_BD_ADDR, 6, false, "00 01 02 03 04 05");
    return table;
}

std::vector<uint8_t> Bytes(const NvdsImage& image, size_t from, size_t to) {
    return std::vector<uint8_t>(image.begin() + from, image.begin() + to);
}

TEST(BuildImage, WritesEntriesInCodeOrderWithPaddingAndFiller) {
    TagTable table = SampleTable();
    table[6].def.show = false;  // hidden tags are built too
    NvdsImage image{};
    std::string error;
    ASSERT_EQ(BuildImage(table, image, error), 1);
    EXPECT_EQ(error, "");
    const std::vector<uint8_t> expected = {
        'N', 'V',  'D', 'S',                          //
        2,   0x06, 4,   0,   'a',  'b',  'c',  0,     // device name with its zero
        5,   0x06, 2,   0,   0x23, 0x01, 0xFF, 0xFF,  // little-endian number
        6,   0x06, 1,   0,   1,    0xFF, 0xFF, 0xFF,  //
        9,   0x06, 6,   0,   5,    4,    3,    2,    1, 0, 0xFF, 0xFF};  // address reversed
    EXPECT_EQ(Bytes(image, 0, expected.size()), expected);
    for (size_t i = expected.size(); i < NVDS_IMAGE_SIZE; ++i) {
        ASSERT_EQ(image[i], 0xFF) << i;
    }

    table[6].valueText = "Maybe";
    EXPECT_EQ(BuildImage(table, image, error), 0);
    EXPECT_EQ(error, "Tag=6 data is invalid, please modify it!");
}

TEST(CheckImage, ReportsEveryBadTagInOrderAndResetsIt) {
    TagTable table = SampleTable();
    Define(table, 12, CODING_NUMBER, 1, false, "0x1");
    Define(table, 13, CODING_ARRAY_HEX, 4, true, "");
    Define(table, 130, CODING_BOOL, 1, false, "False");
    table[130].def.show = false;
    NvdsImage image = ErasedImage();
    const std::vector<uint8_t> entries = {
        2,   0x06, 0, 0,                          // variable length 0: wraps to 65535
        5,   0x06, 2, 0, 0xFF, 0x03, 0xFF, 0xFF,  // 0x3FF above max 0x3F0
        6,   0x02, 1, 0, 1,    0xFF, 0xFF, 0xFF,  // superseded ...
        6,   0x06, 1, 0, 2,    0xFF, 0xFF, 0xFF,  // ... current one is not a Bool
        9,   0x06, 5, 0, 1,    2,    3,    4,    5, 0xFF, 0xFF, 0xFF,  // five of six address bytes
        13,  0x06, 3, 0, 0xAB, 0xCD, 0,    0xFF,   // two of four bytes: filled, with a notice
        130, 0x06, 1, 0, 7,    0xFF, 0xFF, 0xFF};  // hidden: neither read nor reset
    std::memcpy(image.data(), "NVDS", 4);
    std::memcpy(image.data() + 4, entries.data(), entries.size());
    table[130].valueText = "kept";
    const ImageCheck check = CheckImage(table, image);
    ASSERT_EQ(check.result, 1);
    const std::string filled =
        "The current hex length is less than force length, and 0x00 will be filled in the "
        "current data behind";
    EXPECT_EQ(table[13].valueText, "AB CD 00 00");
    // The notice comes first, then the one report; a file that is no image says only why.
    const std::vector<std::string> messages = check.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], filled);
    EXPECT_EQ(messages[1],
              "Find error on target NVDS: \n\n"
              "Tag=2: length is invalid, must be less or equal than 8 byte, but current value is "
              "65535 byte!   \n"
              "Tag=  5: Num value is invalid, range must be: 0x0 ~ 0x3F0, but current value is "
              "0x3FF   \n"
              "Tag=  6: coding is invalid!   \n"
              "Tag=9: length is invalid, must be equal to 6 byte, but current value is 5 byte!   \n"
              "Tag= 12: can not find this tag!   \n"
              "\nThese tags will be reset to default value!");
    for (uint32_t code : {2u, 5u, 6u, 9u, 12u}) {
        EXPECT_EQ(table[code].valueText, "default") << code;
    }
    EXPECT_EQ(table[130].valueText, "kept");
    NvdsImage erased = ErasedImage();
    EXPECT_EQ(CheckImage(table, erased).Messages(), std::vector<std::string>{});
    EXPECT_EQ(CheckDumpedImage(table, erased).Messages(),
              std::vector<std::string>{"Target NVDS data is error!"});
}

// The length rule at its edges: a variable-length value may use its whole length plus the
// terminator and not one byte more; a fixed-length one must match exactly.
TEST(CheckImage, LengthRuleAtTheBoundaries) {
    struct Case {
        bool variable;
        uint16_t stored;     // L in the entry
        std::string report;  // "" when the value is taken
        const char* value;
    };
    auto report = [](const char* rule, int length) {
        return "Tag=4: length is invalid, must be " + std::string(rule) + " 4 byte, but current " +
               "value is " + std::to_string(length) + " byte!";
    };
    const Case cases[] = {
        {true, 5, "", "abcd"},  // n == length
        {true, 6, report("less or equal than", 5), "default"},
        {true, 1, "", ""},  // the terminator alone
        {true, 0, report("less or equal than", 65535), "default"},
        {false, 4, "", "abcd"},
        {false, 5, report("equal to", 5), "default"},
        {false, 3, report("equal to", 3), "default"},
    };
    for (const Case& c : cases) {
        TagTable table;
        Define(table, 4, CODING_STRING_ASCII, 4, c.variable, "before");
        NvdsImage image = ErasedImage();
        const uint8_t entry[] = {4,   0x06, static_cast<uint8_t>(c.stored), 0, 'a', 'b', 'c', 'd',
                                 'e', 'f'};
        std::memcpy(image.data(), "NVDS", 4);
        std::memcpy(image.data() + 4, entry, 4 + c.stored);
        const ImageCheck check = CheckImage(table, image);
        ASSERT_EQ(check.result, 1);
        const std::vector<std::string> expected =
            !c.report.empty()
                ? std::vector<std::string>{"Find error on target NVDS: \n\n" + c.report +
                                           "   \n\nThese tags will be reset to default "
                                           "value!"}
                : std::vector<std::string>{};
        EXPECT_EQ(check.Messages(), expected) << c.variable << " " << c.stored;
        EXPECT_EQ(table[4].valueText, c.value) << c.variable << " " << c.stored;
    }
}

}  // namespace
}  // namespace nvds
