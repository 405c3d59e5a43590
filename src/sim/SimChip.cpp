#include "sim/SimChip.h"

#include <algorithm>

#include "link/BaudTable.h"
#include "link/Crc16.h"
#include "link/Frame.h"
#include "link/LinkConstants.h"

namespace nvds {

namespace {

uint32_t Le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

SimAnswer Status(uint8_t value, uint32_t busyMs = 0) {
    SimAnswer answer;
    answer.bytes = {value};
    answer.busyMs = busyMs;
    return answer;
}

}  // namespace

std::vector<uint8_t> BuildAnswerFrame(uint8_t command, const uint8_t* data, uint32_t length) {
    return BuildFrame(command, data, length);
}

CSimChip::CSimChip(int crystal)
    : m_nCrystal(crystal), m_dBaud(SyncBaud(crystal)), m_flash(FLASH_SIZE, 0xFF) {}

void CSimChip::Reset() {
    m_dBaud = SyncBaud(m_nCrystal);
    m_nAddress = 0;
    m_nMemoryType = 0;
}

uint8_t CSimChip::HandleSync() const {
    return STATUS_ACK;
}

// Frame: [0] 0x71, [1] command, [2..4] length L little-endian, [5..5+L-1] payload,
// [5+L] CRC low, [6+L] CRC high; the CRC covers bytes 1..4+L.
SimAnswer CSimChip::HandleFrame(const uint8_t* frame, size_t size) {
    if (size < FRAME_OVERHEAD || frame[0] != FRAME_START) {
        return {};
    }
    uint32_t length = frame[2] | frame[3] << 8 | frame[4] << 16;
    if (size < length + FRAME_OVERHEAD) {
        return {};
    }
    uint16_t crc = Crc16(frame + 1, length + 4);
    if (crc != (frame[5 + length] | frame[6 + length] << 8)) {
        return {};
    }
    return Execute(frame[1], frame + FRAME_HEADER_SIZE, length);
}

SimAnswer CSimChip::Execute(uint8_t command, const uint8_t* payload, uint32_t length) {
    bool word = length == 4;
    switch (command) {
        case CMD_SET_BAUDRATE: {
            if (!word || m_nRefuseBaud > 0) {
                m_nRefuseBaud = std::max(0, m_nRefuseBaud - 1);
                return {};
            }
            SimAnswer answer = Status(STATUS_ACK);
            answer.newBaud = BaudOfDivisor(payload, m_nCrystal);
            return answer;
        }
        case CMD_SET_MEMORY_TYPE:
            if (!word) {
                return {};
            }
            m_nMemoryType = payload[0];
            return Status(STATUS_ACK);
        case CMD_SET_ADDRESS:
            if (!word || Le32(payload) >= m_flash.size()) {
                return {};
            }
            m_nAddress = Le32(payload);
            return Status(STATUS_ACK);
        case CMD_SECTOR_ERASE: {
            uint32_t start = m_nAddress / FLASH_SECTOR_SIZE * FLASH_SECTOR_SIZE;
            uint32_t end = start + payload[0] * FLASH_SECTOR_SIZE;
            if (!word || end > m_flash.size()) {
                return {};
            }
            std::fill(m_flash.begin() + start, m_flash.begin() + end, 0xFF);
            SimAnswer answer = Status(STATUS_DONE, m_nEraseMs * payload[0]);
            answer.wrote = true;
            return answer;
        }
        case CMD_PROGRAM: {
            if (length == 0 || length > NVDS_PAGE_SIZE || m_nAddress + length > m_flash.size()) {
                return {};
            }
            // Flash cells only go from 1 to 0 when programmed.
            for (uint32_t i = 0; i < length; ++i) {
                m_flash[m_nAddress + i] &= payload[i];
            }
            SimAnswer answer = Status(STATUS_DONE, m_nProgramMs);
            answer.pageOp = true;
            answer.wrote = true;
            answer.address = m_nAddress;
            m_nAddress += length;
            return answer;
        }
        case CMD_READ: {
            uint32_t count = word ? Le32(payload) : 0;
            if (count == 0 || count > NVDS_PAGE_SIZE || m_nAddress + count > m_flash.size()) {
                return {};
            }
            SimAnswer answer;
            answer.bytes = BuildAnswerFrame(CMD_READ, m_flash.data() + m_nAddress, count);
            answer.pageOp = true;
            answer.address = m_nAddress;
            m_nAddress += count;
            return answer;
        }
        default:
            return {};
    }
}

}  // namespace nvds
