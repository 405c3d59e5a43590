// Writes the documents generated from nvds's option table, for the build:
//   nvds-docgen man | markdown | bash | zsh      the text on standard output
//   nvds-docgen manual MANUAL.md                 MANUAL.md with its reference line replaced
//                                                and its comment lines left out
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "cli/CliDocs.h"
#include "cli/Commands.h"

namespace {

// The line of the manual that the generated command reference replaces.
constexpr const char* REFERENCE_MARK = "<!-- nvds reference -->";

int WriteManual(const CLI::App& app, const char* path) {
    std::ifstream in(path);
    if (!in) {
        std::cerr << "nvds-docgen: cannot read " << path << "\n";
        return 1;
    }
    std::string line;
    bool replaced = false;
    while (std::getline(in, line)) {
        if (line == REFERENCE_MARK) {
            nvds::cli::WriteMarkdownReference(app, std::cout);
            replaced = true;
        } else if (line.rfind("<!--", 0) == 0 && line.size() >= 7 &&
                   line.compare(line.size() - 3, 3, "-->") == 0) {
            // Notes to the manual's writers stay out of the rendered manual.
        } else {
            std::cout << line << "\n";
        }
    }
    if (!replaced) {
        std::cerr << "nvds-docgen: " << path << " has no line " << REFERENCE_MARK << "\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"ZB446x NVDS Configurator command-line tool", "nvds"};
    nvds::cli::CliContext ctx;
    nvds::cli::AddCommands(app, ctx);
    const std::string kind = argc > 1 ? argv[1] : "";
    if (kind == "man") {
        nvds::cli::WriteManPage(app, std::cout);
    } else if (kind == "markdown") {
        nvds::cli::WriteMarkdownReference(app, std::cout);
    } else if (kind == "bash") {
        nvds::cli::WriteBashCompletion(app, std::cout);
    } else if (kind == "zsh") {
        nvds::cli::WriteZshCompletion(app, std::cout);
    } else if (kind == "manual" && argc == 3) {
        return WriteManual(app, argv[2]);
    } else {
        std::cerr << "usage: nvds-docgen man|markdown|bash|zsh|manual MANUAL.md\n";
        return 2;
    }
    return std::cout.good() ? 0 : 1;
}
