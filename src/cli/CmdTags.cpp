#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "catalogue/CatalogueTexts.h"
#include "catalogue/NumberText.h"
#include "cli/CliTexts.h"
#include "cli/Commands.h"
#include "platform/Prompter.h"

namespace nvds::cli {

namespace {

const char* CodingName(TagCoding coding) {
    return coding < CODING_COUNT ? CODING_NAMES[coding] : "?";
}

const char* FlagText(bool value) {
    return value ? "true" : "false";
}

// A TAB or line break inside a text would split the line's fields; --json keeps texts exact.
std::string Field(std::string text) {
    for (char& c : text) {
        if (c == '\t' || c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}

void PrintTagLine(uint32_t code, const TagDef& def) {
    std::printf("%u\t%s\t%s\t%s\t%u\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", code, Field(def.name).c_str(),
                Field(def.label).c_str(), CodingName(def.coding), def.length,
                HexText(def.min).c_str(), HexText(def.max).c_str(), FlagText(def.lengthVariable),
                FlagText(def.readOnly), FlagText(def.show), Field(def.dict).c_str(),
                Field(def.defaultText).c_str());
}

nlohmann::ordered_json TagJson(uint32_t code, const TagDef& def) {
    return {{"code", code},
            {"name", def.name},
            {"defaultText", def.defaultText},
            {"min", def.min},
            {"max", def.max},
            {"length", def.length},
            {"lengthVariable", def.lengthVariable},
            {"readOnly", def.readOnly},
            {"show", def.show},
            {"dict", def.dict},
            {"coding", CodingName(def.coding)},
            {"label", def.label},
            {"description", def.description}};
}

int RunTags(CliContext& ctx, bool json) {
    StderrPrompter prompter;
    CNvdsConfig config(prompter);
    TagTable table;
    if (!LoadCatalogue(ctx, config, table)) {
        return EXIT_FAIL;
    }
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (uint32_t code = 0; code < TAG_TABLE_SIZE; ++code) {
        if (!table[code].IsDefined()) {
            continue;
        }
        if (json) {
            list.push_back(TagJson(code, table[code].def));
        } else {
            PrintTagLine(code, table[code].def);
        }
    }
    if (json) {
        // Texts come from the XML library as UTF-8; replace rather than throw on a bad byte.
        std::printf(
            "%s\n",
            list.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
    }
    return EXIT_OK;
}

// A database named on the command line must load: a missing, unreadable or damaged one is
// an error of its own, not the start-up fallback of the default databases.
// The user database must be one: a system database given there would replace the system tags.
bool LoadNamedDb(CNvdsConfig& config, const char* option, const std::string& path, TagTable& table,
                 bool user) {
    if (::access(path.c_str(), R_OK) != 0) {
        config.GetPrompter().Message(DbRefused(option, path, std::strerror(errno)));
        return false;
    }
    bool systemRoot = false;
    if (!(user ? config.LoadUserTagDb(path, table, &systemRoot) : config.LoadTagDb(path, table))) {
        config.GetPrompter().Message(
            DbRefused(option, path, systemRoot ? WHY_SYSTEM_NOT_USER : WHY_NOT_TAG_DB));
        return false;
    }
    return true;
}

}  // namespace

void AddDbOptions(CLI::App* sub, CliContext& ctx) {
    sub->add_option("--system", ctx.systemDb,
                    "System tag database (default: zbkey_db.xml beside nvds)");
    sub->add_option("--user", ctx.userDb,
                    "User tag database (default: your own copy, "
                    "$XDG_DATA_HOME/zb446x-nvds-configurator/userkey_db.xml, when it exists, "
                    "else userkey_db.xml beside nvds)");
}

bool LoadCatalogue(CliContext& ctx, CNvdsConfig& config, TagTable& table) {
    if (!ctx.systemDb.empty()) {
        config.m_strSysDbPath = ctx.systemDb;
        if (!LoadNamedDb(config, "--system", ctx.systemDb, table, false)) {
            return false;
        }
    } else if (!config.LoadTagDb(config.GetSysDbPath(), table)) {
        config.GetPrompter().Message(MSG_CONFIG_REINSTALL);
        return false;
    }
    if (!ctx.userDb.empty()) {
        config.m_strUserDbPath = ctx.userDb;
        return LoadNamedDb(config, "--user", ctx.userDb, table, true);
    }
    // The default user database may be missing or damaged: the system tags still serve.
    config.LoadUserTagDb(config.GetUserDbPath(), table);
    return true;
}

void AddTagsCommand(CLI::App& app, CliContext& ctx) {
    CLI::App* sub = app.add_subcommand(
        "tags", "List the tag definitions of the system and user databases, one per line");
    AddDbOptions(sub, ctx);
    auto json = std::make_shared<bool>(false);
    sub->add_flag("--json", *json, "Print a JSON array with every field, description included");
    sub->callback([&ctx, json] { ctx.run = [&ctx, json] { return RunTags(ctx, *json); }; });
}

}  // namespace nvds::cli
