#pragma once

#include <cstddef>
#include <string>

#include "catalogue/TagTypes.h"

namespace nvds {

/// Backspace: always lets an edit go on, whatever the filter.
constexpr char KEY_BACKSPACE = '\b';

/// Whether the value editor lets the typed character `c` into a value of this tag: only the
/// tag's own characters when it has a dictionary; hex digits and space for a hex array; hex
/// digits, x, X and minus for a number; hex digits, colon and space for a device address;
/// anything for the other codings. Backspace always passes; other control characters are
/// dropped wherever a filter applies.
bool TypingFilterAccepts(const TagDef& def, char c);

/// The position of the first character of `text` the editor would not have let through, or
/// std::string::npos when every character passes.
size_t FirstRefusedChar(const TagDef& def, const std::string& text);

}  // namespace nvds
