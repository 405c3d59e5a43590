#pragma once

namespace nvds {

// The fixed texts of the platform layer, shown exactly as written here.

/// No manual was found in the manual folder.
constexpr const char* MSG_NO_HELP_DOCUMENT = "Can't find help document!";
/// The manual was found but no program opened it.
constexpr const char* MSG_NO_PDF_READER =
    "Can't open the help document! Please confirm the installation of PDF reader. ";

}  // namespace nvds
