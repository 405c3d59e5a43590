#include "catalogue/NumberText.h"

#include <cstdio>

namespace nvds {

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

int DigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 10;
    }
    return 99;
}

}  // namespace

uint32_t StrToUl32(const std::string& text, int base) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n && IsSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // A "0x" prefix counts only when a hex digit follows it; "0x" alone reads as 0.
    auto hexPrefixAt = [&](size_t k) {
        return k + 2 < n && text[k] == '0' && (text[k + 1] == 'x' || text[k + 1] == 'X') &&
               DigitValue(text[k + 2]) < 16;
    };
    if (base == 0) {
        if (hexPrefixAt(i)) {
            base = 16;
            i += 2;
        } else if (i < n && text[i] == '0') {
            base = 8;
        } else {
            base = 10;
        }
    } else if (base == 16 && hexPrefixAt(i)) {
        i += 2;
    }
    uint64_t value = 0;
    bool overflow = false;
    bool any = false;
    for (; i < n; ++i) {
        int d = DigitValue(text[i]);
        if (d >= base) {
            break;
        }
        any = true;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (value > 0xFFFFFFFFull) {
            overflow = true;
            value = 0xFFFFFFFFull;  // keep accumulating bounded; the result is saturated anyway
        }
    }
    if (!any) {
        return 0;
    }
    if (overflow) {
        return 0xFFFFFFFFu;
    }
    uint32_t result = static_cast<uint32_t>(value);
    return negative ? static_cast<uint32_t>(0u - result) : result;
}

std::string HexText(uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof(buf), "0x%X", value);
    return buf;
}

std::string Trim(const std::string& text) {
    size_t b = 0;
    size_t e = text.size();
    while (b < e && IsSpace(text[b])) {
        ++b;
    }
    while (e > b && IsSpace(text[e - 1])) {
        --e;
    }
    return text.substr(b, e - b);
}

}  // namespace nvds
