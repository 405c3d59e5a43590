#pragma once

#include <chrono>
#include <cstdint>

namespace nvds {

using std::chrono::milliseconds;

/// Boot-loader command codes. CMD_SYNC travels as a lone byte, all others inside frames.
constexpr uint8_t CMD_SYNC = 0x33;
constexpr uint8_t CMD_SET_BAUDRATE = 0x34;
constexpr uint8_t CMD_SET_MEMORY_TYPE = 0x39;
constexpr uint8_t CMD_SET_ADDRESS = 0x3B;
constexpr uint8_t CMD_SECTOR_ERASE = 0x42;
constexpr uint8_t CMD_PROGRAM = 0x45;
constexpr uint8_t CMD_READ = 0x46;

/// Lone status bytes sent by the boot loader.
constexpr uint8_t STATUS_ACK = 1;
constexpr uint8_t STATUS_DONE = 3;
constexpr uint8_t STATUS_MAX = 4;

/// Frame layout: start byte, command, 24-bit length, payload, CRC (+ 2-byte count over USB).
constexpr uint8_t FRAME_START = 0x71;
constexpr uint32_t FRAME_HEADER_SIZE = 5;
constexpr uint32_t FRAME_OVERHEAD = 7;
constexpr uint32_t FRAME_BUFFER_SIZE = 300;

/// NVDS area geometry on the chip's flash.
constexpr uint32_t NVDS_PAGE_SIZE = 256;
constexpr uint32_t NVDS_PAGE_COUNT = 16;
constexpr uint32_t FLASH_SECTOR_SIZE = 4096;
constexpr uint8_t MEMORY_TYPE_FLASH = 1;
/// readLen given with a page read: makes the USB trailer count 263, the answer frame size.
constexpr uint32_t READ_PAGE_READLEN = 252;

/// Confirmed commands: sent up to 3 times, each followed by a 100 ms wait for STATUS_ACK.
constexpr int CONFIRM_TRIES = 3;
/// SendFrame's confirm value that takes only an ACK arriving after the frame has left the wire
/// (the connect's baud-rate commands, which a late second answer to a sync byte could
/// otherwise confirm); 1 takes the status byte as it stands.
constexpr int CONFIRM_AFTER_WIRE = 2;
constexpr milliseconds ACK_TIMEOUT{100};
/// Waits after the flash commands.
constexpr milliseconds ERASE_TIMEOUT{2000};
constexpr milliseconds PROGRAM_TIMEOUT{2500};
constexpr milliseconds READ_TIMEOUT{500};
/// Tries per page before a dump or burn gives up.
constexpr int PAGE_TRIES = 3;

/// Connect: one sync byte every 10 ms, a DTR pulse every 21 attempts, 20 s in all.
constexpr milliseconds SYNC_PERIOD{10};
constexpr int DTR_PULSE_EVERY = 21;
constexpr milliseconds DTR_STEP{10};
constexpr milliseconds CONNECT_LIMIT{20000};
constexpr int PROGRESS_EVERY_SERIAL = 3;
constexpr int PROGRESS_EVERY_USB = 5;
constexpr int PROGRESS_RANGE = 100;
constexpr uint32_t SYNC_BAUD_16MHZ = 9600;
constexpr uint32_t SYNC_BAUD_32MHZ = 19200;

/// USB bridge: bulk OUT waits this long for its transfer, bulk IN this long for its answer;
/// bridge control requests give up after USB_CONTROL_WAIT_MS.
constexpr uint32_t USB_OUT_WAIT_MS = 100;
constexpr uint32_t USB_IN_WAIT_MS = 10;
constexpr unsigned USB_CONTROL_WAIT_MS = 1000;

/// Crystal indexes.
constexpr int CRYSTAL_16MHZ = 0;
constexpr int CRYSTAL_32MHZ = 1;

}  // namespace nvds
