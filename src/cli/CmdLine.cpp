#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/NvdsConfig.h"
#include "cli/Commands.h"
#include "cli/JsonEvents.h"
#include "image/NvdsImage.h"
#include "line/ProcessOwner.h"
#include "line/ProductionLine.h"
#include "line/ProductionRecord.h"
#include "link/BaudTable.h"
#include "link/ComPorts.h"
#include "link/LinkConstants.h"
#include "platform/Prompter.h"

namespace nvds::cli {

namespace {

struct LineOptions {
    std::vector<std::string> ports;
    std::string crystal = "16MHz";
    uint32_t baud = 115200;
    std::string image;
    std::string first;
    std::string last;
    int step = 1;
    std::string record;
    int count = 0;
    bool json = false;
};

// Six pairs of hex digits, spaces anywhere.
bool IsAddressText(const std::string& text) {
    int digits = 0;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            ++digits;
        } else if (c != ' ') {
            return false;
        }
    }
    return digits == 12;
}

// Stations' progress on stderr: on a terminal a table redrawn in place (one row per station
// and the totals), otherwise one plain line per outcome.
class LineView {
public:
    explicit LineView(const std::vector<std::string>& ports) : m_bTty(isatty(STDERR_FILENO) != 0) {
        for (const std::string& port : ports) {
            line::StationStatus status;
            status.port = port;
            m_rows.push_back(status);
        }
    }

    void Show(const line::StationEvent& event, const line::StationStatus& status) {
        for (auto& row : m_rows) {
            if (row.port == status.port) {
                row = status;
            }
        }
        if (m_bTty) {
            Redraw();
            return;
        }
        const char* port = event.port.c_str();
        switch (event.kind) {
            case line::StationEvent::Connected:
                std::fprintf(stderr, "%s: chip found\n", port);
                break;
            case line::StationEvent::Done:
                std::fprintf(stderr, "%s: %s verified (%.2f s)\n", port,
                             line::AddressText(event.address).c_str(), event.seconds);
                break;
            case line::StationEvent::Error:
                std::fprintf(stderr, "%s: %s\n", port, event.message.c_str());
                if (!event.cause.empty()) {
                    std::fprintf(stderr, "%s: %s\n", port, event.cause.c_str());
                }
                break;
            case line::StationEvent::ChipGone:
                std::fprintf(stderr, "%s: chip taken out\n", port);
                break;
            case line::StationEvent::Stopped:
                std::fprintf(stderr, "%s: stopped: %s\n", port, status.message.c_str());
                break;
            default:
                break;
        }
    }

private:
    void Redraw() {
        if (m_nDrawn > 0) {
            std::fprintf(stderr, "\x1b[%dA", m_nDrawn);
        }
        std::fprintf(stderr, "\x1b[2K%-20s %-12s %-6s %-18s %5s %8s\n", "PORT", "STATE", "PAGE",
                     "LAST ADDRESS", "DONE", "FAILED");
        int done = 0;
        int failed = 0;
        for (const auto& row : m_rows) {
            std::string page = std::to_string(row.page) + "/16";
            std::string address = row.hasAddress ? line::AddressText(row.lastAddress) : "-";
            std::fprintf(stderr, "\x1b[2K%-20s %-12s %-6s %-18s %5d %8d  %s\n", row.port.c_str(),
                         line::StationStateName(row.state), page.c_str(), address.c_str(), row.done,
                         row.failures, row.message.c_str());
            done += row.done;
            failed += row.failures;
        }
        std::fprintf(stderr, "\x1b[2K%-20s %-12s %-6s %-18s %5d %8d\n", "TOTAL", "", "", "", done,
                     failed);
        m_nDrawn = static_cast<int>(m_rows.size()) + 2;
    }

    bool m_bTty;
    std::vector<line::StationStatus> m_rows;
    int m_nDrawn = 0;
};

void EmitJson(JsonEvents& json, const line::StationEvent& event) {
    nlohmann::ordered_json fields = nlohmann::ordered_json::object();
    switch (event.kind) {
        case line::StationEvent::Connecting:
            json.Emit("connecting", event.port);
            break;
        case line::StationEvent::Connected:
            json.Emit("connected", event.port);
            break;
        case line::StationEvent::Page:
            fields["page"] = event.page;
            fields["of"] = NVDS_PAGE_COUNT;
            json.Emit("page", event.port, fields);
            break;
        case line::StationEvent::Verified:
            json.Emit("verified", event.port);
            break;
        case line::StationEvent::Done:
            fields["seconds"] = event.seconds;
            fields["address"] = line::AddressText(event.address);
            json.Emit("done", event.port, fields);
            break;
        case line::StationEvent::Error:
            fields["code"] = event.code;
            fields["message"] = event.message;
            if (event.hasAddress) {
                fields["address"] = line::AddressText(event.address);
            }
            json.Emit("error", event.port, fields);
            break;
        default:
            break;
    }
}

