#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "cli/Commands.h"
#include "line/ProductionRecord.h"
#include "platform/TextEscape.h"

namespace nvds::cli {

namespace {

using line::HistoryRow;
using line::RecordRow;
using line::RecordSummary;
using line::RunSummary;

struct RecordOptions {
    std::string target;
    bool json = false;
    bool csv = false;
    std::string since;
    std::string station;
    std::string lot;
};

// ISO 8601 in UTC to the second; "" for a time not set.
std::string IsoTime(int64_t ms) {
    if (ms <= 0) {
        return "";
    }
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// ISO 8601 at the offset the recording host had: "2025-12-06T06:46:40+01:00".
std::string IsoTimeAt(int64_t ms, int offsetMinutes) {
    const time_t seconds = static_cast<time_t>(ms / 1000 + offsetMinutes * 60);
    tm at{};
    gmtime_r(&seconds, &at);
    char text[40];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &at);
    const int magnitude = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char offset[24];
    std::snprintf(offset, sizeof(offset), "%c%02d:%02d", offsetMinutes < 0 ? '-' : '+',
                  magnitude / 60, magnitude % 60);
    return std::string(text) + offset;
}

// "YYYY-MM-DD", optionally "THH:MM" or "THH:MM:SS" (or a space for the T), optionally "Z" or
// "+HH:MM" / "-HH:MM"; without an offset it is the local time of this machine.
bool ParseSince(const std::string& text, int64_t& ms) {
    tm at{};
    int used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &at.tm_year, &at.tm_mon, &at.tm_mday, &used) !=
            3 ||
        used != 10) {
        return false;
    }
    std::string rest = text.substr(10);
    if (!rest.empty() && (rest[0] == 'T' || rest[0] == ' ')) {
        int hour = 0, minute = 0, second = 0, n = 0;
        if (std::sscanf(rest.c_str() + 1, "%2d:%2d%n", &hour, &minute, &n) != 2 || n != 5) {
            return false;
        }
        rest = rest.substr(6);
        if (rest.size() >= 3 && rest[0] == ':') {
            if (std::sscanf(rest.c_str() + 1, "%2d%n", &second, &n) != 1 || n != 2) {
                return false;
            }
            rest = rest.substr(3);
        }
        at.tm_hour = hour, at.tm_min = minute, at.tm_sec = second;
    }
    at.tm_year -= 1900;
    at.tm_mon -= 1;
    const tm asGiven = at;
    int offset = 0;
    bool local = rest.empty();
    if (rest == "Z") {
        offset = 0;
    } else if (!local) {
        int hours = 0, minutes = 0, n = 0;
        if ((rest[0] != '+' && rest[0] != '-') ||
            std::sscanf(rest.c_str() + 1, "%2d:%2d%n", &hours, &minutes, &n) != 2 || n != 5 ||
            rest.size() != 6) {
            return false;
        }
        offset = (rest[0] == '-' ? -1 : 1) * (hours * 60 + minutes);
    }
    at.tm_isdst = -1;
    const time_t seconds = local ? mktime(&at) : timegm(&at) - offset * 60;
    // A field out of range (month 13, 25:00) comes back normalised: refuse it.
    tm check{};
    const time_t shown = local ? seconds : seconds + offset * 60;
    local ? localtime_r(&shown, &check) : gmtime_r(&shown, &check);
    if (check.tm_year != asGiven.tm_year || check.tm_mon != asGiven.tm_mon ||
        check.tm_mday != asGiven.tm_mday || check.tm_hour != asGiven.tm_hour ||
        check.tm_min != asGiven.tm_min) {
        return false;
    }
    ms = int64_t(seconds) * 1000;
    return true;
}

// RFC 4180: a field with a comma, a quote or a line break is quoted, its quotes doubled.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c == '"' ? "\"\"" : std::string(1, c);
    }
    return quoted + "\"";
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f", seconds);
    return text;
}

