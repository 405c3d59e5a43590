// nvds_soak: runs many dumps and burns of the real nvds tool against simulated chips, each with
// one random fault, and judges every outcome from the chip's flash file, the output file and
// the exit code, never from what the tool says about itself.

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "SoakRunner.h"
#include "platform/AppFolder.h"
#include "platform/ExitCodes.h"

namespace {

using namespace nvds::soak;
using nvds::EXIT_USAGE;

constexpr int TRIALS_PER_CORE = 4;

// Set by SIGINT or SIGTERM: no new trials start, the running ones end and the counts so far
// are printed.
std::atomic<bool> g_bStop{false};

void OnStopSignal(int) {
    g_bStop = true;
}

struct Settings {
    int trials = 0;
    uint64_t seed = 0;
    int onlyTrial = -1;
    int jobs = 0;
    bool verbose = false;  // a line for every trial, not only the bad ones
    RunnerOptions runner;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: nvds_soak N [--seed S] [--trial I] [--jobs J] [--limit SECONDS]\n"
                 "                 [--nvds PATH] [--dir FOLDER] [--keep] [--verbose] [--trace]\n"
                 "Runs N dumps and burns of nvds against simulated chips, one random fault each.\n"
                 "--trial I repeats only trial I of the run with seed S.\n");
}

bool ParseNumber(const char* text, uint64_t& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && text[0] != '-';
}

bool Parse(int argc, char** argv, Settings& s) {
    bool seeded = false;
    bool counted = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        uint64_t n = 0;
        auto number = [&](uint64_t max) {
            return i + 1 < argc && ParseNumber(argv[++i], n) && n <= max;
        };
        if (arg == "--seed") {
            if (!number(UINT64_MAX)) {
                return false;
            }
            s.seed = n;
            seeded = true;
        } else if (arg == "--trial") {
            if (!number(INT32_MAX)) {
                return false;
            }
            s.onlyTrial = static_cast<int>(n);
        } else if (arg == "--jobs") {
            if (!number(256) || n == 0) {
                return false;
            }
            s.jobs = static_cast<int>(n);
        } else if (arg == "--limit") {
            if (!number(3600) || n == 0) {
                return false;
            }
            s.runner.limit = std::chrono::seconds(n);
        } else if (arg == "--nvds" && i + 1 < argc) {
            s.runner.tool = argv[++i];
        } else if (arg == "--dir" && i + 1 < argc) {
            s.runner.folder = argv[++i];
        } else if (arg == "--verbose") {
            s.verbose = true;
        } else if (arg == "--trace") {
            s.runner.trace = true;
        } else if (arg == "--keep") {
            s.runner.keepAll = true;
        } else if (!counted && ParseNumber(arg.c_str(), n) && n >= 1 && n <= INT32_MAX) {
            s.trials = static_cast<int>(n);
            counted = true;
        } else {
            return false;
        }
    }
    if (!counted && s.onlyTrial < 0) {
        return false;
    }
    if (!seeded) {
        s.seed = std::random_device{}() | static_cast<uint64_t>(std::random_device{}()) << 32;
    }
    if (s.onlyTrial >= 0) {
        s.trials = 1;
    }
    if (s.jobs == 0) {
        // A trial spends most of its time in the tool's waits for lost answers (about 0.1 s of
        // CPU in a few seconds), so several trials per core keep the cores busy.
        s.jobs =
            TRIALS_PER_CORE * static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    }
    if (s.runner.tool.empty()) {
        s.runner.tool = nvds::GetAppFolder() + "/nvds";
    }
    return true;
}

// The counts of a run: per verdict, and per fault kind the trials and their outcomes.
struct Tally {
    std::array<int, VERDICT_COUNT> verdicts{};
    std::array<std::array<int, VERDICT_COUNT>, FAULT_KIND_COUNT> byFault{};
    std::array<double, FAULT_KIND_COUNT> secondsByFault{};
    double slowest = 0;
    int slowestTrial = -1;
    int finished = 0;
};

void PrintBad(const Settings& s, const TrialPlan& plan, const TrialResult& r) {
    std::printf(
        "trial %d: %s: %s\n  %s, fault %s, %.1f s\n  repeat: scripts/soak --seed %llu "
        "--trial %d\n  command: %s\n  kept in %s\n",
        plan.index, VerdictName(r.judgement.verdict), r.judgement.why.c_str(),
        OperationText(plan).c_str(), FaultText(plan.fault).c_str(), r.seconds,
        static_cast<unsigned long long>(s.seed), plan.index, r.command.c_str(), r.folder.c_str());
    std::fflush(stdout);
}

void PrintTable(const Tally& t) {
    std::printf("%-20s %7s %7s %9s %7s %8s\n", "fault", "trials", "ok", "failures", "bad",
                "mean s");
    for (int k = 0; k < FAULT_KIND_COUNT; ++k) {
        const auto& row = t.byFault[k];
        int total = 0;
        for (int n : row) {
            total += n;
        }
        int ok = row[static_cast<int>(Verdict::Ok)];
        int honest = row[static_cast<int>(Verdict::HonestFailure)] +
                     row[static_cast<int>(Verdict::LostConnect)];
        std::printf("%-20s %7d %7d %9d %7d %8.2f\n", FaultKindName(static_cast<FaultKind>(k)),
                    total, ok, honest, total - ok - honest,
                    total > 0 ? t.secondsByFault[k] / total : 0.0);
    }
}

