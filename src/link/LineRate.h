#pragma once

#include <cstdint>

namespace nvds {

/// Sets any input and output rate on a tty with termios2 BOTHER (standard and odd rates alike,
/// so a later rate never finds the speed bits in a mixed state). Returns false on failure.
bool SetLineRate(int fd, uint32_t baud);

/// The output rate of a tty, also of a pty slave read through its master; 0 on failure.
uint32_t GetLineRate(int fd);

}  // namespace nvds
