#pragma once

#include <functional>

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

/// Checks a freshly dumped image and, when it does not hold valid tags, runs `beforeMessage`
/// (the window clears its status pane) and says "Target NVDS data is error!". Returns what
/// CheckImage returned.
int CheckDumpedImage(CNvdsConfig& config, TagTable& table, NvdsImage& image, Prompter& prompter,
                     const std::function<void()>& beforeMessage = {});

}  // namespace nvds
