#pragma once

#include <string>

#include "catalogue/TagTypes.h"
#include "image/CheckImage.h"
#include "image/NvdsImage.h"

namespace nvds {

/// The message shown when an image file is refused ("" for Ok).
const char* ImageFileMessage(ImageFileResult result);

/// Reads a .nvds file over the start of `image` as "Open..." does: at most 4096 bytes; bytes
/// beyond the file's length keep what they held. Anything but a regular file (a folder, a
/// FIFO, a device) is refused without blocking. A file that cannot be opened or is longer
/// than 4096 bytes changes nothing; one that is shorter than four bytes or does not start with
/// "NVDS" is NotImage (its bytes are then in `image`).
ImageFileResult ReadImageFile(const std::string& path, NvdsImage& image);

/// "Open...": reads the file over `image` and takes it into the table with CheckImage. A
/// refused file (`file` says how) leaves the table as it was, with its message as the refusal.
ImageCheck OpenImageFile(const std::string& path, NvdsImage& image, TagTable& table);

/// Appends `extension` (".nvds", ".xml") when the path holds no '.' anywhere, a folder
/// name included.
std::string AddDefaultExtension(const std::string& path, const std::string& extension);

}  // namespace nvds
