#pragma once

#include <cstdint>
#include <string>

namespace nvds {

/// Reads an unsigned 32-bit number the way strtoul does on a 32-bit long: leading white
/// space, an optional sign, base 0 (decimal, "0x" hex, octal after a leading 0) or the given
/// base; reading stops at the first character that does not fit; no digits gives 0; a value
/// beyond 32 bits gives 0xFFFFFFFF; a leading minus negates modulo 2^32.
uint32_t StrToUl32(const std::string& text, int base = 0);

/// "0x%X" of the value: the canonical text of a number.
std::string HexText(uint32_t value);

/// Removes white space (space, tab, CR, LF, VT, FF) from both ends.
std::string Trim(const std::string& text);

}  // namespace nvds
