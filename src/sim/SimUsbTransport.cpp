#include "sim/SimUsbTransport.h"

#include "link/usb/CyUsbTransport.h"
#include "sim/SimUsbDriver.h"

namespace nvds {

std::unique_ptr<UsbTransport> CreateSimUsbTransport(const std::string& flashFile) {
    SimUsbOptions options;
    options.flashFile = flashFile;
    return std::make_unique<CyUsbTransport>(std::make_shared<CSimUsbDriver>(options));
}

}  // namespace nvds
