#pragma once

#include <string>
#include <vector>

#include "line/ProductionLine.h"

namespace nvds::cli {

/// The stations of `--port` values: "NAME=PATH" names a station, a bare "PATH" is named by its
/// path. False with a message when a name or path is empty, a name is given twice, or two
/// values are the same device (the same path once symbolic links are resolved).
bool ParseStationPorts(const std::vector<std::string>& values,
                       std::vector<line::StationPort>& stations, std::string& error);

/// A whole number option from `min` to `max`. False with a message in plain numbers ("--count
/// must be at least 1") when `text` is no whole number or out of range.
bool ParseWholeNumber(const std::string& option, const std::string& text, long long min,
                      long long max, int& value, std::string& error);

}  // namespace nvds::cli
