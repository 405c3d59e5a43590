#include "link/SerialLink.h"

#include "link/ConnectTarget.h"

namespace nvds {

bool CSerialLink::Open(uint32_t baud, RxQueue& rx) {
    if (!m_port.OpenPort(m_strPath, baud)) {
        return false;
    }
    m_port.StartReader(rx);
    return true;
}

const LinkTraits& CSerialLink::Traits() const {
    static constexpr LinkTraits SERIAL{};
    return SERIAL;
}

std::unique_ptr<SyncStep> CSerialLink::MakeSyncStep() {
    return MakeUartSync();
}

}  // namespace nvds
