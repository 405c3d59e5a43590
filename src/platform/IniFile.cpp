#include "platform/IniFile.h"

#include <strings.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/AtomicFile.h"

namespace nvds {

namespace {

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

std::string TrimBlanks(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) {
        return {};
    }
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

}  // namespace

bool CIniFile::Load(const std::string& path) {
    m_sections.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::string line;
    Section* current = nullptr;
    while (std::getline(in, line)) {
        line = TrimBlanks(line);
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            std::string name = line.substr(1, line.size() - 2);
            current = FindSection(name);
            if (current == nullptr) {
                m_sections.push_back({name, {}});
                current = &m_sections.back();
            }
            continue;
        }
        size_t eq = line.find('=');
        if (current == nullptr || eq == std::string::npos) {
            continue;  // keys before any section and lines without '=' are not readable
        }
        std::string key = TrimBlanks(line.substr(0, eq));
        std::string value = TrimBlanks(line.substr(eq + 1));
        bool known = false;
        for (const Entry& entry : current->entries) {
            known = known || SameName(entry.key, key);
        }
        if (!known) {  // the first of two equal keys wins, as with the profile reader
            current->entries.push_back({key, value});
        }
    }
    return true;
}

bool CIniFile::Save(const std::string& path) const {
    std::ostringstream out;
    for (const Section& section : m_sections) {
        out << '[' << section.name << "]\n";
        for (const Entry& entry : section.entries) {
            out << entry.key << '=' << entry.value << '\n';
        }
    }
    std::string text = out.str();
    return WriteFileAtomically(path, text.data(), text.size());
}

std::string CIniFile::Get(const std::string& section, const std::string& key,
                          const std::string& fallback) const {
    const Section* found = FindSection(section);
    if (found != nullptr) {
        for (const Entry& entry : found->entries) {
            if (SameName(entry.key, key)) {
                return entry.value;
            }
        }
    }
    return fallback;
}

void CIniFile::Set(const std::string& section, const std::string& key, const std::string& value) {
    Section* found = FindSection(section);
    if (found == nullptr) {
        m_sections.push_back({section, {}});
        found = &m_sections.back();
    }
    for (Entry& entry : found->entries) {
        if (SameName(entry.key, key)) {
            entry.value = value;
            return;
        }
    }
    found->entries.push_back({key, value});
}

CIniFile::Section* CIniFile::FindSection(const std::string& name) {
    for (Section& section : m_sections) {
        if (SameName(section.name, name)) {
            return &section;
        }
    }
    return nullptr;
}

const CIniFile::Section* CIniFile::FindSection(const std::string& name) const {
    return const_cast<CIniFile*>(this)->FindSection(name);
}

std::string IniReadString(const std::string& path, const std::string& section,
                          const std::string& key, const std::string& fallback) {
    CIniFile file;
    file.Load(path);
    return file.Get(section, key, fallback);
}

int IniReadInt(const std::string& path, const std::string& section, const std::string& key,
               int fallback) {
    CIniFile file;
    file.Load(path);
    const std::string missing = "\x01";
    std::string text = file.Get(section, key, missing);
    if (text == missing) {
        return fallback;
    }
    return std::atoi(text.c_str());
}

bool IniWriteString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value) {
    CIniFile file;
    file.Load(path);
    file.Set(section, key, value);
    return file.Save(path);
}

}  // namespace nvds
