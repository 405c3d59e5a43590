#include <gtest/gtest.h>

#include <vector>

#include "catalogue/NumberText.h"
#include "catalogue/ValueCodec.h"

namespace nvds {
namespace {

std::vector<uint8_t> ToBytes(TagCoding coding, const std::string& text, uint32_t length) {
    std::vector<uint8_t> buffer(length + 8, 0xEE);
    int n = TextToBytes(coding, text, buffer.data(), length);
    if (n < 0) {
        return {0xDE, 0xAD};  // no valid value has this form in these tests
    }
    buffer.resize(static_cast<size_t>(n));
    return buffer;
}

std::string ToText(TagCoding coding, const std::vector<uint8_t>& bytes) {
    std::string text = "stale";
    int n = BytesToText(coding, bytes.data(), static_cast<uint32_t>(bytes.size()), text);
    return n < 0 ? "<fail>" : text;
}

const std::vector<uint8_t> kFail = {0xDE, 0xAD};

TEST(NumberText, ReadsLikeStrtoulOn32Bits) {
    EXPECT_EQ(StrToUl32("96"), 96u);
    EXPECT_EQ(StrToUl32("0x60"), 0x60u);
    EXPECT_EQ(StrToUl32("010"), 8u);
    EXPECT_EQ(StrToUl32("08"), 0u);  // octal stops at 8
    EXPECT_EQ(StrToUl32("0x"), 0u);
    EXPECT_EQ(StrToUl32("  12abc"), 12u);
    EXPECT_EQ(StrToUl32("abc"), 0u);
    EXPECT_EQ(StrToUl32("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(StrToUl32("-4294967295"), 1u);
    EXPECT_EQ(StrToUl32("4294967296"), 0xFFFFFFFFu);
    EXPECT_EQ(StrToUl32("-99999999999"), 0xFFFFFFFFu);
    EXPECT_EQ(StrToUl32("G1", 16), 0u);
    EXPECT_EQ(StrToUl32("1G", 16), 1u);
    EXPECT_EQ(StrToUl32("0xfF", 16), 0xFFu);
}

TEST(ValueCodec, HexArrayPairsInTextOrder) {
    EXPECT_EQ(ToBytes(CODING_ARRAY_HEX, " 11 22 3A ", 3), (std::vector<uint8_t>{0x11, 0x22, 0x3A}));
    EXPECT_EQ(ToBytes(CODING_ARRAY_HEX, "11 22", 3), kFail);   // too few pairs
    EXPECT_EQ(ToBytes(CODING_ARRAY_HEX, "11 223", 3), kFail);  // odd digit count
    // Pairs are read only up to their first non-hex character.
    EXPECT_EQ(ToBytes(CODING_ARRAY_HEX, "G1 1G", 2), (std::vector<uint8_t>{0x00, 0x01}));
    EXPECT_EQ(ToText(CODING_ARRAY_HEX, {0x0A, 0xFF, 0x00}), "0A FF 00");
    EXPECT_EQ(ToText(CODING_ARRAY_HEX, {}), "");
}

TEST(ValueCodec, AsciiStringStopsAtZeroAndRespectsLength) {
    EXPECT_EQ(ToBytes(CODING_STRING_ASCII, "  AB ", 8), (std::vector<uint8_t>{'A', 'B'}));
    EXPECT_EQ(ToBytes(CODING_STRING_ASCII, "ABCDE", 4), kFail);
    EXPECT_EQ(ToText(CODING_STRING_ASCII, {0x41, 0x42, 0x00, 0x43, 0x44}), "AB");
    EXPECT_EQ(ToText(CODING_STRING_ASCII, {' ', 'x', ' '}), "x");
}

TEST(ValueCodec, NumbersAreLittleEndianOfTheirLength) {
    EXPECT_EQ(ToBytes(CODING_NUMBER, "0x1234", 2), (std::vector<uint8_t>{0x34, 0x12}));
    EXPECT_EQ(ToBytes(CODING_NUMBER, "0x1234", 4), (std::vector<uint8_t>{0x34, 0x12, 0, 0}));
    EXPECT_EQ(ToBytes(CODING_NUMBER, "0x1234", 1), (std::vector<uint8_t>{0x34}));  // cut
    EXPECT_EQ(ToBytes(CODING_NUMBER, "1", 3), kFail);
    EXPECT_EQ(ToText(CODING_NUMBER, {0x78, 0x56, 0x34, 0x12}), "0x12345678");
    EXPECT_EQ(ToText(CODING_NUMBER, {0x00, 0x00}), "0x0");
    EXPECT_EQ(ToText(CODING_NUMBER, {1, 2, 3}), "<fail>");
}

TEST(ValueCodec, BoolNeedsCanonicalTextAndByte) {
    EXPECT_EQ(ToBytes(CODING_BOOL, "True", 1), (std::vector<uint8_t>{1}));
    EXPECT_EQ(ToBytes(CODING_BOOL, "False", 1), (std::vector<uint8_t>{0}));
    EXPECT_EQ(ToBytes(CODING_BOOL, "true", 1), kFail);
    EXPECT_EQ(ToBytes(CODING_BOOL, "True", 2), kFail);
    EXPECT_EQ(ToText(CODING_BOOL, {1}), "True");
    EXPECT_EQ(ToText(CODING_BOOL, {2}), "<fail>");
    EXPECT_EQ(ToText(CODING_BOOL, {0, 0}), "<fail>");
}

TEST(ValueCodec, BdAddrIsReversedBothWays) {
    const std::vector<uint8_t> bytes = {0xCC, 0xBB, 0xAA, 0x33, 0x22, 0x11};
    EXPECT_EQ(ToBytes(CODING_BD_ADDR, "11 22 33 AA BB CC", 6), bytes);
    EXPECT_EQ(ToBytes(CODING_BD_ADDR, "112233AABBCC", 6), bytes);
    EXPECT_EQ(ToText(CODING_BD_ADDR, bytes), "11 22 33 AA BB CC");
    EXPECT_EQ(ToBytes(CODING_BD_ADDR, "11 22 33 AA BB", 6), kFail);
    EXPECT_EQ(ToBytes(CODING_BD_ADDR, "11 22 33 AA BB CC", 5), kFail);
    EXPECT_EQ(ToText(CODING_BD_ADDR, {1, 2, 3, 4, 5}), "<fail>");
}

TEST(ValueCodec, UnknownCodingFailsAndResultIsTextLength) {
    uint8_t buffer[4] = {};
    EXPECT_EQ(TextToBytes(static_cast<TagCoding>(5), "00", buffer, 1), -1);
    std::string text = "stale";
    EXPECT_EQ(BytesToText(static_cast<TagCoding>(5), buffer, 1, text), -1);
    EXPECT_EQ(BytesToText(CODING_ARRAY_HEX, buffer, 2, text), 5);  // "00 00"
}

}  // namespace
}  // namespace nvds
