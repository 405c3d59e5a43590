#include "image/CheckImage.h"

#include <cstdio>

#include "catalogue/ValueCodec.h"
#include "image/ImageTexts.h"
#include "image/NvdsArea.h"

namespace nvds {

namespace {

// Appends one report line: the formatted text and the line end the report has always used.
void AddLine(std::string& report, const std::string& line) {
    report += line;
    report += "   \n";
}

std::string Format(const char* format, uint32_t code, uint32_t a = 0, uint32_t b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, static_cast<int>(code), static_cast<int>(a),
                  static_cast<int>(b));
    return text;
}

// Reads the tag's entry into its valueText. Returns the report line, empty when the value
// was taken.
std::string TakeTag(const NvdsArea& area, CNvdsConfig& config, uint32_t code, TagEntry& entry) {
    const TagDef& def = entry.def;
    uint32_t position = 0;
    EntryHeader header;
    const uint8_t found = area.FindTag(static_cast<uint8_t>(code), position, header);
    if (found != NVDS_OK || header.length > NVDS_IMAGE_SIZE) {
        return Format("Tag=%3d: can not find this tag!", code);
    }
    uint8_t stored[NVDS_IMAGE_SIZE];
    area.AreaRead(position + NVDS_HEADER_SIZE, header.length, stored);
    uint32_t n = header.length;
    if (def.lengthVariable) {
        // The last stored byte is the terminator; an empty entry wraps to 65535 and fails.
        n = static_cast<uint16_t>(header.length - 1);
        if (n > def.length) {
            return Format(
                "Tag=%d: length is invalid, must be less or equal than %d byte, but current "
                "value is %d byte!",
                code, def.length, n);
        }
    } else if (n != def.length) {
        return Format(
            "Tag=%d: length is invalid, must be equal to %d byte, but current value is %d byte!",
            code, def.length, n);
    }
    if (BytesToText(def.coding, stored, n, entry.valueText) == -1) {
        return Format("Tag=%3d: coding is invalid!", code);
    }
    if (config.CheckValue(entry.valueText, def, 0) != 1) {
        return Format("Tag=%3d: ", code) + config.m_strError;
    }
    return "";
}

}  // namespace

int CheckImage(CNvdsConfig& config, TagTable& table, NvdsImage& image, Prompter& prompter) {
    const NvdsArea area(image);
    if (!area.HasMagic()) {
        return 0;
    }
    std::string report;
    for (uint32_t code = TAG_SYSTEM_FIRST; code <= TAG_USER_LAST; ++code) {
        TagEntry& entry = table[code];
        if (!entry.IsDefined() || !entry.def.show) {
            continue;
        }
        const std::string line = TakeTag(area, config, code, entry);
        if (!line.empty()) {
            AddLine(report, line);
            entry.valueText = entry.def.defaultText;
        }
    }
    if (!report.empty()) {
        prompter.Message("Find error on target NVDS: \n\n" + report +
                         "\nThese tags will be reset to default value!");
    }
    return 1;
}

int CheckDumpedImage(CNvdsConfig& config, TagTable& table, NvdsImage& image, Prompter& prompter,
                     const std::function<void()>& beforeMessage) {
    int result = CheckImage(config, table, image, prompter);
    if (result == 0) {
        if (beforeMessage) {
            beforeMessage();
        }
        prompter.Message(MSG_TARGET_ERROR);
    }
    return result;
}

}  // namespace nvds
