#include "image/NvdsArea.h"

#include <algorithm>
#include <cstring>

#include "platform/LittleEndian.h"

namespace nvds {

namespace {

constexpr uint32_t WORD = 4;

}  // namespace

// The bytes of [offset, offset + n) that lie inside the area.
uint32_t NvdsArea::Clip(uint32_t offset, uint32_t n) const {
    if (offset >= Size()) {
        return 0;
    }
    return std::min(n, Size() - offset);
}

// The word that holds `offset` as stored in the area; bytes beyond the area read erased.
void NvdsArea::LoadWord(uint32_t wordOffset, uint8_t* word) const {
    std::memset(word, 0xFF, WORD);
    if (const uint32_t inside = Clip(wordOffset, WORD)) {
        std::memcpy(word, m_base + wordOffset, inside);
    }
}

void NvdsArea::StoreWord(uint32_t wordOffset, const uint8_t* word) {
    if (const uint32_t inside = Clip(wordOffset, WORD)) {
        std::memcpy(m_base + wordOffset, word, inside);
    }
}

void NvdsArea::AreaRead(uint32_t offset, uint32_t n, uint8_t* dest) const {
    if (n == 0) {
        return;
    }
    std::memset(dest, 0xFF, n);
    const uint32_t whole = n & ~(WORD - 1);
    if (const uint32_t inside = Clip(offset, whole)) {
        std::memcpy(dest, m_base + offset, inside);
    }
    if (n % WORD != 0) {
        uint8_t word[WORD];
        LoadWord(offset + whole, word);
        std::memcpy(dest + whole, word, n % WORD);
    }
}

void NvdsArea::AreaWrite(uint32_t offset, uint32_t n, const uint8_t* source) {
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
    if (const uint32_t inside = Clip(offset, whole)) {
        std::memcpy(m_base + offset, source, inside);
    }
    if (n % WORD != 0) {
        LoadWord(offset + whole, word);
        std::memcpy(word, source + whole, n % WORD);
        StoreWord(offset + whole, word);
    }
}

void NvdsArea::AreaErase(uint32_t offset, uint32_t n) {
    if (const uint32_t inside = Clip(offset, n)) {
        std::memset(m_base + offset, 0xFF, inside);
    }
}

bool NvdsArea::HasMagic() const {
    uint8_t word[WORD];
    AreaRead(0, WORD, word);
    return GetLe32(word) == NVDS_MAGIC;
}

void NvdsArea::WriteMagic() {
    uint8_t word[WORD];
    PutLe32(word, NVDS_MAGIC);
    AreaWrite(0, WORD, word);
}

EntryHeader NvdsArea::ReadHeader(uint32_t offset) const {
    // Every walk step reads a header: take it straight from the area when it lies inside
    // (the word copy through a buffer costs a third of a walk).
    uint8_t buffer[NVDS_HEADER_SIZE];
    const uint8_t* raw = m_base + offset;
    if (Clip(offset, NVDS_HEADER_SIZE) != NVDS_HEADER_SIZE) {
        AreaRead(offset, NVDS_HEADER_SIZE, buffer);
        raw = buffer;
    }
    EntryHeader header;
    header.tag = raw[0];
    header.status = raw[1];
    header.length = GetLe16(raw + 2);
    return header;
}

EntryWalk::EntryWalk(const NvdsArea& area) : m_area(area) {
    Load();
}

void EntryWalk::Advance() {
    if (AtEntry()) {
        m_position += EntrySize(m_header.length);
        Load();
    }
}

void EntryWalk::Load() {
    m_header = m_area.ReadHeader(m_position);
    if (m_header.IsEnd()) {
        m_stop = NVDS_NOT_FOUND;
    } else if (m_position + EntrySize(m_header.length) > m_area.Size() - 1) {
        // The length is checked before anything looks at the tag: an entry whose successor
        // lies past the area is corrupt even when it is the one asked for.
        m_stop = NVDS_CORRUPT;
    } else {
        m_stop = NVDS_OK;
    }
}

bool NvdsArea::StoredValueEquals(uint32_t position, const EntryHeader& header, uint16_t length,
                                 const uint8_t* data) const {
    if (header.length != length) {
        return false;
    }
    uint8_t stored[NVDS_IMAGE_SIZE];
    AreaRead(position + NVDS_HEADER_SIZE, length, stored);
    return length == 0 || std::memcmp(stored, data, length) == 0;
}

uint8_t NvdsArea::FindTag(uint8_t tag, uint32_t& position, EntryHeader& header) const {
    EntryWalk walk(*this);
    while (walk.AtEntry() && !(walk.Header().tag == tag && walk.Header().IsCurrent())) {
        walk.Advance();
    }
    position = walk.Position();
    header = walk.Header();
    return walk.Stop();
}

uint8_t NvdsArea::PutTag(uint8_t tag, uint16_t length, const uint8_t* data) {
    uint32_t kept = 0;
    EntryWalk walk(*this);
    // The end marker or a length leading out of the area ends the walk: append there.
    for (; walk.AtEntry(); walk.Advance()) {
        const EntryHeader& header = walk.Header();
        if (!header.IsCurrent()) {
            continue;
        }
        if (header.tag != tag) {
            kept += EntrySize(header.length);
            continue;
        }
        if ((header.status & ST_UNLOCKED) == 0) {
            return NVDS_LOCKED;
        }
        if (StoredValueEquals(walk.Position(), header, length, data)) {
            return NVDS_OK;
        }
        const uint8_t status = header.status & static_cast<uint8_t>(~ST_CURRENT);
        AreaWrite(walk.Position() + 1, 1, &status);
    }
    uint32_t position = walk.Position();
    // One more header position must stay free behind the new entry for the end marker.
    if (position + EntrySize(length) + NVDS_HEADER_SIZE > Size()) {
        CompactArea();
        position = NVDS_FIRST_ENTRY + kept;
        if (position + EntrySize(length) > Size() - 1) {
            return NVDS_NO_SPACE;
        }
    }
    // Data before header: a header is only valid once its data is in place.
    AreaWrite(position + NVDS_HEADER_SIZE, length, data);
    uint8_t raw[NVDS_HEADER_SIZE] = {tag, ST_NEW_ENTRY, 0, 0};
    PutLe16(raw + 2, length);
    AreaWrite(position, NVDS_HEADER_SIZE, raw);
    return NVDS_OK;
}

void NvdsArea::CompactArea() {
    // Padding is not copied; the scratch starts erased so it stays 0xFF.
    NvdsImage scratch = ErasedImage();
    uint32_t copied = 0;
    for (EntryWalk walk(*this); walk.AtEntry(); walk.Advance()) {
        const EntryHeader& header = walk.Header();
        if (header.IsCurrent()) {
            AreaRead(walk.Position(), NVDS_HEADER_SIZE + header.length, scratch.data() + copied);
            copied += EntrySize(header.length);
        }
    }
    AreaErase(0, Size());
    WriteMagic();
    AreaWrite(NVDS_FIRST_ENTRY, copied, scratch.data());
}

}  // namespace nvds
