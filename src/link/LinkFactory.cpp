#include "link/LinkFactory.h"

#include "link/SerialLink.h"
#include "link/UsbLink.h"
#include "link/usb/CyUsbTransport.h"
#include "link/usb/LibUsbDriver.h"

namespace nvds {

LinkEnvironment LinkEnvironment::From(const char* usbBackend, const char* bridgeIds,
                                      const char* extraPorts) {
    LinkEnvironment env;
    env.usbBackend = usbBackend != nullptr ? usbBackend : "";
    if (bridgeIds != nullptr) {
        env.bridgeIds = bridgeIds;
    }
    env.extraPorts = extraPorts != nullptr ? extraPorts : "";
    return env;
}

LinkFactory::LinkFactory(LinkEnvironment env, BridgeMaker simBridge)
    : m_env(std::move(env)), m_simBridge(std::move(simBridge)) {}

std::unique_ptr<LinkTransport> LinkFactory::Make(const std::string& port) const {
    if (port == SPI_ENTRY) {
        return std::make_unique<CUsbLink>(MakeBridge());
    }
    return std::make_unique<CSerialLink>(port);
}

std::vector<ComPortEntry> LinkFactory::Ports() const {
    return EnumerateComPorts(m_env.extraPorts);
}

std::unique_ptr<UsbTransport> LinkFactory::MakeBridge() const {
    const std::string& name = m_env.usbBackend;
    if (name == "sim") {
        if (m_simBridge) {
            return m_simBridge();
        }
        return std::make_unique<NoUsbBridge>(
            "NVDS_USB_BACKEND=sim: this program has no simulated bridge");
    }
    if (name.empty() || name == "libusb") {
        return std::make_unique<CyUsbTransport>(std::make_shared<LibUsbDriver>(BridgeIds()));
    }
    return std::make_unique<NoUsbBridge>("NVDS_USB_BACKEND=" + name +
                                         " is neither \"sim\" nor \"libusb\"");
}

std::string LinkFactory::BridgeIds() const {
    return m_env.bridgeIds.value_or(USB_BRIDGE_DEFAULT_IDS);
}

}  // namespace nvds
