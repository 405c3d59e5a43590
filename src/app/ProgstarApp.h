#pragma once

#include <memory>

namespace nvds {

class LinkFactory;

/// The application object: runs the main window modally; the program ends when it returns.
class CProgstarApp {
public:
    /// Builds the window over the links `links` makes, opens the image named on the command
    /// line (if any) and runs the modal loop. Returns the process exit code.
    int InitInstance(int argc, char** argv, std::shared_ptr<const LinkFactory> links);
    /// What every window of the program shares, set once the QApplication exists: the desktop
    /// entry the windows belong to. No display name is set, as Qt would append it to the
    /// caption of every dialog.
    static void SetUpApplication();
};

}  // namespace nvds
