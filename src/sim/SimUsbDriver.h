#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/usb/CyUsbDriver.h"
#include "sim/SimChip.h"

namespace nvds {

/// How the simulated bridge behaves.
struct SimUsbOptions {
    bool present = true;                      // false: no bridge attached
    uint32_t driverVersion = 0x01050500;      // below 0x01050500: buffered transfers only
    std::vector<uint16_t> languages{0x0409};  // the device's language list
    uint8_t altSetting = 0;                   // current alternate setting (0 or 1)
    int crystal = 0;                          // of the chip behind the bridge
    int dropInEvery = 0;                      // every Nth answer is lost
    int dropPage = -1;                        // answers to this page are lost ...
    int dropPageTimes = 0;                    // ... this many times
    uint32_t answerLateMs = 0;                // answers become readable this late
    uint32_t requestCostUs = 0;               // every driver request takes this long
    bool failClose = false;                   // the driver refuses to close handles
    std::string flashFile;                    // flash kept here across runs
};

/// An in-memory bridge wired to a simulated chip: realistic descriptors (one configuration,
/// one interface with two alternate settings, bulk IN and OUT endpoints in each, a language
/// list, three strings), a bulk OUT frame handed to the chip after its USB trailer is checked,
/// and bulk IN returning the chip's answer when there is one within the wait.
class CSimUsbDriver : public CyUsbDriver {
public:
    explicit CSimUsbDriver(SimUsbOptions options = {});
    ~CSimUsbDriver() override;

    int CountDevices() override;
    UsbHandle Open(int n) override;
    bool Close(UsbHandle handle) override;
    bool Request(UsbHandle handle, uint32_t code, uint8_t* buffer, uint32_t size,
                 uint32_t& returned) override;
    uint32_t Submit(UsbHandle handle, const std::shared_ptr<UsbIoRequest>& request) override;
    bool Wait(UsbIoRequest& request, std::chrono::milliseconds timeout) override;
    std::string LastError() const override;

    /// A copy of the chip's flash, or replaces it.
    std::vector<uint8_t> Flash();
    void SetFlash(const std::vector<uint8_t>& flash);

    /// Counters for tests and the benchmark.
    int FramesHandled() const { return m_nFrames; }
    int BadTrailers() const { return m_nBadTrailers; }
    int Requests() const { return m_nRequests; }
    /// The last string-descriptor language asked for.
    uint16_t LastLanguage() const { return m_nLastLanguage; }

private:
    using Clock = std::chrono::steady_clock;

    void Cost() const;
    bool ControlRequest(uint8_t* buffer, uint32_t size, uint32_t& returned);
    std::vector<uint8_t> Descriptor(uint16_t wValue, uint16_t wIndex);
    bool EndpointOfCurrentSetting(uint8_t address) const;
    void HandleOut(const uint8_t* data, size_t size);
    void HandleFrame(const uint8_t* frame, size_t size);
    void TakeAnswer(UsbIoRequest& request);

    SimUsbOptions m_opt;
    std::mutex m_mutex;
    CSimChip m_chip;
    std::map<UsbHandle, std::vector<std::shared_ptr<UsbIoRequest>>> m_handles;
    UsbHandle m_nNextHandle = 1;
    std::vector<uint8_t> m_answer;  // answer bytes the chip has ready for the host
    Clock::time_point m_tAnswer{};  // when they become readable
    bool m_bWrote = false;
    std::atomic<int> m_nFrames{0};
    std::atomic<int> m_nBadTrailers{0};
    std::atomic<int> m_nRequests{0};
    int m_nAnswers = 0;
    int m_nPageDrops = 0;
    std::atomic<uint16_t> m_nLastLanguage{0};
};

}  // namespace nvds
