#pragma once

namespace nvds {

// The fixed texts about image files and building images, shown exactly as written here by
// the window and the command-line tool alike.

/// An image file that cannot be opened (missing, unreadable, not a regular file).
constexpr const char* MSG_OPEN_FILE_ERROR = "Open this file error!";
/// An image file longer than the NVDS area.
constexpr const char* MSG_FILE_TOO_BIG = "This file is too big! Please select valid file!";
/// An image file that is empty or does not start with "NVDS".
constexpr const char* MSG_NOT_NVDS_DATA =
    "This file doesn't contain valid NVDS data! Please select valid file!";
/// The file to save an image to cannot be written.
constexpr const char* MSG_SAVE_OPEN_ERROR = "Open file error!!";
/// A value of the list could not be taken before saving.
constexpr const char* MSG_SOME_DATA_ERROR = "Some data is error!";
/// A dumped area that holds no valid image.
constexpr const char* MSG_TARGET_ERROR = "Target NVDS data is error!";
/// A value that does not convert while an image is built (printf format: the tag code).
constexpr const char* FMT_TAG_DATA_INVALID = "Tag=%d data is invalid, please modify it!";

}  // namespace nvds
