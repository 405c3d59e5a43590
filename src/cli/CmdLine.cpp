#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/BdAddr.h"
#include "catalogue/NvdsConfig.h"
#include "cli/Commands.h"
#include "cli/JsonEvents.h"
#include "cli/LineJson.h"
#include "cli/LineReport.h"
#include "cli/LineSetup.h"
#include "cli/LineView.h"
#include "line/OutcomeJournal.h"
#include "line/ProcessOwner.h"
#include "line/ProductionLine.h"
#include "line/ProductionRecord.h"
#include "link/BaudTable.h"
#include "link/ComPorts.h"
#include "link/LinkConstants.h"
#include "platform/Prompter.h"
#include "platform/TextEscape.h"

namespace nvds::cli {

namespace {

constexpr int DEFAULT_WIDTH = 80;
constexpr const char* TEXT_FINISHING =
    "Finishing: each station completes the chip in its socket, then stops (Ctrl-C again stops "
    "at once)";
constexpr const char* TEXT_STOPPING = "Stopping now";

struct LineOptions {
    std::vector<std::string> ports;
    std::string crystal = "16MHz";
    uint32_t baud = 115200;
    std::string image;
    std::string first;
    std::string last;
    bool lastGiven = false;
    int step = 1;
    std::string record;
    std::string count;
    std::string maxFailures;
    std::string lot;
    bool reburnProgrammed = false;
    bool json = false;
};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int TerminalWidth() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return DEFAULT_WIDTH;
}

void Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

// SIGINT, SIGTERM and SIGWINCH are blocked from construction on in every thread started later
// and taken by a watcher thread: the first SIGINT lets the stations finish their chips, a
// second one or SIGTERM stops them at once, SIGWINCH redraws the table in the new width.
class LineSignals {
public:
    LineSignals() {
        sigemptyset(&m_signals);
        sigaddset(&m_signals, SIGINT);
        sigaddset(&m_signals, SIGTERM);
        sigaddset(&m_signals, SIGWINCH);
        pthread_sigmask(SIG_BLOCK, &m_signals, &m_old);
    }
    ~LineSignals() {
        Finish();
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    /// Ends the watcher; called before the line it stops goes away.
    void Finish() {
        m_bDone = true;
        if (m_watcher.joinable()) {
            m_watcher.join();
        }
    }
    LineSignals(const LineSignals&) = delete;
    LineSignals& operator=(const LineSignals&) = delete;

    void Watch(line::ProductionLine& productionLine, LineView& view) {
        m_watcher = std::thread([this, &productionLine, &view] {
            timespec tick{0, 20 * 1000 * 1000};
            bool finishing = false;
            while (!m_bDone) {
                const int signal = sigtimedwait(&m_signals, nullptr, &tick);
                if (signal == SIGWINCH) {
                    view.Resize(TerminalWidth());
                } else if (signal == SIGINT && !finishing) {
                    finishing = true;
                    m_bCaught = true;
                    view.Note(TEXT_FINISHING);
                    productionLine.Finish();
                } else if (signal > 0) {
                    m_bCaught = true;
                    view.Note(TEXT_STOPPING);
                    productionLine.Stop();
                }
            }
        });
    }
    bool Caught() const { return m_bCaught; }

private:
    sigset_t m_signals{};
    sigset_t m_old{};
    std::thread m_watcher;
    std::atomic<bool> m_bDone{false};
    std::atomic<bool> m_bCaught{false};
};

// Checks the options that need no file, record or port. EXIT_OK or EXIT_USAGE after a message.
int CheckOptions(const LineOptions& opt, line::LineSettings& settings, line::AddressPool& pool) {
    std::string error;
    bool ok = ParseStationPorts(opt.ports, settings.stations, error);
    if (ok && !opt.count.empty()) {
        ok = ParseWholeNumber("--count", opt.count, 1, INT_MAX, settings.count, error);
    }
    if (ok && !opt.maxFailures.empty()) {
        ok = ParseWholeNumber("--max-failures", opt.maxFailures, 0, INT_MAX, settings.maxFailures,
                              error);
    }
    // A record that would not last (empty, in memory, temporary) is refused before anything
    // is opened, like any other bad option.
    ok = ok && line::CheckRecordTarget(opt.record, error);
    if (!ok) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return EXIT_USAGE;
    }
    // The empty text is no address either: a script's unset variable must not burn 00 00 00 ...
    const std::optional<uint64_t> first = ParseAddress(opt.first);
    const std::optional<uint64_t> last = ParseAddress(opt.last);
    const std::string* bad = !first ? &opt.first : (opt.lastGiven && !last ? &opt.last : nullptr);
    if (bad != nullptr) {
        std::fprintf(stderr, "\"%s\" is not a device address (six hex pairs)\n",
                     EscapeControl(*bad).c_str());
        return EXIT_USAGE;
    }
    pool.first = *first;
    pool.last = opt.lastGiven ? last : std::nullopt;
    pool.step = opt.step;
    return EXIT_OK;
}

LineBanner MakeBanner(const line::GoldenImage& golden, line::ProductionRecord& record,
                      const line::AddressPool& pool) {
    LineBanner banner;
    banner.goldenName = golden.Name();
    banner.goldenSha256 = golden.Sha256();
    uint64_t next = 0;
    if (record.PeekNext(next, banner.left)) {
        banner.next = next;
    } else {
        banner.nextError = record.LastError();
    }
    banner.rangeSize = RangeSize(pool);
    banner.abandoned = record.AbandonedAtOpen();
    return banner;
}

int RunLine(CliContext& ctx, const LineOptions& opt) {
    line::LineSettings settings;
    line::AddressPool pool;
    if (int code = CheckOptions(opt, settings, pool); code != EXIT_OK) {
        return code;
    }
    int crystal = opt.crystal == "32MHz" ? CRYSTAL_32MHZ : CRYSTAL_16MHZ;
    int row = FindBaudRow(opt.baud, crystal);
    bool serial = std::any_of(settings.stations.begin(), settings.stations.end(),
                              [](const line::StationPort& port) { return port.path != SPI_ENTRY; });
    if (serial && row < 0) {
        std::fprintf(stderr, "--baud %u is not a rate of a %s chip\n", opt.baud,
                     opt.crystal.c_str());
        return EXIT_USAGE;
    }

    StderrPrompter prompter;
    CNvdsConfig config(prompter);
    TagTable table;
    if (!LoadCatalogue(ctx, config, table)) {
        return EXIT_FAIL;
    }
    line::GoldenImage golden;
    std::string error;
    if (!golden.Load(opt.image, table, error)) {
        // A golden image the catalogue would change is refused before anything starts.
        std::fprintf(stderr, "%s\n", error.c_str());
        return EXIT_USAGE;
    }
    for (const std::string& notice : golden.Notices()) {
        std::fprintf(stderr, "%s\n", notice.c_str());
    }
    std::unique_ptr<line::ProductionRecord> record =
        line::OpenProductionRecord(opt.record, pool, error);
    if (!record) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return EXIT_FAIL;
    }
    Print(BannerText(MakeBanner(golden, *record, pool)));

