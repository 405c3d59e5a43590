#pragma once

#include <string>

#include "catalogue/NvdsConfig.h"
#include "catalogue/TagTypes.h"

namespace nvds {

/// Adopts the user tags of the Properties dialog's table into the main window's table. A
/// current value survives while its tag keeps min, max, length and coding; otherwise, and when
/// it was empty, it becomes the new default. Codes the dialog lacks lose their value.
void CopyUserTags(TagTable& main, const TagTable& dialog);

/// Adopts the user tags of an imported database into the main window's table. Unlike
/// CopyUserTags a non-empty current value is always kept, even under a changed definition.
void AdoptImportedUserTags(TagTable& main, const TagTable& imported);

/// Result of ImportUserProperties.
enum ImportResult {
    IMPORT_OK,
    IMPORT_DAMAGED,      // the file is no tag database, or a damaged one
    IMPORT_SYSTEM_DB,    // the file defines tag 1
    IMPORT_COPY_FAILED,  // the user database could not be replaced
};

/// Replaces the user database (config's save path, its folder made when missing) with the chosen
/// file once that file has been read successfully, then adopts its definitions into `main`. The
/// database is replaced whole through a temporary file, so it is never half-written. Every outcome
/// is reported through the config's prompter; on failure neither the file nor `main` changes.
ImportResult ImportUserProperties(CNvdsConfig& config, const std::string& chosenPath,
                                  TagTable& main);

/// The export destination: ".xml" appended when the path holds no '.' anywhere.
std::string ExportPath(const std::string& chosenPath);

/// Copies the user database byte for byte to ExportPath(chosenPath), replacing a file there,
/// and reports success when the destination then exists and may be read and written.
bool ExportUserProperties(const std::string& userDbPath, const std::string& chosenPath,
                          Prompter& prompter);

}  // namespace nvds
