#pragma once

#include <string>

#include "catalogue/TagTypes.h"
#include "image/NvdsImage.h"

namespace nvds {

/// Builds a fresh image from the table: "NVDS", one entry per defined tag in ascending code
/// (listed or not, read-only or not), 0xFF filler. Tag 2 (the device name) and every
/// variable-length value get a terminating zero byte. Returns 1, or 0 with `error` set to
/// "Tag=%d data is invalid, please modify it!" when a value does not convert (the image is then
/// partly built and must not be used).
int BuildImage(TagTable& table, NvdsImage& image, std::string& error);

}  // namespace nvds
