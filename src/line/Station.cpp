#include "line/Station.h"

#include "image/BuildImage.h"
#include "image/ImageFile.h"
#include "line/ProductionRecord.h"
#include "platform/Prompter.h"
#include "platform/Sha256.h"

namespace nvds::line {

namespace {

// Tag 1 holds the device address.
constexpr uint32_t TAG_DEVICE_ADDRESS = 1;

std::string Joined(const RecordingPrompter& prompter) {
    std::string text;
    for (const std::string& line : prompter.Texts()) {
        text += (text.empty() ? "" : "\n") + line;
    }
    return text;
}

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

bool GoldenImage::Load(const std::string& path, CNvdsConfig& config, const TagTable& catalogue,
                       std::string& error) {
    m_pConfig = &config;
    m_table = catalogue;
    RecordingPrompter refusal;
    RecordingPrompter report;  // tags reset to defaults: the golden image is taken as is
    NvdsImage image = ErasedImage();
    if (OpenImageFile(path, image, config, m_table, refusal, report) != ImageFileResult::Ok) {
        error = path + ": " + Joined(refusal);
        return false;
    }
    m_strName = path.substr(path.find_last_of('/') + 1);
    m_strSha256 = Sha256Hex(image.data(), image.size());
    if (!m_table[TAG_DEVICE_ADDRESS].IsDefined() ||
        m_table[TAG_DEVICE_ADDRESS].def.coding != CODING_BD_ADDR) {
        error = "The catalogue defines no device address (tag 1)";
        return false;
    }
    return true;
}

bool GoldenImage::Build(uint64_t address, NvdsImage& image, std::string& error) const {
    TagTable table = m_table;
    std::string text = AddressText(address);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_pConfig->CheckValue(text, table[TAG_DEVICE_ADDRESS].def, 0)) {
            error = m_pConfig->m_strError;
            return false;
        }
    }
    table[TAG_DEVICE_ADDRESS].valueText = text;
    RecordingPrompter prompter;
    image = ErasedImage();
    if (!BuildImage(table, image, prompter)) {
        error = Joined(prompter);
        return false;
    }
    return true;
}

}  // namespace nvds::line
