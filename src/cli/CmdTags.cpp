#include "cli/Commands.h"

namespace nvds::cli {

// Placeholder until the tags commands land.
void AddTagsCommand(CLI::App&, CliContext&) {}

}  // namespace nvds::cli
