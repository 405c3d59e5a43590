#include "image/NvdsArea.h"

#include <algorithm>
#include <cstring>

namespace nvds {

namespace {

constexpr uint32_t WORD = 4;

// The binding of the storage operations; a single image operation runs at a time.
struct AreaBinding {
    uint8_t* base = nullptr;
    uint32_t size = 0;
};

AreaBinding g_area;
// Where CompactArea gathers the current entries before the area is erased.
NvdsImage g_scratch;

// The bytes of [offset, offset + n) that lie inside the area.
uint32_t Clip(uint32_t offset, uint32_t n) {
    if (g_area.base == nullptr || offset >= g_area.size) {
        return 0;
    }
    return std::min(n, g_area.size - offset);
}

// Byte copies out of and into the area, clipped to it.
void CopyOut(uint32_t offset, uint32_t n, uint8_t* dest) {
    if (const uint32_t inside = Clip(offset, n)) {
        std::memcpy(dest, g_area.base + offset, inside);
    }
}

void CopyIn(uint32_t offset, uint32_t n, const uint8_t* source) {
    if (const uint32_t inside = Clip(offset, n)) {
        std::memcpy(g_area.base + offset, source, inside);
    }
}

// The word that holds `offset` as stored in the area; bytes beyond the area read erased.
void LoadWord(uint32_t wordOffset, uint8_t* word) {
    std::memset(word, 0xFF, WORD);
    CopyOut(wordOffset, WORD, word);
}

void StoreWord(uint32_t wordOffset, const uint8_t* word) {
    CopyIn(wordOffset, WORD, word);
}

}  // namespace

void BindArea(NvdsImage& image) {
    g_area.base = image.data();
    g_area.size = NVDS_IMAGE_SIZE;
}

void AreaRead(uint32_t offset, uint32_t n, uint8_t* dest) {
    if (n == 0) {
        return;
    }
    std::memset(dest, 0xFF, n);
    const uint32_t whole = n & ~(WORD - 1);
    CopyOut(offset, whole, dest);
    if (n % WORD != 0) {
        uint8_t word[WORD];
        LoadWord(offset + whole, word);
        std::memcpy(dest + whole, word, n % WORD);
    }
}

void AreaWrite(uint32_t offset, uint32_t n, const uint8_t* source) {
    uint8_t word[WORD];
    if (offset % WORD != 0 && n > 0) {
        const uint32_t wordOffset = offset & ~(WORD - 1);
        const uint32_t head = std::min(WORD - offset % WORD, n);
        LoadWord(wordOffset, word);
        std::memcpy(word + offset % WORD, source, head);
        StoreWord(wordOffset, word);
        offset += head;
        source += head;
        n -= head;
    }
    const uint32_t whole = n & ~(WORD - 1);
    CopyIn(offset, whole, source);
    if (n % WORD != 0) {
        LoadWord(offset + whole, word);
        std::memcpy(word, source + whole, n % WORD);
        StoreWord(offset + whole, word);
    }
}

void AreaErase(uint32_t offset, uint32_t n) {
    if (const uint32_t inside = Clip(offset, n)) {
        std::memset(g_area.base + offset, 0xFF, inside);
    }
}

EntryHeader ReadHeader(uint32_t offset) {
    uint8_t raw[NVDS_HEADER_SIZE];
    AreaRead(offset, NVDS_HEADER_SIZE, raw);
    EntryHeader header;
    header.tag = raw[0];
    header.status = raw[1];
    header.length = static_cast<uint16_t>(raw[2] | (raw[3] << 8));
    return header;
}

namespace {

// The successor of the entry at `position`, or 0 when it would lie past the area's last byte
// (the walk must stop there rather than read outside).
uint32_t NextEntry(uint32_t position, const EntryHeader& header) {
    const uint32_t next = position + EntrySize(header.length);
    return next > g_area.size - 1 ? 0 : next;
}

void WriteHeader(uint32_t position, uint8_t tag, uint16_t length) {
    const uint8_t raw[NVDS_HEADER_SIZE] = {tag, ST_NEW_ENTRY, static_cast<uint8_t>(length & 0xFF),
                                           static_cast<uint8_t>(length >> 8)};
    AreaWrite(position, NVDS_HEADER_SIZE, raw);
}

bool StoredValueEquals(uint32_t position, const EntryHeader& header, uint16_t length,
                       const uint8_t* data) {
    if (header.length != length) {
        return false;
    }
    uint8_t stored[NVDS_IMAGE_SIZE];
    AreaRead(position + NVDS_HEADER_SIZE, length, stored);
    return length == 0 || std::memcmp(stored, data, length) == 0;
}

void Supersede(uint32_t position, const EntryHeader& header) {
    const uint8_t status = header.status & static_cast<uint8_t>(~ST_CURRENT);
    AreaWrite(position + 1, 1, &status);
}

}  // namespace

uint8_t FindTag(uint8_t tag, uint32_t& position, EntryHeader& header) {
    position = NVDS_FIRST_ENTRY;
    for (;;) {
        header = ReadHeader(position);
        if (header.IsEnd()) {
            return NVDS_NOT_FOUND;
        }
        // The length is checked before the tag: an entry whose successor lies past the area
        // is corrupt even when it is the one asked for.
        const uint32_t next = NextEntry(position, header);
        if (next == 0) {
            return NVDS_CORRUPT;
        }
        if (header.tag == tag && header.IsCurrent()) {
            return NVDS_OK;
        }
        position = next;
    }
}

uint8_t PutTag(uint8_t tag, uint16_t length, const uint8_t* data) {
    uint32_t position = NVDS_FIRST_ENTRY;
    uint32_t kept = 0;
    for (;;) {
        const EntryHeader header = ReadHeader(position);
        const uint32_t next = header.IsEnd() ? 0 : NextEntry(position, header);
        if (next == 0) {
            break;  // end marker or a length leading out of the area: append here
        }
        if (header.IsCurrent() && header.tag != tag) {
            kept += next - position;
        } else if (header.IsCurrent()) {
            if ((header.status & ST_UNLOCKED) == 0) {
                return NVDS_LOCKED;
            }
            if (StoredValueEquals(position, header, length, data)) {
                return NVDS_OK;
            }
            Supersede(position, header);
        }
        position = next;
    }
    // One more header position must stay free behind the new entry for the end marker.
    if (position + EntrySize(length) + NVDS_HEADER_SIZE > g_area.size) {
        CompactArea();
        position = NVDS_FIRST_ENTRY + kept;
        if (position + EntrySize(length) > g_area.size - 1) {
            return NVDS_NO_SPACE;
        }
    }
    // Data before header: a header is only valid once its data is in place.
    AreaWrite(position + NVDS_HEADER_SIZE, length, data);
    WriteHeader(position, tag, length);
    return NVDS_OK;
}

void CompactArea() {
    // Padding is not copied; the scratch starts erased so it stays 0xFF.
    g_scratch.fill(0xFF);
    uint32_t copied = 0;
    uint32_t position = NVDS_FIRST_ENTRY;
    for (;;) {
        const EntryHeader header = ReadHeader(position);
        const uint32_t next = header.IsEnd() ? 0 : NextEntry(position, header);
        if (next == 0) {
            break;
        }
        if (header.IsCurrent()) {
            AreaRead(position, NVDS_HEADER_SIZE + header.length, g_scratch.data() + copied);
            copied += EntrySize(header.length);
        }
        position = next;
    }
    static const uint8_t magic[4] = {'N', 'V', 'D', 'S'};
    AreaErase(0, g_area.size);
    AreaWrite(0, sizeof magic, magic);
    AreaWrite(NVDS_FIRST_ENTRY, copied, g_scratch.data());
}

}  // namespace nvds
