#pragma once

#include <string>

#include "image/NvdsImage.h"

namespace nvds {

enum class ImageFileResult {
    Ok,
    OpenError,  // "Open this file error!"
    TooBig,     // "This file is too big! Please select valid file!"
};

/// Reads a .nvds file over the start of `image` as "Open..." does: at most 4096 bytes; bytes
/// beyond the file's length keep what they held. A file longer than 4096 bytes changes nothing.
/// Whether the bytes are an image at all is CheckImage's business.
ImageFileResult ReadImageFile(const std::string& path, NvdsImage& image);

/// Appends `extension` (".nvds", ".xml") when the path holds no '.' anywhere, a folder
/// name included.
std::string AddDefaultExtension(const std::string& path, const std::string& extension);

}  // namespace nvds
