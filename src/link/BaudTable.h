#pragma once

#include <array>
#include <cstdint>

namespace nvds {

/// One row of the working-rate table: the rate at each crystal and the chip's UART divisor
/// crystal / (16 * baud) as integer part and 64ths.
struct BaudRow {
    uint32_t baud16;
    uint32_t baud32;
    uint8_t divHigh;
    uint8_t divLow;
    uint8_t fraction;
};

constexpr int BAUD_ROW_COUNT = 16;
/// Index of 115200 in each crystal's column, the default.
constexpr int DEFAULT_BAUD_INDEX_16MHZ = 8;
constexpr int DEFAULT_BAUD_INDEX_32MHZ = 6;

/// The fixed table of the 16 working rates.
const std::array<BaudRow, BAUD_ROW_COUNT>& BaudTable();

/// The rate of row `index` for the crystal (0 = 16MHz, 1 = 32MHz).
uint32_t BaudOfRow(int index, int crystal);

/// Row of `baud` in the crystal's column, or -1.
int FindBaudRow(uint32_t baud, int crystal);

/// CMD_SET_BAUDRATE payload of a row: fraction, divisor low, divisor high, 0.
std::array<uint8_t, 4> BaudCommandPayload(int index);

/// The rate the sync phase runs at for the crystal.
uint32_t SyncBaud(int crystal);

/// The rate a chip with this crystal switches to for a CMD_SET_BAUDRATE payload.
double BaudOfDivisor(const uint8_t* payload, int crystal);

}  // namespace nvds
