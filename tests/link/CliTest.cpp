#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "link/ComPorts.h"
#include "link/ProgstarDlg.h"
#include "link/SerialLink.h"
#include "platform/Prompter.h"
#include "sim/SimLink.h"

extern char** environ;

namespace nvds {
namespace {

pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn(&pid, "./nvds", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int RunNvds(const std::vector<std::string>& args) {
    pid_t pid = Spawn(args);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "nvds_cli_" + std::to_string(getpid()) + "_" + name;
}

TEST(NvdsCli, BurnAndDumpThroughASimulatorProcess) {
    std::string link = TempPath("chip");
    std::string flash = TempPath("flash.bin");
    pid_t sim = Spawn({"nvds", "sim", "--link", link, "--flash", flash, "--crystal", "32MHz"});
    ASSERT_GT(sim, 0);
    for (int i = 0; i < 100 && access(link.c_str(), F_OK) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string image(4096, '\0');
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<char>(i * 31);
    }
    std::string in = TempPath("in.nvds");
    std::string out = TempPath("out.nvds");
    std::ofstream(in, std::ios::binary) << image;
    std::ofstream(out, std::ios::binary) << "old";

    EXPECT_EQ(RunNvds({"nvds", "dump", "--port", link, "--baud", "1000", "-o", out}), 2);
    EXPECT_EQ(
        RunNvds({"nvds", "burn", "--port", link, "--crystal", "32MHz", "--baud", "921600", in}), 0);
    EXPECT_EQ(RunNvds({"nvds", "dump", "--port", link, "--crystal", "32MHz", "-o", out}), 0);
    EXPECT_EQ(ReadFile(out), image);
    // The simulated flash keeps the burned area in its file.
    EXPECT_EQ(ReadFile(flash).substr(0, 4096), image);
    // A chip held by another program cannot be opened; the destination stays as it was.
    {
        RecordingPrompter prompter;
        CProgstarDlg holder(prompter);
        holder.SetTransport(std::make_unique<CSerialLink>(link));
        ASSERT_EQ(holder.ReopenPort(19200), 1);
        bool listed = false;
        setenv("NVDS_EXTRA_PORTS", link.c_str(), 1);
        for (const ComPortEntry& e : EnumerateComPorts()) {
            listed = listed || e.path == link;
        }
        EXPECT_FALSE(listed);
        std::ofstream(out, std::ios::binary) << "old";
        EXPECT_EQ(RunNvds({"nvds", "dump", "--port", link, "--crystal", "32MHz", "-o", out}), 1);
        EXPECT_EQ(ReadFile(out), "old");
    }
    std::vector<ComPortEntry> ports = EnumerateComPorts();
    ASSERT_GE(ports.size(), 2u);
    EXPECT_EQ(ports.back().text, "SPI");
    EXPECT_EQ(ports[ports.size() - 2].path, link);
    EXPECT_EQ(ports[ports.size() - 2].text.rfind("UART(nvds_cli_", 0), 0u);
    unsetenv("NVDS_EXTRA_PORTS");

    kill(sim, SIGTERM);
    int status = 0;
    waitpid(sim, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(access(link.c_str(), F_OK), 0);  // the link is removed on exit
    for (const std::string& path : {in, out, flash}) {
        std::remove(path.c_str());
    }
}

}  // namespace
}  // namespace nvds
