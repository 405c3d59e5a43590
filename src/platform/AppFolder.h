#pragma once

#include <string>

namespace nvds {

/// Folder of the running executable, without a trailing separator ("" when unknown).
std::string GetAppFolder();

}  // namespace nvds
