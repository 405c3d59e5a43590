#pragma once

#include <string>

namespace nvds {

/// The program's version, as the About box shows it ("1.29").
const char* ProgramVersion();

/// The git revision the program was built from (12 hex digits, "-modified" when tracked files
/// had uncommitted changes), or "unknown" for a tree that is no git checkout.
const char* BuildRevision();

/// The line `--version` prints: "<program> <version> (revision <revision>)".
std::string VersionLine(const std::string& program);

}  // namespace nvds
