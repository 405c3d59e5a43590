#include "SoakJudge.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/ExitCodes.h"

namespace nvds::soak {

namespace {

// Where a weak page's program leaves its wrong bit: the page's middle byte, lowest bit.
constexpr size_t WEAK_BYTE_OFFSET = 0x80;

std::string Hex(size_t offset) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04zx", offset);
    return text;
}

// Offset of the first byte where the two differ (the shorter length when one is a prefix).
size_t FirstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return static_cast<size_t>(ia - a.begin());
}

std::vector<uint8_t> Area(const std::vector<uint8_t>& flash) {
    return {flash.begin(),
            flash.begin() + static_cast<long>(std::min(flash.size(), SOAK_AREA_SIZE))};
}

bool LooksLikeImage(const std::vector<uint8_t>& area) {
    return area.size() >= 4 && std::equal(area.begin(), area.begin() + 4, "NVDS");
}

// Faults that leave a chip a connect reaches well within its limit: they touch frames, pages
// or the first seconds only. (Lost answers may hit the sync and the baud command alike, and a
// chip that never confirms a rate cannot be reached.)
bool ConnectCanSucceed(const Fault& fault) {
    switch (fault.kind) {
        case FaultKind::DropEvery:
            return false;
        case FaultKind::RefuseBaud:
            return fault.value != REFUSE_ALWAYS;
        default:
            return true;
    }
}

// The signal the plan sends to the tool, 0 for none.
int PlannedSignal(const TrialPlan& plan) {
    if (plan.fault.kind == FaultKind::Terminate) {
        return SIGTERM;
    }
    return plan.fault.kind == FaultKind::Kill ? SIGKILL : 0;
}

// The chip must keep everything beyond the NVDS area, and a dump must not touch the area either.
Judgement JudgeFlash(const TrialPlan& plan, const TrialFiles& files) {
    if (files.flash.size() != plan.flashBefore.size()) {
        return {Verdict::DamagedFile, "flash file holds " + std::to_string(files.flash.size()) +
                                          " bytes instead of " +
                                          std::to_string(plan.flashBefore.size())};
    }
    if (!std::equal(files.flash.begin() + SOAK_AREA_SIZE, files.flash.end(),
                    plan.flashBefore.begin() + SOAK_AREA_SIZE)) {
        return {Verdict::DamagedFile, "flash changed beyond the NVDS area at " +
                                          Hex(FirstDifference(files.flash, plan.flashBefore))};
    }
    if (plan.op == Operation::Dump && Area(files.flash) != Area(plan.flashBefore)) {
        return {Verdict::DamagedFile, "the dump changed the chip's area at " +
                                          Hex(FirstDifference(files.flash, plan.flashBefore))};
    }
    return {};
}

Judgement JudgeDump(const TrialPlan& plan, const TrialRun& run, const TrialFiles& files) {
    const std::vector<uint8_t> area = Area(files.flash);
    const bool complete = files.outputExists && files.output == area;
    const bool old = plan.outputExists ? files.outputExists && files.output == plan.outputBefore
                                       : !files.outputExists;
    if (!complete && !old) {
        return {Verdict::DamagedFile,
                files.outputExists
                    ? "output file is neither the old one nor the chip's area (" +
                          std::to_string(files.output.size()) + " bytes, first difference at " +
                          Hex(FirstDifference(files.output, area)) + ")"
                    : "output file removed"};
    }
    if (!run.exited) {
        return {Verdict::HonestFailure, "stopped by signal " + std::to_string(run.signal)};
    }
    // An area of 0xFF only is an erased chip: the tool says so with exit 3 and writes no file.
    const bool erased =
        std::all_of(area.begin(), area.end(), [](uint8_t byte) { return byte == 0xFF; });
    if (run.exitCode == 0) {
        if (!complete) {
            return {Verdict::FalseSuccess, "exit 0 but the output file is not the chip's area"};
        }
        if (erased) {
            return {Verdict::WrongReport, "exit 0 for an erased area"};
        }
        return {};
    }
    if (run.exitCode == EXIT_FAIL) {
        return {Verdict::HonestFailure, "exit 1"};
    }
    if (run.exitCode == EXIT_AREA_ERASED && erased && old) {
        return {Verdict::HonestFailure, "exit 3 (erased area)"};
    }
    return {Verdict::WrongReport, "dump exited " + std::to_string(run.exitCode)};
}

