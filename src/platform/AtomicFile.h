#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace nvds {

/// The system calls a file write goes through. The real ones are SystemFileCalls(); a test
/// hands in its own to see where the scratch file lies and in what order things happen.
struct FileCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    ssize_t (*write)(int fd, const void* data, size_t size);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char* from, const char* to);
    int (*unlink)(const char* path);
};

/// The calls of the operating system.
const FileCalls& SystemFileCalls();

/// Replaces the file at `path` whole: the bytes go to a scratch file beside the destination,
/// are synced, and the scratch file is renamed over it (then the folder is synced), so the
/// destination is either left as it was or replaced whole. A symlink is followed and its
/// target replaced (the link stays a link); a destination that exists and is not a regular
/// file (a folder, a device, a FIFO) is refused and left alone. On failure returns false and
/// puts the reason in *error when given.
bool WriteFileAtomically(const std::string& path, const void* data, size_t size,
                         std::string* error = nullptr);

/// Reads the whole file at `path` into `bytes`; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& bytes);

/// The same through the given system calls.
bool WriteFileAtomically(const std::string& path, const void* data, size_t size, std::string* error,
                         const FileCalls& calls);

}  // namespace nvds