std::string OutcomeText(const HistoryRow& row) {
    const std::string text = line::RecordStateName(row.outcome);
    return row.outcome == line::RECORD_FAILED && row.reusable ? text + " (reusable)" : text;
}

void PrintCsv(const std::vector<HistoryRow>& rows) {
    std::printf(
        "id,attempt,run,address,outcome,reusable,host,station,lot,started,ended,golden_name,"
        "golden_sha256,image_sha256,seconds,reason\r\n");
    for (const HistoryRow& row : rows) {
        const std::string fields[] = {std::to_string(row.id),
                                      std::to_string(row.attempt),
                                      std::to_string(row.run),
                                      line::AddressText(row.address),
                                      line::RecordStateName(row.outcome),
                                      row.reusable ? "1" : "0",
                                      row.context.station.host,
                                      row.context.station.port,
                                      row.context.lot,
                                      IsoTimeAt(row.startedAtMs, row.utcOffsetMinutes),
                                      IsoTimeAt(row.endedAtMs, row.utcOffsetMinutes),
                                      row.context.goldenName,
                                      row.context.goldenSha256,
                                      row.imageSha256,
                                      Seconds(row.seconds),
                                      row.reason};
        std::string line;
        for (const std::string& field : fields) {
            line += (line.empty() ? "" : ",") + CsvField(field);
        }
        std::printf("%s\r\n", line.c_str());
    }
}

void PrintHistory(const std::vector<HistoryRow>& rows) {
    std::printf(
        "address\toutcome\tstation\tlot\tstarted\tended\tgolden\timage sha256\tseconds"
        "\treason\n");
    for (const HistoryRow& row : rows) {
        std::printf(
            "%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", line::AddressText(row.address).c_str(),
            OutcomeText(row).c_str(),
            EscapeControl(row.context.station.host + ":" + row.context.station.port).c_str(),
            EscapeControl(row.context.lot).c_str(),
            IsoTimeAt(row.startedAtMs, row.utcOffsetMinutes).c_str(),
            IsoTimeAt(row.endedAtMs, row.utcOffsetMinutes).c_str(),
            EscapeControl(row.context.goldenName).c_str(), row.imageSha256.c_str(),
            Seconds(row.seconds).c_str(), EscapeControl(row.reason).c_str());
    }
}

void PrintRun(const RunSummary& run) {
    std::string reasons;
    for (const auto& [reason, count] : run.failuresByReason) {
        reasons += (reasons.empty() ? "" : "; ") +
                   EscapeControl(reason.empty() ? "(no reason)" : reason) + " (" +
                   std::to_string(count) + ")";
    }
    std::printf(
        "run %lld\t%s\tlot %s\t%s\t%s\tchips %lld\tverified %lld\tfailed %lld\tabandoned "
        "%lld\tyield %.1f%%\t%.1f chips per hour\t%s\n",
        static_cast<long long>(run.run), EscapeControl(run.host).c_str(),
        EscapeControl(run.lot).c_str(), IsoTime(run.startedAtMs).c_str(),
        IsoTime(run.endedAtMs).c_str(), static_cast<long long>(run.chips),
        static_cast<long long>(run.verified), static_cast<long long>(run.failed),
        static_cast<long long>(run.abandoned), run.firstPassYield * 100.0, run.chipsPerHour,
        reasons.c_str());
}

void PrintSummaryLine(const RecordSummary& s) {
    std::printf(
        "summary\tverified %lld\tfailed %lld\tabandoned %lld\treserved %lld\t%.1f chips per hour\n",
        static_cast<long long>(s.verified), static_cast<long long>(s.failed),
        static_cast<long long>(s.abandoned), static_cast<long long>(s.reserved), s.chipsPerHour);
}

nlohmann::ordered_json OrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

