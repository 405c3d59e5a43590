#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SoakPlan.h"

namespace nvds::soak {

/// How the tool's process ended.
struct TrialRun {
    bool timedOut = false;  // still running at the time limit, then killed
    bool exited = false;    // ended by exit(); else by `signal`
    int exitCode = -1;
    int signal = 0;
    bool sanitizerReport = false;  // its stderr holds an AddressSanitizer/UBSan/leak report
    bool connectOvertime = false;  // its stderr says the connect ran out of time
    std::string out;               // what it wrote on stdout
};

/// What lies on disk after the trial, read directly, never through the tool.
struct TrialFiles {
    std::vector<uint8_t> flash;  // the simulated chip's flash file
    bool outputExists = false;
    std::vector<uint8_t> output;
    std::vector<std::string> strays;  // files in the trial's folder that nobody put there
};

enum class Verdict {
    Ok,             // success, and the chip or file holds what it should
    HonestFailure,  // a failure exit (or our own signal) and nothing damaged
    FalseSuccess,   // exit 0, but the chip does not hold the image or the dump file is wrong
    Hang,           // past the time limit
    Crash,          // died of a signal we did not send, or a sanitizer report
    DamagedFile,    // an output file neither old nor complete, a stray file, flash changed
                    // where it must not be
    UnsafeCut,      // a failed --safe-order burn left an area that passes for an image
    WrongReport,    // an exit code or JSON events that do not match what happened
    LostConnect,    // an honest failure, but the connect ran out of time although the fault
                    // leaves a chip that can be reached
};
constexpr int VERDICT_COUNT = 9;

struct Judgement {
    Verdict verdict = Verdict::Ok;
    std::string why;
};

/// Judges one trial from its plan, the process's end and the files left, independently of
/// what the tool printed (its JSON events are only checked against its own exit).
Judgement Judge(const TrialPlan& plan, const TrialRun& run, const TrialFiles& files);

/// True for the verdicts that fail a soak run: all but Ok, HonestFailure and LostConnect (a
/// connect that ran out of time is counted and shown, but costs only time).
bool IsBad(Verdict verdict);

/// "false success", "hang", ... for the report.
const char* VerdictName(Verdict verdict);

/// True when a sanitizer runtime wrote its report into `err`.
bool HasSanitizerReport(const std::string& err);

/// True when the tool's stderr `err` says its connect ran out of time.
bool HasConnectOvertime(const std::string& err);

}  // namespace nvds::soak
