#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/NvdsConfig.h"
#include "cli/Commands.h"
#include "cli/JsonEvents.h"
#include "image/CheckImage.h"
#include "image/ImageFile.h"
#include "image/NvdsImage.h"
#include "image/StatusText.h"
#include "link/AreaTransfer.h"
#include "link/BaudTable.h"
#include "link/BurnOptions.h"
#include "link/ComPorts.h"
#include "link/ConnectTarget.h"
#include "link/LinkFlows.h"
#include "link/LinkTrace.h"
#include "link/ProgstarDlg.h"
#include "platform/AtomicFile.h"
#include "platform/Prompter.h"
#include "sim/SimLink.h"

namespace nvds::cli {

namespace {

constexpr const char* TEXT_AREA_ERASED = "the chip's NVDS area is erased";
constexpr const char* TEXT_IDENTICAL = "identical: nothing written";
constexpr const char* TEXT_VERIFIED = "verified: 16 pages read back equal";

struct LinkOptions {
    std::string port;
    std::string crystal = "16MHz";
    uint32_t baud = 115200;
    std::string file;
    bool json = false;
    BurnOptions burn;
};

int CrystalIndex(const std::string& text) {
    return text == "32MHz" ? CRYSTAL_32MHZ : CRYSTAL_16MHZ;
}

void AddLinkOptions(CLI::App* sub, LinkOptions& opt) {
    sub->add_option("--port", opt.port,
                    "Serial device of the chip, e.g. /dev/ttyUSB0, or SPI for the USB bridge")
        ->required();
    sub->add_option("--crystal", opt.crystal, "Crystal of the chip")
        ->check(CLI::IsMember({"16MHz", "32MHz"}));
    sub->add_option("--baud", opt.baud, "Working baud rate (default 115200)");
    sub->add_flag("--json", opt.json,
                  "Events on stdout, one JSON object per line (human text stays on stderr)");
}

void EnableTrace(const CliContext& ctx) {
    if (ctx.trace) {
        SetTraceSink([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    }
}

// Prints status texts and the page counter on stderr: one line that counts on a terminal,
// plain lines otherwise.
class ProgressPrinter {
public:
    ProgressPrinter() : m_bTty(isatty(STDERR_FILENO) != 0) {}

    void Status(int code) {
        EndCounter();
        std::fprintf(stderr, "%s\n", StatusText(code));
    }
    void Page(int done) {
        if (m_bTty) {
            std::fprintf(stderr, "\rpage %d/%u", done, NVDS_PAGE_COUNT);
            m_bCounting = true;
        } else {
            std::fprintf(stderr, "page %d/%u\n", done, NVDS_PAGE_COUNT);
        }
    }
    void EndCounter() {
        if (m_bCounting) {
            std::fprintf(stderr, "\n");
            m_bCounting = false;
        }
    }

private:
    bool m_bTty;
    bool m_bCounting = false;
};

// What a dump or burn tells: human lines on stderr as always, and with --json its events on
// stdout. The lines that explain a failure are kept, so the error event carries the same text.
class RunOutput {
public:
    RunOutput(const std::string& port, bool json)
        : m_strPort(port), m_events(json), m_tStart(std::chrono::steady_clock::now()) {}

    void Emit(const std::string& event,
              const nlohmann::ordered_json& fields = nlohmann::ordered_json::object()) {
        m_events.Emit(event, m_strPort, fields);
    }
    /// Prints a line that explains a failure.
    void FailureLine(const std::string& text) {
        std::fprintf(stderr, "%s\n", text.c_str());
        m_failure += (m_failure.empty() ? "" : "\n") + text;
    }
    /// Drops the lines kept so far: the run went on after them, so they explain no failure.
    void Forget() { m_failure.clear(); }
    /// Ends a failed run: the error event, and `code` to exit with.
    int Fail(int code) {
        Emit("error", {{"code", code}, {"message", m_failure}});
        return code;
    }
    /// Ends a successful run.
    int Done() {
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - m_tStart;
        Emit("done", {{"seconds", took.count()}});
        return EXIT_OK;
    }

private:
    std::string m_strPort;
    JsonEvents m_events;
    std::chrono::steady_clock::time_point m_tStart;
    std::string m_failure;
};

// Messages to the user on stderr, kept as failure lines of the run.
class RunPrompter : public StderrPrompter {
public:
    explicit RunPrompter(RunOutput& out) : m_out(out) {}
    void Message(const std::string& text) override { m_out.FailureLine(text); }

private:
    RunOutput& m_out;
};

// Ctrl-C or SIGTERM during a dump or burn stops the transfer through the engine's cancel, so
// the port is closed (and its lock released) before the command exits with 1. The signals are
// blocked from construction on, in every thread started later (the engine starts its threads
// when it connects), and taken by a watcher thread that ends before the engine goes.
class SignalStop {
public:
    explicit SignalStop(CProgstarDlg& engine) {
        sigemptyset(&m_signals);
        sigaddset(&m_signals, SIGINT);
        sigaddset(&m_signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &m_signals, &m_old);
        Watch(engine);
    }
    ~SignalStop() {
        m_bDone = true;
        if (m_watcher.joinable()) {
            m_watcher.join();
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    SignalStop(const SignalStop&) = delete;
    SignalStop& operator=(const SignalStop&) = delete;

    bool Caught() const { return m_bCaught; }

private:
    void Watch(CProgstarDlg& engine) {
        m_watcher = std::thread([this, &engine] {
            timespec tick{0, 20 * 1000 * 1000};
            while (!m_bDone) {
                if (sigtimedwait(&m_signals, nullptr, &tick) > 0) {
                    m_bCaught = true;
                }
                // Again on every tick: a connect that starts after the signal clears the flag.
                if (m_bCaught) {
                    engine.Cancel();
                }
            }
        });
    }

    sigset_t m_signals{};
    sigset_t m_old{};
    std::thread m_watcher;
    std::atomic<bool> m_bDone{false};
    std::atomic<bool> m_bCaught{false};
};

// Connects the engine to the chip on the options' port. EXIT_OK, EXIT_FAIL or EXIT_USAGE.
int Connect(CProgstarDlg& engine, const LinkFactory& links, const LinkOptions& opt,
            RunOutput& out) {
    int crystal = CrystalIndex(opt.crystal);
    bool usb = opt.port == SPI_ENTRY;
    int row = usb ? 0 : FindBaudRow(opt.baud, crystal);
    if (row < 0) {
        std::string rates;
        for (int i = 0; i < BAUD_ROW_COUNT; ++i) {
            rates += " " + std::to_string(BaudOfRow(i, crystal));
        }
        out.FailureLine("--baud " + std::to_string(opt.baud) + " is not a rate of a " +
                        opt.crystal + " chip; one of:" + rates);
        return EXIT_USAGE;
    }
    SetUpLink(engine, links, opt.port, crystal, row);
    out.Forget();
    out.Emit("connecting");
    std::fprintf(stderr, "%s\n", StatusText(STATUS_RESET_TARGET));
    const LinkOutcome connected = ConnectTarget(engine);
    if (!connected.message.empty()) {
        out.FailureLine(connected.message);
    }
    if (std::string warning = engine.Transport().Warning(); !warning.empty()) {
        std::fprintf(stderr, "warning: %s\n", warning.c_str());
    }
    if (!connected) {
        // After a time-out, the likely cause from what the attempts saw; the port's own error.
        if (connected.code == LinkCode::Overtime) {
            out.FailureLine(connected.cause);
        }
        std::string why = engine.Transport().LastError();
        if (!why.empty()) {
            out.FailureLine(why);
        }
        out.FailureLine(StatusText(STATUS_DISCONNECTED));
        return EXIT_FAIL;
    }
    std::fprintf(stderr, "%s\n", StatusText(STATUS_CONNECTED));
    out.Emit("connected");
    return EXIT_OK;
}

// After a failed transfer: its fixed text, if any, and the page and the kind of fault below
// the fixed status text.
void PrintFailure(const LinkOutcome& failed, RunOutput& out) {
    for (const std::string& line : {failed.message, failed.cause}) {
        if (!line.empty()) {
            out.FailureLine(line);
        }
    }
}

// Status texts on stderr (the error texts kept as failure lines), pages on the counter and
// as events.
TransferStatus ShowStatus(ProgressPrinter& progress, RunOutput& out) {
    return [&progress, &out](int code) {
        if (code == STATUS_DUMP_ERROR || code == STATUS_BURN_ERROR) {
            progress.EndCounter();
            out.FailureLine(StatusText(code));
        } else {
            progress.Status(code);
        }
    };
}

PageProgress ShowPages(ProgressPrinter& progress, RunOutput& out) {
    return [&progress, &out](int done) {
        progress.Page(done);
        out.Emit("page", {{"page", done}, {"of", NVDS_PAGE_COUNT}});
    };
}

int RunDump(CliContext& ctx, const LinkOptions& opt) {
    RunOutput out(opt.port, opt.json);
    RunPrompter prompter(out);
    if (!IsOutputFile(opt.file, prompter)) {
        return out.Fail(EXIT_USAGE);
    }
    // The catalogue is loaded first: a damaged database stops the command before the chip
    // is touched.
    CNvdsConfig config(prompter);
    TagTable table;
    if (!LoadCatalogue(ctx, config, table)) {
        return out.Fail(EXIT_FAIL);
    }
    EnableTrace(ctx);
    CProgstarDlg engine;
    SignalStop signals(engine);
    if (int rc = Connect(engine, ctx.links, opt, out); rc != EXIT_OK) {
        return out.Fail(rc);
    }
    ProgressPrinter progress;
    NvdsImage image = ErasedImage();
    const LinkOutcome dumped = DumpImage(engine, engine.m_bConnected != 0, image,
                                         ShowStatus(progress, out), ShowPages(progress, out));
    progress.EndCounter();
    if (!dumped || signals.Caught()) {
        PrintFailure(dumped, out);
        return out.Fail(EXIT_FAIL);
    }
    // Nothing to keep: an erased area is no image, and the file would only hide that.
    if (image == ErasedImage()) {
        out.FailureLine(TEXT_AREA_ERASED);
        return out.Fail(EXIT_AREA_ERASED);
    }
    std::string error;
    if (!WriteFileAtomically(opt.file, image.data(), image.size(), &error)) {
        out.FailureLine(opt.file + ": " + error);
        return out.Fail(EXIT_FAIL);
    }
    // The file holds the area as read; the check only reports what the window would show.
    NvdsImage checked = image;
    for (const std::string& text : CheckDumpedImage(table, checked).Messages()) {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    return out.Done();
}

// The file's bytes over an erased image, refused as "Open..." refuses a file that is no image:
// this runs before the connect, so a refused file never reaches the chip.
bool ReadBurnFile(const std::string& path, NvdsImage& image, Prompter& prompter) {
    image = ErasedImage();
    return ReadImage(path, image, prompter);
}

int RunBurn(const CliContext& ctx, const LinkOptions& opt) {
    RunOutput out(opt.port, opt.json);
    RunPrompter prompter(out);
    NvdsImage image;
    if (!ReadBurnFile(opt.file, image, prompter)) {
        return out.Fail(EXIT_FAIL);
    }
    EnableTrace(ctx);
    CProgstarDlg engine;
    SignalStop signals(engine);
    if (int rc = Connect(engine, ctx.links, opt, out); rc != EXIT_OK) {
        return out.Fail(rc);
    }
    ProgressPrinter progress;
    BurnEvents events;
    // The success line waits for the outcome: a burn that wrote nothing says so instead.
    TransferStatus show = ShowStatus(progress, out);
    bool succeeded = false;
    events.status = [&](int code) {
        if (code == STATUS_BURN_OK) {
            succeeded = true;
        } else {
            show(code);
        }
    };
    events.pages = ShowPages(progress, out);
    events.verified = [&] { out.Emit("verified"); };
    events.skipped = [&] { out.Emit("skipped"); };
    BurnOutcome outcome =
        BurnImageWithOptions(engine, engine.m_bConnected != 0, image, opt.burn, events);
    progress.EndCounter();
    if (outcome.result == BurnResult::Failed || signals.Caught()) {
        PrintFailure(outcome.link, out);
        return out.Fail(EXIT_FAIL);
    }
    if (outcome.result == BurnResult::VerifyFailed) {
        out.FailureLine(VerifyFailedText(outcome.firstDifference));
        return out.Fail(EXIT_VERIFY_FAILED);
    }
    if (outcome.result == BurnResult::Identical) {
        std::fprintf(stderr, "%s\n", TEXT_IDENTICAL);
    } else if (succeeded) {
        progress.Status(STATUS_BURN_OK);
        if (opt.burn.verify) {
            std::fprintf(stderr, "%s\n", TEXT_VERIFIED);
        }
    }
    return out.Done();
}

int RunPorts(const LinkFactory& links) {
    for (const ComPortEntry& entry : links.Ports()) {
        if (entry.path.empty()) {
            std::printf("%s\n", entry.text.c_str());
        } else {
            std::printf("%s\t%s\n", entry.text.c_str(), entry.path.c_str());
        }
    }
    return EXIT_OK;
}

// Plays the operator of a station for a demonstration: a chip whose NVDS area was programmed
// and then left unchanged for `swapMs` is taken out, and a fresh one is put in `swapMs` later.
class ChipSwapper {
public:
    explicit ChipSwapper(int swapMs) : m_period(swapMs) {}
    void Tick(CSimLink& sim) {
        if (m_period.count() <= 0) {
            return;
        }
        auto now = std::chrono::steady_clock::now();
        if (sim.Absent()) {
            if (now - m_since >= m_period) {
                sim.PutIn();
                m_area.clear();
                m_since = now;
            }
            return;
        }
        std::vector<uint8_t> flash = sim.Flash();
        std::vector<uint8_t> area(flash.begin(), flash.begin() + NVDS_IMAGE_SIZE);
        if (area != m_area) {
            m_area = std::move(area);
            m_since = now;
        } else if (m_area.front() != 0xFF && now - m_since >= m_period) {
            sim.TakeOut();
            m_since = now;
        }
    }

private:
    std::chrono::milliseconds m_period;
    std::vector<uint8_t> m_area;
    std::chrono::steady_clock::time_point m_since{};
};

int RunSim(SimOptions opt, const std::string& crystal, int swapMs) {
    opt.crystal = CrystalIndex(crystal);
    // Signals are taken synchronously below; block them before the serving thread starts.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    CSimLink sim(opt);
    std::string error;
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return EXIT_FAIL;
    }
    std::printf("%s\n", sim.SlavePath().c_str());
    std::fflush(stdout);
    timespec tick{0, 100 * 1000 * 1000};
    ChipSwapper swapper(swapMs);
    while (sigtimedwait(&signals, nullptr, &tick) < 0) {
        swapper.Tick(sim);
        if (sim.HungUp()) {
            std::fprintf(stderr, "line hung up after %d page(s)\n", opt.hangupAfterPages);
            break;
        }
    }
    sim.Stop();
    return EXIT_OK;
}

void AddSimCommand(CLI::App& app, CliContext& ctx) {
    auto opt = std::make_shared<SimOptions>();
    auto crystal = std::make_shared<std::string>("16MHz");
    CLI::App* sub = app.add_subcommand("sim", "Simulate a chip's boot loader on a pty");
    sub->add_option("--link", opt->linkPath, "Make this path a symlink to the pty");
    sub->add_option("--crystal", *crystal, "Crystal of the simulated chip")
        ->check(CLI::IsMember({"16MHz", "32MHz"}));
    sub->add_option("--flash", opt->flashFile, "Keep the flash in this file across runs");
    sub->add_flag("--pace", opt->pace, "Send and take bytes at the line rate");
    sub->add_option("--erase-ms", opt->eraseMs, "Sector erase time");
    sub->add_option("--program-ms", opt->programMs, "Page program time");
    sub->add_option("--boot-delay-ms", opt->bootDelayMs, "Stay silent this long after start");
    sub->add_option("--drop-every", opt->dropEvery, "Lose every Nth answer")
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--corrupt-every", opt->corruptEvery, "Spoil the CRC of every Nth frame")
        ->check(CLI::NonNegativeNumber);
    auto refuse = std::make_shared<bool>(false);
    sub->add_flag("--refuse-baud", *refuse, "Never confirm the baud-rate command");
    sub->add_option("--hangup-after-pages", opt->hangupAfterPages,
                    "Hang the line up after N page reads or programs")
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--weak-page", opt->weakPage,
                    "Acknowledge programs of this page but keep one of its bytes wrong")
        ->check(CLI::Range(0, static_cast<int>(NVDS_PAGE_COUNT) - 1));
    auto swapMs = std::make_shared<int>(0);
    sub->add_option(
           "--swap-ms", *swapMs,
           "Take a programmed chip out after N ms unchanged, put a fresh one in N ms later")
        ->check(CLI::NonNegativeNumber);
    sub->callback([&ctx, opt, crystal, refuse, swapMs] {
        ctx.run = [opt, crystal, refuse, swapMs] {
            SimOptions o = *opt;
            o.refuseBaud = *refuse ? 1 << 30 : 0;
            return RunSim(o, *crystal, *swapMs);
        };
    });
}

}  // namespace

void AddLinkCommands(CLI::App& app, CliContext& ctx) {
    CLI::App* ports = app.add_subcommand("ports", "List the interfaces a chip can be reached by");
    ports->callback([&ctx] { ctx.run = [&ctx] { return RunPorts(ctx.links); }; });

    auto dumpOpt = std::make_shared<LinkOptions>();
    CLI::App* dump = app.add_subcommand(
        "dump",
        "Read the NVDS area of a chip into a file; exit 3, and no file written, when the area "
        "is erased");
    AddLinkOptions(dump, *dumpOpt);
    dump->add_option("-o,--output", dumpOpt->file, "Image file to write")->required();
    AddDbOptions(dump, ctx);
    dump->callback(
        [&ctx, dumpOpt] { ctx.run = [&ctx, dumpOpt] { return RunDump(ctx, *dumpOpt); }; });

    auto burnOpt = std::make_shared<LinkOptions>();
    CLI::App* burn = app.add_subcommand("burn", "Write an image file to the NVDS area of a chip");
    AddLinkOptions(burn, *burnOpt);
    burn->add_option("image", burnOpt->file, "Image file (.nvds) to burn")->required();
    burn->add_flag("--verify", burnOpt->burn.verify,
                   "Read the area back after the last page and compare (exit 4 on a mismatch)");
    burn->add_flag("--skip-identical", burnOpt->burn.skipIdentical,
                   "Read the area first and write nothing when the chip already holds the image");
    burn->add_flag("--safe-order", burnOpt->burn.safeOrder,
                   "Program page 0, which holds the magic, last, so a cut burn never looks valid");
    burn->callback(
        [&ctx, burnOpt] { ctx.run = [&ctx, burnOpt] { return RunBurn(ctx, *burnOpt); }; });

    AddSimCommand(app, ctx);
}

}  // namespace nvds::cli