    settings.crystal = crystal;
    settings.baudRow = std::max(row, 0);
    settings.host = line::CurrentProcessOwner().host;
    settings.lot = opt.lot;
    settings.reburnProgrammed = opt.reburnProgrammed;
    settings.journalPath = line::DefaultJournalPath(opt.record);
    std::map<std::string, std::string> names;  // station name by device path
    for (const line::StationPort& station : settings.stations) {
        names[station.path] = station.name;
    }
    JsonEvents json(opt.json);
    LineView view(settings.stations, isatty(STDERR_FILENO) != 0, TerminalWidth(), Print);
    std::set<uint64_t> used;
    LineSignals signals;
    line::ProductionLine productionLine(
        settings, *record, golden,
        [&](const line::StationEvent& reported, const line::StationStatus& status) {
            line::StationEvent event = reported;
            if (event.timeMs == 0) {
                event.timeMs = NowMs();
            }
            if (event.name.empty()) {
                event.name = status.name.empty() ? names[event.port] : status.name;
            }
            line::StationStatus named = status;
            named.name = event.name;
            if (event.hasAddress && (event.kind == line::StationEvent::Done ||
                                     event.kind == line::StationEvent::Error)) {
                used.insert(event.address);
            }
            json.Write(LineEventJson(event, event.name));
            view.Show(event, named);
        },
        ctx.links);
    signals.Watch(productionLine, view);
    bool allCounted = productionLine.Run();
    signals.Finish();

    LineSummary summary;
    summary.stations = view.Rows();
    summary.addressesUsed = used.size();
    uint64_t next = 0;
    uint64_t left = 0;
    if (record->PeekNext(next, left)) {
        summary.next = next;
    } else {
        summary.nextError = record->LastError();
    }
    Print(SummaryText(summary));
    json.Write(LineSummaryJson(summary, NowMs()));
    return allCounted && !signals.Caught() ? EXIT_OK : EXIT_FAIL;
}

}  // namespace

void AddLineCommand(CLI::App& app, CliContext& ctx) {
    auto opt = std::make_shared<LineOptions>();
    CLI::App* sub = app.add_subcommand(
        "line", "Burn chip after chip on several ports, each with its own address from a record");
    sub->add_option("--port", opt->ports,
                    "A station: NAME=DEVICE, or a serial device (SPI for the USB bridge) named by "
                    "its path; repeat for more")
        ->required();
    sub->add_option("--crystal", opt->crystal, "Crystal of the chips")
        ->check(CLI::IsMember({"16MHz", "32MHz"}));
    sub->add_option("--baud", opt->baud, "Working baud rate (default 115200)");
    sub->add_option("--image", opt->image, "Golden image (.nvds)")->required();
    sub->add_option("--first-address", opt->first,
                    "First device address, e.g. \"C0 11 22 00 00 01\"")
        ->required();
    CLI::Option* last =
        sub->add_option("--last-address", opt->last, "Last device address of the range");
    sub->add_option("--step", opt->step, "1 to increase, -1 to decrease the address")
        ->check(CLI::IsMember({1, -1}));
    sub->add_option("--record", opt->record,
                    "Production record: an SQLite file or a PostgreSQL connection string")
        ->required();
    sub->add_option("--count", opt->count, "Stop each station after N verified chips");
    sub->add_option("--max-failures", opt->maxFailures,
                    "Stop a station after N failed chips in a row (default 3, 0: never)");
    sub->add_option("--lot", opt->lot, "A label for this run, kept with every burn");
    sub->add_flag("--reburn-programmed", opt->reburnProgrammed,
                  "Burn a chip that already carries an address again, with that address");
    sub->add_flag("--json", opt->json, "Events on stdout, one JSON object per line");
    AddDbOptions(sub, ctx);
    sub->callback([&ctx, opt, last] {
        opt->lastGiven = last->count() > 0;
        ctx.run = [&ctx, opt] { return RunLine(ctx, *opt); };
    });
}

}  // namespace nvds::cli
