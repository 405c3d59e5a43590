#pragma once

#include <cstdint>
#include <string>

namespace nvds::line {

/// Who holds reservations: a process told apart from a later one that got the same pid by
/// the boot it runs in and its start time in clock ticks after boot.
struct ProcessOwner {
    std::string host;
    int64_t pid = 0;
    std::string bootId;
    int64_t startTicks = 0;
};

/// This process.
ProcessOwner CurrentProcessOwner();

/// True while the owner (a process of this host) still runs: false when the machine has been
/// restarted since, when the pid is gone or a zombie, or when the pid now belongs to a
/// process that started at another time.
bool ProcessOwnerAlive(const ProcessOwner& owner);

}  // namespace nvds::line
