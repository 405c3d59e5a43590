#include "cli/Commands.h"
#include "platform/BuildVersion.h"

namespace nvds::cli {

void AddCommands(CLI::App& app, CliContext& ctx) {
    app.require_subcommand(1);
    app.set_version_flag("--version", VersionLine("nvds"),
                         "Print the version and the git revision it was built from");
    app.add_flag("--trace", ctx.trace, "Show every frame sent to and received from the chip");
    AddTagsCommand(app, ctx);
    AddImageCommands(app, ctx);
    AddLinkCommands(app, ctx);
    AddRecordCommand(app, ctx);
    AddLineCommand(app, ctx);
    AddDoctorCommand(app, ctx);
}

}  // namespace nvds::cli
