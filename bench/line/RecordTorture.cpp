// Record torture: worker processes share one production record and are killed with SIGKILL at
// random moments and started again, until the allocations are done. Prints how many addresses
// were ever verified twice (must be 0), the distinct addresses, the abandoned rows, the
// allocations per second, and then the time one history row costs (EndBurn timed alone). With
// --postgres it starts a scratch PostgreSQL server (a Unix socket in a scratch folder, fsync
// on), runs the same torture on an SQLite file and on the server, and prints the two side by
// side.
//
//   record_torture [--allocations N] [--workers W] [--record FILE|URI] [--kill-ms MAX]
//   record_torture --postgres [--allocations N] [--workers W (default 4)] [--kill-ms MAX]

#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/PgServer.h"
#include "line/ProductionRecord.h"

namespace {

using nvds::line::AddressPool;
using nvds::line::ProductionRecord;

struct Options {
    long allocations = 100000;
    int workers = 2;
    std::string record;  // default: a scratch folder
    int killMs = 100;    // a worker is killed every 0..killMs milliseconds
    bool postgres = false;
    bool workersGiven = false;
};

// What one torture run found.
struct Figures {
    long allocations = 0;
    long kills = 0;
    int failures = 0;
    long verifiedTwice = 0;
    long loggedButNotVerified = 0;
    size_t distinct = 0;
    nvds::line::RecordSummary summary;
    double seconds = 0;
    size_t historyRows = 0;
    double msPerHistoryRow = 0;  // one EndBurn: its history row and the address's state
};

// Counted by the workers in memory shared with the parent, so a killed worker's work counts.
struct Shared {
    std::atomic<long> allocations{0};
};

const AddressPool POOL{0xC01122000000ull, std::nullopt, 1};
// Burns timed one by one after the torture, for the cost of a history row.
constexpr int HISTORY_TIMING_BURNS = 200;

// Reserves, then verifies (80%), fails for good (10%) or fails reusably (10%), until the
// shared count reaches the goal. Each verified address goes to this incarnation's log only
// after the record said it is verified, so a duplicate in the logs is a real double verify.
[[noreturn]] void Worker(const Options& options, Shared* shared, const std::string& log) {
    std::string error;
    std::unique_ptr<ProductionRecord> record =
        nvds::line::OpenProductionRecord(options.record, POOL, error);
    if (!record) {
        std::fprintf(stderr, "worker %d: %s\n", getpid(), error.c_str());
        _exit(3);
    }
    FILE* out = std::fopen(log.c_str(), "ab");
    std::mt19937 random(static_cast<unsigned>(getpid()));
    nvds::line::BurnContext context;
    context.station = {"torture", "worker" + std::to_string(getpid())};
    context.lot = "torture";
    while (shared->allocations.load() < options.allocations) {
        uint64_t address = 0;
        int64_t attempt = 0;
        if (!record->ReserveNext(context, address, attempt)) {
            std::fprintf(stderr, "worker %d: %s\n", getpid(), record->LastError().c_str());
            _exit(4);
        }
        shared->allocations.fetch_add(1);
        const unsigned roll = random() % 10;
        nvds::line::BurnEnd end;
        end.seconds = 0.5;
        if (roll < 8) {
            end.outcome = nvds::line::RECORD_VERIFIED;
            end.imageSha256 = std::string(64, '0');
        } else {
            end.reusable = roll == 9;
            end.reason = end.reusable ? "erase: no answer" : "verify: page 3 offset 0x12";
        }
        const bool ok = record->EndBurn(attempt, end);
        if (ok && end.outcome == nvds::line::RECORD_VERIFIED) {
            std::fwrite(&address, sizeof(address), 1, out);
            std::fflush(out);
        }
        if (!ok) {
            std::fprintf(stderr, "worker %d: %s\n", getpid(), record->LastError().c_str());
            _exit(5);
        }
    }
    std::fclose(out);
    record.reset();
    _exit(0);
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--postgres") {
            options.postgres = true;
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        const char* value = argv[++i];
        if (arg == "--allocations") {
            options.allocations = std::atol(value);
        } else if (arg == "--workers") {
            options.workers = std::atoi(value);
            options.workersGiven = true;
        } else if (arg == "--record") {
            options.record = value;
        } else if (arg == "--kill-ms") {
            options.killMs = std::atoi(value);
        } else {
            return false;
        }
    }
    return options.allocations > 0 && options.workers > 0 && options.killMs > 0;
}

