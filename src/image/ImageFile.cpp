#include "image/ImageFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image/CheckImage.h"
#include "image/ImageTexts.h"
#include "image/NvdsArea.h"

namespace nvds {

const char* ImageFileMessage(ImageFileResult result) {
    switch (result) {
        case ImageFileResult::OpenError:
            return MSG_OPEN_FILE_ERROR;
        case ImageFileResult::TooBig:
            return MSG_FILE_TOO_BIG;
        case ImageFileResult::NotImage:
            return MSG_NOT_NVDS_DATA;
        case ImageFileResult::Ok:
            break;
    }
    return "";
}

ImageFileResult ReadImageFile(const std::string& path, NvdsImage& image) {
    // O_NONBLOCK: opening a FIFO without a writer (or a serial device without carrier) would
    // otherwise wait for ever before the type check below could refuse it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return ImageFileResult::OpenError;
    }
    struct stat info {};
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
    // The magic must come from the file itself, not from what the image held before.
    if (total < NVDS_FIRST_ENTRY || !NvdsArea(image).HasMagic()) {
        return ImageFileResult::NotImage;
    }
    return ImageFileResult::Ok;
}

ImageCheck OpenImageFile(const std::string& path, NvdsImage& image, TagTable& table) {
    ImageCheck check;
    check.file = ReadImageFile(path, image);
    if (check.file == ImageFileResult::Ok) {
        check = CheckImage(table, image);
        check.file = check.result == 0 ? ImageFileResult::NotImage : ImageFileResult::Ok;
    }
    if (check.file != ImageFileResult::Ok) {
        check.result = 0;
        check.refusal = ImageFileMessage(check.file);
    }
    return check;
}

std::string AddDefaultExtension(const std::string& path, const std::string& extension) {
    return path.find('.') == std::string::npos ? path + extension : path;
}

}  // namespace nvds
