#pragma once

#include <cstdint>
#include <string>

#include "catalogue/TagTypes.h"

namespace nvds {

/// Converts a canonical value text into its bytes. The buffer must hold at least `length`
/// bytes. Returns the number of bytes written, or -1 when the text does not convert.
int TextToBytes(TagCoding coding, std::string text, uint8_t* buffer, uint32_t length);

/// Converts value bytes into the canonical text of the coding (out is emptied first).
/// Returns the number of characters produced, or -1.
int BytesToText(TagCoding coding, const uint8_t* bytes, uint32_t count, std::string& out);

}  // namespace nvds
