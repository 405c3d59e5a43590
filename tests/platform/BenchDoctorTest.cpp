#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "common/TestFiles.h"
#include "platform/BenchDoctor.h"

namespace nvds {
namespace {

namespace fs = std::filesystem;

// A fake system in a scratch folder: one FTDI adapter ttyUSB0 (188:0) and one ACM adapter
// ttyACM0 (166:0), both group "dialout" (the test's own group, so the file's real owner maps
// to it), mode 0660; a user "alice" whose login has that group; the bridge's udev rule.
class BenchDoctor : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string gid = std::to_string(getgid());
        Write("etc/group", "root:x:0:\nplugdev:x:46:alice\ndialout:x:" + gid + ":alice\n");
        Write("etc/passwd", "alice:x:1000:1000::/home/alice:/bin/bash\n");
        AddTty("ttyUSB0", "188:0", "1");
        AddTty("ttyACM0", "166:0", "");
        Write("usr/lib/udev/rules.d/60-nvds-usb-bridge.rules",
              "# bridge\nSUBSYSTEM==\"usb\", ATTR{idVendor}==\"04b4\", "
              "ATTR{idProduct}==\"1004\", MODE=\"0660\", GROUP=\"plugdev\"\n");
        fs::create_directories(m_root + "/proc/1/fd");
        Write("proc/1/comm", "systemd\n");
        m_input.roots = {m_root + "/sys",         m_root + "/dev",      m_root + "/etc",
                         m_root + "/proc",        m_root + "/run/udev", m_root + "/lib/udev",
                         m_root + "/usr/lib/udev"};
        m_input.user = {"alice", 1000, {getgid(), 46}, 999999};
    }
    void Write(const std::string& path, const std::string& text) const {
        fs::create_directories(fs::path(m_root + "/" + path).parent_path());
        std::ofstream(m_root + "/" + path) << text;
    }

    // A tty in sysfs and its device node; an FTDI adapter has a latency timer.
    void AddTty(const std::string& name, const std::string& numbers,
                const std::string& latency) const {
        Write("sys/class/tty/" + name + "/dev", numbers + "\n");
        if (!latency.empty()) {
            Write("sys/class/tty/" + name + "/device/latency_timer", latency + "\n");
        }
        Write("dev/" + name, "");
        ::chmod((m_root + "/dev/" + name).c_str(), 0660);
    }

    void HoldPort(const std::string& pid, const std::string& comm, const std::string& tty) {
        fs::create_directories(m_root + "/proc/" + pid + "/fd");
        Write("proc/" + pid + "/comm", comm + "\n");
        fs::create_symlink(m_root + "/dev/" + tty, m_root + "/proc/" + pid + "/fd/3");
    }

    // The findings that failed, as "check subject: fix".
    std::vector<std::string> Problems() const {
        std::vector<std::string> problems;
        for (const DoctorFinding& f : CheckBench(m_input)) {
            if (!f.ok) {
                EXPECT_FALSE(f.fix.empty()) << f.check << " " << f.subject;
                problems.push_back(f.check + " " + f.subject + ": " + f.detail);
            }
        }
        return problems;
    }

    test::ScratchDir m_scratch;
    const std::string m_root = m_scratch.Path().string();
    BenchDoctorInput m_input;
};

TEST_F(BenchDoctor, AWellSetUpBenchPassesEveryCheck) {
    const std::vector<DoctorFinding> findings = CheckBench(m_input);
    EXPECT_EQ(Problems(), std::vector<std::string>{});
    std::vector<std::string> checked;
    for (const DoctorFinding& f : findings) {
        checked.push_back(f.check + " " + f.subject);
    }
    // Both adapters are found in sysfs and each is checked for access and holders; only the
    // FTDI one has a latency timer.
    EXPECT_EQ(checked,
              (std::vector<std::string>{
                  "groups alice", "groups alice", "device /dev/ttyACM0", "held /dev/ttyACM0",
                  "device /dev/ttyUSB0", "latency /dev/ttyUSB0", "held /dev/ttyUSB0",
                  "modemmanager ModemManager", "udev-rule USB bridge 04b4:1004"}));
}

