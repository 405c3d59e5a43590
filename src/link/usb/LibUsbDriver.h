#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "link/usb/CyUsbDriver.h"
#include "link/usb/LibUsbApi.h"

namespace nvds {

/// A vendor:product pair a bridge is recognised by.
struct UsbId {
    uint16_t vid;
    uint16_t pid;
};

/// The ids looked for when none are chosen: the bridge's USB controller with its stock bulk
/// firmware.
constexpr const char* USB_BRIDGE_DEFAULT_IDS = "04b4:1004";

/// Parses "VID:PID[,VID:PID...]" (hexadecimal). False, with the reason, on a malformed list.
bool ParseBridgeIds(const std::string& text, std::vector<UsbId>& ids, std::string* error);

/// The bridge driver on libusb-1.0. Bridges are matched by vendor:product id. The control
/// request becomes a control transfer, bulk requests become asynchronous bulk transfers that
/// are cancelled when their handle closes. The device handle and the descriptors it answered
/// stay cached across Open/Close, so a transfer costs its bulk time, not a new enumeration.
/// Transfers complete on the caller's thread while it waits; one thread at a time uses it.
class LibUsbDriver : public CyUsbDriver {
public:
    /// Ids from the text "VID:PID[,VID:PID...]"; a malformed text makes every Open fail with
    /// the reason.
    explicit LibUsbDriver(const std::string& idsText,
                          std::shared_ptr<LibUsbApi> api = std::make_shared<LibUsbApi>());
    LibUsbDriver(std::shared_ptr<LibUsbApi> api, std::vector<UsbId> ids);
    ~LibUsbDriver() override;
    LibUsbDriver(const LibUsbDriver&) = delete;
    LibUsbDriver& operator=(const LibUsbDriver&) = delete;

    int CountDevices() override;
    UsbHandle Open(int n) override;
    bool Close(UsbHandle handle) override;
    bool Request(UsbHandle handle, uint32_t code, uint8_t* buffer, uint32_t size,
                 uint32_t& returned) override;
    uint32_t Submit(UsbHandle handle, const std::shared_ptr<UsbIoRequest>& request) override;
    bool Wait(UsbIoRequest& request, std::chrono::milliseconds timeout) override;
    std::string LastError() const override { return m_strLastError; }

private:
    struct Bridge;
    struct Pending {
        std::shared_ptr<UsbIoRequest> request;
        UsbHandle handle;
        bool buffered;
    };

    bool StartLibrary();
    std::vector<libusb_device*> Matches(libusb_device** list, ssize_t count);
    std::string IdList() const;
    bool OpenBridge(libusb_device* dev, int n);
    void DropBridge();
    bool ControlRequest(uint8_t* buffer, uint32_t size, uint32_t& returned);
    bool Fixed(uint32_t code, uint8_t* buffer, uint32_t size, uint32_t& returned);
    uint32_t DriverWord(uint32_t code) const;
    std::string DriverText(uint32_t code) const;
    uint8_t AltSetting();
    void PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
    static void LIBUSB_CALL OnTransferDone(libusb_transfer* transfer);
    void TransferDone(libusb_transfer* transfer);

    std::shared_ptr<LibUsbApi> m_api;
    std::vector<UsbId> m_ids;
    std::string m_strIdError;
    std::string m_strLastError;
    libusb_context* m_ctx = nullptr;
    bool m_bStarted = false;
    std::unique_ptr<Bridge> m_bridge;
    std::map<UsbHandle, int> m_handles;  // open handles, each on the cached bridge
    UsbHandle m_nNextHandle = 1;
    std::map<libusb_transfer*, Pending> m_pending;
};

}  // namespace nvds
