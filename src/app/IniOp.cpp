#include "app/IniOp.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "platform/IniFile.h"

namespace nvds {

namespace {

// Same limit as the path buffer of the profile functions, terminator included.
constexpr size_t INI_MAX_PATH = 260;

std::string ConfigFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return xdg;
    }
    const char* home = std::getenv("HOME");
    return home != nullptr ? std::string(home) + "/.config" : std::string();
}

}  // namespace

void CIniOp::IniInit(const std::string& caption) {
    m_szSection = "Setting";
    m_szPath.clear();
    std::string base = ConfigFolder();
    if (base.empty()) {
        return;
    }
    std::string folder = base + "/" + caption.substr(0, INI_MAX_PATH - 1) + "_config";
    std::string path = folder + "/config.ini";
    if (path.size() >= INI_MAX_PATH) {
        return;  // too long for the settings path: run with the defaults, write nothing
    }
    mkdir(base.c_str(), 0700);
    mkdir(folder.c_str(), 0700);
    if (FILE* file = std::fopen(path.c_str(), "ab")) {
        std::fclose(file);
    }
    m_szPath = path;
}

bool CIniOp::IniGetBool(const std::string& key) const {
    std::string text = IniGetString(key, "False");
    return text == "True" || text == "true";
}

std::string CIniOp::IniGetString(const std::string& key, const std::string& fallback) const {
    if (m_szPath.empty()) {
        return fallback;
    }
    return IniReadString(m_szPath, m_szSection, key, fallback);
}

int CIniOp::IniGetInt(const std::string& key, int fallback) const {
    if (m_szPath.empty()) {
        return fallback;
    }
    return IniReadInt(m_szPath, m_szSection, key, fallback);
}

void CIniOp::IniWriteString(const std::string& key, const std::string& value) const {
    if (!m_szPath.empty()) {
        nvds::IniWriteString(m_szPath, m_szSection, key, value);
    }
}

void CIniOp::IniWriteSection(const std::vector<std::pair<std::string, std::string>>& keys) const {
    if (m_szPath.empty()) {
        return;
    }
    CIniFile file;
    for (const auto& [key, value] : keys) {
        file.Set(m_szSection, key, value);
    }
    file.Save(m_szPath);
}

void CIniOp::IniClear() const {
    if (!m_szPath.empty()) {
        CIniFile().Save(m_szPath);
    }
}

}  // namespace nvds
