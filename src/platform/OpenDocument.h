#pragma once

#include <string>

namespace nvds {

/// Starts the user's default application for the file's type with the file, without waiting
/// for it. The type comes from the extension through the shared MIME database, the
/// application from the XDG mimeapps.list files and its desktop entry's Exec line. false when
/// the file is missing, has no extension, its type has no application, the command has no
/// place for the document, or the program cannot be started.
bool OpenWithAssociatedApp(const std::string& path);

/// The open command of a file type given by its extension (".pdf"): the default
/// application's Exec line with "%1" where the document goes, arguments in double quotes.
/// false when no application with an Exec line is associated; an Exec line that takes no
/// file gives a command without "%1".
bool GetOpenCommand(const std::string& extension, std::string& command);

}  // namespace nvds
