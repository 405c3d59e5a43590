#pragma once

#include "catalogue/NvdsConfig.h"
#include "catalogue/TagTypes.h"
#include "image/NvdsImage.h"
#include "platform/Prompter.h"

namespace nvds {

/// Takes an image from a file or a chip into the table: every listed tag gets the value of
/// its current entry, or its default when the entry is missing, of the wrong length, does not
/// decode or fails CheckValue; those tags are reported together in one message. Unlisted
/// slots are left alone. Returns 0 (nothing changed, nothing shown) when the image does not
/// start with "NVDS", else 1.
int CheckImage(CNvdsConfig& config, TagTable& table, NvdsImage& image, Prompter& prompter);

}  // namespace nvds
