#include "link/LinkFlows.h"

#include "image/CheckImage.h"
#include "link/ComPorts.h"
#include "link/LinkTexts.h"
#include "link/ProgstarDlg.h"
#include "link/UsbLink.h"
#include "link/usb/UsbBackend.h"
#include "platform/Prompter.h"

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

int CheckDumpedImage(CNvdsConfig& config, TagTable& table, NvdsImage& image, Prompter& prompter,
                     const std::function<void()>& beforeMessage) {
    int result = CheckImage(config, table, image, prompter);
    if (result == 0) {
        if (beforeMessage) {
            beforeMessage();
        }
        prompter.Message(MSG_TARGET_ERROR);
    }
    return result;
}

}  // namespace nvds
