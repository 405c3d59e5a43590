#pragma once

namespace nvds {

// Exit codes of the nvds tool. A station of the production line ends a chip with the code the
// same failure ends a single burn with.
constexpr int EXIT_OK = 0;
constexpr int EXIT_FAIL = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_TAGS_RESET = 3;     // nvds check: some tags would be reset
constexpr int EXIT_AREA_ERASED = 3;    // nvds dump: the chip's NVDS area is erased
constexpr int EXIT_VERIFY_FAILED = 4;  // a burn whose read-back differs from the image

}  // namespace nvds
