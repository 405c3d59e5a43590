#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace nvds {

/// The 32-byte SHA-256 digest of `size` bytes at `data`.
std::array<uint8_t, 32> Sha256(const uint8_t* data, size_t size);

/// The SHA-256 digest of `size` bytes at `data` as 64 lower-case hex digits.
std::string Sha256Hex(const uint8_t* data, size_t size);

}  // namespace nvds
