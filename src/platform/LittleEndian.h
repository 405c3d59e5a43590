#pragma once

#include <cstdint>

namespace nvds {

// Every multi-byte field the chip, its images and the USB bridge exchange is little-endian:
// the least significant byte comes first. These are the one set of readers and writers.

/// The 16-bit value stored at p[0..1].
constexpr uint16_t GetLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

/// The 32-bit value stored at p[0..3].
constexpr uint32_t GetLe32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

/// Stores the low 16 bits of `value` at p[0..1].
constexpr void PutLe16(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

/// Stores `value` at p[0..3].
constexpr void PutLe32(uint8_t* p, uint32_t value) {
    PutLe16(p, value);
    PutLe16(p + 2, value >> 16);
}

}  // namespace nvds
