// Feeds arbitrary bytes to the tag database reader as a file. When a file loads and defines
// user tags that the writer accepts, the written database must read back to the same
// definitions: anything else aborts.
#include "FuzzTargets.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "catalogue/NvdsConfig.h"

namespace {

// A folder of this process's own under $TMPDIR for the input and the written database, removed
// with everything in it when the process ends (libFuzzer's run limit, or the replay test), so
// runs leave nothing behind. A crash leaves it, beside libFuzzer's own crash input.
class ScratchFolder {
public:
    ScratchFolder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tagdb_fuzz.XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~ScratchFolder() {
        if (!m_path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_path, ignored);
        }
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    /// A file in the folder; empty when the folder could not be made.
    std::string File(const char* name) const { return m_path.empty() ? "" : m_path + "/" + name; }

private:
    std::string m_path;
};

std::string ScratchPath(const char* name) {
    static const ScratchFolder folder;
    return folder.File(name);
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
    static const std::string savedPath = ScratchPath("saved.xml");
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
    static const std::string inputPath = ScratchPath("input.xml");
    if (inputPath.empty() || !WriteAll(inputPath, data, size)) {
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