nlohmann::ordered_json RowJson(const RecordRow& row) {
    return {{"address", line::AddressText(row.address)},
            {"value", row.address},
            {"state", line::RecordStateName(row.state)},
            {"reusable", row.reusable},
            {"host", row.station.host},
            {"port", row.station.port},
            {"reservedAt", IsoTime(row.reservedAtMs)},
            {"endedAt", OrNull(IsoTime(row.endedAtMs))},
            {"imageSha256", OrNull(row.imageSha256)},
            {"seconds",
             row.seconds >= 0 ? nlohmann::ordered_json(row.seconds) : nlohmann::ordered_json()}};
}

nlohmann::ordered_json SummaryJson(const RecordSummary& s) {
    return {{"summary",
             {{"verified", s.verified},
              {"failed", s.failed},
              {"abandoned", s.abandoned},
              {"reserved", s.reserved},
              {"chipsPerHour", s.chipsPerHour}}}};
}

void PrintJson(const std::vector<RecordRow>& rows, const RecordSummary& summary) {
    for (const RecordRow& row : rows) {
        std::printf("%s\n",
                    RowJson(row)
                        .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                        .c_str());
    }
    std::printf("%s\n", SummaryJson(summary).dump().c_str());
}

int RunRecord(const RecordOptions& opt) {
    std::string error;
    line::HistoryFilter filter;
    filter.station = opt.station;
    filter.lot = opt.lot;
    int64_t since = 0;
    if (!opt.since.empty()) {
        if (!ParseSince(opt.since, since)) {
            std::fprintf(stderr,
                         "--since \"%s\" is not a date and time (YYYY-MM-DD, optionally "
                         "THH:MM[:SS] and Z or +HH:MM)\n",
                         EscapeControl(opt.since).c_str());
            return EXIT_USAGE;
        }
        filter.sinceMs = since;
    }
    if (!line::CheckRecordTarget(opt.target, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return EXIT_USAGE;
    }
    std::unique_ptr<line::ProductionRecord> record =
        line::OpenProductionRecordToRead(opt.target, error);
    std::vector<RecordRow> rows;
    std::vector<HistoryRow> history;
    std::vector<RunSummary> runs;
    const bool ok =
        record && (opt.json  ? record->Addresses(rows)
                   : opt.csv ? record->History(filter, history)
                             : record->History(filter, history) && record->Runs(filter, runs) &&
                                   record->Addresses(rows));
    if (!ok) {
        std::fprintf(stderr, "%s\n", record ? record->LastError().c_str() : error.c_str());
        return EXIT_FAIL;
    }
    const RecordSummary summary = line::SummaryOf(rows);
    if (opt.json) {
        PrintJson(rows, summary);
    } else if (opt.csv) {
        PrintCsv(history);
    } else {
        PrintHistory(history);
        for (const RunSummary& run : runs) {
            PrintRun(run);
        }
        PrintSummaryLine(summary);
    }
    return EXIT_OK;
}

}  // namespace

void AddRecordCommand(CLI::App& app, CliContext& ctx) {
    CLI::App* sub = app.add_subcommand(
        "record",
        "List the production record: its history (one line per burn attempt), one summary per "
        "run, then the counts per state");
    auto opt = std::make_shared<RecordOptions>();
    sub->add_option("FILE", opt->target,
                    "The record: an SQLite file or a PostgreSQL connection string")
        ->required();
    CLI::Option* json = sub->add_flag(
        "--json", opt->json, "Print one JSON object per address handed out, the summary last");
    sub->add_flag("--csv", opt->csv, "Print the history as CSV (RFC 4180) with a header row")
        ->excludes(json);
    sub->add_option("--since", opt->since,
                    "Only attempts that ended at or after this time (YYYY-MM-DD[THH:MM[:SS]], "
                    "local time unless Z or +HH:MM follows)");
    sub->add_option("--station", opt->station, "Only the attempts of this station");
    sub->add_option("--lot", opt->lot, "Only the attempts of this lot");
    sub->callback([&ctx, opt] { ctx.run = [opt] { return RunRecord(*opt); }; });
}

}  // namespace nvds::cli
