#include "platform/AppFolder.h"

#include <unistd.h>

#include <climits>

namespace nvds {

std::string GetAppFolder() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) {
        return {};
    }
    std::string exe(path, static_cast<size_t>(n));
    size_t slash = exe.rfind('/');
    if (slash == std::string::npos) {
        return {};
    }
    return exe.substr(0, slash);
}

}  // namespace nvds
