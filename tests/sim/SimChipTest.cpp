#include <vector>

#include <gtest/gtest.h>

#include "link/BaudTable.h"
#include "link/Frame.h"
#include "link/LinkConstants.h"
#include "platform/LittleEndian.h"
#include "sim/SimChip.h"

namespace nvds {
namespace {

using Bytes = std::vector<uint8_t>;

SimAnswer Send(CSimChip& chip, uint8_t command, const Bytes& payload) {
    Bytes frame = BuildFrame(command, payload.data(), static_cast<uint32_t>(payload.size()));
    return chip.HandleFrame(frame.data(), frame.size());
}

Bytes Word(uint32_t value) {
    Bytes bytes(4);
    PutLe32(bytes.data(), value);
    return bytes;
}

TEST(SimChip, FlashErasesSectorsProgramsOnlyClearBitsAndAdvances) {
    CSimChip chip;
    chip.Flash()[0x1000] = 0x5A;
    EXPECT_EQ(Send(chip, CMD_SET_ADDRESS, Word(0x0100)).bytes, Bytes{STATUS_ACK});
    SimAnswer erase = Send(chip, CMD_SECTOR_ERASE, Word(1));
    EXPECT_EQ(erase.bytes, Bytes{STATUS_DONE});
    EXPECT_EQ(chip.Flash()[0x1000], 0x5A);  // the next sector is untouched

    Send(chip, CMD_SET_ADDRESS, Word(0x0200));
    EXPECT_EQ(Send(chip, CMD_PROGRAM, Bytes(256, 0xF0)).bytes, Bytes{STATUS_DONE});
    EXPECT_EQ(chip.Address(), 0x0300u);
    Send(chip, CMD_SET_ADDRESS, Word(0x0200));
    Send(chip, CMD_PROGRAM, Bytes(256, 0x3C));
    EXPECT_EQ(chip.Flash()[0x0200], 0x30);  // 0xF0 & 0x3C

    Send(chip, CMD_SET_ADDRESS, Word(0x0200));
    SimAnswer read = Send(chip, CMD_READ, Word(256));
    Bytes expected(256, 0x30);
    EXPECT_EQ(read.bytes, BuildFrame(CMD_READ, expected.data(), 256));
    EXPECT_EQ(chip.Address(), 0x0300u);
}

TEST(SimChip, IgnoresBadFramesAndSwitchesRateOnlyWhenTold) {
    CSimChip chip(CRYSTAL_32MHZ);
    EXPECT_EQ(chip.Baud(), 19200);
    auto payload = BaudCommandPayload(DEFAULT_BAUD_INDEX_32MHZ);
    Bytes frame = BuildFrame(CMD_SET_BAUDRATE, payload.data(), 4);
    frame.back() ^= 1;
    EXPECT_TRUE(chip.HandleFrame(frame.data(), frame.size()).bytes.empty());
    EXPECT_TRUE(Send(chip, CMD_SET_ADDRESS, Word(CSimChip::FLASH_SIZE)).bytes.empty());
    EXPECT_TRUE(Send(chip, 0x77, Word(0)).bytes.empty());

    chip.m_nRefuseBaud = 1;
    EXPECT_TRUE(Send(chip, CMD_SET_BAUDRATE, Bytes(payload.begin(), payload.end())).bytes.empty());
    SimAnswer answer = Send(chip, CMD_SET_BAUDRATE, Bytes(payload.begin(), payload.end()));
    EXPECT_EQ(answer.bytes, Bytes{STATUS_ACK});
    EXPECT_NEAR(answer.newBaud, 115200, 115200 * 0.01);
}

}  // namespace
}  // namespace nvds
