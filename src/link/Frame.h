#pragma once

#include <cstdint>
#include <vector>

namespace nvds {

/// Builds a command frame: 0x71, command, 24-bit little-endian length, payload, CRC-16 low byte
/// first over everything but the start byte. With usbTrailer the 16-bit count readLen +
/// length + 7 follows (two zero bytes when readLen is 0).
std::vector<uint8_t> BuildFrame(uint8_t command, const uint8_t* payload, uint32_t length,
                                bool usbTrailer = false, uint32_t readLen = 0);

}  // namespace nvds
