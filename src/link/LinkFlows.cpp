#include "link/LinkFlows.h"

#include "link/LinkFactory.h"
#include "link/ProgstarDlg.h"

namespace nvds {

void SetUpLink(CProgstarDlg& engine, const LinkFactory& links, const std::string& port, int crystal,
               int baudRow) {
    if (port == SPI_ENTRY) {
        // The bridge needs no rate or crystal: those settings keep what they held.
        engine.SetTransport(links.Make(port));
    } else {
        engine.SetLink(links.Make(port), crystal, baudRow);
    }
    engine.StartReceiveDispatchThread();
    engine.ResetForConnect();
}

}  // namespace nvds
