#include "sim/SimUsbTransport.h"

#include <cstdlib>
#include <string>

#include "link/usb/CyUsbTransport.h"
#include "link/usb/LibUsbDriver.h"
#include "sim/SimUsbDriver.h"

namespace nvds {

namespace {

// No device, and the reason why.
class UnusableUsbBridge : public NoUsbBridge {
public:
    explicit UnusableUsbBridge(std::string why) : m_strWhy(std::move(why)) {}
    std::string LastError() const override { return m_strWhy; }

private:
    std::string m_strWhy;
};

}  // namespace

std::unique_ptr<UsbTransport> CreateUsbTransport() {
    const char* backend = std::getenv("NVDS_USB_BACKEND");
    std::string name = backend != nullptr ? backend : "";
    if (name == "sim") {
        SimUsbOptions options;
        if (const char* flash = std::getenv("NVDS_USB_SIM_FLASH")) {
            options.flashFile = flash;
        }
        return std::make_unique<CyUsbTransport>(std::make_shared<CSimUsbDriver>(options));
    }
    if (name.empty() || name == "libusb") {
        return std::make_unique<CyUsbTransport>(std::make_shared<LibUsbDriver>());
    }
    return std::make_unique<UnusableUsbBridge>("NVDS_USB_BACKEND=" + name +
                                               " is neither \"sim\" nor \"libusb\"");
}

}  // namespace nvds
