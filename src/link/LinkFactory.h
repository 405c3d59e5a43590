#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/ComPorts.h"
#include "link/LinkTransport.h"
#include "link/UsbTransport.h"

namespace nvds {

/// What a program's environment says about its links; main() reads it once.
struct LinkEnvironment {
    std::string usbBackend;                // NVDS_USB_BACKEND: empty or "libusb", or "sim"
    std::optional<std::string> bridgeIds;  // NVDS_USB_BRIDGE: "VID:PID[,VID:PID...]"
    std::string extraPorts;                // NVDS_EXTRA_PORTS: colon-separated device paths

    /// From the variables' values as getenv returns them (null: not set).
    static LinkEnvironment From(const char* usbBackend, const char* bridgeIds,
                                const char* extraPorts);
};

/// Makes a simulated bridge, for programs that offer one.
using BridgeMaker = std::function<std::unique_ptr<UsbTransport>()>;

/// Makes every link a program uses and lists the interfaces it can reach. Made in main() and
/// passed to whoever connects (commands, the window, the production line); tests pass their
/// own. Safe to use from several threads at once.
class LinkFactory {
public:
    /// `simBridge` is the bridge a usbBackend of "sim" selects; none: that backend has no
    /// device.
    explicit LinkFactory(LinkEnvironment env = {}, BridgeMaker simBridge = {});
    virtual ~LinkFactory() = default;

    /// The link for an interface: SPI_ENTRY is the USB bridge, anything else the path of a
    /// serial device.
    virtual std::unique_ptr<LinkTransport> Make(const std::string& port) const;
    /// The interfaces a chip can be reached by, as EnumerateComPorts lists them with the extra
    /// ports.
    virtual std::vector<ComPortEntry> Ports() const;
    /// The USB bridge as the back end selects it: libusb when it is empty or "libusb", the
    /// simulated bridge for "sim". Any other value (or "sim" without a simulated bridge)
    /// gives a bridge without a device whose LastError() says why.
    std::unique_ptr<UsbTransport> MakeBridge() const;
    /// The bridge ids the libusb back end looks for.
    std::string BridgeIds() const;

private:
    LinkEnvironment m_env;
    BridgeMaker m_simBridge;
};

}  // namespace nvds