TEST_F(BenchDoctor, EachPlantedProblemIsReportedWithItsFix) {
    m_input.user.groups = {46};  // dialout not in this login: the devices are out of reach
    Write("etc/group", "plugdev:x:46:alice\ndialout:x:" + std::to_string(getgid()) + ":\n");
    Write("sys/class/tty/ttyUSB0/device/latency_timer", "16\n");
    HoldPort("4242", "minicom", "ttyUSB0");
    fs::remove(m_root + "/usr/lib/udev/rules.d/60-nvds-usb-bridge.rules");
    m_input.ports = {"/dev/ttyUSB0", "SPI"};
    const std::vector<std::string> problems = Problems();
    EXPECT_EQ(problems,
              (std::vector<std::string>{
                  "groups alice: not in group dialout (needed for serial adapters)",
                  "device /dev/ttyUSB0: owner " + std::to_string(getuid()) +
                      ":dialout, mode 0660: only group dialout can read and write it",
                  "latency /dev/ttyUSB0: FTDI latency timer 16 ms: every answer of the chip "
                  "waits that long",
                  "held /dev/ttyUSB0: open in process 4242 (minicom)",
                  "udev-rule USB bridge 04b4:1004: no udev rule gives plugdev access to the "
                  "bridge"}));
    for (const DoctorFinding& f : CheckBench(m_input)) {
        if (f.check == "groups" && !f.ok) {
            EXPECT_EQ(f.fix, "sudo usermod -aG dialout alice, then log out and in again");
        }
        if (f.check == "latency") {
            EXPECT_NE(f.fix.find("echo 1 | sudo tee /sys/bus/usb-serial/devices/ttyUSB0/"
                                 "latency_timer"),
                      std::string::npos);
        }
    }
}

TEST_F(BenchDoctor, GroupsLatencyAndModemManagerAtTheirEdges) {
    // Added to dialout in the group file but not yet in this login: log in again.
    m_input.user.groups = {46};
    m_input.ports = {"/dev/ttyUSB0"};
    std::vector<DoctorFinding> findings = CheckBench(m_input);
    EXPECT_FALSE(findings[0].ok);
    EXPECT_EQ(findings[0].fix, "log out and in again (or start a shell with: newgrp dialout)");
    // Readable and writable by everyone: no group needed for the device itself.
    ::chmod((m_root + "/dev/ttyUSB0").c_str(), 0666);
    findings = CheckBench(m_input);
    EXPECT_TRUE(findings[2].ok) << findings[2].detail;

    // 2 ms is still fine, 3 ms is not.
    m_input.user.groups = {getgid(), 46};
    Write("sys/class/tty/ttyUSB0/device/latency_timer", "2\n");
    EXPECT_EQ(Problems(), std::vector<std::string>{});
    Write("sys/class/tty/ttyUSB0/device/latency_timer", "3\n");
    EXPECT_EQ(Problems().size(), 1u);
    Write("sys/class/tty/ttyUSB0/device/latency_timer", "1\n");

    // ModemManager running: an adapter it ignores (udev property) passes, one it may probe
    // does not.
    fs::create_directories(m_root + "/proc/77/fd");
    Write("proc/77/comm", "ModemManager\n");
    Write("run/udev/data/c188:0", "E:ID_VENDOR=FTDI\nE:ID_MM_DEVICE_IGNORE=1\n");
    EXPECT_EQ(Problems(), std::vector<std::string>{});
    Write("run/udev/data/c188:0", "E:ID_VENDOR=FTDI\n");
    EXPECT_EQ(Problems(),
              std::vector<std::string>{
                  "modemmanager /dev/ttyUSB0: ModemManager runs and may probe this adapter "
                  "(it sends AT commands for seconds after plug-in, which upsets the boot "
                  "loader's sync)"});

    // The process itself holding the port is no other program; a missing port is a problem.
    HoldPort("555", "nvds", "ttyUSB0");
    m_input.user.pid = 555;
    Write("run/udev/data/c188:0", "E:ID_MM_DEVICE_IGNORE=1\n");
    m_input.ports = {"/dev/ttyUSB0", "/dev/ttyUSB7"};
    EXPECT_EQ(Problems(), std::vector<std::string>{"device /dev/ttyUSB7: no such device"});
}

TEST_F(BenchDoctor, TheBridgeRuleIsFoundForEveryIdInAnyRulesFolder) {
    m_input.bridgeIds = {"04b4:1004", "1234:abcd"};
    EXPECT_EQ(Problems(),
              std::vector<std::string>{"udev-rule USB bridge 1234:abcd: no udev rule gives plugdev "
                                       "access to the bridge"});
    // Upper-case hex in the rule counts; a commented-out line or another file type does not.
    Write("etc/udev/rules.d/70-other.rules",
          "# ATTR{idVendor}==\"1234\", ATTR{idProduct}==\"abcd\"\n");
    Write("etc/udev/rules.d/71-other.rules.bak",
          "ATTR{idVendor}==\"1234\", ATTR{idProduct}==\"abcd\"\n");
    EXPECT_EQ(Problems().size(), 1u);
    Write("run/udev/rules.d/71-other.rules",
          "ATTR{idVendor}==\"1234\", ATTR{idProduct}==\"ABCD\", GROUP=\"plugdev\"\n");
    EXPECT_EQ(Problems(), std::vector<std::string>{});
}

}  // namespace
}  // namespace nvds