// Counts one judged trial and prints it when it is bad (or always with --verbose).
void Count(const Settings& s, const TrialPlan& plan, const TrialResult& r, Tally& tally,
           std::chrono::steady_clock::time_point start) {
    Verdict v = r.judgement.verdict;
    ++tally.verdicts[static_cast<int>(v)];
    ++tally.byFault[static_cast<int>(plan.fault.kind)][static_cast<int>(v)];
    tally.secondsByFault[static_cast<int>(plan.fault.kind)] += r.seconds;
    if (r.seconds > tally.slowest) {
        tally.slowest = r.seconds;
        tally.slowestTrial = plan.index;
    }
    if (IsBad(v) || v == Verdict::LostConnect) {
        PrintBad(s, plan, r);
    } else if (s.onlyTrial >= 0 || s.verbose) {
        std::printf("trial %d: %s%s%s%s, %s, fault %s, %.1f s\n  command: %s\n", plan.index,
                    VerdictName(v), r.judgement.why.empty() ? "" : " (", r.judgement.why.c_str(),
                    r.judgement.why.empty() ? "" : ")", OperationText(plan).c_str(),
                    FaultText(plan.fault).c_str(), r.seconds, r.command.c_str());
    }
    const int progressEvery = std::max(1, s.trials / 10);
    if (++tally.finished % progressEvery == 0 && s.trials >= 10) {
        std::printf(
            "... %d/%d, %.0f s\n", tally.finished, s.trials,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        std::fflush(stdout);
    }
}

// Runs the trials on `s.jobs` threads until all are done, a stop signal came or a trial could
// not be set up (false, with the reason).
bool RunTrials(const Settings& s, Tally& tally, std::string& setupError) {
    const auto start = std::chrono::steady_clock::now();
    std::mutex mutex;
    std::atomic<int> next{0};
    std::atomic<bool> broken{false};
    auto worker = [&] {
        for (int i; !broken && !g_bStop && (i = next++) < s.trials;) {
            TrialPlan plan = PlanTrial(s.seed, s.onlyTrial >= 0 ? s.onlyTrial : i);
            TrialResult r = RunTrial(plan, s.runner);
            std::lock_guard<std::mutex> lock(mutex);
            if (!r.setupError.empty()) {
                broken = true;
                setupError = r.setupError;
                return;
            }
            Count(s, plan, r, tally, start);
        }
    };
    std::vector<std::thread> workers;
    for (int j = 0; j < std::min(s.jobs, s.trials); ++j) {
        workers.emplace_back(worker);
    }
    for (std::thread& w : workers) {
        w.join();
    }
    return !broken;
}

double CpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The per-fault table and the closing line of counts; the exit code of the run.
int PrintSummary(const Settings& s, const Tally& tally, double seconds) {
    PrintTable(tally);
    auto count = [&](Verdict v) { return tally.verdicts[static_cast<int>(v)]; };
    std::printf("slowest trial: %d, %.1f s; CPU time: soak %.0f s, tools %.0f s\n",
                tally.slowestTrial, tally.slowest, CpuSeconds(RUSAGE_SELF),
                CpuSeconds(RUSAGE_CHILDREN));
    int bad = 0;
    for (int v = 0; v < VERDICT_COUNT; ++v) {
        bad += IsBad(static_cast<Verdict>(v)) ? tally.verdicts[v] : 0;
    }
    if (g_bStop) {
        std::printf("stopped by a signal after %d of %d trials\n", tally.finished, s.trials);
    }
    std::printf(
        "soak: %d trials in %.0f s, seed %llu: %d ok, %d failures; %d false successes, "
        "%d hangs, %d crashes, %d damaged files, %d unsafe cuts, %d wrong reports; %d lost "
        "connects\n",
        tally.finished, seconds, static_cast<unsigned long long>(s.seed), count(Verdict::Ok),
        count(Verdict::HonestFailure) + count(Verdict::LostConnect), count(Verdict::FalseSuccess),
        count(Verdict::Hang), count(Verdict::Crash), count(Verdict::DamagedFile),
        count(Verdict::UnsafeCut), count(Verdict::WrongReport), count(Verdict::LostConnect));
    return bad == 0 && !g_bStop ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    if (!Parse(argc, argv, s)) {
        Usage();
        return EXIT_USAGE;
    }
    std::error_code ec;
    std::string base = s.runner.folder;
    if (base.empty()) {
        // tmpfs when there is one: the simulated chips save their flash after every write.
        base = std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp";
    }
    s.runner.folder = base + "/nvds-soak." + std::to_string(getpid());
    if (access(s.runner.tool.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "nvds_soak: %s is not an executable\n", s.runner.tool.c_str());
        return EXIT_USAGE;
    }
    std::printf("soak: %d trial(s), seed %llu, %d at once, tool %s, limit %lld s\n", s.trials,
                static_cast<unsigned long long>(s.seed), s.jobs, s.runner.tool.c_str(),
                static_cast<long long>(s.runner.limit.count()));
    std::fflush(stdout);

    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    const auto start = std::chrono::steady_clock::now();
    Tally tally;
    std::string setupError;
    bool ran = RunTrials(s, tally, setupError);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Only the folders of bad trials remain; the run's folder goes when none did.
    std::filesystem::remove(s.runner.folder, ec);
    if (!ran) {
        std::fprintf(stderr, "nvds_soak: %s\n", setupError.c_str());
        return EXIT_USAGE;
    }
    return PrintSummary(s, tally, seconds);
}
