#include "cli/LineReport.h"

#include <algorithm>
#include <cstdio>

#include "cli/LineJson.h"
#include "cli/LineView.h"
#include "platform/TextEscape.h"

namespace nvds::cli {

namespace {

constexpr uint64_t LOWER_MASK = 0xFFFFFF;  // the step moves the lower three pairs only
constexpr uint64_t FEW_ADDRESSES = 100;
constexpr int SUMMARY_NAME_WIDTH = 32;

std::string Percent(std::optional<double> yield) {
    if (!yield) {
        return "-";
    }
    char text[16];
    std::snprintf(text, sizeof(text), "%.1f%%", *yield * 100);
    return text;
}

std::string CountsLine(const std::string& name, size_t nameWidth, int pass, int fail, int skipped) {
    char text[96];
    std::snprintf(text, sizeof(text), "  pass %d  fail %d  skipped %d  yield %s\n", pass, fail,
                  skipped, Percent(Yield(pass, fail)).c_str());
    const size_t used = static_cast<size_t>(DisplayWidth(name));
    return name + std::string(nameWidth - std::min(nameWidth, used), ' ') + text;
}

}  // namespace

uint64_t RangeSize(const line::AddressPool& pool) {
    const uint64_t upper = pool.first & ~LOWER_MASK;
    if (pool.step >= 0) {
        uint64_t end = pool.last ? std::min(*pool.last, upper | LOWER_MASK) : upper | LOWER_MASK;
        return end < pool.first ? 0 : end - pool.first + 1;
    }
    uint64_t end = pool.last ? std::max(*pool.last, upper) : upper;
    return end > pool.first ? 0 : pool.first - end + 1;
}

bool FewLeft(uint64_t left, uint64_t rangeSize) {
    return left < FEW_ADDRESSES || left < rangeSize / 100;
}

std::optional<double> Yield(int pass, int fail) {
    if (pass + fail <= 0) {
        return std::nullopt;
    }
    return static_cast<double>(pass) / (pass + fail);
}

std::string BannerText(const LineBanner& banner) {
    std::string text = "Golden image: " + EscapeControl(banner.goldenName) + " (SHA-256 " +
                       banner.goldenSha256 + ")\n";
    if (banner.next) {
        text += "First address: " + line::AddressText(*banner.next) + ", " +
                std::to_string(banner.left) + " left in the range\n";
        if (FewLeft(banner.left, banner.rangeSize)) {
            text += "Warning: only " + std::to_string(banner.left) + " of " +
                    std::to_string(banner.rangeSize) + " addresses are left in the range\n";
        }
    } else if (!banner.nextError.empty()) {
        text += "No address to give: " + EscapeControl(banner.nextError) + "\n";
    }
    for (const line::HistoryRow& row : banner.abandoned) {
        const line::Station& station = row.context.station;
        text += "Rework: the chip on station " + EscapeControl(station.port) +
                (station.host.empty() ? "" : " of " + EscapeControl(station.host)) + " (burn of " +
                line::AddressText(row.address) + " started " + IsoTime(row.startedAtMs) +
                ") may hold a partial image\n";
    }
    return text;
}

std::string SummaryText(const LineSummary& summary) {
    std::vector<std::string> names;
    size_t width = 3;  // "all"
    for (const line::StationStatus& status : summary.stations) {
        names.push_back(FitText(EscapeControl(status.name.empty() ? status.port : status.name),
                                SUMMARY_NAME_WIDTH, true));
        width = std::max(width, static_cast<size_t>(DisplayWidth(names.back())));
    }
    std::string text = "Summary:\n";
    int pass = 0;
    int fail = 0;
    int skipped = 0;
    for (size_t i = 0; i < summary.stations.size(); ++i) {
        const line::StationStatus& status = summary.stations[i];
        text += "  " + CountsLine(names[i], width, status.done, status.failures, status.skipped);
        pass += status.done;
        fail += status.failures;
        skipped += status.skipped;
    }
    text += "  " + CountsLine("all", width, pass, fail, skipped);
    text += "Addresses used: " + std::to_string(summary.addressesUsed) + "\n";
    if (summary.next) {
        text += "Next address: " + line::AddressText(*summary.next) + "\n";
    } else if (!summary.nextError.empty()) {
        text += "Next address: none (" + EscapeControl(summary.nextError) + ")\n";
    }
    return text;
}

}  // namespace nvds::cli
