#pragma once

#include <cstdint>

#include "image/NvdsImage.h"

namespace nvds {

/// Positions handed to and returned by the storage layer are byte offsets from the start of
/// the image (the entry list starts at NVDS_FIRST_ENTRY).
constexpr uint32_t NVDS_FIRST_ENTRY = 4;
constexpr uint32_t NVDS_HEADER_SIZE = 4;

/// The 4-byte header of an entry: tag code, status bits, 16-bit little-endian data length.
struct EntryHeader {
    uint8_t tag = NVDS_TAG_END;
    uint8_t status = 0xFF;
    uint16_t length = 0xFFFF;

    bool IsEnd() const { return tag == NVDS_TAG_END; }
    /// Current means neither invalid nor superseded.
    bool IsCurrent() const { return (status & (ST_INVALID | ST_CURRENT)) == ST_CURRENT; }
};

/// Space an entry of `length` data bytes occupies: header plus data padded to 4 bytes.
constexpr uint32_t EntrySize(uint32_t length) {
    return NVDS_HEADER_SIZE + ((length + 3u) & ~3u);
}

/// The storage layer over one image buffer, kept the way the chip's firmware keeps its NVDS
/// area: entries are appended, superseded entries are marked, space is reclaimed by
/// compaction. The image must outlive the area; each area is independent of every other.
class NvdsArea {
public:
    explicit NvdsArea(NvdsImage& image) : m_base(image.data()) {}

    /// The area's size in bytes (always a whole image).
    uint32_t Size() const { return NVDS_IMAGE_SIZE; }

    /// Copies n bytes at `offset`, word by word as the flash is read. Bytes that would lie
    /// outside the area read as 0xFF.
    void AreaRead(uint32_t offset, uint32_t n, uint8_t* dest) const;

    /// Writes n bytes at `offset` by word load, overlay and store; bytes of touched words
    /// outside the range keep their content. Bytes outside the area are dropped.
    void AreaWrite(uint32_t offset, uint32_t n, const uint8_t* source);

    /// Sets n bytes at `offset` to the erased value 0xFF (clipped to the area).
    void AreaErase(uint32_t offset, uint32_t n);

    /// Whether the first word is the magic "NVDS".
    bool HasMagic() const;

    /// Writes the magic "NVDS" over the first word.
    void WriteMagic();

    /// Reads the entry header at `offset`.
    EntryHeader ReadHeader(uint32_t offset) const;

    /// Finds the first current entry of `tag`. Returns NVDS_OK (position of the entry),
    /// NVDS_NOT_FOUND (position of the end marker) or NVDS_CORRUPT (position of the entry whose
    /// length would lead past the area). `header` is the last header read.
    uint8_t FindTag(uint8_t tag, uint32_t& position, EntryHeader& header) const;

    /// Stores a value the way the chip's firmware does: an equal current value is left alone,
    /// a different one is superseded and the new entry appended, compacting when the end is
    /// near. Returns NVDS_OK, NVDS_LOCKED (current entry locked, nothing written) or
    /// NVDS_NO_SPACE.
    uint8_t PutTag(uint8_t tag, uint16_t length, const uint8_t* data);

    /// Rewrites the area with only its current entries, packed from the first entry position.
    void CompactArea();

private:
    uint32_t Clip(uint32_t offset, uint32_t n) const;
    void LoadWord(uint32_t wordOffset, uint8_t* word) const;
    void StoreWord(uint32_t wordOffset, const uint8_t* word);
    bool StoredValueEquals(uint32_t position, const EntryHeader& header, uint16_t length,
                           const uint8_t* data) const;

    uint8_t* m_base;
};

/// The walk over the entry list, from the first entry position to the end marker. It holds
/// the one bound check every walk needs: an entry whose successor would lie past the area's
/// last byte ends the walk as corrupt, so no walk ever reads outside the area.
///
///     for (EntryWalk walk(area); walk.AtEntry(); walk.Advance()) { ... }
///     walk.Stop() then says why the walk ended and walk.Position() where.
class EntryWalk {
public:
    explicit EntryWalk(const NvdsArea& area);

    /// True while the walk stands on an entry whose successor lies inside the area.
    bool AtEntry() const { return m_stop == NVDS_OK; }

    /// Moves to the next entry (only while AtEntry()).
    void Advance();

    /// Where the walk stands: the current entry, or where it stopped.
    uint32_t Position() const { return m_position; }

    /// The header at Position().
    const EntryHeader& Header() const { return m_header; }

    /// The data bytes of the current entry start here.
    uint32_t DataPosition() const { return m_position + NVDS_HEADER_SIZE; }

    /// Why the walk ended: NVDS_NOT_FOUND at the end marker, NVDS_CORRUPT at an entry whose
    /// length leads past the area; NVDS_OK while it stands on an entry.
    uint8_t Stop() const { return m_stop; }

private:
    void Load();

    const NvdsArea& m_area;
    uint32_t m_position = NVDS_FIRST_ENTRY;
    EntryHeader m_header;
    uint8_t m_stop = NVDS_OK;
};

}  // namespace nvds
