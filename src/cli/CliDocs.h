#pragma once

#include <ostream>
#include <string>

#include <CLI/CLI.hpp>

namespace nvds::cli {

/// Writers of the tool's documentation from its own option table (the CLI::App that `nvds`
/// parses with), so that --help, the man page, the manual's reference and the shell
/// completions never disagree. Each writes the whole text to `out`.

/// The man page nvds(1) in roff (man macros).
void WriteManPage(const CLI::App& app, std::ostream& out);

/// The manual's command reference in Markdown: every command and option, the exit codes, the
/// environment variables and the files.
void WriteMarkdownReference(const CLI::App& app, std::ostream& out);

/// The bash completion script (function _nvds, registered with `complete`).
void WriteBashCompletion(const CLI::App& app, std::ostream& out);

/// The zsh completion script (#compdef nvds).
void WriteZshCompletion(const CLI::App& app, std::ostream& out);

}  // namespace nvds::cli
