// USB bridge benchmark: connect, burn and dump through the simulated bridge, every driver
// request given a cost. "fresh" charges the cost for every request, as a driver that goes to
// the device for each descriptor read; "cached" charges only the bulk transfers, as the libusb
// backend does once it holds the device and its descriptors. Prints the driver requests per
// page and the host time per page beyond the charged cost.
#include <chrono>
#include <cstdio>
#include <memory>

#include "image/NvdsImage.h"
#include "link/AreaTransfer.h"
#include "link/ConnectTarget.h"
#include "link/LinkConstants.h"
#include "link/ProgstarDlg.h"
#include "link/UsbLink.h"
#include "link/usb/CyUsbTransport.h"
#include "sim/SimUsbDriver.h"

namespace {

using namespace nvds;
using Clock = std::chrono::steady_clock;

// Counts the requests that reach the driver and charges each its cost.
class CostDriver : public CyUsbDriver {
public:
    CostDriver(std::chrono::microseconds cost, bool cached) : m_cost(cost), m_bCached(cached) {}

    int CountDevices() override {
        Charge(false);
        return m_sim.CountDevices();
    }
    UsbHandle Open(int n) override {
        Charge(false);
        return m_sim.Open(n);
    }
    bool Close(UsbHandle h) override {
        Charge(false);
        return m_sim.Close(h);
    }
    bool Request(UsbHandle h, uint32_t code, uint8_t* buffer, uint32_t size,
                 uint32_t& returned) override {
        Charge(false);
        return m_sim.Request(h, code, buffer, size, returned);
    }
    uint32_t Submit(UsbHandle h, const std::shared_ptr<UsbIoRequest>& r) override {
        Charge(true);
        return m_sim.Submit(h, r);
    }
    bool Wait(UsbIoRequest& r, std::chrono::milliseconds t) override { return m_sim.Wait(r, t); }

    long requests = 0;
    std::chrono::microseconds charged{0};

private:
    void Charge(bool bulk) {
        ++requests;
        if (bulk || !m_bCached) {
            // Spin rather than sleep: a sleep's wake-up slack would count as host overhead.
            auto until = Clock::now() + m_cost;
            while (Clock::now() < until) {
            }
            charged += m_cost;
        }
    }

    CSimUsbDriver m_sim;
    std::chrono::microseconds m_cost;
    bool m_bCached;
};

struct Phase {
    long requests;
    double hostMs;      // wall time per page
    double overheadMs;  // wall time per page beyond the charged cost
};

template <typename Op>
Phase Measure(CostDriver& driver, Op op) {
    long r0 = driver.requests;
    auto c0 = driver.charged;
    auto t0 = Clock::now();
    op();
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    double charged = std::chrono::duration<double, std::milli>(driver.charged - c0).count();
    return {driver.requests - r0, ms / NVDS_PAGE_COUNT, (ms - charged) / NVDS_PAGE_COUNT};
}

bool Run(int costUs, bool cached) {
    auto driver = std::make_shared<CostDriver>(std::chrono::microseconds(costUs), cached);
    CProgstarDlg engine;
    engine.SetTransport(std::make_unique<CUsbLink>(std::make_unique<CyUsbTransport>(driver)));
    engine.ResetForConnect();
    if (!ConnectTarget(engine)) {
        return false;
    }
    NvdsImage image;
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 13);
    }
    NvdsImage back{};
    LinkOutcome burned, dumped;
    Phase burn = Measure(*driver, [&] { burned = BurnImage(engine, true, image, {}); });
    Phase dump = Measure(*driver, [&] { dumped = DumpImage(engine, true, back, {}); });
    if (!burned || !dumped || back != image) {
        return false;
    }
    for (const auto& [what, p] : {std::pair{"burn", burn}, std::pair{"dump", dump}}) {
        std::printf("%-7s %8d %-5s %9.1f %12.3f %14.3f\n", cached ? "cached" : "fresh", costUs,
                    what, static_cast<double>(p.requests) / NVDS_PAGE_COUNT, p.hostMs,
                    p.overheadMs);
    }
    return true;
}

}  // namespace

int main() {
    std::printf("%-7s %8s %-5s %9s %12s %14s\n", "driver", "cost us", "what", "req/page",
                "host ms/page", "overhead ms/pg");
    for (int cost : {0, 20, 100}) {
        for (bool cached : {false, true}) {
            if (!Run(cost, cached)) {
                std::fprintf(stderr, "run at %d us failed\n", cost);
                return 1;
            }
        }
    }
    return 0;
}
