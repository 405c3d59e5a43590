#include "catalogue/NvdsConfig.h"

#include "platform/AppFolder.h"

namespace nvds {

// Placeholder until the catalogue lands.
CNvdsConfig::CNvdsConfig(Prompter& prompter)
    : CNvdsConfig(prompter, GetAppFolder() + "/zbkey_db.xml", GetAppFolder() + "/userkey_db.xml") {}

CNvdsConfig::CNvdsConfig(Prompter& prompter, std::string sysDbPath, std::string userDbPath)
    : m_strSysDbPath(std::move(sysDbPath)),
      m_strUserDbPath(std::move(userDbPath)),
      m_prompter(&prompter) {}

void CNvdsConfig::ClearTagRange(TagDbKind, TagTable&) {}
int CNvdsConfig::LoadTagDb(const std::string&, TagTable&) { return 0; }
int CNvdsConfig::ParseTagDb(TagDbKind, _xmlNode*, TagTable&) { return 0; }
int CNvdsConfig::SaveUserTagDb(const std::string&, const TagTable&, Prompter&) { return 0; }
int CNvdsConfig::CheckValue(std::string&, const TagDef&, int) { return 0; }
int CNvdsConfig::FindTextInList(const char* const*, int, const std::string&) { return -1; }

}  // namespace nvds
