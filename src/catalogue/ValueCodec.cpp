#include "catalogue/ValueCodec.h"

namespace nvds {

// Placeholder until the codec lands.
int TextToBytes(TagCoding, std::string, uint8_t*, uint32_t) { return -1; }
int BytesToText(TagCoding, const uint8_t*, uint32_t, std::string& out) {
    out.clear();
    return -1;
}

}  // namespace nvds
