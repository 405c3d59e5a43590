#pragma once

#include <functional>
#include <string>

#include "catalogue/NvdsConfig.h"
#include "catalogue/TagTypes.h"
#include "image/NvdsImage.h"
#include "platform/Prompter.h"

namespace nvds {

enum class ImageFileResult {
    Ok,
    OpenError,  // MSG_OPEN_FILE_ERROR
    TooBig,     // MSG_FILE_TOO_BIG
    NotImage,   // MSG_NOT_NVDS_DATA
};

/// The message shown when an image file is refused ("" for Ok).
const char* ImageFileMessage(ImageFileResult result);

/// Reads a .nvds file over the start of `image` as "Open..." does: at most 4096 bytes; bytes
/// beyond the file's length keep what they held. Anything but a regular file (a folder, a
/// FIFO, a device) is refused without blocking. A file that cannot be opened or is longer
/// than 4096 bytes changes nothing; one that is shorter than four bytes or does not start with
/// "NVDS" is NotImage (its bytes are then in `image`).
ImageFileResult ReadImageFile(const std::string& path, NvdsImage& image);

/// ReadImageFile for a reader that has no catalogue to check against (raw listing, burning):
/// on refusal its message is shown through `prompter`. True when the bytes are an image.
bool ReadImageFile(const std::string& path, NvdsImage& image, Prompter& prompter);

/// "Open...": reads the file over `image` and takes it into the table with CheckImage (whose
/// report goes to `report`). A refused file leaves the table as it was, shows its message
/// through `prompter` and reports STATUS_READ_ERROR to `status` (a file that is no image
/// first clears the progress text, STATUS_CLEAR). A taken file reports nothing: the caller
/// refills its list first and then shows STATUS_READ_OK.
ImageFileResult OpenImageFile(const std::string& path, NvdsImage& image, CNvdsConfig& config,
                              TagTable& table, Prompter& prompter, Prompter& report,
                              const std::function<void(int)>& status = {});

/// Appends `extension` (".nvds", ".xml") when the path holds no '.' anywhere, a folder
/// name included.
std::string AddDefaultExtension(const std::string& path, const std::string& extension);

}  // namespace nvds
