#include "link/usb/UsbBackend.h"

#include <atomic>
#include <cstdlib>
#include <string>

#include "link/usb/CyUsbTransport.h"
#include "link/usb/LibUsbDriver.h"

namespace nvds {

namespace {

// Set once by main before any thread runs and only read afterwards; an atomic so a late
// registration is still seen whole.
std::atomic<UsbBackendFactory> g_simBackend{nullptr};

// No device, and the reason why.
class UnusableUsbBridge : public NoUsbBridge {
public:
    explicit UnusableUsbBridge(std::string why) : m_strWhy(std::move(why)) {}
    std::string LastError() const override { return m_strWhy; }

private:
    std::string m_strWhy;
};

}  // namespace

void RegisterSimUsbBackend(UsbBackendFactory factory) {
    g_simBackend = factory;
}

std::unique_ptr<UsbTransport> CreateUsbTransport() {
    const char* backend = std::getenv("NVDS_USB_BACKEND");
    std::string name = backend != nullptr ? backend : "";
    if (name == "sim") {
        if (UsbBackendFactory factory = g_simBackend.load()) {
            return factory();
        }
        return std::make_unique<UnusableUsbBridge>(
            "NVDS_USB_BACKEND=sim: this program has no simulated bridge");
    }
    if (name.empty() || name == "libusb") {
        return std::make_unique<CyUsbTransport>(std::make_shared<LibUsbDriver>());
    }
    return std::make_unique<UnusableUsbBridge>("NVDS_USB_BACKEND=" + name +
                                               " is neither \"sim\" nor \"libusb\"");
}

}  // namespace nvds
