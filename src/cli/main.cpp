#include <cstdio>
#include <cstdlib>

#include "cli/Commands.h"
#include "sim/SimUsbTransport.h"

int main(int argc, char** argv) {
    using namespace nvds::cli;
    using nvds::EXIT_USAGE;
    CLI::App app{"ZB446x NVDS Configurator command-line tool", "nvds"};
    CliContext ctx;
    // The tool offers the simulated bridge (NVDS_USB_BACKEND=sim) for tests, its flash kept in
    // NVDS_USB_SIM_FLASH.
    const char* flash = std::getenv("NVDS_USB_SIM_FLASH");
    ctx.links = nvds::LinkFactory(
        nvds::LinkEnvironment::From(std::getenv("NVDS_USB_BACKEND"), std::getenv("NVDS_USB_BRIDGE"),
                                    std::getenv("NVDS_EXTRA_PORTS")),
        [flash = std::string(flash != nullptr ? flash : "")] {
            return nvds::CreateSimUsbTransport(flash);
        });
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
