#pragma once

#include <string>
#include <vector>

namespace nvds {

/// A small INI file: sections of key=value lines, kept in the order they were first written.
/// Section and key names match without regard to case, as the profile functions do.
class CIniFile {
public:
    /// Reads the file; a missing or unreadable file gives an empty one. False when unreadable.
    bool Load(const std::string& path);
    /// Writes all sections back ("[Section]" then "key=value" lines). False on failure.
    bool Save(const std::string& path) const;

    /// The value of a key, or `fallback` when the section or key is absent.
    std::string Get(const std::string& section, const std::string& key,
                    const std::string& fallback) const;
    /// Sets a key, appending the section and the key at the end when new.
    void Set(const std::string& section, const std::string& key, const std::string& value);

private:
    struct Entry {
        std::string key;
        std::string value;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };
    Section* FindSection(const std::string& name);
    const Section* FindSection(const std::string& name) const;

    std::vector<Section> m_sections;
};

/// Reads one key of a file, as GetPrivateProfileString does.
std::string IniReadString(const std::string& path, const std::string& section,
                          const std::string& key, const std::string& fallback);
/// Reads one key as a decimal integer (leading digits and sign, as atoi reads); `fallback`
/// when the key is absent.
int IniReadInt(const std::string& path, const std::string& section, const std::string& key,
               int fallback);
/// Sets one key and rewrites the file, creating the section on the first write. False on failure.
bool IniWriteString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value);

}  // namespace nvds
