#pragma once

// Runs the nvds tool that lies beside the test executables and reads back what it printed.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/AppFolder.h"

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
