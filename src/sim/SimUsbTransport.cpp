#include "sim/SimUsbTransport.h"

#include <cstdlib>

#include "link/usb/CyUsbTransport.h"
#include "link/usb/UsbBackend.h"
#include "sim/SimUsbDriver.h"

namespace nvds {

std::unique_ptr<UsbTransport> CreateSimUsbTransport() {
    SimUsbOptions options;
    if (const char* flash = std::getenv("NVDS_USB_SIM_FLASH")) {
        options.flashFile = flash;
    }
    return std::make_unique<CyUsbTransport>(std::make_shared<CSimUsbDriver>(options));
}

void RegisterSimUsbBridge() {
    RegisterSimUsbBackend(&CreateSimUsbTransport);
}

}  // namespace nvds
