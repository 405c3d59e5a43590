namespace nvds { int LinkPlaceholder() { return 0; } }
