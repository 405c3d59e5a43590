#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "catalogue/NvdsConfig.h"
#include "catalogue/ValueCodec.h"

namespace nvds {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(ValueCodec, ConvertsEachCodingBothWays) {
    struct Case {
        TagCoding coding;
        const char* text;  // canonical, so BytesToText gives it back
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {CODING_ARRAY_HEX, "0A FF 00", {0x0A, 0xFF, 0x00}},
        {CODING_STRING_ASCII, "AB", {'A', 'B'}},
        {CODING_NUMBER, "0x1234", {0x34, 0x12}},
        {CODING_NUMBER, "0x1234", {0x34, 0x12, 0x00, 0x00}},
        {CODING_BOOL, "True", {1}},
        {CODING_BD_ADDR, "11 22 33 AA BB CC", {0xCC, 0xBB, 0xAA, 0x33, 0x22, 0x11}},
    };
    for (const Case& c : cases) {
        Bytes buffer(c.bytes.size());
        const uint32_t n = static_cast<uint32_t>(c.bytes.size());
        EXPECT_EQ(TextToBytes(c.coding, c.text, buffer.data(), n), static_cast<int>(n));
        EXPECT_EQ(buffer, c.bytes) << c.text;
        std::string text;
        EXPECT_EQ(BytesToText(c.coding, c.bytes.data(), n, text), static_cast<int>(strlen(c.text)));
        EXPECT_EQ(text, c.text);
    }
}

TEST(ValueCodec, OddInputs) {
    uint8_t buf[8] = {};
    std::string text;
    EXPECT_EQ(TextToBytes(CODING_BOOL, "true", buf, 1), -1);  // only the canonical text
    EXPECT_EQ(TextToBytes(CODING_ARRAY_HEX, "11 22", buf, 3), -1);
    EXPECT_EQ(TextToBytes(CODING_NUMBER, "1", buf, 3), -1);
    EXPECT_EQ(BytesToText(CODING_BOOL, buf + 7, 2, text), -1);
    // Pairs are read up to their first non-hex character; numbers are cut to their length.
    EXPECT_EQ(TextToBytes(CODING_ARRAY_HEX, " G1 1G ", buf, 2), 2);
    EXPECT_EQ(TextToBytes(CODING_NUMBER, "0x1234", buf + 2, 1), 1);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{0x00, 0x01, 0x34}));
    const Bytes ascii = {0x41, 0x42, 0x00, 0x43, 0x44};
    EXPECT_EQ(BytesToText(CODING_STRING_ASCII, ascii.data(), 5, text), 2);
    EXPECT_EQ(text, "AB");
}

TEST(ValueCodec, EachCodingAtItsLengthAndOnePast) {
    struct ToBytes {
        TagCoding coding;
        const char* text;
        uint32_t length;
        int result;
    };
    // clang-format off
    const std::vector<ToBytes> toBytes = {
        {CODING_ARRAY_HEX, "11 22 33", 3, 3}, {CODING_ARRAY_HEX, "11 22 33 44", 3, -1},
        {CODING_ARRAY_HEX, "11 22", 3, -1},
        {CODING_STRING_ASCII, "ABC", 3, 3}, {CODING_STRING_ASCII, "ABCD", 3, -1},
        {CODING_STRING_ASCII, "AB", 3, 2},
        {CODING_BD_ADDR, "11 22 33 44 55 66", 6, 6},
        {CODING_BD_ADDR, "11 22 33 44 55 66 77", 6, -1},
        {CODING_BD_ADDR, "11 22 33 44 55 66", 7, -1},
        {CODING_NUMBER, "0x11223344", 1, 1}, {CODING_NUMBER, "0x11223344", 2, 2},
        {CODING_NUMBER, "0x11223344", 3, -1},
        {CODING_NUMBER, "0x11223344", 4, 4}, {CODING_NUMBER, "0x11223344", 5, -1},
        {CODING_BOOL, "True", 1, 1}, {CODING_BOOL, "True", 2, -1},
    };
    // clang-format on
    for (const ToBytes& c : toBytes) {
        SCOPED_TRACE(std::string(c.text) + " in " + std::to_string(c.length));
        Bytes buffer(8, 0xEE);
        EXPECT_EQ(TextToBytes(c.coding, c.text, buffer.data(), c.length), c.result);
        // Nothing is written past the length, whatever the result.
        EXPECT_EQ(Bytes(buffer.begin() + c.length, buffer.end()), Bytes(8 - c.length, 0xEE));
    }

    const Bytes bytes = {0x01, 0x33, 0x22, 0x11, 0x00, 0xAA, 0xBB};
    struct ToText {
        TagCoding coding;
        uint32_t count;
        const char* text;  // nullptr: -1
    };
    // clang-format off
    const std::vector<ToText> toText = {
        {CODING_NUMBER, 1, "0x1"}, {CODING_NUMBER, 2, "0x3301"}, {CODING_NUMBER, 3, nullptr},
        {CODING_NUMBER, 4, "0x11223301"}, {CODING_NUMBER, 5, nullptr},
        {CODING_BD_ADDR, 5, nullptr}, {CODING_BD_ADDR, 6, "AA 00 11 22 33 01"},
        {CODING_BD_ADDR, 7, nullptr},
        {CODING_BOOL, 1, "True"}, {CODING_BOOL, 2, nullptr}, {CODING_ARRAY_HEX, 2, "01 33"},
    };
    // clang-format on
    for (const ToText& c : toText) {
        SCOPED_TRACE(std::to_string(c.coding) + " of " + std::to_string(c.count));
        std::string text = "old";
        const int result = BytesToText(c.coding, bytes.data(), c.count, text);
        EXPECT_EQ(result, c.text ? static_cast<int>(strlen(c.text)) : -1);
        if (c.text) {
            EXPECT_EQ(text, c.text);
        }
    }
}

}  // namespace
}  // namespace nvds
