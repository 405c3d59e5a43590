#include "platform/BenchDoctor.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/TextEscape.h"

namespace nvds {

namespace {

constexpr const char* TTY_CLASS = "/class/tty/";

struct GroupEntry {
    gid_t gid = 0;
    std::vector<std::string> members;
};

std::vector<std::string> ListFolder(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool ReadText(const std::string& path, std::string& text) {
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
    return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) {
        parts.push_back(part);
    }
    return parts;
}

// name -> gid and members, from the group file (lines "name:x:gid:member,member").
std::map<std::string, GroupEntry> ReadGroups(const SystemRoots& roots) {
    std::map<std::string, GroupEntry> groups;
    std::ifstream in(roots.etc + "/group");
    std::string line;
    while (std::getline(in, line)) {
        const std::vector<std::string> f = Split(line, ':');
        if (f.size() < 3 || f[2].empty() || !std::isdigit(static_cast<unsigned char>(f[2][0]))) {
            continue;
        }
        GroupEntry& entry = groups[f[0]];
        entry.gid = static_cast<gid_t>(std::stoul(f[2]));
        if (f.size() > 3) {
            entry.members = Split(f[3], ',');
        }
    }
    return groups;
}

std::string GroupName(const std::map<std::string, GroupEntry>& groups, gid_t gid) {
    for (const auto& [name, entry] : groups) {
        if (entry.gid == gid) {
            return name;
        }
    }
    return std::to_string(gid);
}

std::string UserName(const SystemRoots& roots, uid_t uid) {
    std::ifstream in(roots.etc + "/passwd");
    std::string line;
    while (std::getline(in, line)) {
        const std::vector<std::string> f = Split(line, ':');
        if (f.size() > 2 && f[2] == std::to_string(uid)) {
            return f[0];
        }
    }
    return std::to_string(uid);
}

bool HasGroup(const DoctorUser& user, gid_t gid) {
    return std::find(user.groups.begin(), user.groups.end(), gid) != user.groups.end();
}

std::string AddToGroupFix(const DoctorUser& user, const std::string& group) {
    return "sudo usermod -aG " + group + " " + user.name + ", then log out and in again";
}

void CheckGroups(const BenchDoctorInput& in, const std::map<std::string, GroupEntry>& groups,
                 std::vector<DoctorFinding>& out) {
    const struct {
        const char* name;
        const char* purpose;
    } needed[] = {{"dialout", "serial adapters"}, {"plugdev", "the USB bridge"}};
    for (const auto& need : needed) {
        DoctorFinding f{"groups", in.user.name, true, "", ""};
        const auto group = groups.find(need.name);
        const std::string purpose = std::string(" (needed for ") + need.purpose + ")";
        if (in.user.uid == 0) {
            f.detail = std::string("running as root: ") + need.name + " is not needed";
        } else if (group == groups.end()) {
            f.ok = false;
            f.detail = std::string("this system has no group ") + need.name + purpose;
            f.fix = std::string("sudo groupadd ") + need.name + " && " +
                    AddToGroupFix(in.user, need.name);
        } else if (HasGroup(in.user, group->second.gid)) {
            f.detail = std::string("in group ") + need.name;
        } else {
            const std::vector<std::string>& members = group->second.members;
            f.ok = false;
            if (std::find(members.begin(), members.end(), in.user.name) != members.end()) {
                f.detail = std::string("added to group ") + need.name +
                           " but not yet in effect for this login" + purpose;
                f.fix = "log out and in again (or start a shell with: newgrp " +
                        std::string(need.name) + ")";
            } else {
                f.detail = std::string("not in group ") + need.name + purpose;
                f.fix = AddToGroupFix(in.user, need.name);
            }
        }
        out.push_back(f);
    }
}

// "/dev/ttyUSB0" is looked up under the dev root; any other path (a pty link) as it is.
std::string DevicePath(const SystemRoots& roots, const std::string& port) {
    return port.rfind("/dev/", 0) == 0 ? roots.dev + port.substr(4) : port;
}

// "ttyUSB0" for "/dev/ttyUSB0"; empty for a path outside /dev.
std::string TtyName(const std::string& port) {
    return port.rfind("/dev/", 0) == 0 ? port.substr(5) : "";
}

bool CheckDevice(const BenchDoctorInput& in, const std::map<std::string, GroupEntry>& groups,
                 const std::string& port, std::vector<DoctorFinding>& out) {
    DoctorFinding f{"device", port, true, "", ""};
    struct stat st {};
    if (::stat(DevicePath(in.roots, port).c_str(), &st) != 0) {
        f.ok = false;
        f.detail = "no such device";
        f.fix = "plug the adapter in and check the name with: nvds ports";
        out.push_back(f);
        return false;
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const std::string group = GroupName(groups, st.st_gid);
    f.detail = "owner " + UserName(in.roots, st.st_uid) + ":" + group + ", mode " + mode;
    constexpr mode_t RW_USER = S_IRUSR | S_IWUSR;
    constexpr mode_t RW_GROUP = S_IRGRP | S_IWGRP;
    constexpr mode_t RW_OTHER = S_IROTH | S_IWOTH;
    const bool canUse = in.user.uid == 0 ||
                        (st.st_uid == in.user.uid && (st.st_mode & RW_USER) == RW_USER) ||
                        (HasGroup(in.user, st.st_gid) && (st.st_mode & RW_GROUP) == RW_GROUP) ||
                        (st.st_mode & RW_OTHER) == RW_OTHER;
    if (canUse) {
        f.detail += ": you can read and write it";
    } else if ((st.st_mode & RW_GROUP) == RW_GROUP) {
        f.ok = false;
        f.detail += ": only group " + group + " can read and write it";
        f.fix = AddToGroupFix(in.user, group);
    } else {
        f.ok = false;
        f.detail += ": the group cannot read and write it";
        f.fix =
            "a udev rule gives it another mode; serial devices should be group dialout, "
            "mode 0660 (check /etc/udev/rules.d)";
    }
    out.push_back(f);
    return true;
}

bool ModemManagerRunning(const SystemRoots& roots) {
    for (const std::string& pid : ListFolder(roots.proc)) {
        std::string comm;
        if (std::isdigit(static_cast<unsigned char>(pid[0])) &&
            ReadText(roots.proc + "/" + pid + "/comm", comm) && comm == "ModemManager") {
            return true;
        }
    }
    return false;
}

// Whether the udev database marks the tty so that ModemManager leaves it alone.
bool IgnoredByModemManager(const SystemRoots& roots, const std::string& tty) {
    std::string numbers;
    std::string data;
    if (!ReadText(roots.sys + TTY_CLASS + tty + "/dev", numbers) ||
        !ReadText(roots.runUdev + "/data/c" + numbers, data)) {
        return false;
    }
    for (const std::string& line : Split(data, '\n')) {
        if (line == "E:ID_MM_DEVICE_IGNORE=1") {
            return true;
        }
    }
    return false;
}

void CheckModemManager(const BenchDoctorInput& in, const std::vector<std::string>& ttys,
                       std::vector<DoctorFinding>& out) {
    if (!ModemManagerRunning(in.roots)) {
        out.push_back({"modemmanager", "ModemManager", true, "not running", ""});
        return;
    }
    bool any = false;
    for (const std::string& tty : ttys) {
        if (tty.rfind("ttyUSB", 0) != 0 && tty.rfind("ttyACM", 0) != 0) {
            continue;
        }
        any = true;
        if (IgnoredByModemManager(in.roots, tty)) {
            out.push_back({"modemmanager", "/dev/" + tty, true,
                           "ModemManager runs and leaves this adapter alone", ""});
        } else {
            out.push_back({"modemmanager", "/dev/" + tty, false,
                           "ModemManager runs and may probe this adapter (it sends AT commands for "
                           "seconds after plug-in, which upsets the boot loader's sync)",
                           "add ENV{ID_MM_DEVICE_IGNORE}=\"1\" for the adapter in a udev rule, or: "
                           "sudo systemctl disable --now ModemManager"});
        }
    }
    if (!any) {
        out.push_back({"modemmanager", "ModemManager", true, "running; no adapter to probe", ""});
    }
}

// A rules line that matches the bridge: both ids on one line, under their attribute names.
bool RuleMatches(const std::string& line, const std::string& id) {
    const std::string l = Lower(line);
    const size_t colon = id.find(':');
    const std::string vendor = "\"" + id.substr(0, colon) + "\"";
    const std::string product = "\"" + id.substr(colon + 1) + "\"";
    return l.find('#') != 0 && l.find("idvendor") != std::string::npos &&
           l.find(vendor) != std::string::npos && l.find("idproduct") != std::string::npos &&
           l.find(product) != std::string::npos;
}

void CheckUdevRule(const BenchDoctorInput& in, std::vector<DoctorFinding>& out) {
    const std::string folders[] = {in.roots.etc + "/udev/rules.d", in.roots.runUdev + "/rules.d",
                                   in.roots.libUdev + "/rules.d", in.roots.usrLibUdev + "/rules.d"};
    for (const std::string& id : in.bridgeIds) {
        std::string found;
        for (const std::string& folder : folders) {
            for (const std::string& name : ListFolder(folder)) {
                std::ifstream file(folder + "/" + name);
                std::string line;
                while (found.empty() && name.size() > 6 &&
                       name.compare(name.size() - 6, 6, ".rules") == 0 &&
                       std::getline(file, line)) {
                    if (RuleMatches(line, id)) {
                        found = folder + "/" + name;
                    }
                }
            }
        }
        if (!found.empty()) {
            out.push_back({"udev-rule", "USB bridge " + id, true, "rule in " + found, ""});
        } else {
            out.push_back({"udev-rule", "USB bridge " + id, false,
                           "no udev rule gives plugdev access to the bridge",
                           "sudo cp 60-nvds-usb-bridge.rules /etc/udev/rules.d/ && sudo udevadm "
                           "control --reload, then replug the bridge (the rule ships in "
                           "packaging/udev/ and with the package)"});
        }
    }
}

void CheckLatency(const BenchDoctorInput& in, const std::string& tty,
                  std::vector<DoctorFinding>& out) {
    std::string text;
    // Only the FTDI driver has this attribute.
    if (tty.empty() || !ReadText(in.roots.sys + TTY_CLASS + tty + "/device/latency_timer", text)) {
        return;
    }
    const int ms = std::atoi(text.c_str());
    DoctorFinding f{"latency", "/dev/" + tty, ms <= DOCTOR_LATENCY_LIMIT_MS,
                    "FTDI latency timer " + text + " ms", ""};
    if (!f.ok) {
        f.detail += ": every answer of the chip waits that long";
        f.fix = "echo 1 | sudo tee /sys/bus/usb-serial/devices/" + tty +
                "/latency_timer (until unplugged); for good, a udev rule: ACTION==\"add\", "
                "SUBSYSTEM==\"usb-serial\", DRIVER==\"ftdi_sio\", ATTR{latency_timer}=\"1\"";
    }
    out.push_back(f);
}

void CheckHolders(const BenchDoctorInput& in, const std::string& port,
                  std::vector<DoctorFinding>& out) {
    const std::string device = DevicePath(in.roots, port);
    std::string holders;
    for (const std::string& pid : ListFolder(in.roots.proc)) {
        if (!std::isdigit(static_cast<unsigned char>(pid[0])) ||
            pid == std::to_string(in.user.pid)) {
            continue;
        }
        const std::string fds = in.roots.proc + "/" + pid + "/fd";
        for (const std::string& fd : ListFolder(fds)) {
            char target[4096];
            const ssize_t n = ::readlink((fds + "/" + fd).c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == device) {
                std::string comm;
                ReadText(in.roots.proc + "/" + pid + "/comm", comm);
                holders += (holders.empty() ? "" : ", ") + pid + " (" + comm + ")";
                break;
            }
        }
    }
    if (holders.empty()) {
        out.push_back({"held", port, true, "no other process has it open", ""});
    } else {
        out.push_back({"held", port, false, "open in process " + holders,
                       "close that program (or end it: kill PID) before connecting"});
    }
}

}  // namespace

DoctorUser CurrentUser() {
    DoctorUser user;
    user.uid = ::getuid();
    user.pid = ::getpid();
    const passwd* pw = ::getpwuid(user.uid);
    user.name = pw ? pw->pw_name : std::to_string(user.uid);
    const int count = ::getgroups(0, nullptr);
    user.groups.resize(count > 0 ? static_cast<size_t>(count) : 0);
    if (count > 0 && ::getgroups(count, user.groups.data()) != count) {
        user.groups.clear();
    }
    user.groups.push_back(::getgid());
    return user;
}

std::vector<DoctorFinding> CheckBench(const BenchDoctorInput& in) {
    std::vector<DoctorFinding> out;
    const std::map<std::string, GroupEntry> groups = ReadGroups(in.roots);
    CheckGroups(in, groups, out);
    std::vector<std::string> ports = in.ports;
    if (ports.empty()) {
        for (const std::string& tty : ListFolder(in.roots.sys + TTY_CLASS)) {
            if (tty.rfind("ttyUSB", 0) == 0 || tty.rfind("ttyACM", 0) == 0) {
                ports.push_back("/dev/" + tty);
            }
        }
    }
    if (ports.empty()) {
        out.push_back({"device", "serial adapters", true, "none plugged in", ""});
    }
    std::vector<std::string> ttys;
    for (const std::string& port : ports) {
        if (port == "SPI") {
            continue;
        }
        if (!CheckDevice(in, groups, port, out)) {
            continue;
        }
        CheckLatency(in, TtyName(port), out);
        CheckHolders(in, port, out);
        ttys.push_back(TtyName(port));
    }
    CheckModemManager(in, ttys, out);
    CheckUdevRule(in, out);
    return out;
}

}  // namespace nvds
