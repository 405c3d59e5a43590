// Every frame the host sends, and one the chip answers, as literal bytes. The expected bytes
// were worked out once outside this code base (CRC-16/XMODEM by a separate implementation), so
// a changed polynomial, rate row or command byte fails here even when host and simulated chip
// still agree with each other.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/NvdsRun.h"
#include "link/BaudTable.h"
#include "link/Frame.h"
#include "link/LinkConstants.h"
#include "platform/LittleEndian.h"
#include "sim/SimChip.h"

namespace nvds {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const uint8_t* data, size_t size) {
    std::string text;
    char cell[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(cell, sizeof cell, i == 0 ? "%02X" : " %02X", data[i]);
        text += cell;
    }
    return text;
}

std::string Hex(const Bytes& bytes) {
    return Hex(bytes.data(), bytes.size());
}

Bytes FromHex(const std::string& text) {
    Bytes bytes;
    std::istringstream in(text);
    for (unsigned value = 0; in >> std::hex >> value;) {
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
}

Bytes Word(uint32_t value) {
    Bytes bytes(4);
    PutLe32(bytes.data(), value);
    return bytes;
}

Bytes Frame(uint8_t command, const Bytes& payload, bool usb = false, uint32_t readLen = 0) {
    return BuildFrame(command, payload.data(), static_cast<uint32_t>(payload.size()), usb, readLen);
}

TEST(WireOracle, CommandFramesAreTheseBytes) {
    EXPECT_EQ(CMD_SYNC, 0x33);
    struct Case {
        const char* what;
        Bytes frame;
        const char* expected;
    };
    const Case cases[] = {
        {"set address 0", Frame(CMD_SET_ADDRESS, Word(0)), "71 3B 04 00 00 00 00 00 00 B5 51"},
        {"set address 0x0F00", Frame(CMD_SET_ADDRESS, Word(0x0F00)),
         "71 3B 04 00 00 00 0F 00 00 84 7D"},
        {"erase one sector", Frame(CMD_SECTOR_ERASE, Word(1)), "71 42 04 00 00 01 00 00 00 04 CE"},
        {"memory type flash", Frame(CMD_SET_MEMORY_TYPE, {MEMORY_TYPE_FLASH, 0, 0, 0}),
         "71 39 04 00 00 01 00 00 00 A7 A8"},
        {"read a page", Frame(CMD_READ, Word(NVDS_PAGE_SIZE)), "71 46 04 00 00 00 01 00 00 ED 80"},
        // Over the bridge a read carries the count of the answer it expects: 252 + 4 + 7 = 263.
        {"read a page, bridge", Frame(CMD_READ, Word(NVDS_PAGE_SIZE), true, READ_PAGE_READLEN),
         "71 46 04 00 00 00 01 00 00 ED 80 07 01"},
        {"set address 0, bridge", Frame(CMD_SET_ADDRESS, Word(0), true, 0),
         "71 3B 04 00 00 00 00 00 00 B5 51 00 00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Hex(c.frame), c.expected) << c.what;
    }
}

TEST(WireOracle, EveryRateRowHasItsRatesAndBaudFrame) {
    struct Row {
        uint32_t baud16;
        uint32_t baud32;
        const char* frame;
    };
    const Row rows[BAUD_ROW_COUNT] = {
        {2400, 4800, "71 34 04 00 00 2B A0 01 00 8B 2F"},
        {4800, 9600, "71 34 04 00 00 15 D0 00 00 01 4A"},
        {9600, 19200, "71 34 04 00 00 0B 68 00 00 A2 A4"},
        {19200, 38400, "71 34 04 00 00 05 34 00 00 57 2D"},
        {28800, 57600, "71 34 04 00 00 2E 22 00 00 C5 F5"},
        {38400, 76800, "71 34 04 00 00 03 1A 00 00 09 97"},
        {57600, 115200, "71 34 04 00 00 17 11 00 00 AE B6"},
        {76800, 153600, "71 34 04 00 00 01 0D 00 00 92 BC"},
        {115200, 230400, "71 34 04 00 00 2C 08 00 00 AA 59"},
        {128000, 256000, "71 34 04 00 00 34 07 00 00 FF EB"},
        {153600, 307200, "71 34 04 00 00 21 06 00 00 2D 7B"},
        {230400, 460800, "71 34 04 00 00 16 04 00 00 89 68"},
        {256000, 512000, "71 34 04 00 00 3A 03 00 00 65 95"},
        {460800, 921600, "71 34 04 00 00 0B 02 00 00 08 F8"},
        {691200, 1382400, "71 34 04 00 00 1D 01 00 00 66 9D"},
        {921600, 1843200, "71 34 04 00 00 05 01 00 00 02 03"},
    };
    for (int i = 0; i < BAUD_ROW_COUNT; ++i) {
        const auto payload = BaudCommandPayload(i);
        EXPECT_EQ(Hex(Frame(CMD_SET_BAUDRATE, Bytes(payload.begin(), payload.end()))),
                  rows[i].frame)
            << "row " << i;
        EXPECT_EQ(BaudOfRow(i, CRYSTAL_16MHZ), rows[i].baud16) << "row " << i;
        EXPECT_EQ(BaudOfRow(i, CRYSTAL_32MHZ), rows[i].baud32) << "row " << i;
    }
    EXPECT_EQ(SyncBaud(CRYSTAL_16MHZ), 9600u);
    EXPECT_EQ(SyncBaud(CRYSTAL_32MHZ), 19200u);
    EXPECT_EQ(BaudOfRow(DEFAULT_BAUD_INDEX_16MHZ, CRYSTAL_16MHZ), 115200u);
    EXPECT_EQ(BaudOfRow(DEFAULT_BAUD_INDEX_32MHZ, CRYSTAL_32MHZ), 115200u);
}

TEST(WireOracle, ProgramFrameCarriesThePageBetweenHeaderAndCrc) {
    Bytes page(NVDS_PAGE_SIZE);
    for (size_t i = 0; i < page.size(); ++i) {
        page[i] = static_cast<uint8_t>(i);
    }
    const Bytes frame = Frame(CMD_PROGRAM, page);
    ASSERT_EQ(frame.size(), 263u);
    EXPECT_EQ(Hex(frame.data(), 5), "71 45 00 01 00");
    EXPECT_EQ(Bytes(frame.begin() + 5, frame.end() - 2), page);
    EXPECT_EQ(Hex(frame.data() + 261, 2), "38 70");
}

TEST(WireOracle, ChipTakesTheGoldenFramesAndAnswersAReadWithThisFrame) {
    CSimChip chip;
    for (uint32_t i = 0; i < NVDS_PAGE_SIZE; ++i) {
        chip.Flash()[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    auto send = [&chip](const char* hex) {
        const Bytes frame = FromHex(hex);
        return chip.HandleFrame(frame.data(), frame.size()).bytes;
    };
    EXPECT_EQ(send("71 3B 04 00 00 00 00 00 00 B5 51"), Bytes{STATUS_ACK});
    EXPECT_EQ(send("71 3B 04 00 00 00 00 00 00 B5 50"), Bytes{});  // one CRC bit off
    EXPECT_EQ(send("71 39 04 00 00 01 00 00 00 A7 A8"), Bytes{STATUS_ACK});
    EXPECT_EQ(chip.MemoryType(), MEMORY_TYPE_FLASH);

    const Bytes answer = send("71 46 04 00 00 00 01 00 00 ED 80");
    ASSERT_EQ(answer.size(), 263u);
    EXPECT_EQ(Hex(answer.data(), 5), "71 46 00 01 00");
    EXPECT_EQ(Bytes(answer.begin() + 5, answer.end() - 2),
              Bytes(chip.Flash().begin(), chip.Flash().begin() + NVDS_PAGE_SIZE));
    EXPECT_EQ(Hex(answer.data() + 261, 2), "11 0F");
}

// ---- The frames a real burn sends, from the nvds tool's trace against a simulated chip.

// The frames out and the port openings, in order; repeated sync bytes count once.
std::vector<std::string> WireLines(const std::string& trace) {
    std::vector<std::string> lines;
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);) {
        const size_t open = line.find(" open at ");
        if (open != std::string::npos) {
            lines.push_back(line.substr(open + 1));
        } else if (line.rfind("out ", 0) == 0 &&
                   !(line == "out 33" && !lines.empty() && lines.back() == "out 33")) {
            lines.push_back(line);
        }
    }
    return lines;
}

TEST(WireOracle, BurnSendsTheseFramesInThisOrder) {
    const std::string base = ::testing::TempDir() + "wire_" + std::to_string(getpid());
    const std::string link = base + ".chip";
    const std::string flash = base + ".flash";
    const std::string image = base + ".nvds";
    // Page p holds p * 0x11 in every byte, so each program frame has its own CRC; page 0
    // starts with the magic, since burn takes nothing but an image.
    std::string bytes;
    for (int p = 0; p < 16; ++p) {
        bytes.append(NVDS_PAGE_SIZE, static_cast<char>(p * 0x11));
    }
    bytes.replace(0, 4, "NVDS");
    std::ofstream(image, std::ios::binary) << bytes;

    const pid_t sim = test::StartNvdsSim(link, {"--flash", flash});
    ASSERT_GT(sim, 0);
    const test::ToolRun run = test::RunNvds("--trace burn --port '" + link +
                                            "' --crystal 16MHz --baud 921600 '" + image + "'");
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    EXPECT_EQ(run.exitCode, 0) << run.err;

    const char* pageCrc[16] = {"CC 42", "B4 0C", "DF 0B", "06 09", "09 05", "D0 07",
                               "BB 00", "62 02", "A5 18", "7C 1A", "17 1D", "CE 1F",
                               "C1 13", "18 11", "73 16", "AA 14"};
    std::vector<std::string> expected = {
        "open at 9600 baud",
        "out 33",
        "out 71 34 04 00 00 05 01 00 00 02 03",
        "open at 921600 baud",
        "out 71 34 04 00 00 05 01 00 00 02 03",
        "out 71 3B 04 00 00 00 00 00 00 B5 51",
        "out 71 42 04 00 00 01 00 00 00 04 CE",
        "out 71 39 04 00 00 01 00 00 00 A7 A8",
        "out 71 3B 04 00 00 00 00 00 00 B5 51",
    };
    for (int p = 0; p < 16; ++p) {
        std::string line = "out 71 45 00 01 00";
        char cell[4];
        std::snprintf(cell, sizeof cell, " %02X", p * 0x11);
        for (uint32_t i = 0; i < NVDS_PAGE_SIZE; ++i) {
            line += p == 0 && i < 4 ? std::string(" ") + "4E564453"[2 * i] + "4E564453"[2 * i + 1]
                                    : std::string(cell);
        }
        expected.push_back(line + " " + pageCrc[p]);
    }
    EXPECT_EQ(WireLines(run.out + run.err), expected);
    EXPECT_EQ(test::ReadFile(flash).substr(0, bytes.size()), bytes);
    for (const std::string& path : {image, flash}) {
        std::remove(path.c_str());
    }
}

}  // namespace
}  // namespace nvds
