#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "cli/Commands.h"
#include "line/ProductionRecord.h"

namespace nvds::cli {

namespace {

using line::RecordRow;
using line::RecordSummary;

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

std::string StateText(const RecordRow& row) {
    std::string text = line::RecordStateName(row.state);
    return row.state == line::RECORD_FAILED && row.reusable ? text + " (reusable)" : text;
}

// Station texts are free text from the caller; a TAB or line break would split the line.
std::string Field(std::string text) {
    for (char& c : text) {
        if (c == '\t' || c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}

void PrintRowLine(const RecordRow& row) {
    char seconds[32] = "";
    if (row.seconds >= 0) {
        std::snprintf(seconds, sizeof(seconds), "%.2f", row.seconds);
    }
    std::printf("%s\t%s\t%s\t%s\t%s\t%s\t%s\n", line::AddressText(row.address).c_str(),
                StateText(row).c_str(), Field(row.station.host + ":" + row.station.port).c_str(),
                IsoTime(row.reservedAtMs).c_str(), IsoTime(row.endedAtMs).c_str(),
                row.imageSha256.c_str(), seconds);
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

int RunRecord(const std::string& file, bool json) {
    std::string error;
    std::unique_ptr<line::ProductionRecord> record = line::OpenProductionRecordToRead(file, error);
    std::vector<RecordRow> rows;
    RecordSummary summary;
    if (record && (!record->Rows(rows) || !record->Summary(summary))) {
        error = record->LastError();
        record.reset();
    }
    if (!record) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return EXIT_FAIL;
    }
    for (const RecordRow& row : rows) {
        if (json) {
            std::printf("%s\n",
                        RowJson(row)
                            .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                            .c_str());
        } else {
            PrintRowLine(row);
        }
    }
    if (json) {
        std::printf("%s\n", SummaryJson(summary).dump().c_str());
    } else {
        PrintSummaryLine(summary);
    }
    return EXIT_OK;
}

}  // namespace

void AddRecordCommand(CLI::App& app, CliContext& ctx) {
    CLI::App* sub = app.add_subcommand(
        "record", "List the production record: one line per address handed out, then a summary");
    auto file = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    sub->add_option("FILE", *file, "The record: an SQLite file or a PostgreSQL connection string")
        ->required();
    sub->add_flag("--json", *json, "Print one JSON object per line, the summary last");
    sub->callback(
        [&ctx, file, json] { ctx.run = [file, json] { return RunRecord(*file, *json); }; });
}

}  // namespace nvds::cli
