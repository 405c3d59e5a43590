#include "catalogue/NvdsConfig.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <unistd.h>

#include "catalogue/NumberText.h"
#include "platform/AppFolder.h"
#include "platform/TextEscape.h"

namespace nvds {

namespace {

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

void RemoveSpaces(std::string& text) {
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
}

[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...) {
    char buf[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    return buf;
}

// "112233" -> "11 22 33".
std::string SpacedPairs(const std::string& digits) {
    std::string out;
    for (size_t i = 0; i < digits.size(); i += 2) {
        if (i > 0) {
            out += ' ';
        }
        out.append(digits, i, 2);
    }
    return out;
}

}  // namespace

CNvdsConfig::CNvdsConfig(Prompter& prompter)
    : CNvdsConfig(prompter, GetAppFolder() + "/zbkey_db.xml", {}) {}

CNvdsConfig::CNvdsConfig(Prompter& prompter, std::string sysDbPath, std::string userDbPath)
    : m_strSysDbPath(std::move(sysDbPath)),
      m_strUserDbPath(std::move(userDbPath)),
      m_prompter(&prompter) {}

std::string CNvdsConfig::UserDbCopyPath() {
    // Only an absolute XDG_DATA_HOME counts; an empty or relative one is ignored.
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (dataHome != nullptr && dataHome[0] == '/') {
        base = dataHome;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.local/share";
    } else {
        return {};
    }
    return base + "/" + USER_DATA_FOLDER + "/" + USER_DB_FILE;
}

std::string CNvdsConfig::DefaultUserDbPath() {
    const std::string copy = UserDbCopyPath();
    if (!copy.empty() && access(copy.c_str(), F_OK) == 0) {
        return copy;
    }
    return GetAppFolder() + "/" + USER_DB_FILE;
}

std::string CNvdsConfig::GetUserDbPath() const {
    return m_strUserDbPath.empty() ? DefaultUserDbPath() : m_strUserDbPath;
}

std::string CNvdsConfig::GetUserDbSavePath() const {
    if (!m_strUserDbPath.empty()) {
        return m_strUserDbPath;
    }
    const std::string copy = UserDbCopyPath();
    return copy.empty() ? GetAppFolder() + "/" + USER_DB_FILE : copy;
}

bool CNvdsConfig::PrepareUserDbSave(std::string* error) const {
    const std::filesystem::path folder = std::filesystem::path(GetUserDbSavePath()).parent_path();
    std::error_code code;
    if (folder.empty() || std::filesystem::create_directories(folder, code) || !code) {
        return true;
    }
    if (error != nullptr) {
        *error = "Cannot create " + folder.string() + ": " + code.message();
    }
    return false;
}

void CNvdsConfig::ClearTagRange(TagDbKind kind, TagTable& table) {
    size_t first = 0;
    size_t last = 0;
    switch (kind) {
        case TAGDB_SYSTEM:
            first = TAG_SYSTEM_FIRST;
            last = TAG_SYSTEM_LAST;
            break;
        case TAGDB_USER:
            first = TAG_USER_FIRST;
            last = TAG_USER_LAST;
            break;
        case TAGDB_ALL:
            first = 0;
            last = TAG_TABLE_SIZE - 1;
            break;
        default:
            return;
    }
    // Only the mark says whether a slot is defined; the old definition stays until the slot
    // is defined again.
    for (size_t code = first; code <= last; ++code) {
        table[code].mark = 0;
    }
}

int CNvdsConfig::FindTextInList(const char* const* list, int count, const std::string& text) {
    std::string needle = Lower(text);
    for (int i = 0; i < count; ++i) {
        if (Lower(list[i]).find(needle) != std::string::npos) {
            return i;
        }
    }
    return -1;
}

namespace {

ValueCheck Invalid(std::string message) {
    return {std::move(message), {}};
}

ValueCheck CheckHexArray(std::string& text, const TagDef& def) {
    RemoveSpaces(text);
    if (text.size() % 2 != 0) {
        return Invalid("Hex array is invalid");
    }
    const size_t pairs = text.size() / 2;
    if (pairs > def.length) {
        return Invalid(
            Format("Hex array is invalid, length must be less than or equal to %d byte, "
                   "but current length is %d byte",
                   static_cast<int>(def.length), static_cast<int>(pairs)));
    }
    text = SpacedPairs(text);
    ValueCheck check;
    if (pairs < def.length) {
        // A notice, not a failure: the user is told whatever the caller asked for.
        check.notice =
            "The current hex length is less than force length, and 0x00 will be filled in the "
            "current data behind";
        for (size_t i = pairs; i < def.length; ++i) {
            text += text.empty() ? "00" : " 00";
        }
    }
    text = Upper(text);
    return check;
}

ValueCheck CheckAsciiString(const std::string& text, const TagDef& def) {
    const size_t count = text.size();
    if (!def.lengthVariable && count != def.length) {
        return Invalid(
            Format("Ascii string is invalid, length must be equal to %d byte, but current "
                   "length is %d byte",
                   static_cast<int>(def.length), static_cast<int>(count)));
    }
    if (def.lengthVariable && count > def.length) {
        return Invalid(
            Format("Ascii string is invalid, length must be less than %d byte, but "
                   "current length is %d byte",
                   static_cast<int>(def.length), static_cast<int>(count)));
    }
    return {};
}

ValueCheck CheckNumber(std::string& text, const TagDef& def) {
    const uint32_t value = StrToUl32(text, 0);
    if (value > def.max || value < def.min) {
        return Invalid(
            Format("Num value is invalid, range must be: 0x%X ~ 0x%X, but current value "
                   "is 0x%X",
                   def.min, def.max, value));
    }
    if (def.length != 1 && def.length != 2 && def.length != 4) {
        return Invalid(Format("Num Type error, current value is 0x%X", def.length));
    }
    if ((def.length == 1 && (def.min > 0xFF || def.max > 0xFF)) ||
        (def.length == 2 && (def.min > 0xFFFF || def.max > 0xFFFF))) {
        return Invalid("Num min or max too big!");
    }
    text = HexText(value);
    return {};
}

ValueCheck CheckBool(std::string& text) {
    const std::string lower = Lower(text);
    for (const char* name : BOOL_TEXTS) {
        if (lower == Lower(name)) {
            text = name;
            return {};
        }
    }
    return Invalid(Format("Bool value is invalid, either %s or %s", BOOL_TEXTS[1], BOOL_TEXTS[0]));
}

ValueCheck CheckBdAddr(std::string& text, const TagDef& def) {
    RemoveSpaces(text);
    if (text.size() != 2 * static_cast<size_t>(def.length)) {
        return Invalid(Format("BD Addr value is invalid, length must be %d byte",
                              static_cast<int>(def.length)));
    }
    // Right to left, so the earlier insertions do not shift the later positions.
    for (size_t pos : {10u, 8u, 6u, 4u, 2u}) {
        text.insert(std::min(pos, text.size()), 1, ' ');
    }
    text = Upper(text);
    return {};
}

}  // namespace

ValueCheck CNvdsConfig::ValidateValue(std::string& text, const TagDef& def) {
    text = Trim(text);
    switch (def.coding) {
        case CODING_ARRAY_HEX:
            return CheckHexArray(text, def);
        case CODING_STRING_ASCII:
            return CheckAsciiString(text, def);
        case CODING_NUMBER:
            return CheckNumber(text, def);
        case CODING_BOOL:
            return CheckBool(text);
        case CODING_BD_ADDR:
            return CheckBdAddr(text, def);
    }
    return Invalid(Format("Unknown code: %d", static_cast<int>(def.coding)));
}

int CNvdsConfig::CheckValue(std::string& text, const TagDef& def, int show) {
    const ValueCheck check = ValidateValue(text, def);
    if (!check.notice.empty()) {
        m_prompter->Message(check.notice);
    }
    if (!check.Ok() && show) {
        m_prompter->Message(check.error);
    }
    return check.Ok() ? 1 : 0;
}

}  // namespace nvds
