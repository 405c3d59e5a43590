#include "image/CheckImage.h"

#include <cstdio>

#include "catalogue/NvdsConfig.h"
#include "catalogue/ValueCodec.h"
#include "image/ImageTexts.h"
#include "image/NvdsArea.h"

namespace nvds {

namespace {

std::string Format(const char* format, uint32_t code, uint32_t a = 0, uint32_t b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, static_cast<int>(code), static_cast<int>(a),
                  static_cast<int>(b));
    return text;
}

// Reads the tag's entry into its valueText. Returns the report line, empty when the value
// was taken; the value check's note goes to `notices`.
std::string TakeTag(const NvdsArea& area, uint32_t code, TagEntry& entry,
                    std::vector<std::string>& notices) {
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
    const ValueCheck check = CNvdsConfig::ValidateValue(entry.valueText, def);
    if (!check.notice.empty()) {
        notices.push_back(check.notice);
    }
    return check.Ok() ? "" : Format("Tag=%3d: ", code) + check.error;
}

}  // namespace

std::string ImageCheck::Report() const {
    if (problems.empty()) {
        return "";
    }
    std::string report = "Find error on target NVDS: \n\n";
    for (const std::string& line : problems) {
        report += line + "   \n";
    }
    return report + "\nThese tags will be reset to default value!";
}

std::vector<std::string> ImageCheck::Messages() const {
    if (!refusal.empty()) {
        return {refusal};
    }
    std::vector<std::string> texts = notices;
    if (!problems.empty()) {
        texts.push_back(Report());
    }
    return texts;
}

ImageCheck CheckImage(TagTable& table, NvdsImage& image) {
    ImageCheck check;
    const NvdsArea area(image);
    if (!area.HasMagic()) {
        return check;
    }
    check.result = 1;
    for (uint32_t code = TAG_SYSTEM_FIRST; code <= TAG_USER_LAST; ++code) {
        TagEntry& entry = table[code];
        if (!entry.IsDefined() || !entry.def.show) {
            continue;
        }
        std::string line = TakeTag(area, code, entry, check.notices);
        if (!line.empty()) {
            check.problems.push_back(std::move(line));
            entry.valueText = entry.def.defaultText;
        }
    }
    return check;
}

ImageCheck CheckDumpedImage(TagTable& table, NvdsImage& image) {
    ImageCheck check = CheckImage(table, image);
    if (check.result == 0) {
        check.refusal = MSG_TARGET_ERROR;
    }
    return check;
}

}  // namespace nvds
