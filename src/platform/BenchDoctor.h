#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace nvds {

/// Where the system's trees are read from. Tests point them into a scratch folder holding a
/// fake sysfs, /dev, /etc and /proc.
struct SystemRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
    std::string etc = "/etc";
    std::string proc = "/proc";
    std::string runUdev = "/run/udev";
    std::string libUdev = "/lib/udev";
    std::string usrLibUdev = "/usr/lib/udev";  // the same folder on a merged /usr
};

/// The user the checks are made for, as the process sees itself.
struct DoctorUser {
    std::string name;
    uid_t uid = 0;
    std::vector<gid_t> groups;  // the groups in effect for this login (primary included)
    pid_t pid = 0;              // this process: its own open ports are not "held by another"
};

/// The user running this process.
DoctorUser CurrentUser();

/// One check's outcome: what was looked at, what was found and, for a problem, how to fix it.
struct DoctorFinding {
    std::string check;    // short name: "groups", "device", "modemmanager", "udev-rule", ...
    std::string subject;  // what was checked: a user, a device path, a file
    bool ok = true;
    std::string detail;
    std::string fix;  // empty when ok
};

/// What the checks of a serial bench need to know.
struct BenchDoctorInput {
    SystemRoots roots;
    DoctorUser user;
    /// Ports to check; empty: every USB serial device (ttyUSB*, ttyACM*) found in sysfs. "SPI"
    /// stands for the USB bridge, whose udev rule is always checked.
    std::vector<std::string> ports;
    /// The bridge's USB ids, "vvvv:pppp" in lower-case hexadecimal.
    std::vector<std::string> bridgeIds = {"04b4:1004"};
};

/// Checks what stands between the user and the serial adapters and the USB bridge: group
/// membership (dialout, plugdev), each device's owner and mode, ModemManager probing an adapter,
/// the bridge's udev rule, the FTDI latency timer, and a port held open by another process.
/// Reads only; changes nothing.
std::vector<DoctorFinding> CheckBench(const BenchDoctorInput& input);

/// An FTDI latency timer above this (ms) slows every answer of the boot loader.
constexpr int DOCTOR_LATENCY_LIMIT_MS = 2;

}  // namespace nvds
