namespace nvds { int SimPlaceholder() { return 0; } }
