#include "link/BaudTable.h"

#include "link/LinkConstants.h"

namespace nvds {

const std::array<BaudRow, BAUD_ROW_COUNT>& BaudTable() {
    static const std::array<BaudRow, BAUD_ROW_COUNT> table{{
        {2400, 4800, 0x01, 0xA0, 0x2B},
        {4800, 9600, 0x00, 0xD0, 0x15},
        {9600, 19200, 0x00, 0x68, 0x0B},
        {19200, 38400, 0x00, 0x34, 0x05},
        {28800, 57600, 0x00, 0x22, 0x2E},
        {38400, 76800, 0x00, 0x1A, 0x03},
        {57600, 115200, 0x00, 0x11, 0x17},
        {76800, 153600, 0x00, 0x0D, 0x01},
        {115200, 230400, 0x00, 0x08, 0x2C},
        {128000, 256000, 0x00, 0x07, 0x34},
        {153600, 307200, 0x00, 0x06, 0x21},
        {230400, 460800, 0x00, 0x04, 0x16},
        {256000, 512000, 0x00, 0x03, 0x3A},
        {460800, 921600, 0x00, 0x02, 0x0B},
        {691200, 1382400, 0x00, 0x01, 0x1D},
        {921600, 1843200, 0x00, 0x01, 0x05},
    }};
    return table;
}

uint32_t BaudOfRow(int index, int crystal) {
    const BaudRow& row = BaudTable().at(static_cast<size_t>(index));
    return crystal == CRYSTAL_32MHZ ? row.baud32 : row.baud16;
}

int FindBaudRow(uint32_t baud, int crystal) {
    for (int i = 0; i < BAUD_ROW_COUNT; ++i) {
        if (BaudOfRow(i, crystal) == baud) {
            return i;
        }
    }
    return -1;
}

std::array<uint8_t, 4> BaudCommandPayload(int index) {
    const BaudRow& row = BaudTable().at(static_cast<size_t>(index));
    return {row.fraction, row.divLow, row.divHigh, 0};
}

uint32_t SyncBaud(int crystal) {
    return crystal == CRYSTAL_32MHZ ? SYNC_BAUD_32MHZ : SYNC_BAUD_16MHZ;
}

double BaudOfDivisor(const uint8_t* payload, int crystal) {
    double divisor = (payload[2] << 8 | payload[1]) + payload[0] / 64.0;
    double crystalHz = crystal == CRYSTAL_32MHZ ? 32e6 : 16e6;
    return divisor > 0 ? crystalHz / (16.0 * divisor) : 0.0;
}

}  // namespace nvds
