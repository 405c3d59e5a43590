#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace nvds {

namespace {

bool Fail(std::string* error, const std::string& what, int err) {
    if (error) {
        *error = what + ": " + std::strerror(err);
    }
    return false;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const void* data, size_t size,
                         std::string* error) {
    // mkstemp wants a writable template beside the destination, so the rename stays on one
    // file system and is atomic.
    std::string tmpl = path + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        return Fail(error, path, errno);
    }
    const char* p = static_cast<const char*>(data);
    size_t left = size;
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            int err = errno;
            close(fd);
            unlink(name.data());
            return Fail(error, path, err);
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    // Keep the permissions an ordinary new file would get (mkstemp creates it 0600).
    mode_t mask = umask(0);
    umask(mask);
    struct stat st;
    mode_t mode = (stat(path.c_str(), &st) == 0) ? (st.st_mode & 07777) : (0666 & ~mask);
    fchmod(fd, mode);
    int syncErr = (fsync(fd) != 0) ? errno : 0;
    int closeErr = (close(fd) != 0) ? errno : 0;
    if (syncErr != 0 || closeErr != 0) {
        unlink(name.data());
        return Fail(error, path, syncErr != 0 ? syncErr : closeErr);
    }
    if (rename(name.data(), path.c_str()) != 0) {
        int err = errno;
        unlink(name.data());
        return Fail(error, path, err);
    }
    return true;
}

}  // namespace nvds
