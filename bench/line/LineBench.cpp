// Line benchmark: 1, 2, 4, 8 and 16 stations in one process, each on an in-process simulated
// chip paced at 921600 baud with realistic flash times, burning N chips each (a fresh, erased
// chip is put in as soon as the station looks for one, so each burn starts with the one-page
// check of a blank chip). Prints chips per minute per station, the ratio to one station alone
// (and to a reference figure given as the only argument), and the time from a chip's last page
// to its verified history row.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/NvdsConfig.h"
#include "image/BuildImage.h"
#include "line/ProductionLine.h"
#include "line/ProductionRecord.h"
#include "link/BaudTable.h"
#include "platform/AppFolder.h"
#include "platform/AtomicFile.h"
#include "platform/Prompter.h"
#include "sim/InProcessLink.h"

namespace {

using namespace nvds;
using Clock = std::chrono::steady_clock;

constexpr uint32_t BAUD = 921600;
constexpr uint32_t ERASE_MS = 40;
constexpr uint32_t PROGRAM_MS = 2;
constexpr int CHIPS = 8;
constexpr int PAGES_PER_CHIP = 32;  // 16 programmed, 16 read back

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

struct Figures {
    double chipsPerMinute = 0;   // per station, averaged over the stations
    double programmedToRow = 0;  // mean seconds from the last programmed page to the row
    double readToRow = 0;        // mean seconds from the last page read back to the row
    double worstReadToRow = 0;
};

Figures RunLine(int stations, const std::string& folder, const line::GoldenImage& golden) {
    std::string record = folder + "/record" + std::to_string(stations) + ".db";
    line::AddressPool pool;
    pool.first = 0xC01122000001ull;
    std::string error;
    auto rec = line::OpenProductionRecord(record, pool, error);
    if (!rec) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    SimOptions options;
    options.pace = true;
    options.eraseMs = ERASE_MS;
    options.programMs = PROGRAM_MS;
    std::map<std::string, std::shared_ptr<CSimLine>> chips;
    line::LineSettings settings;
    for (int i = 0; i < stations; ++i) {
        // Appended, not "S" + ...: GCC 12 at -O3 reports a false -Wrestrict for the latter.
        std::string port = "S";
        port += std::to_string(i + 1);
        chips[port] = std::make_shared<CSimLine>(options);
        settings.stations.push_back({port, port});
    }
    settings.crystal = 0;
    settings.baudRow = FindBaudRow(BAUD, 0);
    settings.count = CHIPS;
    settings.host = "bench";
    settings.gonePeriod = std::chrono::milliseconds(5);
    settings.journalPath = folder + "/journal";

    std::map<std::string, int> pages;
    std::map<std::string, Clock::time_point> lastProgrammed;
    std::map<std::string, Clock::time_point> lastRead;
    std::map<std::string, Clock::time_point> finished;
    std::vector<double> programmedToRow;
    std::vector<double> readToRow;
    Clock::time_point start = Clock::now();
    CInProcessLinks links(chips);
    line::ProductionLine productionLine(
        settings, *rec, golden,
        [&](const line::StationEvent& event, const line::StationStatus&) {
            Clock::time_point now = Clock::now();
            CSimLine& chip = *chips.at(event.port);
            switch (event.kind) {
                case line::StationEvent::Page:
                    if (++pages[event.port] == PAGES_PER_CHIP / 2) {
                        lastProgrammed[event.port] = now;
                    } else if (pages[event.port] == PAGES_PER_CHIP) {
                        lastRead[event.port] = now;
                    }
                    break;
                case line::StationEvent::Done:
                    programmedToRow.push_back(Seconds(now - lastProgrammed[event.port]));
                    readToRow.push_back(Seconds(now - lastRead[event.port]));
                    finished[event.port] = now;
                    pages[event.port] = 0;
                    chip.TakeOut();
                    break;
                case line::StationEvent::Error:
                    std::fprintf(stderr, "%s: %s\n", event.port.c_str(), event.message.c_str());
                    pages[event.port] = 0;
                    chip.TakeOut();
                    break;
                case line::StationEvent::Connecting:
                    if (chip.Absent()) {
                        chip.PutIn();
                    }
                    break;
                default:
                    break;
            }
        },
        links);
    if (!productionLine.Run()) {
        std::fprintf(stderr, "the line did not reach %d chips per station\n", CHIPS);
        std::exit(1);
    }
    Figures figures;
    for (const auto& [port, end] : finished) {
        figures.chipsPerMinute += CHIPS / Seconds(end - start) * 60.0 / stations;
    }
    for (size_t i = 0; i < readToRow.size(); ++i) {
        figures.programmedToRow += programmedToRow[i] / static_cast<double>(readToRow.size());
        figures.readToRow += readToRow[i] / static_cast<double>(readToRow.size());
        figures.worstReadToRow = std::max(figures.worstReadToRow, readToRow[i]);
    }
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    // A figure measured elsewhere (another build, another version) to compare against.
    const double reference = argc > 1 ? std::atof(argv[1]) : 0;
    char pattern[] = "/tmp/nvds_line_bench.XXXXXX";
    std::string folder = mkdtemp(pattern);
    RecordingPrompter prompter;
    std::string sys = GetAppFolder() + "/zbkey_db.xml";
    std::string user = GetAppFolder() + "/userkey_db.xml";
    CNvdsConfig config(prompter, sys, user);
    TagTable table;
    if (!config.LoadTagDb(sys, table) || !config.LoadTagDb(user, table)) {
        std::fprintf(stderr, "cannot load the catalogue beside the benchmark\n");
        return 1;
    }
    TagTable defaults = table;
    NvdsImage image = ErasedImage();
    std::string invalid;
    BuildImage(defaults, image, invalid);
    std::string path = folder + "/golden.nvds";
    WriteFileAtomically(path, image.data(), image.size());
    line::GoldenImage golden;
    std::string error;
    if (!golden.Load(path, table, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf(
        "line_bench: %d chips per station, %u baud, erase %u ms, program %u ms, %ld cores\n", CHIPS,
        BAUD, ERASE_MS, PROGRAM_MS, sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("%-9s %18s %14s %14s %22s %22s\n", "stations", "chips/min/station", "one/this",
                "this/reference", "last programmed->row", "last read->row (max)");
    double alone = 0;
    for (int stations : {1, 2, 4, 8, 16}) {
        Figures f = RunLine(stations, folder, golden);
        if (stations == 1) {
            alone = f.chipsPerMinute;
        }
        std::printf("%-9d %18.1f %14.3f %14.3f %20.1f ms %12.1f ms (%.1f)\n", stations,
                    f.chipsPerMinute, alone / f.chipsPerMinute,
                    reference > 0 ? f.chipsPerMinute / reference : 0.0, f.programmedToRow * 1000,
                    f.readToRow * 1000, f.worstReadToRow * 1000);
        std::fflush(stdout);
    }
    std::filesystem::remove_all(folder);
    return 0;
}
