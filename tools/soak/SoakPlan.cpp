#include "SoakPlan.h"

#include <algorithm>
#include <array>

#include "link/BaudTable.h"

namespace nvds::soak {

namespace {

// splitmix64: a small generator whose sequence is the same on every machine and library, so a
// seed printed by one run repeats that run anywhere.
class Draw {
public:
    explicit Draw(uint64_t seed) : m_state(seed) {}

    uint64_t Next() {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    /// 0 .. n-1.
    int Below(int n) { return static_cast<int>(Next() % static_cast<uint64_t>(n)); }
    /// lo .. hi inclusive.
    int Between(int lo, int hi) { return lo + Below(hi - lo + 1); }
    /// True with `percent` % probability.
    bool Chance(int percent) { return Below(100) < percent; }
    uint8_t Byte() { return static_cast<uint8_t>(Next()); }
    void Fill(uint8_t* data, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            data[i] = Byte();
        }
    }

private:
    uint64_t m_state;
};

// Weights of the faults on the pty route, in FaultKind order.
constexpr std::array<int, FAULT_KIND_COUNT> PTY_FAULT_WEIGHTS = {8, 15, 15, 10, 8, 14, 8, 12, 6, 4};
// On the bridge route the chip sits inside the tool: only signals reach it from outside.
constexpr std::array<int, FAULT_KIND_COUNT> BRIDGE_FAULT_WEIGHTS = {60, 0, 0, 0,  0,
                                                                    0,  0, 0, 25, 15};

FaultKind DrawKind(Draw& draw, const std::array<int, FAULT_KIND_COUNT>& weights) {
    int total = 0;
    for (int w : weights) {
        total += w;
    }
    int pick = draw.Below(total);
    for (int k = 0; k < FAULT_KIND_COUNT; ++k) {
        if (pick < weights[k]) {
            return static_cast<FaultKind>(k);
        }
        pick -= weights[k];
    }
    return FaultKind::None;
}

Fault DrawFault(Draw& draw, Route route) {
    Fault f;
    f.kind = DrawKind(draw, route == Route::Pty ? PTY_FAULT_WEIGHTS : BRIDGE_FAULT_WEIGHTS);
    switch (f.kind) {
        case FaultKind::None:
            break;
        case FaultKind::DropEvery:
            f.value = draw.Between(4, 20);
            break;
        case FaultKind::CorruptEvery:
            f.value = draw.Between(1, 15);
            break;
        case FaultKind::RefuseBaud:
            // A chip that never confirms costs the whole connect limit: rare, to keep runs short.
            f.value = draw.Chance(5) ? REFUSE_ALWAYS : draw.Between(1, 5);
            break;
        case FaultKind::BootDelay:
            f.value = draw.Between(100, 3000);
            break;
        case FaultKind::HangupAfterPages:
            // Up to the 48 page operations of a burn that reads first and verifies.
            f.value = draw.Between(0, 48);
            break;
        case FaultKind::WeakPage:
            f.value = draw.Below(16);
            break;
        case FaultKind::DropPage:
            f.value = draw.Below(16);
            f.times = draw.Between(1, 4);
            break;
        case FaultKind::Terminate:
        case FaultKind::Kill:
            // A fault-free transfer of the sanitized tool takes a few hundred ms.
            f.value = draw.Between(0, 500);
            break;
    }
    return f;
}

// An image file: the magic, then random bytes; a third of them fill the whole area.
std::vector<uint8_t> DrawImageFile(Draw& draw) {
    size_t size = draw.Chance(33) ? SOAK_AREA_SIZE : static_cast<size_t>(draw.Between(4, 4096));
    std::vector<uint8_t> file(size);
    draw.Fill(file.data(), size);
    std::copy_n("NVDS", 4, file.begin());
    return file;
}

// What the area holds before a burn: erased, another image, the image itself, or the image with
// one byte off on page 0 only or on one other page only (so "identical" must look at every page).
void DrawAreaBeforeBurn(Draw& draw, const std::vector<uint8_t>& expected, uint8_t* area) {
    int pick = draw.Below(100);
    if (pick < 25) {
        std::fill_n(area, SOAK_AREA_SIZE, 0xFF);
    } else if (pick < 50) {
        std::vector<uint8_t> other = ExpectedArea(DrawImageFile(draw));
        std::copy(other.begin(), other.end(), area);
    } else {
        std::copy(expected.begin(), expected.end(), area);
        if (pick >= 70) {
            int page = pick < 85 ? 0 : draw.Between(1, 15);
            // Page 0's first four bytes are the magic the tool insists on; change one after it.
            size_t offset = page * 256 + static_cast<size_t>(draw.Between(page == 0 ? 4 : 0, 255));
            area[offset] ^= static_cast<uint8_t>(draw.Between(1, 255));
        }
    }
}

void DrawAreaBeforeDump(Draw& draw, uint8_t* area) {
    int pick = draw.Below(100);
    if (pick < 20) {
        std::fill_n(area, SOAK_AREA_SIZE, 0xFF);
    } else if (pick < 80) {
        std::vector<uint8_t> image = ExpectedArea(DrawImageFile(draw));
        std::copy(image.begin(), image.end(), area);
    } else {
        draw.Fill(area, SOAK_AREA_SIZE);
    }
}

}  // namespace

std::vector<uint8_t> ExpectedArea(const std::vector<uint8_t>& imageFile) {
    std::vector<uint8_t> area(SOAK_AREA_SIZE, 0xFF);
    std::copy_n(imageFile.begin(), std::min(imageFile.size(), SOAK_AREA_SIZE), area.begin());
    return area;
}

TrialPlan PlanTrial(uint64_t seed, int index) {
    Draw draw(seed * 0x100000001B3ull + static_cast<uint64_t>(index));
    TrialPlan plan;
    plan.seed = seed;
    plan.index = index;
    plan.route = draw.Chance(15) ? Route::Bridge : Route::Pty;
    plan.fault = DrawFault(draw, plan.route);
    // A weak page only shows when the area is read back; without --verify the tool cannot
    // know, so that fault comes with a verifying burn.
    bool weak = plan.fault.kind == FaultKind::WeakPage;
    plan.op = weak || draw.Chance(55) ? Operation::Burn : Operation::Dump;
    plan.crystal = draw.Below(2);
    plan.baud = BaudOfRow(draw.Below(BAUD_ROW_COUNT), plan.crystal);
    if (plan.op == Operation::Burn) {
        plan.verify = weak || draw.Chance(50);
        plan.skipIdentical = draw.Chance(50);
        plan.safeOrder = draw.Chance(50);
    }
    plan.json = draw.Chance(30);
    plan.trace = draw.Chance(5);
    plan.eraseMs = static_cast<uint32_t>(draw.Between(0, 5));
    plan.programMs = static_cast<uint32_t>(draw.Between(0, 2));

    plan.flashBefore.resize(SOAK_FLASH_SIZE);
    draw.Fill(plan.flashBefore.data() + SOAK_AREA_SIZE, SOAK_FLASH_SIZE - SOAK_AREA_SIZE);
    if (plan.op == Operation::Burn) {
        plan.imageFile = DrawImageFile(draw);
        DrawAreaBeforeBurn(draw, ExpectedArea(plan.imageFile), plan.flashBefore.data());
    } else {
        DrawAreaBeforeDump(draw, plan.flashBefore.data());
        plan.outputExists = draw.Chance(50);
        if (plan.outputExists) {
            plan.outputBefore.resize(static_cast<size_t>(draw.Between(0, 5000)));
            draw.Fill(plan.outputBefore.data(), plan.outputBefore.size());
        }
    }
    return plan;
}

std::vector<std::string> ToolArguments(const TrialPlan& plan, const std::string& port,
                                       const std::string& imagePath,
                                       const std::string& outputPath) {
    std::vector<std::string> args;
    if (plan.trace) {
        args.push_back("--trace");
    }
    args.push_back(plan.op == Operation::Dump ? "dump" : "burn");
    args.insert(args.end(), {"--port", port, "--crystal", plan.crystal ? "32MHz" : "16MHz",
                             "--baud", std::to_string(plan.baud)});
    if (plan.json) {
        args.push_back("--json");
    }
    if (plan.op == Operation::Dump) {
        args.insert(args.end(), {"-o", outputPath});
        return args;
    }
    if (plan.verify) {
        args.push_back("--verify");
    }
    if (plan.skipIdentical) {
        args.push_back("--skip-identical");
    }
    if (plan.safeOrder) {
        args.push_back("--safe-order");
    }
    args.push_back(imagePath);
    return args;
}

const char* FaultKindName(FaultKind kind) {
    static const char* const NAMES[FAULT_KIND_COUNT] = {"none",          "drop-every",
                                                        "corrupt-every", "refuse-baud",
                                                        "boot-delay-ms", "hangup-after-pages",
                                                        "weak-page",     "drop-page",
                                                        "sigterm",       "sigkill"};
    return NAMES[static_cast<int>(kind)];
}

std::string FaultText(const Fault& fault) {
    std::string name = FaultKindName(fault.kind);
    switch (fault.kind) {
        case FaultKind::None:
            return name;
        case FaultKind::RefuseBaud:
            return fault.value == REFUSE_ALWAYS ? name + " always"
                                                : name + " " + std::to_string(fault.value);
        case FaultKind::DropPage:
            return name + " " + std::to_string(fault.value) + " x" + std::to_string(fault.times);
        case FaultKind::Terminate:
        case FaultKind::Kill:
            return name + " after " + std::to_string(fault.value) + " ms";
        default:
            return name + " " + std::to_string(fault.value);
    }
}

std::string OperationText(const TrialPlan& plan) {
    std::string text = plan.op == Operation::Dump ? "dump" : "burn";
    if (plan.verify) {
        text += " --verify";
    }
    if (plan.skipIdentical) {
        text += " --skip-identical";
    }
    if (plan.safeOrder) {
        text += " --safe-order";
    }
    text += plan.route == Route::Pty ? " (pty, " : " (bridge, ";
    text += plan.crystal ? "32MHz " : "16MHz ";
    return text + std::to_string(plan.baud) + ")";
}

}  // namespace nvds::soak
