#include "cli/JsonEvents.h"

#include <cstdio>

namespace nvds::cli {

void JsonEvents::Emit(const std::string& event, const std::string& port,
                      const nlohmann::ordered_json& fields) {
    if (!m_bEnabled) {
        return;
    }
    nlohmann::ordered_json line = {{"event", event}, {"port", port}};
    for (const auto& [key, value] : fields.items()) {
        line[key] = value;
    }
    Write(line);
}

void JsonEvents::Write(const nlohmann::ordered_json& object) {
    if (!m_bEnabled) {
        return;
    }
    // Texts from the chip or the system may hold invalid UTF-8; they are replaced, not thrown.
    const std::string text =
        object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace nvds::cli
