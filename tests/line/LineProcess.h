#pragma once

// `nvds line` as a process of its own, its output in files the test reads while it runs.

#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/NvdsRun.h"

namespace nvds::test {

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
