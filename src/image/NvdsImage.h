#pragma once

#include <array>
#include <cstdint>

namespace nvds {

/// The 4096-byte NVDS area: "NVDS", tag entries, 0xFF filler. The same bytes are a .nvds file
/// and the chip's NVDS sector.
constexpr uint32_t NVDS_IMAGE_SIZE = 4096;
using NvdsImage = std::array<uint8_t, NVDS_IMAGE_SIZE>;

/// "NVDS" read as a little-endian word.
constexpr uint32_t NVDS_MAGIC = 0x5344564E;
constexpr uint8_t NVDS_TAG_END = 0xFF;

/// Entry status bits. An entry is current exactly when (status & 0x05) == 0x04.
constexpr uint8_t ST_INVALID = 0x01;
constexpr uint8_t ST_UNLOCKED = 0x02;
constexpr uint8_t ST_CURRENT = 0x04;
constexpr uint8_t ST_NEW_ENTRY = ST_UNLOCKED | ST_CURRENT;  // 0x06

/// Storage results.
constexpr uint8_t NVDS_OK = 0;
constexpr uint8_t NVDS_NOT_FOUND = 2;
constexpr uint8_t NVDS_NO_SPACE = 3;
constexpr uint8_t NVDS_LOCKED = 5;
constexpr uint8_t NVDS_CORRUPT = 6;

/// An image preset to the erased state (every byte 0xFF).
inline NvdsImage ErasedImage() {
    NvdsImage image;
    image.fill(0xFF);
    return image;
}

}  // namespace nvds
