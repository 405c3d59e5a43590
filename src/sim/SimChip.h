#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nvds {

/// What the simulated boot loader does with one frame: the bytes it answers (possibly none),
/// how long the flash is busy before they go out, and a rate to switch to after they went out.
struct SimAnswer {
    std::vector<uint8_t> bytes;
    uint32_t busyMs = 0;
    double newBaud = 0;    // nonzero: listen at this rate from now on
    bool pageOp = false;   // a page read or program (counted for a hang-up)
    bool wrote = false;    // the flash changed
    uint32_t address = 0;  // address the command worked at
};

/// The chip side of the boot loader without any wire: a flash whose first 4 KB sector is the
/// NVDS area, erase to 0xFF, programming that only clears bits, an address that advances with
/// each read or program, CRC-checked frames. Frames can be fed from a serial line or a bridge.
class CSimChip {
public:
    static constexpr size_t FLASH_SIZE = 64 * 1024;

    explicit CSimChip(int crystal = 0);

    /// Handles one complete command frame (0x71 .. CRC high; a USB count after it is ignored).
    /// A frame with a bad CRC, an unknown command or an address off the flash gets no answer.
    SimAnswer HandleFrame(const uint8_t* frame, size_t size);

    /// The answer to a sync byte: STATUS_ACK.
    uint8_t HandleSync() const;

    /// Back to the boot state after a reset: listening at the sync rate, address 0.
    void Reset();

    /// The rate the chip's UART runs at now.
    double Baud() const { return m_dBaud; }
    void SetBaud(double baud) { m_dBaud = baud; }

    std::vector<uint8_t>& Flash() { return m_flash; }
    const std::vector<uint8_t>& Flash() const { return m_flash; }
    uint32_t Address() const { return m_nAddress; }

    // Behaviour knobs.
    uint32_t m_nEraseMs = 0;
    uint32_t m_nProgramMs = 0;
    int m_nRefuseBaud = 0;  // number of baud commands still to be ignored

private:
    SimAnswer Execute(uint8_t command, const uint8_t* payload, uint32_t length);

    int m_nCrystal;
    double m_dBaud;
    uint32_t m_nAddress = 0;
    uint8_t m_nMemoryType = 0;
    std::vector<uint8_t> m_flash;
};

/// Builds an answer frame: 0x71, command, 24-bit length, data, CRC low, CRC high.
std::vector<uint8_t> BuildAnswerFrame(uint8_t command, const uint8_t* data, uint32_t length);

}  // namespace nvds
