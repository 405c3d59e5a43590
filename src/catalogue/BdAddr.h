#pragma once

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace nvds {

/// How the device address steps from one chip to the next (stored as BDADDR_TYPE).
enum BdAddrMode : int {
    BDADDR_CUSTOM = 0,
    BDADDR_RANDOM = 1,
    BDADDR_INCREASE = 2,
    BDADDR_DECREASE = 3,
};

/// The device address as two 24-bit halves: U from the first three pairs, L from the last
/// three, each with its first pair in bits 16..23.
struct BdAddrHalves {
    uint32_t upper = 0;
    uint32_t lower = 0;
};

namespace bdaddr_detail {

// Two characters from `pos`, read as hex up to the first non-hex character; 0 when none.
inline uint32_t HexPiece(const std::string& text, size_t pos) {
    uint32_t value = 0;
    for (size_t i = pos; i < pos + 2 && i < text.size(); ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) {
            break;
        }
        char digit[2] = {text[i], 0};
        value = value * 16 + static_cast<uint32_t>(std::strtoul(digit, nullptr, 16));
    }
    return value;
}

inline uint32_t Half(const std::string& packed, size_t first) {
    return HexPiece(packed, first) << 16 | HexPiece(packed, first + 2) << 8 |
           HexPiece(packed, first + 4);
}

}  // namespace bdaddr_detail

/// Splits an address text into its halves. Spaces are removed first; any other text is read
/// piece by piece, so a damaged text still gives halves built from what can be converted.
inline BdAddrHalves ReadBdAddr(const std::string& text) {
    std::string packed;
    for (char c : text) {
        if (c != ' ') {
            packed += c;
        }
    }
    return {bdaddr_detail::Half(packed, 0), bdaddr_detail::Half(packed, 6)};
}

/// The canonical text "11 22 33 AA BB CC"; bits above bit 23 of either half are dropped.
inline std::string FormatBdAddr(uint32_t upper, uint32_t lower) {
    char text[24];
    std::snprintf(text, sizeof(text), "%02X %02X %02X %02X %02X %02X", (upper >> 16) & 0xFF,
                  (upper >> 8) & 0xFF, upper & 0xFF, (lower >> 16) & 0xFF, (lower >> 8) & 0xFF,
                  lower & 0xFF);
    return text;
}

/// The 48-bit value of a device address text: twelve hex digits, most significant pair first,
/// with spaces anywhere ("C0 11 22 00 00 01", "C0112200 0001") or in the colon form
/// "C0:11:22:00:00:01". Nothing for any other text, the empty text included. The one parser
/// the command line, the line and the window share.
inline std::optional<uint64_t> ParseAddress(const std::string& text) {
    std::string digits;
    if (text.find(':') != std::string::npos) {
        // Exactly "XX:XX:XX:XX:XX:XX".
        if (text.size() != 17) {
            return std::nullopt;
        }
        for (size_t i = 0; i < text.size(); ++i) {
            const bool colon = i % 3 == 2;
            if (colon ? text[i] != ':' : !std::isxdigit(static_cast<unsigned char>(text[i]))) {
                return std::nullopt;
            }
            if (!colon) {
                digits += text[i];
            }
        }
    } else {
        for (char c : text) {
            if (std::isxdigit(static_cast<unsigned char>(c))) {
                digits += c;
            } else if (c != ' ') {
                return std::nullopt;
            }
        }
    }
    if (digits.size() != 12) {
        return std::nullopt;
    }
    return std::strtoull(digits.c_str(), nullptr, 16);
}

/// The canonical text of a 48-bit address value, "C0 11 22 00 00 01".
inline std::string AddressText(uint64_t address) {
    return FormatBdAddr(uint32_t(address >> 24), uint32_t(address & 0xFFFFFF));
}

/// A 15-bit pseudo-random number (0..32767) from a generator seeded with `seed`.
inline uint32_t Random15(uint32_t seed) {
    // One step of a linear congruential generator; the top bits are the best mixed.
    uint32_t state = seed * 1103515245u + 12345u;
    return (state >> 16) & 0x7FFF;
}

/// The random lower half: r1 drawn after seeding with the calendar time in seconds, r2 after
/// seeding with the tick count in milliseconds; L = r2 * 65536 + r1. Seeding twice keeps two
/// chips burned within the same second apart.
inline uint32_t RandomLowerHalf(uint32_t timeSeconds, uint32_t tickMs) {
    uint32_t r1 = Random15(timeSeconds);
    uint32_t r2 = Random15(tickMs);
    return r2 * 65536u + r1;
}

/// The next lower half by mode: Random draws a new one, Increase adds 1, Decrease subtracts 1
/// (32-bit wrap; only 24 bits are ever written), Custom keeps it.
inline uint32_t AdvanceBdAddr(int mode, uint32_t lower, uint32_t timeSeconds, uint32_t tickMs) {
    switch (mode) {
        case BDADDR_RANDOM:
            return RandomLowerHalf(timeSeconds, tickMs);
        case BDADDR_INCREASE:
            return lower + 1;
        case BDADDR_DECREASE:
            return lower - 1;
        default:
            return lower;
    }
}

/// The address text after one step by mode, in canonical form (Custom only rewrites it).
inline std::string AdvanceBdAddrText(int mode, const std::string& text, uint32_t timeSeconds,
                                     uint32_t tickMs) {
    BdAddrHalves halves = ReadBdAddr(text);
    return FormatBdAddr(halves.upper, AdvanceBdAddr(mode, halves.lower, timeSeconds, tickMs));
}

}  // namespace nvds
