#pragma once

#include <chrono>
#include <string>

#include "SoakJudge.h"
#include "SoakPlan.h"

namespace nvds::soak {

struct RunnerOptions {
    std::string tool;                 // the nvds executable under test
    std::string folder;               // trials work in sub-folders of this one
    std::chrono::seconds limit{120};  // a run still going after this is a hang
    bool keepAll = false;             // keep every trial's folder, not only bad ones
    bool trace = false;               // every trial with --trace (frames in the kept stderr)
};

struct TrialResult {
    Judgement judgement;
    TrialRun run;
    double seconds = 0;
    std::string folder;      // kept for a bad trial or a lost connect (all with keepAll), else ""
    std::string command;     // the tool's command line, for repeating it by hand
    std::string setupError;  // the soak itself could not set the trial up (nothing judged)
};

/// Runs one trial: a fresh chip with the plan's flash and fault, the tool as a child process
/// with the plan's arguments (signalled when the plan says so, killed at the limit), then the
/// files read back and judged.
TrialResult RunTrial(const TrialPlan& plan, const RunnerOptions& options);

}  // namespace nvds::soak
