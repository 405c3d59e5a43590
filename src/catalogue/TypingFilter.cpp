#include "catalogue/TypingFilter.h"

#include <cctype>

namespace nvds {

namespace {

bool IsHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

bool TypingFilterAccepts(const TagDef& def, char c) {
    if (c == KEY_BACKSPACE) {
        return true;
    }
    if (!def.dict.empty()) {
        return c != '\0' && def.dict.find(c) != std::string::npos;
    }
    switch (def.coding) {
        case CODING_ARRAY_HEX:
            return IsHexDigit(c) || c == ' ';
        case CODING_NUMBER:
            return IsHexDigit(c) || c == 'x' || c == 'X' || c == '-';
        case CODING_BD_ADDR:
            return IsHexDigit(c) || c == ':' || c == ' ';
        default:
            return true;
    }
}

size_t FirstRefusedChar(const TagDef& def, const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (!TypingFilterAccepts(def, text[i])) {
            return i;
        }
    }
    return std::string::npos;
}

}  // namespace nvds
