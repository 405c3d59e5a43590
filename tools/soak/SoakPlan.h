#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nvds::soak {

/// Size of the simulated flash the soak starts each chip with, and of its NVDS area.
constexpr size_t SOAK_FLASH_SIZE = 64 * 1024;
constexpr size_t SOAK_AREA_SIZE = 4096;

enum class Operation { Dump, Burn };

/// How the tool reaches the chip: a pseudo-terminal served by a simulated chip in the soak
/// process, or the simulated USB bridge inside the tool (NVDS_USB_BACKEND=sim).
enum class Route { Pty, Bridge };

/// One fault per trial. The chip faults act on the pty route only; the two signals reach the
/// tool itself on either route.
enum class FaultKind {
    None,
    DropEvery,         // every Nth answer lost
    CorruptEvery,      // every Nth answer frame with a bad CRC
    RefuseBaud,        // the first N baud commands ignored (a huge N: all of them)
    BootDelay,         // the chip silent for N ms after start
    HangupAfterPages,  // the line hung up on the Nth page read or program
    WeakPage,          // page N acknowledged but one byte reads back wrong
    DropPage,          // answers about page N lost `times` times
    Terminate,         // SIGTERM to the tool N ms after it started
    Kill,              // SIGKILL to the tool N ms after it started
};
constexpr int FAULT_KIND_COUNT = 10;

/// Refuse-baud count that stands for "never confirms".
constexpr int REFUSE_ALWAYS = 1 << 30;

struct Fault {
    FaultKind kind = FaultKind::None;
    int value = 0;
    int times = 0;
};

/// Everything one trial does, drawn from the run's seed and the trial's number, so a trial can
/// be repeated alone.
struct TrialPlan {
    uint64_t seed = 0;
    int index = 0;
    Operation op = Operation::Dump;
    Route route = Route::Pty;
    int crystal = 0;
    uint32_t baud = 115200;
    bool verify = false;
    bool skipIdentical = false;
    bool safeOrder = false;
    bool json = false;
    bool trace = false;
    Fault fault;
    uint32_t eraseMs = 0;
    uint32_t programMs = 0;
    /// The chip's whole flash before the trial.
    std::vector<uint8_t> flashBefore;
    /// Burn: the image file's bytes ("NVDS" first, 4 to 4096 bytes).
    std::vector<uint8_t> imageFile;
    /// Dump: whether the output file exists before, and what it holds.
    bool outputExists = false;
    std::vector<uint8_t> outputBefore;
};

/// The trial `index` of the run with `seed`.
TrialPlan PlanTrial(uint64_t seed, int index);

/// The NVDS area a burn of `imageFile` leaves on the chip: the file's bytes over an erased area.
std::vector<uint8_t> ExpectedArea(const std::vector<uint8_t>& imageFile);

/// The tool's arguments (without the program name) for the plan, with the chip at `port` and
/// the files at the given paths.
std::vector<std::string> ToolArguments(const TrialPlan& plan, const std::string& port,
                                       const std::string& imagePath, const std::string& outputPath);

/// "drop-every 3", "sigterm after 250 ms", "none", ...
std::string FaultText(const Fault& fault);
/// The kind's name alone, for the per-fault counts.
const char* FaultKindName(FaultKind kind);
/// "burn --verify --safe-order (pty, 32MHz 921600)".
std::string OperationText(const TrialPlan& plan);

}  // namespace nvds::soak
