#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace nvds {

namespace {

// Symlink hops followed before giving up, as the kernel does.
constexpr int MAX_LINK_HOPS = 40;
// Scratch names tried before giving up when others are taken.
constexpr int MAX_SCRATCH_TRIES = 100;

bool Fail(std::string* error, const std::string& what, const std::string& why) {
    if (error) {
        *error = what + ": " + why;
    }
    return false;
}

bool Fail(std::string* error, const std::string& what, int err) {
    return Fail(error, what, std::strerror(err));
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a write to `path` must replace: symlinks followed to their final target (which
// may not exist yet). Refuses a destination that exists and is no regular file.
bool ResolveTarget(const std::string& path, std::string& target, std::string* error) {
    target = path;
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (::lstat(target.c_str(), &st) != 0) {
            if (errno == ENOENT) {
                return true;  // a new file; a missing folder shows when it is created
            }
            return Fail(error, path, errno);
        }
        if (S_ISREG(st.st_mode)) {
            return true;
        }
        if (!S_ISLNK(st.st_mode)) {
            return Fail(error, path, "not a regular file, refused");
        }
        if (hops == MAX_LINK_HOPS) {
            return Fail(error, path, ELOOP);
        }
        std::vector<char> link(PATH_MAX + 1);
        const ssize_t n = ::readlink(target.c_str(), link.data(), PATH_MAX);
        if (n < 0) {
            return Fail(error, path, errno);
        }
        const std::string next(link.data(), static_cast<size_t>(n));
        target = next.front() == '/' ? next : FolderOf(target) + "/" + next;
    }
}

int SystemOpen(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}

}  // namespace

const FileCalls& SystemFileCalls() {
    static const FileCalls calls = {SystemOpen, ::write, ::fsync, ::close, ::rename, ::unlink};
    return calls;
}

bool WriteFileAtomically(const std::string& path, const void* data, size_t size,
                         std::string* error) {
    return WriteFileAtomically(path, data, size, error, SystemFileCalls());
}

bool WriteFileAtomically(const std::string& path, const void* data, size_t size, std::string* error,
                         const FileCalls& calls) {
    std::string target;
    if (!ResolveTarget(path, target, error)) {
        return false;
    }
    // The scratch file lies beside the target, so the rename stays on one file system and
    // is atomic.
    std::string scratch;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < MAX_SCRATCH_TRIES; ++attempt) {
        scratch =
            target + "." + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".tmp";
        fd = calls.open(scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            return Fail(error, path, errno);
        }
    }
    if (fd < 0) {
        return Fail(error, path, EEXIST);
    }
    auto abandon = [&](int err) {
        calls.close(fd);
        calls.unlink(scratch.c_str());
        return Fail(error, path, err);
    };
    const char* p = static_cast<const char*>(data);
    size_t left = size;
    while (left > 0) {
        const ssize_t n = calls.write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return abandon(errno);
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    // Keep the permissions the target had, or those an ordinary new file would get.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat st {};
    const mode_t mode = (::stat(target.c_str(), &st) == 0) ? (st.st_mode & 07777) : (0666 & ~mask);
    ::fchmod(fd, mode);
    // The data must be on the disk before the rename makes it the file's content.
    if (calls.fsync(fd) != 0) {
        return abandon(errno);
    }
    if (calls.close(fd) != 0) {
        const int err = errno;
        calls.unlink(scratch.c_str());
        return Fail(error, path, err);
    }
    if (calls.rename(scratch.c_str(), target.c_str()) != 0) {
        const int err = errno;
        calls.unlink(scratch.c_str());
        return Fail(error, path, err);
    }
    // The rename itself lives in the folder; syncing it makes the replacement survive a
    // power cut. Some file systems cannot sync a folder; the file is written all the same.
    const int dir = calls.open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dir >= 0) {
        calls.fsync(dir);
        calls.close(dir);
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace nvds
