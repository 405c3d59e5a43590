#pragma once

#include <string>

namespace nvds {

/// `text` with every control character (below 0x20, and 0x7F) written as `\xHH`, and a
/// backslash as `\\`, so that a value read from a file or a chip can be shown on a terminal
/// without moving its cursor, clearing it or setting its title.
std::string EscapeControl(const std::string& text);

/// `text` with its ASCII letters in lower case.
std::string Lower(std::string text);

}  // namespace nvds
