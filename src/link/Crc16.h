#pragma once

#include <cstddef>
#include <cstdint>

namespace nvds {

/// CRC-16/XMODEM (polynomial 0x1021, initial 0, MSB first, no final XOR) over the bytes.
uint16_t Crc16(const uint8_t* data, size_t size, uint16_t crc = 0);

}  // namespace nvds
