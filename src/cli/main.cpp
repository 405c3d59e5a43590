#include <cstdio>

#include "cli/Commands.h"

namespace nvds::cli {

void AddDbOptions(CLI::App* sub, CliContext& ctx) {
    sub->add_option("--system", ctx.systemDb,
                    "System tag database (default: zbkey_db.xml beside nvds)");
    sub->add_option("--user", ctx.userDb,
                    "User tag database (default: userkey_db.xml beside nvds)");
}

}  // namespace nvds::cli

int main(int argc, char** argv) {
    using namespace nvds::cli;
    CLI::App app{"ZB446x NVDS Configurator command-line tool", "nvds"};
    app.require_subcommand(1);
    CliContext ctx;
    app.add_flag("--trace", ctx.trace, "Show every frame sent to and received from the chip");
    AddTagsCommand(app, ctx);
    AddImageCommands(app, ctx);
    AddLinkCommands(app, ctx);
    AddRecordCommand(app, ctx);
    AddLineCommand(app, ctx);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return EXIT_USAGE;
    }
    return ctx.run ? ctx.run() : EXIT_USAGE;
}
