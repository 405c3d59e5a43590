#include "link/PortHolders.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "platform/AtomicFile.h"

namespace nvds {

namespace {

// Unix 98 pseudo-terminal slaves have majors 136 to 143; their masters are opened through
// /dev/ptmx (5, 2).
bool IsPtySlave(dev_t device) {
    return major(device) >= 136 && major(device) <= 143;
}

bool IsPtmx(dev_t device) {
    return major(device) == 5 && minor(device) == 2;
}

std::string ReadText(const std::string& path) {
    std::string text;
    ReadWholeFile(path, text);
    return text;
}

std::string CommandLine(const std::string& proc) {
    std::string args = ReadText(proc + "/cmdline");
    while (!args.empty() && args.back() == '\0') {
        args.pop_back();
    }
    for (char& c : args) {
        c = c == '\0' ? ' ' : c;
    }
    return args;
}

// True when the file descriptor `fd` of the process at `proc` is the master of the pty with
// index `index` (its fdinfo names the index).
bool IsMasterOf(const std::string& proc, const std::string& fd, long index) {
    std::string info = ReadText(proc + "/fdinfo/" + fd);
    size_t at = info.find("tty-index:");
    return at != std::string::npos && std::strtol(info.c_str() + at + 10, nullptr, 10) == index;
}

}  // namespace

std::vector<PortHolder> FindPortHolders(const std::string& path) {
    std::vector<PortHolder> holders;
    struct stat device {};
    if (stat(path.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) {
        return holders;
    }
    bool pty = IsPtySlave(device.st_rdev);
    long ptyIndex = -1;
    if (pty) {
        char real[PATH_MAX];
        if (realpath(path.c_str(), real) != nullptr) {
            std::string name = real;
            ptyIndex = std::strtol(name.substr(name.rfind('/') + 1).c_str(), nullptr, 10);
        }
    }
    DIR* procDir = opendir("/proc");
    if (procDir == nullptr) {
        return holders;
    }
    const std::string self = std::to_string(getpid());
    while (dirent* entry = readdir(procDir)) {
        std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) {
            continue;
        }
        std::string proc = "/proc/" + pid;
        DIR* fdDir = opendir((proc + "/fd").c_str());
        if (fdDir == nullptr) {
            continue;  // gone, or another user's process seen without root
        }
        bool holds = false, master = false;
        while (dirent* fd = readdir(fdDir)) {
            if (fd->d_name[0] == '.') {
                continue;
            }
            struct stat st {};
            if (stat((proc + "/fd/" + fd->d_name).c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
                continue;
            }
            holds = holds || st.st_rdev == device.st_rdev;
            master =
                master || (pty && IsPtmx(st.st_rdev) && IsMasterOf(proc, fd->d_name, ptyIndex));
        }
        closedir(fdDir);
        if (holds && !master) {
            std::string name = ReadText(proc + "/comm");
            while (!name.empty() && name.back() == '\n') {
                name.pop_back();
            }
            holders.push_back({std::atoi(pid.c_str()), name, CommandLine(proc)});
        }
    }
    closedir(procDir);
    return holders;
}

std::string DescribeHolders(const std::vector<PortHolder>& holders) {
    if (holders.empty()) {
        return {};
    }
    std::string text = " (";
    for (size_t i = 0; i < holders.size(); ++i) {
        const PortHolder& h = holders[i];
        text += (i > 0 ? "; " : "") + h.name + ", pid " + std::to_string(h.pid);
        if (!h.command.empty()) {
            text += ": " + h.command;
        }
    }
    return text + ")";
}

}  // namespace nvds
