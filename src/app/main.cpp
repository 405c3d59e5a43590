#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/ProgstarApp.h"
#include "link/LinkFactory.h"
#include "platform/BuildVersion.h"

namespace {

// Answered before the window system is touched, so they work without a display.
constexpr const char* USAGE =
    "Usage: nvds-configurator [IMAGE]\n"
    "The desktop program of the ZB446x NVDS Configurator: edit, dump and burn the NVDS area.\n"
    "\n"
    "  IMAGE          A .nvds image file to open once the window is up\n"
    "  -h,--help      Print this help and exit\n"
    "  --version      Print the version and the git revision it was built from\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s\n", nvds::VersionLine("nvds-configurator").c_str());
        return 0;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    auto links = std::make_shared<nvds::LinkFactory>(
        nvds::LinkEnvironment::From(std::getenv("NVDS_USB_BACKEND"), std::getenv("NVDS_USB_BRIDGE"),
                                    std::getenv("NVDS_EXTRA_PORTS")));
    return nvds::CProgstarApp().InitInstance(argc, argv, std::move(links));
}
