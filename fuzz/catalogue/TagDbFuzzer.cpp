// Feeds arbitrary bytes to the tag database reader as a file. When a file loads and defines
// user tags that the writer accepts, the written database must read back to the same
// definitions: anything else aborts.
#include "FuzzTargets.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "catalogue/NvdsConfig.h"

namespace {

std::string ScratchPath(const char* suffix) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/tagdb_fuzz." + std::to_string(getpid()) + suffix;
}

bool WriteAll(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

void CheckRoundTrip(nvds::CNvdsConfig& config, const nvds::TagTable& loaded) {
    static const std::string savedPath = ScratchPath(".saved.xml");
    nvds::RecordingPrompter prompter;
    if (!nvds::CNvdsConfig::SaveUserTagDb(savedPath, loaded, prompter)) {
        return;
    }
    nvds::TagTable reread;
    if (!config.LoadTagDb(savedPath, reread)) {
        std::abort();
    }
    for (uint32_t code = nvds::TAG_USER_FIRST; code <= nvds::TAG_USER_LAST; ++code) {
        if (loaded[code].IsDefined() != reread[code].IsDefined()) {
            std::abort();
        }
        nvds::TagDef expected = loaded[code].def;
        expected.show = true;  // the writer keeps neither SHOW nor DICT
        expected.dict.clear();
        if (loaded[code].IsDefined() && reread[code].def != expected) {
            std::abort();
        }
    }
}

}  // namespace

int nvds::fuzz::TagDbInput(const uint8_t* data, size_t size) {
    static const std::string inputPath = ScratchPath(".xml");
    if (!WriteAll(inputPath, data, size)) {
        return 0;
    }
    nvds::RecordingPrompter prompter;
    nvds::CNvdsConfig config(prompter, "", "");
    nvds::TagTable table;
    if (config.LoadTagDb(inputPath, table)) {
        CheckRoundTrip(config, table);
    }
    return 0;
}
