#include "app/TagDescription.h"

#include <cstdio>

namespace nvds {

namespace {

std::string Format(const char* format, uint32_t a, uint32_t b = 0) {
    char text[64];
    std::snprintf(text, sizeof(text), format, a, b);
    return text;
}

const char* NumberType(uint32_t length) {
    switch (length) {
        case 1:
            return "uint8_t";
        case 2:
            return "uint16_t";
        case 4:
            return "uint32_t";
        default:
            return "error type";
    }
}

struct CodingLines {
    std::string words;
    std::string size;
    std::string range;
};

bool DescribeCoding(const TagDef& def, CodingLines& lines) {
    switch (def.coding) {
        case CODING_ARRAY_HEX:
            lines = {"Hex array (MSB)", Format("Length: %d byte", def.length), ""};
            return true;
        case CODING_STRING_ASCII:
            lines = {"Ascii string (MSB)",
                     Format("Length: %d byte", def.length) +
                         (def.lengthVariable ? " (Max length)" : " (Fixed length)"),
                     ""};
            return true;
        case CODING_NUMBER:
            lines = {"Number (little endian)", std::string("Type  : ") + NumberType(def.length),
                     Format("Range : 0x%X ~ 0x%X", def.min, def.max)};
            return true;
        case CODING_BOOL:
            lines = {"Bool", "Type  : bool(1 byte)", "Range : False or True"};
            return true;
        case CODING_BD_ADDR:
            lines = {"BD address (LSB)", Format("Length: %d byte", def.length), ""};
            return true;
    }
    lines = {};
    return false;
}

}  // namespace

std::string BuildTagDescription(const TagDef& def, bool* codingKnown) {
    CodingLines lines;
    bool known = DescribeCoding(def, lines);
    if (codingKnown != nullptr) {
        *codingKnown = known;
    }
    std::string text = "Description: \r" + def.description + "\r\r";
    text += "Coding: " + lines.words + "\r";
    text += lines.size + "\r";
    if (!lines.range.empty()) {
        text += lines.range + "\r";
    }
    text += "Reset : " + def.defaultText;
    return text;
}

}  // namespace nvds
