#include "line/Station.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "image/CheckImage.h"
#include "image/ImageFile.h"
#include "image/NvdsArea.h"
#include "platform/AtomicFile.h"
#include "platform/Sha256.h"

namespace nvds::line {

namespace {

// Tag 1 holds the device address.
constexpr uint32_t TAG_DEVICE_ADDRESS = 1;
constexpr uint32_t ADDRESS_BYTES = 6;

}  // namespace

const char* StationStateName(StationState state) {
    switch (state) {
        case StationState::Waiting:
            return "waiting";
        case StationState::Checking:
            return "checking";
        case StationState::Burning:
            return "burning";
        case StationState::Verifying:
            return "verifying";
        case StationState::Pass:
            return "PASS";
        case StationState::Fail:
            return "FAIL";
        case StationState::Skipped:
            return "skipped";
        case StationState::PortLost:
            return "port lost";
        case StationState::RecordUnavailable:
            return "record unavailable";
        case StationState::Stopped:
            return "stopped";
    }
    return "";
}

bool GoldenImage::Load(const std::string& path, const TagTable& catalogue, std::string& error) {
    m_addressOffset = 0;
    NvdsImage image = ErasedImage();
    const ImageFileResult read = ReadImageFile(path, image);
    if (read != ImageFileResult::Ok) {
        error = path + ": " + ImageFileMessage(read);
        return false;
    }
    // The digest covers the file's own bytes, not the erased filler a short file is read into.
    std::string bytes;
    if (!ReadWholeFile(path, bytes) || bytes.size() > image.size() ||
        std::memcmp(bytes.data(), image.data(), bytes.size()) != 0) {
        error = path + ": the file changed while it was read";
        return false;
    }
    const TagEntry& address = catalogue[TAG_DEVICE_ADDRESS];
    if (!address.IsDefined() || address.def.coding != CODING_BD_ADDR) {
        error = "The catalogue defines no device address (tag 1)";
        return false;
    }

    std::vector<std::string> problems;
    const NvdsArea area(image);
    if (!area.HasMagic()) {
        problems.push_back(ImageFileMessage(ImageFileResult::NotImage));
    }
    EntryWalk walk(area);
    for (; walk.AtEntry(); walk.Advance()) {
        const EntryHeader& header = walk.Header();
        if (header.IsCurrent() && !catalogue[header.tag].IsDefined()) {
            problems.push_back("Tag=" + std::to_string(header.tag) +
                               ": not defined in the station's catalogue");
        }
    }
    if (walk.Stop() == NVDS_CORRUPT) {
        problems.push_back("the entry at offset " + std::to_string(walk.Position()) +
                           " runs past the end of the area");
    }
    // Whatever "Open..." would reset to its default: missing tags, wrong lengths, bad codings,
    // values out of range.
    TagTable table = catalogue;
    NvdsImage checked = image;
    const ImageCheck check = CheckImage(table, checked);
    problems.insert(problems.end(), check.problems.begin(), check.problems.end());
    uint32_t position = 0;
    EntryHeader header;
    if (area.FindTag(TAG_DEVICE_ADDRESS, position, header) != NVDS_OK) {
        problems.push_back("Tag=1: the device address is missing");
    } else if (header.length != address.def.length || header.length != ADDRESS_BYTES) {
        problems.push_back("Tag=1: the device address has " + std::to_string(header.length) +
                           " bytes, must have " + std::to_string(ADDRESS_BYTES));
    }
    if (!problems.empty()) {
        error = path + ": the station's catalogue would change this golden image:";
        std::vector<std::string> seen;
        for (const std::string& problem : problems) {
            if (std::find(seen.begin(), seen.end(), problem) == seen.end()) {
                error += "\n  " + problem;
                seen.push_back(problem);
            }
        }
        return false;
    }
    m_notices = check.notices;
    m_bytes = image;
    m_addressOffset = position + NVDS_HEADER_SIZE;
    m_strName = path.substr(path.find_last_of('/') + 1);
    m_strSha256 = Sha256Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return true;
}

bool GoldenImage::Build(uint64_t address, NvdsImage& image, std::string& error) const {
    if (m_addressOffset == 0) {
        error = "No golden image is loaded";
        return false;
    }
    image = m_bytes;
    // The address is stored with its last pair first.
    for (uint32_t i = 0; i < ADDRESS_BYTES; ++i) {
        image[m_addressOffset + i] = static_cast<uint8_t>(address >> (8 * i));
    }
    return true;
}

std::optional<uint64_t> AddressOnImage(const NvdsImage& image) {
    NvdsImage copy = image;  // the area reads through a mutable buffer
    const NvdsArea area(copy);
    if (!area.HasMagic()) {
        return std::nullopt;
    }
    EntryWalk walk(area);
    std::optional<uint64_t> address;
    for (; walk.AtEntry(); walk.Advance()) {
        const EntryHeader& header = walk.Header();
        if (header.tag == TAG_DEVICE_ADDRESS && header.IsCurrent() && !address &&
            header.length == ADDRESS_BYTES) {
            uint64_t value = 0;
            for (uint32_t i = 0; i < ADDRESS_BYTES; ++i) {
                value |= uint64_t(image[walk.DataPosition() + i]) << (8 * i);
            }
            address = value;
        }
    }
    if (walk.Stop() != NVDS_NOT_FOUND) {
        return std::nullopt;
    }
    return address;
}

}  // namespace nvds::line
