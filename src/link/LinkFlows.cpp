#include "link/LinkFlows.h"

#include "link/ComPorts.h"
#include "link/ProgstarDlg.h"
#include "link/UsbLink.h"
#include "link/usb/UsbBackend.h"

namespace nvds {

void SetUpLink(CProgstarDlg& engine, const std::string& port, int crystal, int baudRow) {
    if (port == SPI_ENTRY) {
        // The bridge needs no port, rate or crystal: those settings keep what they held.
        engine.SetTransport(std::make_unique<CUsbLink>(CreateUsbTransport()));
    } else {
        engine.SetSerialLink(port, crystal, baudRow);
    }
    engine.StartReceiveDispatchThread();
    engine.ResetForConnect();
}

}  // namespace nvds
