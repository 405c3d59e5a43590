#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/NvdsRun.h"
#include "image/StatusText.h"
#include "link/ComPorts.h"
#include "link/ProgstarDlg.h"
#include "link/SerialLink.h"
#include "link/SerialPort.h"
#include "sim/SimLink.h"

namespace nvds {
namespace {

using test::ReadFile;
using test::SpawnNvds;

int RunNvds(const std::vector<std::string>& args) {
    pid_t pid = SpawnNvds(args);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string TempPath(const std::string& name) {
    return test::TempPath("nvds_cli", name);
}

TEST(NvdsCli, BurnAndDumpThroughASimulatorProcess) {
    std::string link = TempPath("chip");
    std::string flash = TempPath("flash.bin");
    pid_t sim = test::StartNvdsSim(link, {"--flash", flash, "--crystal", "32MHz"});
    ASSERT_GT(sim, 0);
    std::string image(4096, '\0');
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<char>(i * 31);
    }
    image.replace(0, 4, "NVDS");  // burn refuses anything that is no image
    std::string in = TempPath("in.nvds");
    std::string out = TempPath("out.nvds");
    std::ofstream(in, std::ios::binary) << image;
    std::ofstream(out, std::ios::binary) << "old";

    EXPECT_EQ(RunNvds({"dump", "--port", link, "--baud", "1000", "-o", out}), 2);
    EXPECT_EQ(RunNvds({"burn", "--port", link, "--crystal", "32MHz", "--baud", "921600", in}), 0);
    EXPECT_EQ(RunNvds({"dump", "--port", link, "--crystal", "32MHz", "-o", out}), 0);
    EXPECT_EQ(ReadFile(out), image);
    // The simulated flash keeps the burned area in its file.
    EXPECT_EQ(ReadFile(flash).substr(0, 4096), image);
    // A chip held by another program cannot be opened; the destination stays as it was.
    {
        CProgstarDlg holder;
        holder.SetTransport(std::make_unique<CSerialLink>(link));
        ASSERT_TRUE(holder.ReopenPort(19200).Ok());
        bool listed = false;
        for (const ComPortEntry& e : EnumerateComPorts(link)) {
            listed = listed || e.path == link;
        }
        EXPECT_FALSE(listed);
        std::ofstream(out, std::ios::binary) << "old";
        EXPECT_EQ(RunNvds({"dump", "--port", link, "--crystal", "32MHz", "-o", out}), 1);
        EXPECT_EQ(ReadFile(out), "old");
    }
    std::vector<ComPortEntry> ports = EnumerateComPorts(link);
    ASSERT_GE(ports.size(), 2u);
    EXPECT_EQ(ports.back().text, "SPI");
    EXPECT_EQ(ports[ports.size() - 2].path, link);
    EXPECT_EQ(ports[ports.size() - 2].text.rfind("UART(nvds_cli_", 0), 0u);

    kill(sim, SIGTERM);
    int status = 0;
    waitpid(sim, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(access(link.c_str(), F_OK), 0);  // the link is removed on exit
    for (const std::string& path : {in, out, flash}) {
        std::remove(path.c_str());
    }
}

// True once `ready` holds, asked every 10 ms for 5 s at the most.
bool Eventually(const std::function<bool()>& ready) {
    for (int i = 0; i < 500; ++i) {
        if (ready()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Waits until process `pid` has the device behind `path` open (looked up in /proc, so the
// wait itself never competes for the port).
bool WaitUntilOpenedBy(pid_t pid, const std::string& path, int firstFd = 3) {
    char device[PATH_MAX];
    if (realpath(path.c_str(), device) == nullptr) {
        return false;
    }
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
    return Eventually([&] {
        for (int fd = firstFd; fd < 64; ++fd) {
            char target[PATH_MAX];
            ssize_t n = readlink((fds + std::to_string(fd)).c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == device) {
                return true;
            }
        }
        return false;
    });
}

// Waits until process `pid` runs with the command line `args` (NUL-separated, as /proc shows).
bool WaitUntilRunning(pid_t pid, const std::string& args) {
    return Eventually(
        [&] { return ReadFile("/proc/" + std::to_string(pid) + "/cmdline") == args; });
}

// Waits until process `pid` holds a whole-file lock (/proc/locks lists it).
bool WaitUntilLockedBy(pid_t pid) {
    const std::string owner = " " + std::to_string(pid) + " ";
    return Eventually([&] {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);) {
            if (line.find("FLOCK") != std::string::npos && line.find(owner) != std::string::npos) {
                return true;
            }
        }
        return false;
    });
}

// A port held by another run is refused naming that run; once the holder is killed with
// SIGKILL (no chance to clean up) the port opens at once. A program that has the port open
// without a lock is named in a warning; the simulator holding the pty's other end is not.
// Child processes of a test, ended (SIGTERM) and reaped when it leaves, passed or failed.
class Children {
public:
    ~Children() {
        while (!m_pids.empty()) {
            End(m_pids.back(), SIGTERM);
        }
    }
    pid_t Add(pid_t pid) {
        if (pid > 0) {
            m_pids.push_back(pid);
        }
        return pid;
    }
    void End(pid_t pid, int signal) {
        kill(pid, signal);
        waitpid(pid, nullptr, 0);
        m_pids.erase(std::remove(m_pids.begin(), m_pids.end(), pid), m_pids.end());
    }

private:
    std::vector<pid_t> m_pids;
};

TEST(NvdsCli, HoldersAreNamedAndAKilledHolderLeavesThePortFree) {
    std::string link = TempPath("held");
    // A chip that stays silent keeps the holder syncing.
    Children children;
    pid_t sim = children.Add(test::StartNvdsSim(link, {"--boot-delay-ms", "600000"}));
    ASSERT_GT(sim, 0);
    std::string out = TempPath("held.nvds");
    pid_t holder = children.Add(SpawnNvds({"dump", "--port", link, "-o", out}));
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(WaitUntilLockedBy(holder));
    CSerialPort port;
    EXPECT_EQ(port.OpenPort(link, 9600), 0);
    EXPECT_NE(port.LastError().find(": the port is in use by another program (nvds, pid " +
                                    std::to_string(holder) + ": nvds dump --port " + link + " -o " +
                                    out + ")"),
              std::string::npos)
        << port.LastError();
    children.End(holder, SIGKILL);
    EXPECT_EQ(port.OpenPort(link, 9600), 1) << port.LastError();
    EXPECT_EQ(port.Warning(), "");
    port.ClosePort();

    pid_t sleeper = -1;
    std::vector<std::string> args = {"sleep", "60"};
    char* argv[] = {args[0].data(), args[1].data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, link.c_str(), O_RDWR | O_NOCTTY, 0);
    ASSERT_EQ(posix_spawnp(&sleeper, "sleep", &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    children.Add(sleeper);
    ASSERT_TRUE(WaitUntilOpenedBy(sleeper, link, 0));
    // The spawned child opens the port before it runs `sleep`; its command line is readable
    // only once that exec has finished.
    ASSERT_TRUE(WaitUntilRunning(sleeper, std::string("sleep\0"
                                                      "60\0",
                                                      9)));
    CSerialPort shared;
    EXPECT_EQ(shared.OpenPort(link, 9600), 1) << shared.LastError();
    EXPECT_NE(shared.Warning().find(" is also open in another program (sleep, pid " +
                                    std::to_string(sleeper) + ": sleep 60)"),
              std::string::npos)
        << shared.Warning();
    shared.ClosePort();
}

// Ctrl-C or SIGTERM during a dump or burn: the command stops, closes the port and exits 1,
// and the next run finds the port free.
TEST(NvdsCli, SignalledTransferReleasesThePort) {
    std::string link = TempPath("silent");
    std::string in = TempPath("sig.nvds");
    // An image (burn refuses anything else before it opens the port).
    std::ofstream(in, std::ios::binary) << "NVDS" << std::string(4092, '\xFF');
    // A chip that stays silent keeps the command syncing until it is stopped.
    pid_t sim = test::StartNvdsSim(link, {"--boot-delay-ms", "600000"});
    ASSERT_GT(sim, 0);
    struct Case {
        int signal;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {SIGINT, {"dump", "--port", link, "-o", TempPath("sig_out.nvds")}},
        {SIGTERM, {"burn", "--port", link, in}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        std::string err = TempPath("sig_err.txt");
        pid_t pid = SpawnNvds(c.args, "/dev/null", err);
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(WaitUntilOpenedBy(pid, link));
        // Well inside the sync loop: the port is locked and configured.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        kill(pid, c.signal);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
        // Stopped by the signal, not by the connect's time limit (no overtime message).
        EXPECT_EQ(ReadFile(err), std::string(StatusText(STATUS_RESET_TARGET)) + "\n" +
                                     StatusText(STATUS_DISCONNECTED) + "\n");
        std::remove(err.c_str());
        CSerialPort port;
        EXPECT_EQ(port.OpenPort(link, 9600), 1) << port.LastError();
    }
    EXPECT_NE(access(TempPath("sig_out.nvds").c_str(), F_OK), 0);  // nothing written
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    std::remove(in.c_str());
}

// A failed transfer names its page and cause on the line below the fixed status text.
TEST(NvdsCli, FailedDumpNamesPageAndCause) {
    std::string link = TempPath("hangup");
    pid_t sim = test::StartNvdsSim(link, {"--hangup-after-pages", "3"});
    ASSERT_GT(sim, 0);
    std::string err = TempPath("cause.txt");
    pid_t dump =
        SpawnNvds({"dump", "--port", link, "-o", TempPath("cause.nvds")}, "/dev/null", err);
    int status = 0;
    waitpid(dump, &status, 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
    std::string text = ReadFile(err);
    std::string tail =
        std::string(StatusText(STATUS_DUMP_ERROR)) + "\npage 3 of 16: the line hung up\n";
    ASSERT_GE(text.size(), tail.size()) << text;
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    std::remove(err.c_str());
}

// The simulator's link path replaces only a link of its own, never a file that is there.
TEST(NvdsCli, SimulatorLeavesAnExistingFileAtItsLinkPath) {
    std::string path = TempPath("not_a_link");
    std::ofstream(path) << "keep me";
    EXPECT_EQ(RunNvds({"sim", "--link", path}), 1);
    EXPECT_EQ(ReadFile(path), "keep me");
    std::remove(path.c_str());
}

}  // namespace
}  // namespace nvds
