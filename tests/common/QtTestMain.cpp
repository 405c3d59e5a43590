// The main of every GoogleTest program that drives Qt widgets: one QApplication on the offscreen
// platform for the whole run, so no window ever reaches a screen.

#include <gtest/gtest.h>

#include <QApplication>

// Qt's font set-up keeps a fontconfig cache for the life of the process, which LeakSanitizer
// reports at exit. The sanitizer runtime asks for this function; without it the symbol is unused.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
