#pragma once

#include <string>
#include <vector>

namespace nvds {

/// A process that has a device open.
struct PortHolder {
    int pid = 0;
    std::string name;     // the process's short name (comm)
    std::string command;  // its command line, arguments separated by spaces
};

/// The other processes that have the device behind `path` open, as far as /proc tells (the
/// processes of other users only show to root). The other end of a pseudo-terminal, a process
/// that holds its master, is left out: it keeps the terminal open by nature.
std::vector<PortHolder> FindPortHolders(const std::string& path);

/// " (nvds, pid 1234: nvds dump --port /dev/ttyUSB0 -o a.nvds)" naming the holders, or an
/// empty text when none is known.
std::string DescribeHolders(const std::vector<PortHolder>& holders);

}  // namespace nvds
