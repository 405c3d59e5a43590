#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/LineReport.h"
#include "line/Station.h"

namespace nvds::cli {

/// The version of the line's event objects ("v" in every one). It changes only when a field
/// is removed or changes its meaning; new events and new fields keep it.
constexpr int LINE_EVENT_VERSION = 1;

/// `ms` since 1970 UTC as local time in ISO 8601 with milliseconds and the offset from UTC,
/// "2026-12-07T06:05:09.042+01:00".
std::string IsoTime(int64_t ms);

/// The event's name in the JSON stream: "connecting", "connected", "page", "verified", "done",
/// "error", "skipped", "removed", "station-lost", "station-back", "record-unavailable",
/// "record-back", "stopped".
const char* LineEventName(line::StationEvent::Kind kind);

/// One station event as a JSON object: "v", "event", "time", "station", "port", then the
/// fields of its kind. `station` is the station's name as the operator knows it.
nlohmann::ordered_json LineEventJson(const line::StationEvent& event, const std::string& station);

/// The "summary" object written once when the line ends; `timeMs` is when it ended.
nlohmann::ordered_json LineSummaryJson(const LineSummary& summary, int64_t timeMs);

}  // namespace nvds::cli
