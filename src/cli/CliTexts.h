#pragma once

#include <cstdint>
#include <string>

namespace nvds::cli {

// The tool's own messages about its options, written here once.

/// "--set ASSIGNMENT: WHY", a --set the tool refuses.
inline std::string SetRefused(const std::string& assignment, const std::string& why) {
    return "--set " + assignment + ": " + why;
}
/// "--set ASSIGNMENT: tag CODE WHY", a --set refused by its tag.
inline std::string SetRefused(const std::string& assignment, uint32_t code,
                              const std::string& why) {
    return SetRefused(assignment, "tag " + std::to_string(code) + " " + why);
}
constexpr const char* WHY_NOT_LISTED = "no listed tag with that code (use CODE=TEXT)";
constexpr const char* WHY_READ_ONLY = "is read-only";
constexpr const char* WHY_REFUSED_CHAR = "does not take the character";

/// "Tag=CODE: REASON", a value that does not convert.
inline std::string TagRefused(uint32_t code, const std::string& reason) {
    return "Tag=" + std::to_string(code) + ": " + reason;
}

/// "-o OUT: ...", an output name that names a folder.
inline std::string OutputIsFolder(const std::string& out) {
    return "-o " + out + ": names a folder; give the name of a file to write";
}

/// "OPTION PATH: WHY", a database named on the command line that does not load.
inline std::string DbRefused(const char* option, const std::string& path, const std::string& why) {
    return std::string(option) + " " + path + ": " + why;
}
constexpr const char* WHY_SYSTEM_NOT_USER = "a system tag database, not a user tag database";
constexpr const char* WHY_NOT_TAG_DB = "not a valid tag database";

}  // namespace nvds::cli
