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

Bytes Flash(const CSimChip& chip, uint32_t from, uint32_t count) {
    return Bytes(chip.Flash().begin() + from, chip.Flash().begin() + from + count);
}

TEST(SimChip, FlashErasesSectorsProgramsOnlyClearBitsAndAdvances) {
    CSimChip chip;
    chip.Flash()[0x1000] = 0x5A;
    EXPECT_EQ(Send(chip, CMD_SET_MEMORY_TYPE, Word(MEMORY_TYPE_FLASH)).bytes, Bytes{STATUS_ACK});
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

TEST(SimChip, ProgramsTheFlashOnlyWhileFlashIsTheMemoryType) {
    CSimChip chip;
    // Not selected yet, then another memory: answered and advanced as usual, flash untouched.
    for (uint32_t type : {0u, 2u}) {
        if (type != 0) {
            EXPECT_EQ(Send(chip, CMD_SET_MEMORY_TYPE, Word(type)).bytes, Bytes{STATUS_ACK});
        }
        EXPECT_EQ(chip.MemoryType(), type);
        Send(chip, CMD_SET_ADDRESS, Word(0x0100));
        SimAnswer answer = Send(chip, CMD_PROGRAM, Bytes(256, 0x00));
        EXPECT_EQ(answer.bytes, Bytes{STATUS_DONE}) << "type " << type;
        EXPECT_FALSE(answer.wrote) << "type " << type;
        EXPECT_EQ(chip.Address(), 0x0200u) << "type " << type;
        EXPECT_EQ(Flash(chip, 0x0100, 256), Bytes(256, 0xFF)) << "type " << type;
    }
    Send(chip, CMD_SET_MEMORY_TYPE, Word(MEMORY_TYPE_FLASH));
    Send(chip, CMD_SET_ADDRESS, Word(0x0100));
    EXPECT_TRUE(Send(chip, CMD_PROGRAM, Bytes(256, 0x00)).wrote);
    EXPECT_EQ(Flash(chip, 0x0100, 256), Bytes(256, 0x00));

    // A reset forgets the memory type (and the address) like a chip coming out of reset.
    Send(chip, CMD_SET_ADDRESS, Word(0x0200));
    chip.Reset();
    EXPECT_EQ(chip.MemoryType(), 0);
    EXPECT_EQ(chip.Address(), 0u);
    Send(chip, CMD_SET_ADDRESS, Word(0x0200));
    EXPECT_FALSE(Send(chip, CMD_PROGRAM, Bytes(256, 0x00)).wrote);
    EXPECT_EQ(Flash(chip, 0x0200, 256), Bytes(256, 0xFF));
}

TEST(SimChip, RefusesPayloadLengthsTheCommandDoesNotTake) {
    struct Case {
        uint8_t command;
        uint32_t length;
        bool answered;
    };
    // One line a command: too short, too long, then a length it takes.
    // clang-format off
    const Case cases[] = {
        {CMD_SET_BAUDRATE, 3, false}, {CMD_SET_BAUDRATE, 5, false}, {CMD_SET_BAUDRATE, 4, true},
        {CMD_SET_MEMORY_TYPE, 0, false}, {CMD_SET_MEMORY_TYPE, 5, false},
        {CMD_SET_MEMORY_TYPE, 4, true},
        {CMD_SET_ADDRESS, 3, false}, {CMD_SET_ADDRESS, 8, false}, {CMD_SET_ADDRESS, 4, true},
        {CMD_SECTOR_ERASE, 1, false}, {CMD_SECTOR_ERASE, 5, false}, {CMD_SECTOR_ERASE, 4, true},
        {CMD_READ, 2, false}, {CMD_READ, 5, false}, {CMD_READ, 4, true},
        {CMD_PROGRAM, 0, false}, {CMD_PROGRAM, 257, false}, {CMD_PROGRAM, 1, true},
        {CMD_PROGRAM, 256, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        CSimChip chip;
        chip.m_nRefuseBaud = 0;
        chip.Flash()[0x0100] = 0x00;
        Send(chip, CMD_SET_ADDRESS, Word(0x0100));
        // 1, 0, 0, ...: a value every command takes (one sector, one byte, flash, ...).
        Bytes payload(c.length, 0x00);
        if (c.length > 0) {
            payload[0] = 0x01;
        }
        SimAnswer answer = Send(chip, c.command, payload);
        const char* name = c.answered ? "taken" : "refused";
        EXPECT_EQ(answer.bytes.empty(), !c.answered)
            << name << ": command " << int(c.command) << ", " << c.length << " bytes";
        if (!c.answered) {
            EXPECT_EQ(chip.Address(), 0x0100u) << "command " << int(c.command);
            EXPECT_EQ(chip.MemoryType(), 0) << "command " << int(c.command);
            EXPECT_EQ(chip.Flash()[0x0100], 0x00) << "command " << int(c.command);
        }
    }
}

TEST(SimChip, FlashIsBusyAsLongAsARealPartsUnlessToldOtherwise) {
    CSimChip chip;
    Send(chip, CMD_SET_MEMORY_TYPE, Word(MEMORY_TYPE_FLASH));
    Send(chip, CMD_SET_ADDRESS, Word(0));
    EXPECT_EQ(Send(chip, CMD_SECTOR_ERASE, Word(1)).busyMs, 40u);
    EXPECT_EQ(Send(chip, CMD_SECTOR_ERASE, Word(2)).busyMs, 80u);
    EXPECT_EQ(Send(chip, CMD_PROGRAM, Bytes(256, 0x00)).busyMs, 2u);
    chip.m_nEraseMs = 0;
    chip.m_nProgramMs = 0;
    EXPECT_EQ(Send(chip, CMD_SECTOR_ERASE, Word(1)).busyMs, 0u);
    EXPECT_EQ(Send(chip, CMD_PROGRAM, Bytes(256, 0x00)).busyMs, 0u);
}

}  // namespace
}  // namespace nvds
