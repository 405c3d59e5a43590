#include "image/ImageFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nvds {

ImageFileResult ReadImageFile(const std::string& path, NvdsImage& image) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return ImageFileResult::OpenError;
    }
    struct stat info {};
    // A folder or a device opens but is no file to read an image from.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return ImageFileResult::OpenError;
    }
    if (info.st_size > static_cast<off_t>(NVDS_IMAGE_SIZE)) {
        ::close(fd);
        return ImageFileResult::TooBig;
    }
    // Read into a copy first so a read error leaves the caller's image untouched.
    NvdsImage bytes = image;
    size_t total = 0;
    while (total < static_cast<size_t>(info.st_size)) {
        const ssize_t got = ::read(fd, bytes.data() + total, info.st_size - total);
        if (got < 0) {
            ::close(fd);
            return ImageFileResult::OpenError;
        }
        if (got == 0) {
            break;  // the file shrank while being read; keep what arrived
        }
        total += static_cast<size_t>(got);
    }
    ::close(fd);
    image = bytes;
    return ImageFileResult::Ok;
}

std::string AddDefaultExtension(const std::string& path, const std::string& extension) {
    return path.find('.') == std::string::npos ? path + extension : path;
}

}  // namespace nvds
