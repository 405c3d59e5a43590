#include "cli/Commands.h"

namespace nvds::cli {

// Placeholder until the image commands land.
void AddImageCommands(CLI::App&, CliContext&) {}

}  // namespace nvds::cli
