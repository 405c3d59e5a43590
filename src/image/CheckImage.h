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

/// What taking an image into a table found; the window shows Messages() one by one, the
/// command-line tool prints them.
struct ImageCheck {
    /// 1 taken; 0 refused (no "NVDS" magic, or a file that could not be read): nothing changed.
    int result = 0;
    /// The file's reading, for an image read from a file.
    ImageFileResult file = ImageFileResult::Ok;
    /// One line per tag reset to its default ("Tag=  5: coding is invalid!").
    std::vector<std::string> problems;
    /// The value checks' notes, in tag order.
    std::vector<std::string> notices;
    /// Why the image was refused, where the user is told; empty otherwise.
    std::string refusal;

    /// The one report of the tags reset ("Find error on target NVDS: ..."); empty for none.
    std::string Report() const;
    /// The texts to show, in order: the refusal, or the notices and then the one report of
    /// the tags reset ("Find error on target NVDS: ...").
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
