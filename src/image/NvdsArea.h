#pragma once

#include <cstdint>

#include "image/NvdsImage.h"

namespace nvds {

/// Positions handed to and returned by the storage layer are byte offsets from the start of
/// the bound image (the entry list starts at NVDS_FIRST_ENTRY).
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

/// Binds the storage operations to an image buffer. The binding is process-wide and stays
/// until the next call; the buffer must outlive its use.
void BindArea(NvdsImage& image);

/// Copies n bytes at `offset` of the bound area, word by word as the flash is read.
/// Bytes that would lie outside the area read as 0xFF.
void AreaRead(uint32_t offset, uint32_t n, uint8_t* dest);

/// Writes n bytes at `offset` by word load, overlay and store; bytes of touched words outside
/// the range keep their content. Bytes outside the area are dropped.
void AreaWrite(uint32_t offset, uint32_t n, const uint8_t* source);

/// Sets n bytes at `offset` to the erased value 0xFF (clipped to the area).
void AreaErase(uint32_t offset, uint32_t n);

/// Reads the entry header at `offset`.
EntryHeader ReadHeader(uint32_t offset);

/// Finds the first current entry of `tag`. Returns NVDS_OK (position of the entry),
/// NVDS_NOT_FOUND (position of the end marker) or NVDS_CORRUPT (position of the entry whose
/// length would lead past the area). `header` is the last header read.
uint8_t FindTag(uint8_t tag, uint32_t& position, EntryHeader& header);

/// Stores a value the way the chip's firmware does: an equal current value is left alone,
/// a different one is superseded and the new entry appended, compacting when the end is near.
/// Returns NVDS_OK, NVDS_LOCKED (current entry locked, nothing written) or NVDS_NO_SPACE.
uint8_t PutTag(uint8_t tag, uint16_t length, const uint8_t* data);

/// Rewrites the area with only its current entries, packed from the first entry position.
void CompactArea();

}  // namespace nvds
