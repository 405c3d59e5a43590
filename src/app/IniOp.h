#pragma once

#include <string>
#include <utility>
#include <vector>

namespace nvds {

/// The settings file: config.ini in a per-user folder named after the window caption, one
/// section "Setting". Every failure is silent and reads as the key's default.
class CIniOp {
public:
    virtual ~CIniOp() = default;

    /// Builds the path under $XDG_CONFIG_HOME (default ~/.config), creates the folder and an
    /// empty file when none exists, and sets the section name.
    void IniInit(const std::string& caption);
    /// True only for the texts "True" and "true".
    bool IniGetBool(const std::string& key) const;
    std::string IniGetString(const std::string& key, const std::string& fallback) const;
    int IniGetInt(const std::string& key, int fallback) const;
    void IniWriteString(const std::string& key, const std::string& value) const;
    /// Empties the file, dropping every key and section.
    void IniClear() const;
    /// Replaces the file by the section with exactly these keys, in this order, in one write,
    /// so an interrupted save leaves the old file rather than part of the new one.
    void IniWriteSection(const std::vector<std::pair<std::string, std::string>>& keys) const;

    std::string m_szPath;
    std::string m_szSection;
};

}  // namespace nvds
