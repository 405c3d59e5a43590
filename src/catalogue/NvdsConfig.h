#pragma once

#include <string>

#include "catalogue/TagTypes.h"
#include "platform/Prompter.h"

struct _xmlNode;

namespace nvds {

/// Name of the program's folder for per-user data.
inline constexpr const char* USER_DATA_FOLDER = "zb446x-nvds-configurator";
/// File name of the user database.
inline constexpr const char* USER_DB_FILE = "userkey_db.xml";

/// What a value check found.
struct ValueCheck {
    /// Why the text is invalid ("Bool value is invalid, ..."); empty when it is valid.
    std::string error;
    /// A note the user is given although the text is valid (a short hex array was filled).
    std::string notice;

    bool Ok() const { return error.empty(); }
};

/// The tag catalogue: where the two tag databases lie, loading them into a TagTable, writing
/// the user range back, and validating value texts against a definition. It owns no table.
class CNvdsConfig {
public:
    /// The system database beside the executable; the user database by the per-user rule of
    /// DefaultUserDbPath and UserDbCopyPath.
    explicit CNvdsConfig(Prompter& prompter);
    /// Databases at the given paths (command-line overrides, tests); both reads and writes of
    /// the user database go to `userDbPath`. An empty `userDbPath` means the per-user rule.
    CNvdsConfig(Prompter& prompter, std::string sysDbPath, std::string userDbPath);
    virtual ~CNvdsConfig() = default;

    /// The user's own copy of the user database: $XDG_DATA_HOME (when absolute, else
    /// ~/.local/share) / USER_DATA_FOLDER / userkey_db.xml. Empty when there is no home folder.
    static std::string UserDbCopyPath();
    /// The user database read when none is given: the user's own copy once it exists, else
    /// the shipped userkey_db.xml beside the executable.
    static std::string DefaultUserDbPath();

    std::string GetSysDbPath() const { return m_strSysDbPath; }
    /// The user database to read: m_strUserDbPath when set, else DefaultUserDbPath(), looked
    /// up again at each call so that a copy another window just made is read from then on.
    std::string GetUserDbPath() const;
    /// Where Apply and Import write the user database: m_strUserDbPath when set, else the
    /// user's own copy (the shipped file beside the executable when there is no home folder).
    std::string GetUserDbSavePath() const;
    /// Creates the folder that GetUserDbSavePath() lies in. False with `error` set on failure.
    bool PrepareUserDbSave(std::string* error) const;

    /// Empties the slots of a range (mark 0, nothing else changed).
    static void ClearTagRange(TagDbKind kind, TagTable& table);

    /// Reads a system or user database (kind from the root element) into the table.
    /// 1 when the whole file was read; 0 otherwise ("Config file damage" on damage).
    int LoadTagDb(const std::string& path, TagTable& table);

    /// Reads a user database into the table as LoadTagDb does, but refuses, without reading a
    /// tag or showing a message, a file whose root element is the system database's (read as
    /// the user database, it would replace the system tags): 0 with `wrongRoot` set.
    int LoadUserTagDb(const std::string& path, TagTable& table, bool* wrongRoot = nullptr);

    /// Reads the tag elements of an already parsed root element. 1 or 0.
    int ParseTagDb(TagDbKind kind, _xmlNode* root, TagTable& table);

    /// Writes the user range of the table as a user database. 1 written, 0 failed
    /// ("Error coding" or "Save fail!!" shown through the prompter).
    static int SaveUserTagDb(const std::string& path, const TagTable& table, Prompter& prompter);

    /// Validates the text against the definition and rewrites it into its canonical form.
    static ValueCheck ValidateValue(std::string& text, const TagDef& def);
    /// ValidateValue for the windows: 1 valid, 0 invalid; the notice is shown, and the error
    /// when show is nonzero.
    int CheckValue(std::string& text, const TagDef& def, int show);

    /// Index of the first entry that contains the text, ignoring case; -1 for none.
    static int FindTextInList(const char* const* list, int count, const std::string& text);

    Prompter& GetPrompter() const { return *m_prompter; }

    std::string m_strSysDbPath;
    /// The user database given explicitly; empty for the per-user rule (GetUserDbPath).
    std::string m_strUserDbPath;

protected:
    Prompter* m_prompter;

private:
    int ParseTagElement(TagDbKind kind, _xmlNode* node, TagTable& table);
    int LoadTagDbOf(const std::string& path, TagTable& table, bool userOnly, bool* wrongRoot);
};

}  // namespace nvds
