// Feeds arbitrary images to CheckImage and arbitrary put/compact sequences to the storage
// layer. The image lives in its own heap block of exactly 4096 bytes, so the sanitizer sees
// any access outside the area; after every put the stored value must read back.
#include "FuzzTargets.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "image/CheckImage.h"
#include "image/NvdsArea.h"

namespace {

using namespace nvds;

void Define(TagTable& table, uint32_t code, TagCoding coding, uint32_t length, bool variable) {
    TagEntry& entry = table[code];
    entry.mark = TAG_ENTRY_MARK;
    entry.tag = code;
    entry.def.coding = coding;
    entry.def.length = length;
    entry.def.lengthVariable = variable;
    entry.def.max = 0xFFFF;
    entry.def.show = true;
}

// Every coding, fixed and variable lengths, short and long, system and user codes.
const TagTable& Catalogue() {
    static TagTable table = [] {
        TagTable t;
        Define(t, 1, CODING_BD_ADDR, 6, false);
        Define(t, 2, CODING_STRING_ASCII, 32, true);
        Define(t, 3, CODING_NUMBER, 1, false);
        Define(t, 4, CODING_NUMBER, 2, false);
        Define(t, 5, CODING_NUMBER, 4, false);
        Define(t, 6, CODING_BOOL, 1, false);
        Define(t, 7, CODING_ARRAY_HEX, 16, false);
        Define(t, 8, CODING_ARRAY_HEX, 4096, true);
        Define(t, 100, CODING_STRING_ASCII, 4096, true);
        Define(t, 254, CODING_ARRAY_HEX, 3, true);
        return t;
    }();
    return table;
}

void FuzzCheck(const uint8_t* data, size_t size) {
    auto image = std::make_unique<NvdsImage>();
    image->fill(0xFF);
    std::memcpy(image->data(), data, std::min<size_t>(size, NVDS_IMAGE_SIZE));
    TagTable table = Catalogue();
    CheckImage(table, *image);
}

// Each operation: tag byte, length byte (scaled), then that many data bytes; tag 0 or 0xFF (no tag
// code) compacts instead.
void FuzzPut(const uint8_t* data, size_t size) {
    auto image = std::make_unique<NvdsImage>();
    image->fill(0xFF);
    NvdsArea area(*image);
    area.WriteMagic();
    size_t at = 0;
    while (at + 2 <= size) {
        const uint8_t tag = data[at];
        const uint16_t length = static_cast<uint16_t>(data[at + 1] * 9);
        at += 2;
        if (tag == 0 || tag == NVDS_TAG_END) {
            area.CompactArea();
            continue;
        }
        std::vector<uint8_t> value(length + 1u, 0);
        const size_t take = std::min<size_t>(length, size - at);
        std::memcpy(value.data(), data + at, take);
        at += take;
        if (area.PutTag(tag, length, value.data()) != NVDS_OK) {
            continue;
        }
        uint32_t position = 0;
        EntryHeader header;
        if (area.FindTag(tag, position, header) != NVDS_OK || header.length != length) {
            std::abort();
        }
        std::vector<uint8_t> back(length + 1);
        area.AreaRead(position + NVDS_HEADER_SIZE, length, back.data());
        if (length != 0 && std::memcmp(back.data(), value.data(), length) != 0) {
            std::abort();
        }
    }
}

}  // namespace

int nvds::fuzz::ImageInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks the target so one corpus serves both.
    if (data[0] & 1) {
        FuzzCheck(data + 1, size - 1);
    } else {
        FuzzPut(data + 1, size - 1);
    }
    return 0;
}
