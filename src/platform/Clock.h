#pragma once

#include <cstdint>

namespace nvds {

/// Milliseconds of a monotonic clock; only differences mean anything.
uint64_t Ticks();

/// Sleeps the calling thread for the given number of milliseconds.
void SleepMs(uint32_t ms);

}  // namespace nvds