// The time of one EndBurn (a history row and the address's state, one committed transaction)
// in a process of its own on the tortured record, over `count` burns; negative on an error.
double MsPerHistoryRow(const std::string& target, int count) {
    std::string error;
    auto record = nvds::line::OpenProductionRecord(target, POOL, error);
    if (!record) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return -1;
    }
    nvds::line::BurnContext context;
    context.station = {"torture", "timing"};
    nvds::line::BurnEnd end;
    end.outcome = nvds::line::RECORD_VERIFIED;
    end.imageSha256 = std::string(64, '0');
    std::chrono::duration<double, std::milli> spent{0};
    for (int i = 0; i < count; ++i) {
        uint64_t address = 0;
        int64_t attempt = 0;
        if (!record->ReserveNext(context, address, attempt)) {
            std::fprintf(stderr, "%s\n", record->LastError().c_str());
            return -1;
        }
        const auto begin = std::chrono::steady_clock::now();
        if (!record->EndBurn(attempt, end)) {
            std::fprintf(stderr, "%s\n", record->LastError().c_str());
            return -1;
        }
        spent += std::chrono::steady_clock::now() - begin;
    }
    return spent.count() / count;
}

// Runs the workers against `options.record` until the allocations are done, then reads the
// record back. False, with a message on stderr, when the record cannot be read.
bool Torture(const Options& options, const std::string& scratch, Figures& figures) {
    auto* shared = static_cast<Shared*>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    new (shared) Shared;

    int incarnations = 0;
    auto start = [&](int) {
        const std::string log = scratch + "/verified." + std::to_string(++incarnations);
        const pid_t pid = fork();
        if (pid == 0) {
            Worker(options, shared, log);
        }
        return pid;
    };
    const auto begin = std::chrono::steady_clock::now();
    std::vector<pid_t> workers(options.workers);
    for (int w = 0; w < options.workers; ++w) {
        workers[w] = start(w);
    }
    std::mt19937 random(12345);
    long kills = 0;
    int running = options.workers;
    int failures = 0;
    auto nextKill = begin + std::chrono::milliseconds(random() % options.killMs);
    while (running > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        int victim = -1;
        if (std::chrono::steady_clock::now() >= nextKill) {
            victim = static_cast<int>(random() % options.workers);
            nextKill = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(random() % options.killMs);
        }
        for (int w = 0; w < options.workers; ++w) {
            if (workers[w] == 0) {
                continue;
            }
            int status = 0;
            pid_t done = waitpid(workers[w], &status, WNOHANG);
            if (done == 0 && w == victim && shared->allocations.load() < options.allocations) {
                kill(workers[w], SIGKILL);
                done = waitpid(workers[w], &status, 0);
                ++kills;
            }
            if (done != workers[w]) {
                continue;
            }
            if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
                ++failures;
            }
            const bool finished = shared->allocations.load() >= options.allocations;
            workers[w] = finished ? 0 : start(w);
            running -= finished ? 1 : 0;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    std::map<uint64_t, int> verifiedTimes;
    for (const auto& entry : std::filesystem::directory_iterator(scratch)) {
        if (entry.path().filename().string().rfind("verified.", 0) != 0) {
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        uint64_t address = 0;
        while (in.read(reinterpret_cast<char*>(&address), sizeof(address))) {
            ++verifiedTimes[address];
        }
    }
    long verifiedTwice = 0;
    for (const auto& [address, times] : verifiedTimes) {
        verifiedTwice += times > 1 ? 1 : 0;
    }

    std::string error;
    auto record = nvds::line::OpenProductionRecordToRead(options.record, error);
    std::vector<nvds::line::RecordRow> rows;
    std::vector<nvds::line::HistoryRow> history;
    if (!record || !record->Addresses(rows) || !record->History({}, history)) {
        std::fprintf(stderr, "%s\n", record ? record->LastError().c_str() : error.c_str());
        munmap(shared, sizeof(Shared));
        return false;
    }
    long loggedButNotVerified = 0;
    std::map<uint64_t, nvds::line::RecordState> states;
    for (const auto& row : rows) {
        states[row.address] = row.state;
    }
    for (const auto& [address, times] : verifiedTimes) {
        loggedButNotVerified += states[address] != nvds::line::RECORD_VERIFIED ? 1 : 0;
    }

    figures.allocations = shared->allocations.load();
    figures.kills = kills;
    figures.failures = failures;
    figures.verifiedTwice = verifiedTwice;
    figures.loggedButNotVerified = loggedButNotVerified;
    figures.distinct = rows.size();
    figures.summary = nvds::line::SummaryOf(rows);
    figures.seconds = seconds;
    figures.historyRows = history.size();
    munmap(shared, sizeof(Shared));
    return true;
}

void Print(const std::vector<std::pair<std::string, Figures>>& runs, int workers) {
    auto line = [&](const char* label, auto value) {
        std::printf("%-26s", label);
        for (const auto& run : runs) {
            std::printf("%16s", value(run.second).c_str());
        }
        std::printf("\n");
    };
    auto count = [](auto n) { return std::to_string(static_cast<long long>(n)); };
    std::printf("%-26s", "");
    for (const auto& run : runs) {
        std::printf("%16s", run.first.c_str());
    }
    std::printf("\n");
    line("workers", [&](const Figures&) { return std::to_string(workers); });
    line("allocations", [&](const Figures& f) { return count(f.allocations); });
    line("kills", [&](const Figures& f) { return count(f.kills); });
    line("worker errors", [&](const Figures& f) { return count(f.failures); });
    line("verified twice", [&](const Figures& f) { return count(f.verifiedTwice); });
    line("logged, not verified", [&](const Figures& f) { return count(f.loggedButNotVerified); });
    line("distinct addresses", [&](const Figures& f) { return count(f.distinct); });
    line("verified rows", [&](const Figures& f) { return count(f.summary.verified); });
    line("failed rows", [&](const Figures& f) { return count(f.summary.failed); });
    line("abandoned rows", [&](const Figures& f) { return count(f.summary.abandoned); });
    line("reserved rows", [&](const Figures& f) { return count(f.summary.reserved); });
    line("history rows", [&](const Figures& f) { return count(f.historyRows); });
    line("seconds", [&](const Figures& f) {
        char text[32];
        std::snprintf(text, sizeof(text), "%.1f", f.seconds);
        return std::string(text);
    });
    line("allocations per second", [&](const Figures& f) {
        return count(static_cast<long long>(f.allocations / f.seconds));
    });
    line("ms per history row", [&](const Figures& f) {
        char text[32];
        std::snprintf(text, sizeof(text), "%.2f", f.msPerHistoryRow);
        return std::string(text);
    });
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: record_torture [--allocations N] [--workers W] [--record FILE|URI] "
                     "[--kill-ms MAX] [--postgres]\n");
        return 2;
    }
    char pattern[] = "/tmp/nvds_torture.XXXXXX";
    const std::string scratch = mkdtemp(pattern);
    if (options.record.empty()) {
        options.record = scratch + "/torture.db";
    }
    std::vector<std::pair<std::string, Options>> runs;
    nvds::test::PgServer server;
    if (options.postgres) {
        options.workers = options.workersGiven ? options.workers : 4;
        std::string error;
        if (!server.Start(error, true)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        const std::vector<std::string> created = server.Sql("postgres", "CREATE DATABASE torture");
        if (!created.empty()) {
            std::fprintf(stderr, "%s\n", created[0].c_str());
            return 1;
        }
        Options sqlite = options;
        sqlite.record = scratch + "/torture.db";
        Options postgres = options;
        postgres.record = server.Uri("torture");
        runs = {{"SQLite", sqlite}, {"PostgreSQL", postgres}};
    } else {
        runs = {{options.record.rfind(scratch, 0) == 0 ? "SQLite" : "record", options}};
    }
    std::vector<std::pair<std::string, Figures>> results;
    bool clean = true;
    for (const auto& [name, runOptions] : runs) {
        const std::string runScratch = scratch + "/" + name;
        std::filesystem::create_directory(runScratch);
        Figures figures;
        if (!Torture(runOptions, runScratch, figures)) {
            std::filesystem::remove_all(scratch);
            return 1;
        }
        figures.msPerHistoryRow = MsPerHistoryRow(runOptions.record, HISTORY_TIMING_BURNS);
        clean = clean && figures.verifiedTwice == 0 && figures.loggedButNotVerified == 0 &&
                figures.msPerHistoryRow >= 0;
        results.emplace_back(name, figures);
    }
    Print(results, options.workers);
    if (!options.postgres && options.record.rfind(scratch, 0) != 0) {
        std::printf("record                    %s\n", options.record.c_str());
    }
    std::filesystem::remove_all(scratch);
    return clean ? 0 : 1;
}
