#include <gtest/gtest.h>

#include "catalogue/NvdsConfig.h"

namespace nvds {
namespace {

TagDef Def(TagCoding coding, uint32_t length, uint32_t min = 0, uint32_t max = 255,
           bool lengthVariable = false) {
    TagDef def;
    def.coding = coding;
    def.length = length;
    def.min = min;
    def.max = max;
    def.lengthVariable = lengthVariable;
    return def;
}

class CheckValueTest : public ::testing::Test {
protected:
    // Runs CheckValue with the show flag set; returns the result, leaves text changed.
    int Check(std::string& text, const TagDef& def, int show = 1) {
        prompter.Clear();
        return config.CheckValue(text, def, show);
    }
    // The single message shown, or "" when none or several were shown.
    std::string Shown() const {
        auto texts = prompter.Texts();
        return texts.size() == 1 ? texts[0] : std::string();
    }

    RecordingPrompter prompter;
    CNvdsConfig config{prompter, "", ""};
};

TEST_F(CheckValueTest, HexArrayIsSpacedPaddedAndLimited) {
    const TagDef def = Def(CODING_ARRAY_HEX, 6);
    std::string text = " 112233aabbcc ";
    EXPECT_EQ(Check(text, def), 1);
    EXPECT_EQ(text, "11 22 33 AA BB CC");
    EXPECT_TRUE(prompter.shown.empty());

    text = "11 22 33";
    EXPECT_EQ(Check(text, def, 0), 1);  // the fill notice is shown even without the flag
    EXPECT_EQ(text, "11 22 33 00 00 00");
    EXPECT_EQ(Shown(),
              "The current hex length is less than force length, and 0x00 will be filled in the "
              "current data behind");

    text = "";
    EXPECT_EQ(Check(text, Def(CODING_ARRAY_HEX, 2), 0), 1);
    EXPECT_EQ(text, "00 00");

    text = "11223344556677";
    EXPECT_EQ(Check(text, def), 0);
    EXPECT_EQ(Shown(),
              "Hex array is invalid, length must be less than or equal to 6 byte, but current "
              "length is 7 byte");
    EXPECT_EQ(config.m_strError, Shown());
    EXPECT_EQ(text, "11223344556677");  // spaces stay removed after a failure

    text = "1 22";
    EXPECT_EQ(Check(text, def), 0);
    EXPECT_EQ(Shown(), "Hex array is invalid");
}

TEST_F(CheckValueTest, AsciiStringLengthDependsOnVariableFlag) {
    std::string text = "ABCDEFGH";
    EXPECT_EQ(Check(text, Def(CODING_STRING_ASCII, 8)), 1);
    EXPECT_EQ(Check(text, Def(CODING_STRING_ASCII, 8, 0, 255, true)), 1);

    text = "  abc ";
    EXPECT_EQ(Check(text, Def(CODING_STRING_ASCII, 8, 0, 255, true)), 1);
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(Check(text, Def(CODING_STRING_ASCII, 8)), 0);
    EXPECT_EQ(Shown(),
              "Ascii string is invalid, length must be equal to 8 byte, but current length is 3 "
              "byte");

    text = "ABCDEFGHI";
    EXPECT_EQ(Check(text, Def(CODING_STRING_ASCII, 8, 0, 255, true)), 0);
    EXPECT_EQ(Shown(),
              "Ascii string is invalid, length must be less than 8 byte, but current length is 9 "
              "byte");
}

TEST_F(CheckValueTest, NumberChecksRangeThenLengthThenWidth) {
    const TagDef def = Def(CODING_NUMBER, 2, 0, 0xFFFF);
    std::string text = "96";
    EXPECT_EQ(Check(text, def), 1);
    EXPECT_EQ(text, "0x60");
    EXPECT_EQ(Check(text, def), 1);
    EXPECT_EQ(text, "0x60");
    text = "none";  // no digits reads as 0
    EXPECT_EQ(Check(text, def), 1);
    EXPECT_EQ(text, "0x0");

    text = "0x10000";
    EXPECT_EQ(Check(text, def), 0);
    EXPECT_EQ(Shown(),
              "Num value is invalid, range must be: 0x0 ~ 0xFFFF, but current value is "
              "0x10000");
    text = "3";
    EXPECT_EQ(Check(text, Def(CODING_NUMBER, 2, 5, 10)), 0);
    EXPECT_EQ(Shown(), "Num value is invalid, range must be: 0x5 ~ 0xA, but current value is 0x3");

    // Range first: out of range with a bad length still reports the range.
    text = "300";
    EXPECT_EQ(Check(text, Def(CODING_NUMBER, 3, 0, 255)), 0);
    EXPECT_EQ(Shown(),
              "Num value is invalid, range must be: 0x0 ~ 0xFF, but current value is "
              "0x12C");
    text = "5";
    EXPECT_EQ(Check(text, Def(CODING_NUMBER, 3, 0, 255)), 0);
    EXPECT_EQ(Shown(), "Num Type error, current value is 0x3");
    EXPECT_EQ(Check(text, Def(CODING_NUMBER, 1, 0, 0x100)), 0);
    EXPECT_EQ(Shown(), "Num min or max too big!");
    EXPECT_EQ(Check(text, Def(CODING_NUMBER, 2, 0, 0x10000)), 0);
    EXPECT_EQ(Shown(), "Num min or max too big!");
    text = "-1";
    EXPECT_EQ(Check(text, Def(CODING_NUMBER, 4, 0, 0xFFFFFFFF)), 1);
    EXPECT_EQ(text, "0xFFFFFFFF");
}

TEST_F(CheckValueTest, BoolIgnoresCase) {
    std::string text = "true";
    EXPECT_EQ(Check(text, Def(CODING_BOOL, 1)), 1);
    EXPECT_EQ(text, "True");
    text = " FALSE ";
    EXPECT_EQ(Check(text, Def(CODING_BOOL, 1)), 1);
    EXPECT_EQ(text, "False");
    text = "yes";
    EXPECT_EQ(Check(text, Def(CODING_BOOL, 1)), 0);
    EXPECT_EQ(Shown(), "Bool value is invalid, either True or False");
}

TEST_F(CheckValueTest, BdAddrBecomesSixSpacedPairs) {
    const TagDef def = Def(CODING_BD_ADDR, 6);
    std::string text = "112233AABBCC";
    EXPECT_EQ(Check(text, def), 1);
    EXPECT_EQ(text, "11 22 33 AA BB CC");
    text = "11 22 33 aa bb cc";
    EXPECT_EQ(Check(text, def), 1);
    EXPECT_EQ(text, "11 22 33 AA BB CC");
    text = "11 22 33 AA BB";
    EXPECT_EQ(Check(text, def), 0);
    EXPECT_EQ(Shown(), "BD Addr value is invalid, length must be 6 byte");
}

TEST_F(CheckValueTest, QuietFailureKeepsMessageAndSuccessKeepsOldOne) {
    std::string text = "x";
    EXPECT_EQ(Check(text, Def(static_cast<TagCoding>(9), 1), 0), 0);
    EXPECT_TRUE(prompter.shown.empty());
    EXPECT_EQ(config.m_strError, "Unknown code: 9");
    text = "True";
    EXPECT_EQ(Check(text, Def(CODING_BOOL, 1), 0), 1);
    EXPECT_EQ(config.m_strError, "Unknown code: 9");
}

TEST(FindTextInList, SubstringIgnoringCase) {
    auto find = [](const std::string& text) {
        return CNvdsConfig::FindTextInList(CODING_NAMES, CODING_COUNT, text);
    };
    EXPECT_EQ(find("Number"), 2);
    EXPECT_EQ(find("NUM"), 2);
    EXPECT_EQ(find("hex"), 0);
    EXPECT_EQ(find("ascii"), 1);
    EXPECT_EQ(find("bool"), 3);
    EXPECT_EQ(find("addr"), 4);
    EXPECT_EQ(find("a"), 0);
    EXPECT_EQ(find(""), 0);
    EXPECT_EQ(find("int"), -1);
    EXPECT_EQ(CNvdsConfig::FindTextInList(BOOL_TEXTS, 2, "TRUE"), 1);
    EXPECT_EQ(CNvdsConfig::FindTextInList(BOOL_TEXTS, 2, "false"), 0);
}

TEST(ClearTagRange, OnlyMarksOfTheRangeChange) {
    TagTable table;
    for (auto& entry : table) {
        entry.mark = TAG_ENTRY_MARK;
        entry.def.label = "old";
    }
    CNvdsConfig::ClearTagRange(TAGDB_USER, table);
    EXPECT_TRUE(table[0].IsDefined());
    EXPECT_TRUE(table[99].IsDefined());
    EXPECT_FALSE(table[100].IsDefined());
    EXPECT_FALSE(table[254].IsDefined());
    EXPECT_EQ(table[254].def.label, "old");
    CNvdsConfig::ClearTagRange(static_cast<TagDbKind>(7), table);
    EXPECT_TRUE(table[1].IsDefined());
    CNvdsConfig::ClearTagRange(TAGDB_SYSTEM, table);
    EXPECT_TRUE(table[0].IsDefined());
    EXPECT_FALSE(table[1].IsDefined());
    EXPECT_FALSE(table[99].IsDefined());
    CNvdsConfig::ClearTagRange(TAGDB_ALL, table);
    EXPECT_FALSE(table[0].IsDefined());
}

}  // namespace
}  // namespace nvds
