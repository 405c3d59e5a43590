// Qt's font set-up keeps a fontconfig cache for the life of the process, which LeakSanitizer
// reports at exit. The sanitizer runtime asks for this function; without it the symbol is unused.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
