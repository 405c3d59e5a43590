#include <cstdio>

#include "cli/Commands.h"

int main(int argc, char** argv) {
    using namespace nvds::cli;
    using nvds::EXIT_USAGE;
    CLI::App app{"ZB446x NVDS Configurator command-line tool", "nvds"};
    CliContext ctx;
    AddCommands(app, ctx);
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
