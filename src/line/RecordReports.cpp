// What the record reports beyond single addresses: one summary per run over the history, and
// the address table with its counts per state.
#include <algorithm>
#include <map>

#include "line/RecordShared.h"
#include "line/RecordStore.h"

namespace nvds::line {

namespace {

// Counts one attempt by its last word: a row that ended it (verified or failed) outweighs an
// "abandoned" row written while its process could not answer.
struct AttemptEnd {
    RecordState outcome = RECORD_ABANDONED;
    std::string reason;
};

RunSummary& SummaryOf(std::map<int64_t, RunSummary>& runs, const HistoryRow& row) {
    RunSummary& run = runs[row.run];
    if (run.run == 0) {
        run.run = row.run;
        run.host = row.context.station.host;
        run.lot = row.context.lot;
        run.goldenName = row.context.goldenName;
        run.goldenSha256 = row.context.goldenSha256;
        run.startedAtMs = row.startedAtMs;
        run.endedAtMs = row.endedAtMs;
    }
    run.startedAtMs = std::min(run.startedAtMs, row.startedAtMs);
    run.endedAtMs = std::max(run.endedAtMs, row.endedAtMs);
    return run;
}

}  // namespace

bool RecordStore::Runs(const HistoryFilter& filter, std::vector<RunSummary>& runs) {
    runs.clear();
    std::vector<HistoryRow> rows;
    if (!History(filter, rows)) {
        return false;
    }
    std::map<int64_t, RunSummary> byRun;
    std::map<int64_t, std::pair<int64_t, AttemptEnd>> attempts;  // attempt: run, its end
    for (const HistoryRow& row : rows) {
        SummaryOf(byRun, row);
        auto& [run, end] = attempts[row.attempt];
        run = row.run;
        if (row.outcome != RECORD_ABANDONED || end.outcome == RECORD_ABANDONED) {
            end = {row.outcome, row.reason};
        }
    }
    std::map<int64_t, std::map<std::string, int64_t>> reasons;
    for (const auto& [attempt, runAndEnd] : attempts) {
        const auto& [run, end] = runAndEnd;
        RunSummary& summary = byRun[run];
        if (end.outcome == RECORD_VERIFIED) {
            ++summary.verified;
        } else if (end.outcome == RECORD_FAILED) {
            ++summary.failed;
            ++reasons[run][end.reason];
        } else {
            ++summary.abandoned;
        }
    }
    for (auto& [id, summary] : byRun) {
        summary.chips = summary.verified + summary.failed;
        if (summary.chips > 0) {
            summary.firstPassYield = double(summary.verified) / double(summary.chips);
        }
        const int64_t spanMs = summary.endedAtMs - summary.startedAtMs;
        if (summary.verified > 0 && spanMs > 0) {
            summary.chipsPerHour = double(summary.verified) * 3600000.0 / double(spanMs);
        }
        summary.failuresByReason.assign(reasons[id].begin(), reasons[id].end());
        std::stable_sort(summary.failuresByReason.begin(), summary.failuresByReason.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        runs.push_back(std::move(summary));
    }
    return true;
}

bool RecordStore::Addresses(std::vector<RecordRow>& rows) {
    rows.clear();
    if (!Begin(false)) {
        return false;
    }
    SqlRows found;
    const bool ok =
        Sql("SELECT address, state, reusable, station_host, station_port,"
            " reserved_at, ended_at, image_sha256, seconds FROM record_address"
            " ORDER BY reserved_at, address",
            {}, found);
    m_session->Rollback();
    for (size_t i = 0; ok && i < found.Size(); ++i) {
        RecordRow row;
        row.address = static_cast<uint64_t>(found.Int(i, 0));
        row.state = RecordStateFromName(found.Text(i, 1));
        row.reusable = found.Int(i, 2) != 0;
        row.station = {found.Text(i, 3), found.Text(i, 4)};
        row.reservedAtMs = found.Int(i, 5);
        row.endedAtMs = found.IsNull(i, 6) ? 0 : found.Int(i, 6);
        row.imageSha256 = found.IsNull(i, 7) ? "" : found.Text(i, 7);
        row.seconds = found.IsNull(i, 8) ? -1 : found.Real(i, 8);
        rows.push_back(std::move(row));
    }
    return ok;
}

RecordSummary SummaryOf(const std::vector<RecordRow>& rows) {
    RecordSummary summary;
    int64_t first = 0;
    int64_t last = 0;
    for (const RecordRow& row : rows) {
        int64_t* counts[] = {&summary.reserved, &summary.verified, &summary.failed,
                             &summary.abandoned};
        ++*counts[row.state];
        if (row.state == RECORD_VERIFIED) {
            first = first == 0 ? row.reservedAtMs : std::min(first, row.reservedAtMs);
            last = std::max(last, row.endedAtMs);
        }
    }
    if (summary.verified > 0 && last > first) {
        summary.chipsPerHour = double(summary.verified) * 3600000.0 / double(last - first);
    }
    return summary;
}

}  // namespace nvds::line
