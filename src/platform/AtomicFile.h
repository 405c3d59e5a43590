#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace nvds {

/// Writes the bytes to path through a temporary file in the same folder and a rename, so the
/// destination is either left as it was or replaced whole. On failure returns false and puts
/// the reason (from the system) in *error when given.
bool WriteFileAtomically(const std::string& path, const void* data, size_t size,
                         std::string* error = nullptr);

}  // namespace nvds
