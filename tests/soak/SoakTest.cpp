#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "SoakJudge.h"
#include "SoakPlan.h"
#include "common/NvdsRun.h"
#include "platform/AppFolder.h"

namespace nvds::soak {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// A chip whose area holds an image and whose flash beyond it holds a pattern.
std::vector<uint8_t> SomeFlash() {
    std::vector<uint8_t> flash(SOAK_FLASH_SIZE);
    for (size_t i = 0; i < flash.size(); ++i) {
        flash[i] = static_cast<uint8_t>(i * 7 + i / 256);
    }
    std::copy_n("NVDS", 4, flash.begin());
    return flash;
}

TrialPlan DumpPlan() {
    TrialPlan plan;
    plan.op = Operation::Dump;
    plan.flashBefore = SomeFlash();
    plan.outputExists = true;
    plan.outputBefore = Bytes("old file");
    return plan;
}

// A burn of a short image (the rest of the area stays erased) onto an erased area.
TrialPlan BurnPlan() {
    TrialPlan plan;
    plan.op = Operation::Burn;
    plan.flashBefore = SomeFlash();
    std::fill_n(plan.flashBefore.begin(), SOAK_AREA_SIZE, 0xFF);
    plan.imageFile = Bytes("NVDS some tags");
    return plan;
}

TrialRun Exit(int code) {
    TrialRun run;
    run.exited = true;
    run.exitCode = code;
    return run;
}

TrialRun Signalled(int signal) {
    TrialRun run;
    run.signal = signal;
    return run;
}

// The flash as the plan left it, with `area` as the NVDS area.
TrialFiles Chip(const TrialPlan& plan, const std::vector<uint8_t>& area) {
    TrialFiles files;
    files.flash = plan.flashBefore;
    std::copy(area.begin(), area.end(), files.flash.begin());
    return files;
}

std::vector<uint8_t> AreaOf(const TrialPlan& plan) {
    return {plan.flashBefore.begin(), plan.flashBefore.begin() + SOAK_AREA_SIZE};
}

Verdict DumpVerdict(const TrialPlan& plan, const TrialRun& run, bool exists,
                    const std::vector<uint8_t>& output) {
    TrialFiles files = Chip(plan, AreaOf(plan));
    files.outputExists = exists;
    files.output = output;
    return Judge(plan, run, files).verdict;
}

TEST(SoakJudge, DumpFileIsTheOldOneOrTheWholeArea) {
    TrialPlan plan = DumpPlan();
    std::vector<uint8_t> area = AreaOf(plan);
    std::vector<uint8_t> cut(area.begin(), area.end() - 1);
    EXPECT_EQ(DumpVerdict(plan, Exit(0), true, area), Verdict::Ok);
    EXPECT_EQ(DumpVerdict(plan, Exit(0), true, plan.outputBefore), Verdict::FalseSuccess);
    EXPECT_EQ(DumpVerdict(plan, Exit(1), true, plan.outputBefore), Verdict::HonestFailure);
    EXPECT_EQ(DumpVerdict(plan, Exit(1), true, area), Verdict::HonestFailure);
    EXPECT_EQ(DumpVerdict(plan, Exit(1), true, cut), Verdict::DamagedFile);
    EXPECT_EQ(DumpVerdict(plan, Exit(0), true, cut), Verdict::DamagedFile);
    EXPECT_EQ(DumpVerdict(plan, Exit(1), false, {}), Verdict::DamagedFile);
    EXPECT_EQ(DumpVerdict(plan, Exit(2), true, plan.outputBefore), Verdict::WrongReport);

    // No file before: a failure leaves none, not even an empty one.
    plan.outputExists = false;
    plan.outputBefore.clear();
    EXPECT_EQ(DumpVerdict(plan, Exit(1), false, {}), Verdict::HonestFailure);
    EXPECT_EQ(DumpVerdict(plan, Exit(1), true, {}), Verdict::DamagedFile);
    EXPECT_EQ(DumpVerdict(plan, Exit(0), false, {}), Verdict::FalseSuccess);
}

TEST(SoakJudge, FlashChangedOnlyWhereTheCommandMayWrite) {
    TrialPlan dump = DumpPlan();
    std::vector<uint8_t> area = AreaOf(dump);
    area[SOAK_AREA_SIZE - 1] ^= 0x10;
    TrialFiles files = Chip(dump, area);
    files.outputExists = true;
    files.output = area;  // the file matches the chip, but the dump wrote the chip
    EXPECT_EQ(Judge(dump, Exit(0), files).verdict, Verdict::DamagedFile);

    TrialPlan burn = BurnPlan();
    files = Chip(burn, ExpectedArea(burn.imageFile));
    EXPECT_EQ(Judge(burn, Exit(0), files).verdict, Verdict::Ok);
    files.flash[SOAK_AREA_SIZE] ^= 0x01;  // the first byte past the area
    EXPECT_EQ(Judge(burn, Exit(0), files).verdict, Verdict::DamagedFile);
    files.flash[SOAK_AREA_SIZE] ^= 0x01;
    files.flash.back() ^= 0x01;
    EXPECT_EQ(Judge(burn, Exit(1), files).verdict, Verdict::DamagedFile);
    files.flash.pop_back();
    EXPECT_EQ(Judge(burn, Exit(1), files).verdict, Verdict::DamagedFile);
}

TEST(SoakJudge, BurnSucceedsOnlyWithEveryByteOfTheImage) {
    TrialPlan plan = BurnPlan();
    std::vector<uint8_t> expected = ExpectedArea(plan.imageFile);
    ASSERT_EQ(expected.size(), SOAK_AREA_SIZE);
    EXPECT_EQ(expected[plan.imageFile.size()], 0xFF);
    EXPECT_EQ(Judge(plan, Exit(0), Chip(plan, expected)).verdict, Verdict::Ok);
    for (size_t offset : {size_t{0}, size_t{15 * 256}, SOAK_AREA_SIZE - 1}) {
        std::vector<uint8_t> off = expected;
        off[offset] ^= 0x01;
        EXPECT_EQ(Judge(plan, Exit(0), Chip(plan, off)).verdict, Verdict::FalseSuccess) << offset;
        EXPECT_EQ(Judge(plan, Exit(1), Chip(plan, off)).verdict, Verdict::HonestFailure);
    }
    // Nothing written at all (the erased area before) is no success either.
    EXPECT_EQ(Judge(plan, Exit(0), Chip(plan, AreaOf(plan))).verdict, Verdict::FalseSuccess);

    // Exit 4 says the read-back differed: only with --verify, and only when it did.
    std::vector<uint8_t> off = expected;
    off[0x480] ^= 0x01;
    EXPECT_EQ(Judge(plan, Exit(4), Chip(plan, off)).verdict, Verdict::WrongReport);
    plan.verify = true;
    EXPECT_EQ(Judge(plan, Exit(4), Chip(plan, off)).verdict, Verdict::HonestFailure);
    EXPECT_EQ(Judge(plan, Exit(4), Chip(plan, expected)).verdict, Verdict::WrongReport);
    EXPECT_EQ(Judge(plan, Exit(3), Chip(plan, expected)).verdict, Verdict::WrongReport);
}

TEST(SoakJudge, FailedSafeOrderBurnNeverPassesForAnImage) {
    TrialPlan plan = BurnPlan();
    plan.imageFile.resize(SOAK_AREA_SIZE, 0x00);
    plan.safeOrder = true;
    std::vector<uint8_t> expected = ExpectedArea(plan.imageFile);
    std::vector<uint8_t> pageThreeErased = expected;
    std::fill_n(pageThreeErased.begin() + 3 * 256, 256, 0xFF);
    std::vector<uint8_t> pageZeroErased = expected;
    std::fill_n(pageZeroErased.begin(), 256, 0xFF);
    EXPECT_EQ(Judge(plan, Exit(1), Chip(plan, pageThreeErased)).verdict, Verdict::UnsafeCut);
    EXPECT_EQ(Judge(plan, Signalled(SIGKILL), Chip(plan, pageThreeErased)).verdict,
              Verdict::Crash);  // not planned: a crash first of all
    EXPECT_EQ(Judge(plan, Exit(1), Chip(plan, pageZeroErased)).verdict, Verdict::HonestFailure);
    EXPECT_EQ(Judge(plan, Exit(1), Chip(plan, expected)).verdict, Verdict::HonestFailure);
    EXPECT_EQ(Judge(plan, Exit(1), Chip(plan, AreaOf(plan))).verdict, Verdict::HonestFailure);

    // A chip that held another image is left alone by a burn that failed before its erase.
    TrialPlan other = plan;
    std::copy_n("NVDS other", 10, other.flashBefore.begin());
    EXPECT_EQ(Judge(other, Exit(1), Chip(other, AreaOf(other))).verdict, Verdict::HonestFailure);

    // A weak page leaves the whole image but one bit: the verify's failure, not a cut.
    plan.fault = {FaultKind::WeakPage, 5, 0};
    std::vector<uint8_t> weak = expected;
    weak[5 * 256 + 0x80] ^= 0x01;
    EXPECT_EQ(Judge(plan, Exit(1), Chip(plan, weak)).verdict, Verdict::HonestFailure);
    weak[5 * 256 + 0x80] ^= 0x03;
    EXPECT_EQ(Judge(plan, Exit(1), Chip(plan, weak)).verdict, Verdict::UnsafeCut);

    // Without --safe-order a cut burn may leave anything.
    plan.safeOrder = false;
    EXPECT_EQ(Judge(plan, Exit(1), Chip(plan, pageThreeErased)).verdict, Verdict::HonestFailure);
}

TEST(SoakJudge, HangsCrashesAndTheSignalsWeSent) {
    TrialPlan plan = DumpPlan();
    TrialFiles files = Chip(plan, AreaOf(plan));
    files.outputExists = true;
    files.output = plan.outputBefore;
    TrialRun hung = Signalled(SIGKILL);
    hung.timedOut = true;
    EXPECT_EQ(Judge(plan, hung, files).verdict, Verdict::Hang);
    EXPECT_EQ(Judge(plan, Signalled(SIGSEGV), files).verdict, Verdict::Crash);
    EXPECT_EQ(Judge(plan, Signalled(SIGTERM), files).verdict, Verdict::Crash);
    TrialRun reported = Exit(1);
    reported.sanitizerReport = true;
    EXPECT_EQ(Judge(plan, reported, files).verdict, Verdict::Crash);

    plan.fault = {FaultKind::Terminate, 100, 0};
    EXPECT_EQ(Judge(plan, Signalled(SIGTERM), files).verdict, Verdict::HonestFailure);
    EXPECT_EQ(Judge(plan, Signalled(SIGKILL), files).verdict, Verdict::Crash);

    // Scratch files: only a process killed outright may leave them.
    files.strays = {"out.nvds.4242-0.tmp"};
    EXPECT_EQ(Judge(plan, Exit(1), files).verdict, Verdict::DamagedFile);
    EXPECT_EQ(Judge(plan, Signalled(SIGTERM), files).verdict, Verdict::DamagedFile);
    plan.fault = {FaultKind::Kill, 100, 0};
    EXPECT_EQ(Judge(plan, Signalled(SIGKILL), files).verdict, Verdict::HonestFailure);
    files.strays = {"out.nvds.bak"};
    EXPECT_EQ(Judge(plan, Signalled(SIGKILL), files).verdict, Verdict::DamagedFile);

    EXPECT_TRUE(HasSanitizerReport("==12==ERROR: AddressSanitizer: heap-use-after-free on"));
    EXPECT_TRUE(HasSanitizerReport("src/a.cpp:3:5: runtime error: signed integer overflow"));
    EXPECT_TRUE(HasSanitizerReport("==12==ERROR: LeakSanitizer: detected memory leaks"));
    EXPECT_FALSE(HasSanitizerReport("Connection is overtime!\nDisconnected\n"));
}

TEST(SoakJudge, JsonEventsEndAsTheExitCodeSays) {
    TrialPlan plan = DumpPlan();
    plan.json = true;
    TrialFiles files = Chip(plan, AreaOf(plan));
    files.outputExists = true;
    files.output = AreaOf(plan);
    const std::string start = "{\"event\":\"connecting\",\"port\":\"p\"}\n";
    TrialRun run = Exit(0);
    run.out = start + "{\"event\":\"done\",\"port\":\"p\",\"seconds\":0.1}\n";
    EXPECT_EQ(Judge(plan, run, files).verdict, Verdict::Ok);
    run.out = start;
    EXPECT_EQ(Judge(plan, run, files).verdict, Verdict::WrongReport);
    run.out = start + "{\"event\":\"done\",\"port\":\"p\",\"sec";
    EXPECT_EQ(Judge(plan, run, files).verdict, Verdict::WrongReport);

    files.output = plan.outputBefore;
    run = Exit(1);
    run.out = start + "{\"event\":\"error\",\"port\":\"p\",\"code\":1,\"message\":\"x\"}\n";
    EXPECT_EQ(Judge(plan, run, files).verdict, Verdict::HonestFailure);
    run.out = start + "{\"event\":\"error\",\"port\":\"p\",\"code\":4,\"message\":\"x\"}\n";
    EXPECT_EQ(Judge(plan, run, files).verdict, Verdict::WrongReport);
    run.out = start + "{\"event\":\"done\",\"port\":\"p\",\"seconds\":0.1}\n";
    EXPECT_EQ(Judge(plan, run, files).verdict, Verdict::WrongReport);
    // A signalled run may end anywhere in its events.
    plan.fault = {FaultKind::Terminate, 0, 0};
    run = Signalled(SIGTERM);
    run.out = start;
    EXPECT_EQ(Judge(plan, run, files).verdict, Verdict::HonestFailure);
}

TEST(SoakJudge, LostConnectOnlyWhenTheChipCanBeReached) {
    TrialPlan plan = BurnPlan();
    TrialFiles files = Chip(plan, AreaOf(plan));
    TrialRun run = Exit(1);
    run.connectOvertime = true;
    EXPECT_EQ(Judge(plan, run, files).verdict, Verdict::LostConnect);
    plan.fault = {FaultKind::RefuseBaud, 3, 0};
    EXPECT_EQ(Judge(plan, run, files).verdict, Verdict::LostConnect);
    plan.fault = {FaultKind::RefuseBaud, REFUSE_ALWAYS, 0};
    EXPECT_EQ(Judge(plan, run, files).verdict, Verdict::HonestFailure);
    plan.fault = {FaultKind::DropEvery, 2, 0};
    EXPECT_EQ(Judge(plan, run, files).verdict, Verdict::HonestFailure);
    EXPECT_FALSE(IsBad(Verdict::LostConnect));
    EXPECT_TRUE(IsBad(Verdict::UnsafeCut));
}

TEST(SoakPlan, TrialsRepeatAndReachEveryCase) {
    TrialPlan a = PlanTrial(77, 5);
    TrialPlan b = PlanTrial(77, 5);
    EXPECT_EQ(a.flashBefore, b.flashBefore);
    EXPECT_EQ(a.imageFile, b.imageFile);
    EXPECT_EQ(FaultText(a.fault), FaultText(b.fault));
    EXPECT_EQ(OperationText(a), OperationText(b));
    EXPECT_NE(PlanTrial(77, 6).flashBefore, a.flashBefore);
    EXPECT_NE(PlanTrial(78, 5).flashBefore, a.flashBefore);

    std::set<FaultKind> kinds;
    std::map<std::string, int> seen;
    for (int i = 0; i < 3000; ++i) {
        TrialPlan p = PlanTrial(1, i);
        kinds.insert(p.fault.kind);
        ASSERT_EQ(p.flashBefore.size(), SOAK_FLASH_SIZE);
        if (p.route == Route::Bridge) {
            ++seen["bridge"];
            ASSERT_TRUE(p.fault.kind == FaultKind::None || p.fault.kind == FaultKind::Terminate ||
                        p.fault.kind == FaultKind::Kill)
                << FaultText(p.fault);
        }
        if (p.fault.kind == FaultKind::WeakPage) {
            ASSERT_TRUE(p.op == Operation::Burn && p.verify);
        }
        if (p.op == Operation::Dump) {
            ++seen[p.outputExists ? "dump over a file" : "dump to a new file"];
            continue;
        }
        ASSERT_GE(p.imageFile.size(), 4u);
        ASSERT_LE(p.imageFile.size(), SOAK_AREA_SIZE);
        ASSERT_EQ(std::string(p.imageFile.begin(), p.imageFile.begin() + 4), "NVDS");
        std::vector<uint8_t> expected = ExpectedArea(p.imageFile);
        int differing = 0;
        bool pageZeroDiffers = false;
        for (size_t i2 = 0; i2 < SOAK_AREA_SIZE; ++i2) {
            if (expected[i2] != p.flashBefore[i2]) {
                ++differing;
                pageZeroDiffers = pageZeroDiffers || i2 < 256;
            }
        }
        if (differing == 0) {
            ++seen["identical"];
        } else if (differing == 1) {
            ++seen[pageZeroDiffers ? "page 0 differs only" : "page 0 matches only"];
        }
        if (p.verify && p.skipIdentical && p.safeOrder) {
            ++seen["all options"];
        }
    }
    EXPECT_EQ(kinds.size(), static_cast<size_t>(FAULT_KIND_COUNT));
    for (const char* kind : {"bridge", "dump over a file", "dump to a new file", "identical",
                             "page 0 differs only", "page 0 matches only", "all options"}) {
        EXPECT_GT(seen[kind], 10) << kind;
    }
}

struct SoakRun {
    int exitCode = -1;
    std::string lastLine;
    std::map<std::string, int> counts;
};

std::string Scratch(const std::string& name) {
    return ::testing::TempDir() + "nvds_soak_" + std::to_string(getpid()) + "_" + name;
}

// Runs nvds_soak with `args` and reads the counts from its last line.
SoakRun RunSoak(const std::string& args) {
    const std::string out = Scratch("out");
    std::string command = "'" + GetAppFolder() + "/nvds_soak' " + args + " >'" + out + "' 2>&1";
    int status = std::system(command.c_str());
    SoakRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::string text = nvds::test::ReadFile(out);
    std::remove(out.c_str());
    size_t start = text.rfind('\n', text.size() >= 2 ? text.size() - 2 : 0);
    run.lastLine = text.substr(start == std::string::npos ? 0 : start + 1);
    static const std::regex COUNT(
        "(\\d+) (ok|failures|false successes|hangs|crashes|damaged "
        "files|unsafe cuts|wrong reports|lost connects)");
    for (std::sregex_iterator m(run.lastLine.begin(), run.lastLine.end(), COUNT), end; m != end;
         ++m) {
        run.counts[(*m)[2]] = std::stoi((*m)[1]);
    }
    return run;
}

// A stand-in for the tool: a shell script.
std::string FakeTool(const std::string& name, const std::string& body) {
    const std::string path = Scratch(name);
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
    return path;
}

// The trials among the first `n` of `seed` to which the soak sends no signal of its own: each
// of them must count as the fake tool's fault.
int Unsignalled(uint64_t seed, int n) {
    int count = 0;
    for (int i = 0; i < n; ++i) {
        FaultKind kind = PlanTrial(seed, i).fault.kind;
        count += kind != FaultKind::Terminate && kind != FaultKind::Kill;
    }
    return count;
}

// A tool that lies, hangs, crashes or leaves a half-written file is caught as such, and the
// soak fails.
TEST(SoakRun, CatchesAToolThatMisbehaves) {
    const std::string folder = Scratch("trials");
    const int unsignalled = Unsignalled(9, 8);
    ASSERT_GE(unsignalled, 5);  // most trials of this seed send no signal
    const std::string common = " --seed 9 --jobs 4 --dir '" + folder + "' --nvds ";
    mkdir(folder.c_str(), 0700);
    const struct {
        const char* name;
        std::string trials;  // how many, with the soak's own options
        const char* body;
        std::string count;  // where the tool's fault must be counted
        int atLeast;
    } tools[] = {
        {"liar", "16", "exit 0", "false successes", 1},
        {"sleeper", "8 --limit 1", "exec sleep 30", "hangs", unsignalled},
        {"crasher", "8", "kill -SEGV $$", "crashes", unsignalled},
        {"reporter", "8", "echo '==7==ERROR: AddressSanitizer: heap-use-after-free' >&2; exit 1",
         "crashes", unsignalled},
        // Writes four bytes into the dump's file and fails: neither the old file nor the area.
        {"half", "16", "for a; do [ \"$prev\" = -o ] && printf half >\"$a\"; prev=$a; done; exit 1",
         "damaged files", 1},
        // Leaves a scratch file beside the image or the output and fails.
        {"litter", "8", "for a; do case $a in *.nvds) : >\"$a.1-0.tmp\";; esac; done; exit 1",
         "damaged files", unsignalled},
    };
    for (const auto& tool : tools) {
        SoakRun run = RunSoak(tool.trials + common + FakeTool(tool.name, tool.body));
        EXPECT_EQ(run.exitCode, 1) << tool.name << ": " << run.lastLine;
        EXPECT_GE(run.counts[tool.count], tool.atLeast) << tool.name << ": " << run.lastLine;
        // Only a tool that exits 0 can pass for a success.
        EXPECT_EQ(run.counts["false successes"] > 0, tool.count == "false successes")
            << tool.name << ": " << run.lastLine;
    }

    std::system(("rm -rf '" + folder + "' '" + Scratch("") + "'*").c_str());
}

// The real tool on simulated chips with random faults: every outcome honest.
TEST(SoakRun, RealToolPassesAShortRun) {
    SoakRun run = RunSoak("12 --seed 20261207 --jobs 4");
    EXPECT_EQ(run.exitCode, 0) << run.lastLine;
    EXPECT_EQ(run.counts["ok"] + run.counts["failures"], 12) << run.lastLine;
    for (const char* bad : {"false successes", "hangs", "crashes", "damaged files"}) {
        EXPECT_EQ(run.counts[bad], 0) << bad;
    }
}

}  // namespace
}  // namespace nvds::soak
