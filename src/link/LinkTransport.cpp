#include "link/LinkTransport.h"

#include "link/ConnectTarget.h"
#include "link/Frame.h"
#include "link/LinkConstants.h"
#include "link/ProgstarDlg.h"

namespace nvds {

std::vector<uint8_t> LinkTransport::Frame(uint8_t command, const uint8_t* payload, uint32_t length,
                                          uint32_t /*readLen*/) const {
    return BuildFrame(command, payload, length);
}

int LinkTransport::ConfirmTries(int confirm) const {
    return confirm != 0 ? CONFIRM_TRIES : 0;
}

int LinkTransport::WaitStatus(CProgstarDlg& engine, uint8_t value,
                              std::chrono::milliseconds timeout) {
    return engine.WaitParsedStatus(value, timeout);
}

int LinkTransport::WaitDataFrame(CProgstarDlg& engine, uint8_t* out, uint32_t length,
                                 std::chrono::milliseconds timeout) {
    return engine.WaitParsedFrame(out, length, timeout);
}

std::unique_ptr<SyncStep> LinkTransport::MakeSyncStep() {
    return MakeUartSync();
}

}  // namespace nvds
