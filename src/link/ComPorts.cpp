#include "link/ComPorts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace nvds {

namespace {

// Name prefixes of the serial devices a boot loader can sit behind.
constexpr const char* TTY_PREFIXES[] = {"ttyUSB", "ttyACM", "ttyS", "ttyAMA", "ttyTHS", "rfcomm"};

bool IsSerialName(const char* name) {
    for (const char* prefix : TTY_PREFIXES) {
        if (std::strncmp(name, prefix, std::strlen(prefix)) == 0) {
            return true;
        }
    }
    return false;
}

// Opens the device the way the connect would and checks that a serial line is behind it and
// that nobody holds it.
bool PortOpens(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    termios tio{};
    bool ok = tcgetattr(fd, &tio) == 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return ok;
}

std::string EntryText(const std::string& path) {
    size_t slash = path.rfind('/');
    return "UART(" + (slash == std::string::npos ? path : path.substr(slash + 1)) + ")";
}

// Numbers sort by value within a prefix, so ttyUSB10 follows ttyUSB9.
bool DeviceLess(const std::string& a, const std::string& b) {
    size_t da = a.find_first_of("0123456789");
    size_t db = b.find_first_of("0123456789");
    std::string pa = a.substr(0, da), pb = b.substr(0, db);
    if (pa != pb || da == std::string::npos || db == std::string::npos) {
        return a < b;
    }
    return std::atol(a.c_str() + da) < std::atol(b.c_str() + db);
}

}  // namespace

std::vector<ComPortEntry> EnumerateComPorts(const std::string& extraPorts) {
    std::vector<std::string> names;
    if (DIR* dir = opendir("/dev")) {
        while (dirent* e = readdir(dir)) {
            if (IsSerialName(e->d_name)) {
                names.emplace_back(e->d_name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end(), DeviceLess);
    std::vector<ComPortEntry> entries;
    for (const std::string& name : names) {
        std::string path = "/dev/" + name;
        if (PortOpens(path)) {
            entries.push_back({EntryText(path), path});
        }
    }
    size_t start = 0;
    while (start < extraPorts.size()) {
        size_t end = std::min(extraPorts.find(':', start), extraPorts.size());
        std::string path = extraPorts.substr(start, end - start);
        if (!path.empty() && PortOpens(path)) {
            entries.push_back({EntryText(path), path});
        }
        start = end + 1;
    }
    entries.push_back({SPI_ENTRY, ""});
    return entries;
}

}  // namespace nvds