// SIGINT and SIGTERM stop every station; they are blocked from construction on in every
// thread started later and taken by a watcher thread.
class LineSignals {
public:
    LineSignals() {
        sigemptyset(&m_signals);
        sigaddset(&m_signals, SIGINT);
        sigaddset(&m_signals, SIGTERM);
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

    void Watch(line::ProductionLine& productionLine) {
        m_watcher = std::thread([this, &productionLine] {
            timespec tick{0, 20 * 1000 * 1000};
            while (!m_bDone) {
                if (sigtimedwait(&m_signals, nullptr, &tick) > 0) {
                    m_bCaught = true;
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

int RunLine(CliContext& ctx, const LineOptions& opt) {
    std::string targetError;
    if (!line::CheckRecordTarget(opt.record, targetError)) {
        std::fprintf(stderr, "%s\n", targetError.c_str());
        return EXIT_USAGE;
    }
    int crystal = opt.crystal == "32MHz" ? CRYSTAL_32MHZ : CRYSTAL_16MHZ;
    int row = FindBaudRow(opt.baud, crystal);
    bool serial = std::any_of(opt.ports.begin(), opt.ports.end(),
                              [](const std::string& port) { return port != SPI_ENTRY; });
    if (serial && row < 0) {
        std::fprintf(stderr, "--baud %u is not a rate of a %s chip\n", opt.baud,
                     opt.crystal.c_str());
        return EXIT_USAGE;
    }
    for (const std::string* text : {&opt.first, &opt.last}) {
        if (!text->empty() && !IsAddressText(*text)) {
            std::fprintf(stderr, "\"%s\" is not a device address (six hex pairs)\n", text->c_str());
            return EXIT_USAGE;
        }
    }
    line::AddressPool pool;
    pool.first = line::AddressValue(opt.first);
    if (!opt.last.empty()) {
        pool.last = line::AddressValue(opt.last);
    }
    pool.step = opt.step;

    StderrPrompter prompter;
    CNvdsConfig config(prompter);
    TagTable table;
    if (!LoadCatalogue(ctx, config, table)) {
        return EXIT_FAIL;
    }
    line::GoldenImage golden;
    std::string error;
    if (!golden.Load(opt.image, config, table, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return EXIT_FAIL;
    }
    std::unique_ptr<line::ProductionRecord> record =
        line::OpenProductionRecord(opt.record, pool, error);
    if (!record) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return EXIT_FAIL;
    }

    line::LineSettings settings;
    for (const std::string& port : opt.ports) {
        settings.stations.push_back({port, port});
    }
    settings.crystal = crystal;
    settings.baudRow = std::max(row, 0);
    settings.count = opt.count;
    settings.host = line::CurrentProcessOwner().host;
    JsonEvents json(opt.json);
    LineView view(opt.ports);
    LineSignals signals;
    line::ProductionLine productionLine(
        settings, *record, golden,
        [&](const line::StationEvent& event, const line::StationStatus& status) {
            EmitJson(json, event);
            view.Show(event, status);
        });
    signals.Watch(productionLine);
    bool allCounted = productionLine.Run();
    signals.Finish();
    return allCounted && !signals.Caught() ? EXIT_OK : EXIT_FAIL;
}

}  // namespace

void AddLineCommand(CLI::App& app, CliContext& ctx) {
    auto opt = std::make_shared<LineOptions>();
    CLI::App* sub = app.add_subcommand(
        "line", "Burn chip after chip on several ports, each with its own address from a record");
    sub->add_option("--port", opt->ports,
                    "Serial device of a station, or SPI for the USB bridge (repeat for more)")
        ->required();
    sub->add_option("--crystal", opt->crystal, "Crystal of the chips")
        ->check(CLI::IsMember({"16MHz", "32MHz"}));
    sub->add_option("--baud", opt->baud, "Working baud rate (default 115200)");
    sub->add_option("--image", opt->image, "Golden image (.nvds)")->required();
    sub->add_option("--first-address", opt->first,
                    "First device address, e.g. \"C0 11 22 00 00 01\"")
        ->required();
    sub->add_option("--last-address", opt->last, "Last device address of the range");
    sub->add_option("--step", opt->step, "1 to increase, -1 to decrease the address")
        ->check(CLI::IsMember({1, -1}));
    sub->add_option("--record", opt->record,
                    "Production record: an SQLite file or a PostgreSQL connection string")
        ->required();
    sub->add_option("--count", opt->count, "Stop each station after N verified chips")
        ->check(CLI::PositiveNumber);
    sub->add_flag("--json", opt->json, "Events on stdout, one JSON object per line");
    AddDbOptions(sub, ctx);
    sub->callback([&ctx, opt] { ctx.run = [&ctx, opt] { return RunLine(ctx, *opt); }; });
}

}  // namespace nvds::cli
