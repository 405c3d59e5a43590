#pragma once

#include <string>
#include <vector>

namespace nvds {

/// One entry of the Interface list: "UART(ttyUSB0)" with its device path, or "SPI" (the USB
/// bridge) with an empty path.
struct ComPortEntry {
    std::string text;
    std::string path;
};

/// The text of the USB bridge entry.
constexpr const char* SPI_ENTRY = "SPI";

/// Serial devices under /dev that open now (absent ports and ports held by another program are
/// left out), then the paths of `extraPorts` (colon-separated) that open, then "SPI" last.
std::vector<ComPortEntry> EnumerateComPorts(const std::string& extraPorts = {});

}  // namespace nvds
