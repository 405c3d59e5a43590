#pragma once

#include <string>

#include "catalogue/TagTypes.h"
#include "platform/Prompter.h"

struct _xmlNode;

namespace nvds {

/// The tag catalogue: where the two tag databases lie, loading them into a TagTable, writing
/// the user range back, and validating value texts against a definition. It owns no table.
class CNvdsConfig {
public:
    /// Databases beside the executable (zbkey_db.xml, userkey_db.xml).
    explicit CNvdsConfig(Prompter& prompter);
    /// Databases at the given paths (command-line overrides, tests).
    CNvdsConfig(Prompter& prompter, std::string sysDbPath, std::string userDbPath);
    virtual ~CNvdsConfig() = default;

    std::string GetSysDbPath() const { return m_strSysDbPath; }
    std::string GetUserDbPath() const { return m_strUserDbPath; }

    /// Empties the slots of a range (mark 0, nothing else changed).
    static void ClearTagRange(TagDbKind kind, TagTable& table);

    /// Reads a system or user database (kind from the root element) into the table.
    /// 1 when the whole file was read; 0 otherwise ("Config file damage" on damage).
    int LoadTagDb(const std::string& path, TagTable& table);

    /// Reads the tag elements of an already parsed root element. 1 or 0.
    int ParseTagDb(TagDbKind kind, _xmlNode* root, TagTable& table);

    /// Writes the user range of the table as a user database. 1 written, 0 failed
    /// ("Error coding" or "Save fail!!" shown through the prompter).
    static int SaveUserTagDb(const std::string& path, const TagTable& table, Prompter& prompter);

    /// Validates the text against the definition and rewrites it into its canonical form.
    /// 1 valid, 0 invalid (message in m_strError, and shown when show is nonzero).
    int CheckValue(std::string& text, const TagDef& def, int show);

    /// Index of the first entry that contains the text, ignoring case; -1 for none.
    static int FindTextInList(const char* const* list, int count, const std::string& text);

    Prompter& GetPrompter() const { return *m_prompter; }
    void SetPrompter(Prompter& prompter) { m_prompter = &prompter; }

    std::string m_strError;
    std::string m_strSysDbPath;
    std::string m_strUserDbPath;

protected:
    Prompter* m_prompter;

private:
    // Records the message as the last error, shows it when asked; always 0.
    int Fail(const std::string& message, int show);
    int CheckHexArray(std::string& text, const TagDef& def, int show);
    int CheckAsciiString(const std::string& text, const TagDef& def, int show);
    int CheckNumber(std::string& text, const TagDef& def, int show);
    int CheckBool(std::string& text, int show);
    int CheckBdAddr(std::string& text, const TagDef& def, int show);
    int ParseTagElement(TagDbKind kind, _xmlNode* node, TagTable& table);
};

}  // namespace nvds
