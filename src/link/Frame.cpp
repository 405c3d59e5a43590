#include "link/Frame.h"

#include "link/Crc16.h"
#include "link/LinkConstants.h"

namespace nvds {

std::vector<uint8_t> BuildFrame(uint8_t command, const uint8_t* payload, uint32_t length,
                                bool usbTrailer, uint32_t readLen) {
    std::vector<uint8_t> frame;
    frame.reserve(length + FRAME_OVERHEAD + 2);
    frame.push_back(FRAME_START);
    frame.push_back(command);
    frame.push_back(static_cast<uint8_t>(length));
    frame.push_back(static_cast<uint8_t>(length >> 8));
    frame.push_back(static_cast<uint8_t>(length >> 16));
    if (length > 0) {
        frame.insert(frame.end(), payload, payload + length);
    }
    uint16_t crc = Crc16(frame.data() + 1, frame.size() - 1);
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    if (usbTrailer) {
        uint32_t count = readLen != 0 ? readLen + length + FRAME_OVERHEAD : 0;
        frame.push_back(static_cast<uint8_t>(count));
        frame.push_back(static_cast<uint8_t>(count >> 8));
    }
    return frame;
}

}  // namespace nvds
