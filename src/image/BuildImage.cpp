#include "image/BuildImage.h"

#include <cstdio>

#include "catalogue/ValueCodec.h"
#include "image/ImageTexts.h"
#include "image/NvdsArea.h"

namespace nvds {

namespace {

// The device name is stored with a terminating zero for the firmware's C string use.
constexpr uint32_t TAG_DEVICE_NAME = 2;

// The image check reads the last stored byte of every variable-length value as its
// terminator, so those values get one too; otherwise a built image would lose a character
// of such a value when read back.
bool GetsTerminator(uint32_t code, const TagDef& def) {
    return code == TAG_DEVICE_NAME || def.lengthVariable;
}

}  // namespace

int BuildImage(TagTable& table, NvdsImage& image, std::string& error) {
    NvdsArea area(image);
    area.AreaErase(0, area.Size());
    area.WriteMagic();
    for (uint32_t code = TAG_SYSTEM_FIRST; code <= TAG_USER_LAST; ++code) {
        TagEntry& entry = table[code];
        if (!entry.IsDefined()) {
            continue;
        }
        // One spare byte so the codec always gets a valid buffer, even for length 0.
        entry.valueBytes.assign(entry.def.length + 1, 0);
        int n = TextToBytes(entry.def.coding, entry.valueText, entry.valueBytes.data(),
                            entry.def.length);
        if (n < 0) {
            char text[64];
            std::snprintf(text, sizeof text, FMT_TAG_DATA_INVALID, static_cast<int>(code));
            error = text;
            return 0;
        }
        if (GetsTerminator(code, entry.def)) {
            entry.valueBytes[n++] = 0;
        }
        // An entry that finds no room is left out; the image is still usable.
        area.PutTag(static_cast<uint8_t>(code), static_cast<uint16_t>(n), entry.valueBytes.data());
    }
    return 1;
}

}  // namespace nvds
