#pragma once

#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace nvds::cli {

/// Machine-readable progress of dump, burn and line: one JSON object per line on stdout, each
/// with "event" and "port" first, written whole and flushed at once so a reader sees every
/// event as it happens. Disabled, every call does nothing (human text stays on stderr).
/// Events may come from several station threads at once.
class JsonEvents {
public:
    explicit JsonEvents(bool enabled) : m_bEnabled(enabled) {}

    /// Writes {"event": event, "port": port, ...fields}.
    void Emit(const std::string& event, const std::string& port,
              const nlohmann::ordered_json& fields = nlohmann::ordered_json::object());

    /// Writes `object` as one line.
    void Write(const nlohmann::ordered_json& object);

private:
    bool m_bEnabled;
    std::mutex m_mutex;
};

}  // namespace nvds::cli
