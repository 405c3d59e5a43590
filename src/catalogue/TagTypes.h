#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nvds {

/// Coding of a tag value; the value is also the index into CODING_NAMES.
enum TagCoding : uint32_t {
    CODING_ARRAY_HEX = 0,
    CODING_STRING_ASCII = 1,
    CODING_NUMBER = 2,
    CODING_BOOL = 3,
    CODING_BD_ADDR = 4,
};

constexpr int CODING_COUNT = 5;
/// Display names of the codings, in coding order (list column, CODE attribute, data type choice).
inline constexpr const char* CODING_NAMES[CODING_COUNT] = {"Array(Hex)", "String(Ascii)", "Number",
                                                           "Bool", "BD Addr"};
/// Bool texts; the index is the stored byte.
inline constexpr const char* BOOL_TEXTS[2] = {"False", "True"};

/// Ranges of tag codes: system tags 1..99, user tags 100..254, all slots 0..254 (clearing only).
enum TagDbKind : uint32_t {
    TAGDB_SYSTEM = 0,
    TAGDB_USER = 1,
    TAGDB_ALL = 2,
};

constexpr uint32_t TAG_SYSTEM_FIRST = 1;
constexpr uint32_t TAG_SYSTEM_LAST = 99;
constexpr uint32_t TAG_USER_FIRST = 100;
constexpr uint32_t TAG_USER_LAST = 254;
/// Longest value a definition may declare, in bytes.
constexpr uint32_t TAG_MAX_LENGTH = 4096;

/// The definition of one tag, as read from a tag database.
struct TagDef {
    std::string name;
    std::string defaultText;  // canonical text of the coding
    uint32_t min = 0;
    uint32_t max = 0;
    uint32_t length = 0;
    bool lengthVariable = false;
    bool readOnly = false;
    bool show = false;
    std::string dict;  // characters allowed when typing the value; empty: the coding's filter
    TagCoding coding = CODING_ARRAY_HEX;
    std::string label;
    std::string description;

    bool operator==(const TagDef&) const = default;
};

constexpr uint32_t TAG_ENTRY_MARK = 0x55AA;

/// One slot of a TagTable: a definition and the tag's current value.
struct TagEntry {
    uint32_t mark = 0;  // TAG_ENTRY_MARK when the slot holds a definition
    uint32_t tag = 0;
    std::string valueText;
    std::vector<uint8_t> valueBytes;  // filled only while an image is built
    TagDef def;

    bool IsDefined() const { return mark == TAG_ENTRY_MARK; }
};

constexpr size_t TAG_TABLE_SIZE = 255;
/// One slot per tag code 0..254, indexed by the code.
using TagTable = std::array<TagEntry, TAG_TABLE_SIZE>;

}  // namespace nvds
