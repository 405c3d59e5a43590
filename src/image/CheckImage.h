#pragma once

#include <string>
#include <vector>

#include "catalogue/TagTypes.h"
#include "image/NvdsImage.h"

namespace nvds {

/// How a file read into an image ended.
enum class ImageFileResult {
    Ok,
    OpenError,  // MSG_OPEN_FILE_ERROR
    TooBig,     // MSG_FILE_TOO_BIG
    NotImage,   // MSG_NOT_NVDS_DATA
};

/// What taking an image into a table found; the front ends show Messages() in order.
struct ImageCheck {
    int result = 0;  // 1 taken; 0 refused (no "NVDS" magic, or a file not read): nothing changed
    ImageFileResult file = ImageFileResult::Ok;  // how an image file read
    std::vector<std::string> problems;  // per tag reset to its default: "Tag=  5: coding ..."
    std::vector<std::string> notices;   // the value checks' notes, in tag order
    std::string refusal;                // why the image was refused, where the user is told

    /// The one report of the tags reset ("Find error on target NVDS: ..."); "" for none.
    std::string Report() const;
    /// The refusal alone, or the notices and then the report.
    std::vector<std::string> Messages() const;
};

/// Takes an image from a file or a chip into the table: every listed tag gets the value of
/// its current entry, or its default when the entry is missing, of the wrong length, does not
/// decode or fails the value check; those tags are reported together. Unlisted slots are left
/// alone. Result 0 (nothing changed, nothing to show) when the image does not start with
/// "NVDS", else 1.
ImageCheck CheckImage(TagTable& table, NvdsImage& image);

/// Checks a freshly dumped image; one that does not hold valid tags is refused with "Target
/// NVDS data is error!".
ImageCheck CheckDumpedImage(TagTable& table, NvdsImage& image);

}  // namespace nvds
