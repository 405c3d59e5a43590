#pragma once

#include <string>

#include "platform/Prompter.h"

namespace nvds {

/// Folder of the manual, relative to the working folder.
inline constexpr const char* HELP_FOLDER = "../../Documents/";
/// Pattern of the manual's file name.
inline constexpr const char* HELP_PATTERN = "*Configurator*.pdf";

/// Opens the user manual: the first file matching HELP_PATTERN in HELP_FOLDER, in the user's
/// PDF viewer. Shows "Can't find help document!" or the viewer message through the prompter.
/// The working folder is the same afterwards. true when the viewer was started.
bool OpenHelpContents(Prompter& prompter);

}  // namespace nvds
