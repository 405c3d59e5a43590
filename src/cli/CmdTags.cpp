#include "cli/Commands.h"

namespace nvds::cli {

bool LoadCatalogue(CliContext& ctx, CNvdsConfig& config, TagTable& table) {
    if (!ctx.systemDb.empty()) {
        config.m_strSysDbPath = ctx.systemDb;
    }
    if (!ctx.userDb.empty()) {
        config.m_strUserDbPath = ctx.userDb;
    }
    if (!config.LoadTagDb(config.GetSysDbPath(), table)) {
        config.GetPrompter().Message("Config file damage, Please re-install the application");
        return false;
    }
    config.LoadTagDb(config.GetUserDbPath(), table);
    return true;
}

// Placeholder until the tags command lands.
void AddTagsCommand(CLI::App&, CliContext&) {}

}  // namespace nvds::cli
