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

}  // namespace
}  // namespace nvds
