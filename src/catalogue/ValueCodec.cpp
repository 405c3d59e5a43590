#include "catalogue/ValueCodec.h"

#include <cstdio>

#include "catalogue/NumberText.h"

namespace nvds {

namespace {

std::string WithoutSpaces(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != ' ') {
            out += c;
        }
    }
    return out;
}

// Each pair is read the way strtoul reads it in base 16: up to its first non-hex character.
uint8_t PairValue(const std::string& digits, size_t pair) {
    return static_cast<uint8_t>(StrToUl32(digits.substr(2 * pair, 2), 16));
}

int HexToBytes(const std::string& text, uint8_t* buffer, uint32_t length) {
    std::string digits = WithoutSpaces(text);
    if (digits.size() % 2 != 0 || digits.size() / 2 != length) {
        return -1;
    }
    for (size_t i = 0; i < length; ++i) {
        buffer[i] = PairValue(digits, i);
    }
    return static_cast<int>(length);
}

int NumberToBytes(const std::string& text, uint8_t* buffer, uint32_t length) {
    if (length != 1 && length != 2 && length != 4) {
        return -1;
    }
    uint32_t value = StrToUl32(text, 0);
    for (uint32_t i = 0; i < length; ++i) {
        buffer[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return static_cast<int>(length);
}

int BoolToBytes(const std::string& text, uint8_t* buffer, uint32_t length) {
    if (length != 1) {
        return -1;
    }
    for (uint8_t v = 0; v < 2; ++v) {
        if (text == BOOL_TEXTS[v]) {
            buffer[0] = v;
            return 1;
        }
    }
    return -1;
}

// The address text starts with its most significant byte; the chip keeps it least
// significant byte first.
int BdAddrToBytes(const std::string& text, uint8_t* buffer, uint32_t length) {
    if (length != 6) {
        return -1;
    }
    std::string digits = WithoutSpaces(text);
    if (digits.size() != 12) {
        return -1;
    }
    for (size_t k = 0; k < 6; ++k) {
        buffer[5 - k] = PairValue(digits, k);
    }
    return 6;
}

void AppendHexPairs(const uint8_t* bytes, const int* order, int count, std::string& out) {
    char pair[4];
    for (int i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof(pair), "%02X ", bytes[order ? order[i] : i]);
        out += pair;
    }
    out = Trim(out);
}

int NumberFromBytes(const uint8_t* bytes, uint32_t count, std::string& out) {
    if (count != 1 && count != 2 && count != 4) {
        return -1;
    }
    uint32_t value = 0;
    for (uint32_t i = 0; i < count; ++i) {
        value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    }
    out = HexText(value);
    return 0;
}

}  // namespace

int TextToBytes(TagCoding coding, std::string text, uint8_t* buffer, uint32_t length) {
    text = Trim(text);
    switch (coding) {
        case CODING_ARRAY_HEX:
            return HexToBytes(text, buffer, length);
        case CODING_STRING_ASCII:
            if (length < text.size()) {
                return -1;
            }
            text.copy(reinterpret_cast<char*>(buffer), text.size());
            return static_cast<int>(text.size());
        case CODING_NUMBER:
            return NumberToBytes(text, buffer, length);
        case CODING_BOOL:
            return BoolToBytes(text, buffer, length);
        case CODING_BD_ADDR:
            return BdAddrToBytes(text, buffer, length);
    }
    return -1;
}

int BytesToText(TagCoding coding, const uint8_t* bytes, uint32_t count, std::string& out) {
    static constexpr int kBdAddrOrder[6] = {5, 4, 3, 2, 1, 0};
    out.clear();
    switch (coding) {
        case CODING_ARRAY_HEX:
            AppendHexPairs(bytes, nullptr, static_cast<int>(count), out);
            break;
        case CODING_STRING_ASCII:
            for (uint32_t i = 0; i < count && bytes[i] != 0; ++i) {
                out += static_cast<char>(bytes[i]);
            }
            out = Trim(out);
            break;
        case CODING_NUMBER:
            if (NumberFromBytes(bytes, count, out) < 0) {
                return -1;
            }
            break;
        case CODING_BOOL:
            if (count != 1 || bytes[0] > 1) {
                return -1;
            }
            out = BOOL_TEXTS[bytes[0]];
            break;
        case CODING_BD_ADDR:
            if (count != 6) {
                return -1;
            }
            AppendHexPairs(bytes, kBdAddrOrder, 6, out);
            break;
        default:
            return -1;
    }
    return static_cast<int>(out.size());
}

}  // namespace nvds
