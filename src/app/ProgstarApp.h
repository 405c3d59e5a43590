#pragma once

namespace nvds {

/// The application object: runs the main window modally; the program ends when it returns.
class CProgstarApp {
public:
    /// Builds the window, opens the image named on the command line (if any) and runs the
    /// modal loop. Returns the process exit code.
    int InitInstance(int argc, char** argv);
};

}  // namespace nvds
