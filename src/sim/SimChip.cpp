#include "sim/SimChip.h"

#include <algorithm>

#include "link/BaudTable.h"
#include "link/LinkConstants.h"
#include "platform/LittleEndian.h"

namespace nvds {

namespace {

SimAnswer Status(uint8_t value, uint32_t busyMs = 0) {
    SimAnswer answer;
    answer.bytes = {value};
    answer.busyMs = busyMs;
    return answer;
}

// The boot loader's CRC-16 (polynomial 0x1021, initial 0, MSB first), bit by bit. Deliberately
// not the host's table-driven one: the chip must not agree with a broken host.
uint16_t ChipCrc(const uint8_t* data, size_t size) {
    uint16_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc = static_cast<uint16_t>(crc ^ data[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

// The payload length each command takes; a program takes 1 to 256 bytes.
bool LengthFits(uint8_t command, uint32_t length) {
    switch (command) {
        case CMD_PROGRAM:
            return length >= 1 && length <= NVDS_PAGE_SIZE;
        case CMD_SET_BAUDRATE:
        case CMD_SET_MEMORY_TYPE:
        case CMD_SET_ADDRESS:
        case CMD_SECTOR_ERASE:
        case CMD_READ:
            return length == 4;
        default:
            return false;
    }
}

}  // namespace

std::vector<uint8_t> BuildAnswerFrame(uint8_t command, const uint8_t* data, uint32_t length) {
    std::vector<uint8_t> frame(length + FRAME_OVERHEAD);
    frame[0] = FRAME_START;
    frame[1] = command;
    frame[2] = static_cast<uint8_t>(length);
    frame[3] = static_cast<uint8_t>(length >> 8);
    frame[4] = static_cast<uint8_t>(length >> 16);
    std::copy(data, data + length, frame.begin() + FRAME_HEADER_SIZE);
    uint16_t crc = ChipCrc(frame.data() + 1, length + 4);
    frame[FRAME_HEADER_SIZE + length] = static_cast<uint8_t>(crc);
    frame[FRAME_HEADER_SIZE + length + 1] = static_cast<uint8_t>(crc >> 8);
    return frame;
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
    uint16_t crc = ChipCrc(frame + 1, length + 4);
    if (crc != GetLe16(frame + 5 + length)) {
        return {};
    }
    if (!LengthFits(frame[1], length)) {
        return {};
    }
    return Execute(frame[1], frame + FRAME_HEADER_SIZE, length);
}

SimAnswer CSimChip::Execute(uint8_t command, const uint8_t* payload, uint32_t length) {
    switch (command) {
        case CMD_SET_BAUDRATE: {
            if (m_nRefuseBaud > 0) {
                --m_nRefuseBaud;
                return {};
            }
            SimAnswer answer = Status(STATUS_ACK);
            answer.newBaud = BaudOfDivisor(payload, m_nCrystal);
            return answer;
        }
        case CMD_SET_MEMORY_TYPE:
            m_nMemoryType = payload[0];
            return Status(STATUS_ACK);
        case CMD_SET_ADDRESS:
            if (GetLe32(payload) >= m_flash.size()) {
                return {};
            }
            m_nAddress = GetLe32(payload);
            return Status(STATUS_ACK);
        case CMD_SECTOR_ERASE: {
            // Erasing is a flash command of its own: it works whatever memory type is selected.
            uint32_t start = m_nAddress / FLASH_SECTOR_SIZE * FLASH_SECTOR_SIZE;
            uint32_t end = start + payload[0] * FLASH_SECTOR_SIZE;
            if (end > m_flash.size()) {
                return {};
            }
            std::fill(m_flash.begin() + start, m_flash.begin() + end, 0xFF);
            SimAnswer answer = Status(STATUS_DONE, m_nEraseMs * payload[0]);
            answer.wrote = true;
            return answer;
        }
        case CMD_PROGRAM: {
            if (m_nAddress + length > m_flash.size()) {
                return {};
            }
            // With another memory type selected the bytes go elsewhere: the chip still takes its
            // time, answers and advances, but the flash keeps what it had.
            bool toFlash = m_nMemoryType == MEMORY_TYPE_FLASH;
            if (toFlash) {
                // Flash cells only go from 1 to 0 when programmed.
                for (uint32_t i = 0; i < length; ++i) {
                    m_flash[m_nAddress + i] &= payload[i];
                }
            }
            SimAnswer answer = Status(STATUS_DONE, m_nProgramMs);
            answer.pageOp = true;
            answer.wrote = toFlash;
            answer.address = m_nAddress;
            m_nAddress += length;
            return answer;
        }
        case CMD_READ: {
            uint32_t count = GetLe32(payload);
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
