#pragma once

#include <string>

#include "catalogue/TagTypes.h"

namespace nvds {

/// The help text of a tag: description, coding, size, range (when any) and reset value, lines
/// separated by a carriage return. `codingKnown` is set false for a coding outside 0..4, whose
/// coding, size and range lines stay empty.
std::string BuildTagDescription(const TagDef& def, bool* codingKnown = nullptr);

}  // namespace nvds
