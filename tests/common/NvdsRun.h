#pragma once

// Runs the nvds tool that lies beside the test executables and reads back what it printed.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/AppFolder.h"

extern char** environ;

namespace nvds::test {

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

/// The whole file, or "" when it cannot be read.
inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

/// A path in the test's scratch folder, unique to this process: "<tmp>/<prefix>_<pid>_<name>".
inline std::string TempPath(const std::string& prefix, const std::string& name) {
    return ::testing::TempDir() + prefix + "_" + std::to_string(getpid()) + "_" + name;
}

/// Starts "<bin>/nvds ARGS" (named "nvds" in its command line) without a shell, stdout into
/// `outFile` and stderr into `errFile`. The child's pid, or -1 when it could not be started.
inline pid_t SpawnNvds(const std::vector<std::string>& args,
                       const std::string& outFile = "/dev/null",
                       const std::string& errFile = "/dev/null") {
    const std::string tool = GetAppFolder() + "/nvds";
    std::vector<char*> argv{const_cast<char*>("nvds")};
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

/// Starts "nvds sim --link LINK SIMARGS" and waits (up to 5 s) for its link to appear. The
/// simulator's pid, or -1 when it could not be started.
inline pid_t StartNvdsSim(const std::string& link, const std::vector<std::string>& simArgs = {}) {
    std::vector<std::string> args = {"sim", "--link", link};
    args.insert(args.end(), simArgs.begin(), simArgs.end());
    const pid_t sim = SpawnNvds(args);
    for (int i = 0; sim > 0 && i < 500 && access(link.c_str(), F_OK) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return sim;
}

/// Runs "<bin>/nvds ARGS" through the shell (ARGS are shell words, quoted by the caller) in
/// folder `dir` (the current one when empty), with `env` ("NAME=value ...") in front.
/// stdout and stderr are caught apart.
inline ToolRun RunNvds(const std::string& args, const std::string& dir = "",
                       const std::string& env = "") {
    static int serial = 0;
    const std::string base =
        "/tmp/nvds_run." + std::to_string(getpid()) + "." + std::to_string(++serial);
    std::string command;
    if (!dir.empty()) {
        command = "cd '" + dir + "' && ";
    }
    command += env + (env.empty() ? "" : " ") + "'" + GetAppFolder() + "/nvds' " + args + " >'" +
               base + ".out' 2>'" + base + ".err'";
    const int status = std::system(command.c_str());
    ToolRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadFile(base + ".out");
    run.err = ReadFile(base + ".err");
    std::remove((base + ".out").c_str());
    std::remove((base + ".err").c_str());
    return run;
}

}  // namespace nvds::test
