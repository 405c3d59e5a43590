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

TEST(CheckValue, NormalisesOrExplainsPerCoding) {
    const std::string fill =
        "The current hex length is less than force length, and 0x00 will be filled in the "
        "current data behind";
    struct Case {
        TagDef def;
        const char* input;
        int result;
        const char* text;  // text afterwards: canonical, or as far as the check got
        std::string message;
    };
    const TagDef hex6 = Def(CODING_ARRAY_HEX, 6);
    const TagDef num16 = Def(CODING_NUMBER, 2, 0, 0xFFFF);
    const TagDef fixed8 = Def(CODING_STRING_ASCII, 8);
    const TagDef variable8 = Def(CODING_STRING_ASCII, 8, 0, 255, true);
    const TagDef byte = Def(CODING_NUMBER, 1, 0x10, 0xF0);
    const TagDef word = Def(CODING_NUMBER, 2, 0x100, 0xFF00);
    const TagDef wide = Def(CODING_NUMBER, 4, 0x10000, 0xFFFFFFFE);
    const TagDef widest = Def(CODING_NUMBER, 4, 0, 0xFFFFFFFF);
    auto range = [](const char* min, const char* max, const char* value) {
        return std::string("Num value is invalid, range must be: ") + min + " ~ " + max +
               ", but current value is " + value;
    };
    const std::vector<Case> cases = {
        {hex6, " 112233aabbcc ", 1, "11 22 33 AA BB CC", ""},
        {hex6, "11 22 33", 1, "11 22 33 00 00 00", fill},
        {Def(CODING_ARRAY_HEX, 2), "", 1, "00 00", fill},
        {hex6, "11223344556677", 0, "11223344556677",
         "Hex array is invalid, length must be less than or equal to 6 byte, but current length "
         "is 7 byte"},
        {hex6, "1 22", 0, "122", "Hex array is invalid"},
        {fixed8, "ABCDEFGH", 1, "ABCDEFGH", ""},
        {variable8, "  abc ", 1, "abc", ""},
        {fixed8, "  abc ", 0, "abc",
         "Ascii string is invalid, length must be equal to 8 byte, but current length is 3 byte"},
        {fixed8, "ABCDEFGHI", 0, "ABCDEFGHI",
         "Ascii string is invalid, length must be equal to 8 byte, but current length is 9 byte"},
        {variable8, "ABCDEFGH", 1, "ABCDEFGH", ""},
        {variable8, "ABCDEFGHI", 0, "ABCDEFGHI",
         "Ascii string is invalid, length must be less than 8 byte, but current length is 9 "
         "byte"},
        {num16, "96", 1, "0x60", ""},
        {num16, "none", 1, "0x0", ""},
        // Each width at its range's ends and one past them.
        {byte, "0xF", 0, "0xF", range("0x10", "0xF0", "0xF")},
        {byte, "0x10", 1, "0x10", ""},
        {byte, "0xF0", 1, "0xF0", ""},
        {byte, "0xF1", 0, "0xF1", range("0x10", "0xF0", "0xF1")},
        {word, "0xFF", 0, "0xFF", range("0x100", "0xFF00", "0xFF")},
        {word, "0x100", 1, "0x100", ""},
        {word, "0xFF00", 1, "0xFF00", ""},
        {word, "0xFF01", 0, "0xFF01", range("0x100", "0xFF00", "0xFF01")},
        {wide, "0xFFFF", 0, "0xFFFF", range("0x10000", "0xFFFFFFFE", "0xFFFF")},
        {wide, "0x10000", 1, "0x10000", ""},
        {wide, "0xFFFFFFFE", 1, "0xFFFFFFFE", ""},
        {wide, "0xFFFFFFFF", 0, "0xFFFFFFFF", range("0x10000", "0xFFFFFFFE", "0xFFFFFFFF")},
        // With max 0xFFFFFFFF there is no max + 1: a wider text reads as 0xFFFFFFFF, the
        // largest value, and passes; min - 1 is written -1 and wraps to that value too.
        {widest, "0xFFFFFFFF", 1, "0xFFFFFFFF", ""},
        {widest, "0x100000000", 1, "0xFFFFFFFF", ""},
        {widest, "-1", 1, "0xFFFFFFFF", ""},
        {num16, "-1", 0, "-1", range("0x0", "0xFFFF", "0xFFFFFFFF")},
        {num16, "0x10000", 0, "0x10000",
         "Num value is invalid, range must be: 0x0 ~ 0xFFFF, but current value is 0x10000"},
        {Def(CODING_NUMBER, 2, 5, 10), "3", 0, "3",
         "Num value is invalid, range must be: 0x5 ~ 0xA, but current value is 0x3"},
        {Def(CODING_NUMBER, 3), "300", 0, "300",  // range before length
         "Num value is invalid, range must be: 0x0 ~ 0xFF, but current value is 0x12C"},
        {Def(CODING_NUMBER, 3), "5", 0, "5", "Num Type error, current value is 0x3"},
        {Def(CODING_NUMBER, 1, 0, 0x100), "5", 0, "5", "Num min or max too big!"},
        {Def(CODING_NUMBER, 2, 0, 0x10000), "5", 0, "5", "Num min or max too big!"},
        {Def(CODING_BOOL, 1), "TRUE", 1, "True", ""},
        {Def(CODING_BOOL, 1), " false", 1, "False", ""},
        {Def(CODING_BOOL, 1), "yes", 0, "yes", "Bool value is invalid, either True or False"},
        {Def(CODING_BD_ADDR, 6), "11 22 33 aa bb cc", 1, "11 22 33 AA BB CC", ""},
        {Def(CODING_BD_ADDR, 6), "11 22 33 AA BB", 0, "112233AABB",
         "BD Addr value is invalid, length must be 6 byte"},
        {Def(static_cast<TagCoding>(9), 1), "x", 0, "x", "Unknown code: 9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        std::string text = c.input;
        const ValueCheck check = CNvdsConfig::ValidateValue(text, c.def);
        EXPECT_EQ(check.Ok(), c.result == 1);
        EXPECT_EQ(text, c.text);
        // A valid text may carry the fill notice; an invalid one carries only its error.
        EXPECT_EQ(check.error, c.result ? "" : c.message);
        EXPECT_EQ(check.notice, c.result ? c.message : "");

        // The windows' CheckValue shows it; without the show flag only the fill notice.
        RecordingPrompter prompter;
        CNvdsConfig config(prompter, "", "");
        text = c.input;
        EXPECT_EQ(config.CheckValue(text, c.def, 1), c.result);
        EXPECT_EQ(prompter.Texts(), c.message.empty() ? std::vector<std::string>{}
                                                      : std::vector<std::string>{c.message});
        prompter.Clear();
        text = c.input;
        config.CheckValue(text, c.def, 0);
        EXPECT_EQ(prompter.Texts().size(), c.message == fill ? 1u : 0u);
    }
}

}  // namespace
}  // namespace nvds