Judgement JudgeBurn(const TrialPlan& plan, const TrialRun& run, const TrialFiles& files) {
    const std::vector<uint8_t> area = Area(files.flash);
    const std::vector<uint8_t> expected = ExpectedArea(plan.imageFile);
    if (run.exited && run.exitCode == 0) {
        if (area != expected) {
            return {Verdict::FalseSuccess, "exit 0 but the chip differs from the image at " +
                                               Hex(FirstDifference(area, expected))};
        }
        return {};
    }
    if (run.exited && run.exitCode == EXIT_VERIFY_FAILED) {
        if (!plan.verify) {
            return {Verdict::WrongReport, "exit 4 without --verify"};
        }
        if (area == expected) {
            return {Verdict::WrongReport, "exit 4 but the chip holds the image"};
        }
        return {Verdict::HonestFailure, "exit 4"};
    }
    if (run.exited && run.exitCode != EXIT_FAIL) {
        return {Verdict::WrongReport, "burn exited " + std::to_string(run.exitCode)};
    }
    if (plan.safeOrder && LooksLikeImage(area) && area != Area(plan.flashBefore) &&
        area != expected) {
        // A weak page is the one way the whole image can be on the chip and still read wrong.
        std::vector<uint8_t> weak = expected;
        if (plan.fault.kind == FaultKind::WeakPage) {
            weak[static_cast<size_t>(plan.fault.value) * 256 + WEAK_BYTE_OFFSET] ^= 0x01;
        }
        if (area != weak) {
            return {Verdict::UnsafeCut,
                    "a failed --safe-order burn left an area with the magic that is neither "
                    "the old one nor the image (first difference at " +
                        Hex(FirstDifference(area, expected)) + ")"};
        }
    }
    return {Verdict::HonestFailure, run.exited ? "exit " + std::to_string(run.exitCode)
                                               : "stopped by signal " + std::to_string(run.signal)};
}

// With --json, every line is one object and the last one says how the run ended, as the exit
// code does.
Judgement JudgeEvents(const TrialRun& run) {
    std::istringstream lines(run.out);
    nlohmann::json last;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) {
            continue;
        }
        last = nlohmann::json::parse(line, nullptr, false);
        if (last.is_discarded() || !last.is_object()) {
            return {Verdict::WrongReport, "stdout line is not a JSON object: " + line};
        }
    }
    const std::string event = last.is_object() ? last.value("event", "") : "";
    if (run.exitCode == 0 && event != "done") {
        return {Verdict::WrongReport, "exit 0 but the last event is \"" + event + "\""};
    }
    if (run.exitCode != 0 && (event != "error" || last.value("code", -1) != run.exitCode)) {
        return {Verdict::WrongReport, "exit " + std::to_string(run.exitCode) +
                                          " but the last event is " +
                                          (last.is_object() ? last.dump() : "missing")};
    }
    return {};
}

}  // namespace

bool HasConnectOvertime(const std::string& err) {
    return err.find("Connection is overtime!") != std::string::npos;
}

bool HasSanitizerReport(const std::string& err) {
    return err.find("Sanitizer") != std::string::npos ||
           err.find("runtime error:") != std::string::npos;
}

Judgement Judge(const TrialPlan& plan, const TrialRun& run, const TrialFiles& files) {
    if (run.timedOut) {
        return {Verdict::Hang, "still running at the time limit"};
    }
    if (run.sanitizerReport) {
        return {Verdict::Crash, "sanitizer report on stderr"};
    }
    if (!run.exited && run.signal != PlannedSignal(plan)) {
        return {Verdict::Crash, "died of signal " + std::to_string(run.signal)};
    }
    // A process killed outright cannot clean up its scratch files; everything else must.
    const bool killed = !run.exited && run.signal == SIGKILL;
    for (const std::string& stray : files.strays) {
        bool scratch = stray.size() > 4 && stray.compare(stray.size() - 4, 4, ".tmp") == 0;
        if (!(killed && scratch)) {
            return {Verdict::DamagedFile, "left " + stray + " in the folder"};
        }
    }
    if (Judgement j = JudgeFlash(plan, files); j.verdict != Verdict::Ok) {
        return j;
    }
    Judgement j =
        plan.op == Operation::Dump ? JudgeDump(plan, run, files) : JudgeBurn(plan, run, files);
    if (plan.json && run.exited &&
        (j.verdict == Verdict::Ok || j.verdict == Verdict::HonestFailure)) {
        if (Judgement events = JudgeEvents(run); events.verdict != Verdict::Ok) {
            return events;
        }
    }
    if (j.verdict == Verdict::HonestFailure && run.connectOvertime &&
        ConnectCanSucceed(plan.fault)) {
        return {Verdict::LostConnect, "the connect ran out of time with a chip that answers"};
    }
    return j;
}

bool IsBad(Verdict verdict) {
    return verdict != Verdict::Ok && verdict != Verdict::HonestFailure &&
           verdict != Verdict::LostConnect;
}

const char* VerdictName(Verdict verdict) {
    static const char* const NAMES[VERDICT_COUNT] = {
        "ok",           "honest failure", "false success", "hang",        "crash",
        "damaged file", "unsafe cut",     "wrong report",  "lost connect"};
    return NAMES[static_cast<int>(verdict)];
}

}  // namespace nvds::soak
