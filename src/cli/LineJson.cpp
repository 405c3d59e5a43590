#include "cli/LineJson.h"

#include <cstdio>
#include <ctime>

#include "line/ProductionRecord.h"
#include "link/LinkConstants.h"

namespace nvds::cli {

std::string IsoTime(int64_t ms) {
    // Floor division, so that a time before 1970 still gets milliseconds in 0..999.
    int64_t seconds = ms / 1000;
    int64_t millis = ms % 1000;
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    const time_t t = static_cast<time_t>(seconds);
    tm local{};
    localtime_r(&t, &local);
    const int offset = static_cast<int>(local.tm_gmtoff / 60);  // minutes, within a day
    const int absOffset = offset < 0 ? -offset : offset;
    char text[128];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, static_cast<int>(millis), offset < 0 ? '-' : '+',
                  absOffset / 60, absOffset % 60);
    return text;
}

const char* LineEventName(line::StationEvent::Kind kind) {
    using Event = line::StationEvent;
    switch (kind) {
        case Event::Connecting:
            return "connecting";
        case Event::Connected:
            return "connected";
        case Event::Page:
            return "page";
        case Event::Verified:
            return "verified";
        case Event::Done:
            return "done";
        case Event::Error:
            return "error";
        case Event::Skipped:
            return "skipped";
        case Event::ChipGone:
            return "removed";
        case Event::StationLost:
            return "station-lost";
        case Event::StationBack:
            return "station-back";
        case Event::RecordUnavailable:
            return "record-unavailable";
        case Event::RecordBack:
            return "record-back";
        case Event::Stopped:
            return "stopped";
    }
    return "unknown";
}

namespace {

nlohmann::ordered_json Head(const char* event, int64_t timeMs, const std::string& station,
                            const std::string& port) {
    return {{"v", LINE_EVENT_VERSION},
            {"event", event},
            {"time", IsoTime(timeMs)},
            {"station", station},
            {"port", port}};
}

nlohmann::json YieldValue(int pass, int fail) {
    std::optional<double> yield = Yield(pass, fail);
    return yield ? nlohmann::json(*yield) : nlohmann::json(nullptr);
}

}  // namespace

nlohmann::ordered_json LineEventJson(const line::StationEvent& event, const std::string& station) {
    using Event = line::StationEvent;
    nlohmann::ordered_json json =
        Head(LineEventName(event.kind), event.timeMs, station, event.port);
    switch (event.kind) {
        case Event::Page:
            json["page"] = event.page;
            json["of"] = NVDS_PAGE_COUNT;
            json["phase"] = event.phase;
            break;
        case Event::Verified:
            if (event.hasAddress) {
                json["address"] = line::AddressText(event.address);
            }
            break;
        case Event::Done:
            json["address"] = line::AddressText(event.address);
            json["seconds"] = event.seconds;
            break;
        case Event::Error:
            json["code"] = event.code;
            json["message"] = event.message;
            json["cause"] = event.cause;
            if (event.hasAddress) {
                json["address"] = line::AddressText(event.address);
            }
            break;
        case Event::Skipped:
            json["address"] = line::AddressText(event.address);
            json["message"] = event.message;
            break;
        case Event::StationLost:
        case Event::RecordUnavailable:
        case Event::Stopped:
            json["message"] = event.message;
            break;
        case Event::Connecting:
        case Event::Connected:
        case Event::ChipGone:
        case Event::StationBack:
        case Event::RecordBack:
            break;
    }
    return json;
}

nlohmann::ordered_json LineSummaryJson(const LineSummary& summary, int64_t timeMs) {
    nlohmann::ordered_json json = Head("summary", timeMs, "", "");
    nlohmann::ordered_json stations = nlohmann::ordered_json::array();
    int pass = 0;
    int fail = 0;
    int skipped = 0;
    for (const line::StationStatus& status : summary.stations) {
        stations.push_back({{"station", status.name.empty() ? status.port : status.name},
                            {"port", status.port},
                            {"pass", status.done},
                            {"fail", status.failures},
                            {"skipped", status.skipped},
                            {"yield", YieldValue(status.done, status.failures)}});
        pass += status.done;
        fail += status.failures;
        skipped += status.skipped;
    }
    json["stations"] = stations;
    json["pass"] = pass;
    json["fail"] = fail;
    json["skipped"] = skipped;
    json["yield"] = YieldValue(pass, fail);
    json["addresses_used"] = summary.addressesUsed;
    json["next_address"] =
        summary.next ? nlohmann::json(line::AddressText(*summary.next)) : nlohmann::json(nullptr);
    return json;
}

}  // namespace nvds::cli
