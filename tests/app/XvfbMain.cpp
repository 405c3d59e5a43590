// The main of the programs driven with real X input: the platform comes from QT_QPA_PLATFORM
// (xcb) and the display from the private X server with-xvfb starts.

#include <gtest/gtest.h>

#include <QApplication>

#include "app/ProgstarApp.h"

// Qt's font set-up keeps a fontconfig cache for the life of the process, which LeakSanitizer
// reports at exit.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    nvds::CProgstarApp::SetUpApplication();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
