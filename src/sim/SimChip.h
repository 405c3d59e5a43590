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
/// The chip checks frames with its own CRC and builds its answers itself, so a fault in the
/// host's frame builder shows up as a chip that does not answer.
class CSimChip {
public:
    static constexpr size_t FLASH_SIZE = 64 * 1024;

    explicit CSimChip(int crystal = 0);

    /// Handles one complete command frame (0x71 .. CRC high; a USB count after it is ignored).
    /// A frame with a bad CRC, an unknown command, a payload length the command does not take
    /// (4 bytes for all but a program, 1 to 256 for a program) or an address off the flash gets
    /// no answer. A program while the memory type is not flash is answered as usual but leaves
    /// the flash as it was: the boot loader writes to the memory it was told to.
    SimAnswer HandleFrame(const uint8_t* frame, size_t size);

    /// The answer to a sync byte: STATUS_ACK.
    uint8_t HandleSync() const;

    /// Back to the boot state after a reset: listening at the sync rate, address 0, no memory
    /// type selected.
    void Reset();

    /// The rate the chip's UART runs at now.
    double Baud() const { return m_dBaud; }
    void SetBaud(double baud) { m_dBaud = baud; }

    std::vector<uint8_t>& Flash() { return m_flash; }
    const std::vector<uint8_t>& Flash() const { return m_flash; }
    uint32_t Address() const { return m_nAddress; }
    /// The memory type the last CMD_SET_MEMORY_TYPE selected; 0 (none) after a reset.
    uint8_t MemoryType() const { return m_nMemoryType; }

    /// Flash busy times of a real part; tests that want an instant flash set them to 0.
    static constexpr uint32_t DEFAULT_ERASE_MS = 40;   // per 4 KB sector
    static constexpr uint32_t DEFAULT_PROGRAM_MS = 2;  // per page of up to 256 bytes

    // Behaviour knobs.
    uint32_t m_nEraseMs = DEFAULT_ERASE_MS;
    uint32_t m_nProgramMs = DEFAULT_PROGRAM_MS;
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
