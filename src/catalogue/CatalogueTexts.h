#pragma once

namespace nvds {

// The fixed texts about the tag databases, shown exactly as written here by the window and the
// command-line tool alike.

/// A tag database that is cut, malformed, too large or declares a DTD.
constexpr const char* MSG_CONFIG_DAMAGE = "Config file damage";
/// The system tag database did not load at start-up.
constexpr const char* MSG_CONFIG_REINSTALL =
    "Config file damage, Please re-install the application";
/// A user tag with a coding the user database cannot hold.
constexpr const char* MSG_ERROR_CODING = "Error coding";
/// The user tag database could not be written.
constexpr const char* MSG_SAVE_FAIL = "Save fail!!";
constexpr const char* MSG_IMPORT_DAMAGED = "Import configuration file fail! The file damage!";
constexpr const char* MSG_IMPORT_SYSTEM_DB =
    "Import configuration file fail! The file is system configuration!";
/// Followed by the reason the imported file could not be copied.
constexpr const char* MSG_IMPORT_FAIL = "Import configuration file fail! ";
constexpr const char* MSG_IMPORT_SUCCESS = "Import configuration file success!";
constexpr const char* MSG_EXPORT_SUCCESS = "Export configuration file success!";
constexpr const char* MSG_EXPORT_FAIL = "Export configuration file fail!";

}  // namespace nvds
