#pragma once

#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "catalogue/NvdsConfig.h"
#include "catalogue/TagTypes.h"
#include "link/LinkFactory.h"
#include "image/NvdsImage.h"
#include "platform/ExitCodes.h"
#include "platform/Prompter.h"

namespace nvds::cli {

/// Options shared by the subcommands and the command chosen on the command line.
struct CliContext {
    std::string systemDb;  // empty: beside the executable
    std::string userDb;
    bool trace = false;
    LinkFactory links;         // made by main from its environment
    std::function<int()> run;  // set by the chosen subcommand's callback
};

/// Adds --system and --user to a subcommand.
void AddDbOptions(CLI::App* sub, CliContext& ctx);

/// Loads the system database and then the user database into the table, as the desktop
/// program does at start-up. Paths come from --system/--user when given (and are stored in
/// the config), else from the config. Messages go through the config's prompter (stderr in
/// the tool). Returns false, after "Config file damage, Please re-install the application",
/// when the default system database did not load, and after a message naming the option and
/// the path when a database given by --system or --user is missing, unreadable or damaged;
/// a default user database that did not load is no failure.
bool LoadCatalogue(CliContext& ctx, CNvdsConfig& config, TagTable& table);

/// Whether `out`, the file given by -o, can name a file to write: an empty text, a text ending
/// in '/' and an existing folder (or a link to one) are refused with a message. Checked before
/// the default extension is added, so that a folder never becomes "folder.nvds" or
/// "folder/.nvds".
bool IsOutputFile(const std::string& out, Prompter& prompter);

/// Reads an image file with no catalogue to check it against; false after its refusal.
bool ReadImage(const std::string& path, NvdsImage& image, Prompter& prompter);

/// Registration of the subcommand groups, one file each.
void AddTagsCommand(CLI::App& app, CliContext& ctx);
void AddImageCommands(CLI::App& app, CliContext& ctx);
void AddLinkCommands(CLI::App& app, CliContext& ctx);
void AddRecordCommand(CLI::App& app, CliContext& ctx);
void AddLineCommand(CLI::App& app, CliContext& ctx);
void AddDoctorCommand(CLI::App& app, CliContext& ctx);

/// The whole tool: global flags and every subcommand. `nvds` parses with it; the man page, the
/// manual's command chapter and the shell completions are generated from it.
void AddCommands(CLI::App& app, CliContext& ctx);

}  // namespace nvds::cli
