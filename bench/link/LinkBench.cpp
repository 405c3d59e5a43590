// Link benchmark: the host engine against the simulated chip pacing itself at the line rate
// with realistic flash times. Prints host time over the floor (wire time of every byte plus
// flash busy time) for connect, dump and burn, and the CPU used while connected and idle.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "image/NvdsImage.h"
#include "link/AreaTransfer.h"
#include "link/BaudTable.h"
#include "link/ConnectTarget.h"
#include "link/LinkConstants.h"
#include "link/LinkFactory.h"
#include "link/LinkFlows.h"
#include "link/ProgstarDlg.h"
#include "sim/SimLink.h"

namespace {

using namespace nvds;
using Clock = std::chrono::steady_clock;

constexpr uint32_t ERASE_MS = 40;
constexpr uint32_t PROGRAM_MS = 2;
constexpr uint32_t BOOT_DELAY_MS = 300;
constexpr int ROUNDS = 3;

double Since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Wire time of the connect: the answered sync byte and the first baud command with their
// answers at the sync rate, the second baud command and its answer at the working rate.
double ConnectFloor(uint32_t baud) {
    const double bits = 10.0;
    return (1 + 1 + 11 + 1) * bits / SYNC_BAUD_16MHZ + (11 + 1) * bits / baud;
}

struct Figures {
    double connect = 0, connectFloor = 0;
    double dump = 0, dumpFloor = 0;
    double burn = 0, burnFloor = 0;
};

bool Round(uint32_t baud, Figures& f, bool measureIdle) {
    SimOptions options;
    options.pace = true;
    options.eraseMs = ERASE_MS;
    options.programMs = PROGRAM_MS;
    options.bootDelayMs = BOOT_DELAY_MS;
    CSimLink sim(options);
    if (!sim.Start()) {
        return false;
    }
    CProgstarDlg engine;
    SetUpLink(engine, LinkFactory(), sim.SlavePath(), CRYSTAL_16MHZ,
              FindBaudRow(baud, CRYSTAL_16MHZ));
    if (const LinkOutcome connected = ConnectTarget(engine); !connected) {
        std::fprintf(stderr, "%s\n%s\n", connected.message.c_str(), connected.cause.c_str());
        return false;
    }
    f.connect = std::chrono::duration<double>(Clock::now() - sim.ReadySince()).count();
    f.connectFloor = ConnectFloor(baud);

    NvdsImage image;
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 13);
    }
    sim.ResetFloor();
    auto t = Clock::now();
    if (!BurnImage(engine, true, image, {})) {
        return false;
    }
    f.burn = Since(t);
    f.burnFloor = sim.FloorSeconds();

    NvdsImage back{};
    sim.ResetFloor();
    t = Clock::now();
    if (!DumpImage(engine, true, back, {}) || back != image) {
        return false;
    }
    f.dump = Since(t);
    f.dumpFloor = sim.FloorSeconds();

    if (measureIdle) {
        double cpu = CpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(5));
        std::printf("idle while connected: %.3f%% of one core over 5 s\n",
                    (CpuSeconds() - cpu) / 5.0 * 100.0);
    }
    engine.ClosePort();
    return true;
}

}  // namespace

int main() {
    std::printf("%-8s %-8s %10s %10s %7s\n", "baud", "what", "host ms", "floor ms", "ratio");
    bool idleDone = false;
    for (uint32_t baud : {115200u, 921600u}) {
        std::vector<Figures> runs;
        for (int r = 0; r < ROUNDS; ++r) {
            Figures f;
            if (!Round(baud, f, !idleDone && r == ROUNDS - 1)) {
                std::fprintf(stderr, "round at %u baud failed\n", baud);
                return 1;
            }
            idleDone = idleDone || r == ROUNDS - 1;
            runs.push_back(f);
        }
        // The round with the median ratio, each figure from that same round, so the row's
        // ratio is its host time over its floor.
        auto report = [&](const char* what, double Figures::*host, double Figures::*floor) {
            std::vector<const Figures*> order;
            for (const Figures& f : runs) {
                order.push_back(&f);
            }
            std::sort(order.begin(), order.end(), [&](const Figures* a, const Figures* b) {
                return a->*host / a->*floor < b->*host / b->*floor;
            });
            const Figures& mid = *order[order.size() / 2];
            std::printf("%-8u %-8s %10.1f %10.1f %7.3f\n", baud, what, mid.*host * 1e3,
                        mid.*floor * 1e3, mid.*host / mid.*floor);
        };
        report("connect", &Figures::connect, &Figures::connectFloor);
        report("dump", &Figures::dump, &Figures::dumpFloor);
        report("burn", &Figures::burn, &Figures::burnFloor);
    }
    return 0;
}
