#include "cli/Commands.h"

namespace nvds::cli {

// Placeholder until the link commands land.
void AddLinkCommands(CLI::App&, CliContext&) {}

}  // namespace nvds::cli
