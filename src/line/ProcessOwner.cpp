#include "line/ProcessOwner.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace nvds::line {

namespace {

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) {
        return "localhost";
    }
    return name;
}

std::string BootId() {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(in, id);
    return id;
}

struct ProcStat {
    bool found = false;
    char state = '?';
    int64_t startTicks = 0;
};

// /proc/<pid>/stat: "pid (comm) state ppid ...", where comm may hold spaces and parentheses,
// so the fields are counted from the last ')'. The state is field 3, the start time field 22.
ProcStat ReadProcStat(int64_t pid) {
    ProcStat stat;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) {
        return stat;
    }
    const size_t close = line.rfind(')');
    if (close == std::string::npos) {
        return stat;
    }
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    for (int number = 3; number <= 22 && fields >> field; ++number) {
        if (number == 3) {
            stat.state = field[0];
        } else if (number == 22) {
            stat.startTicks = std::strtoll(field.c_str(), nullptr, 10);
            stat.found = true;
        }
    }
    return stat;
}

}  // namespace

ProcessOwner CurrentProcessOwner() {
    ProcessOwner owner;
    owner.host = HostName();
    owner.pid = getpid();
    owner.bootId = BootId();
    owner.startTicks = ReadProcStat(owner.pid).startTicks;
    return owner;
}

bool ProcessOwnerAlive(const ProcessOwner& owner) {
    if (owner.bootId != BootId()) {
        return false;
    }
    if (kill(static_cast<pid_t>(owner.pid), 0) != 0 && errno == ESRCH) {
        return false;
    }
    const ProcStat stat = ReadProcStat(owner.pid);
    // A killed process that its parent has not reaped yet is a zombie: it holds nothing.
    if (!stat.found || stat.state == 'Z' || stat.state == 'X') {
        return false;
    }
    return stat.startTicks == owner.startTicks;
}

}  // namespace nvds::line
