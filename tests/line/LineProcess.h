#pragma once

// `nvds line` as a process of its own, its output in files the test reads while it runs.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/NvdsRun.h"
#include "platform/AppFolder.h"

extern char** environ;

namespace nvds::test {

/// Starts the nvds beside the tests with `args`, stdout into `outFile`, stderr into `errFile`.
inline pid_t SpawnNvds(const std::vector<std::string>& args, const std::string& outFile,
                       const std::string& errFile) {
    std::string tool = GetAppFolder() + "/nvds";
    std::vector<char*> argv{tool.data()};
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
    posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

/// Waits up to about 30 s until the file `path` holds `text`; whether it does.
inline bool AwaitText(const std::string& path, const std::string& text) {
    for (int i = 0; i < 3000 && ReadFile(path).find(text) == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ReadFile(path).find(text) != std::string::npos;
}

/// The exit code of `pid` once it has ended, -1 when a signal ended it.
inline int ExitCode(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace nvds::test
