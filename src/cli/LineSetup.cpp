#include "cli/LineSetup.h"

#include <climits>
#include <cstdlib>

#include "link/ComPorts.h"
#include "platform/TextEscape.h"

namespace nvds::cli {

namespace {

// The device a path stands for: by-id and by-path links and relative paths lead to the same
// text as the node itself. A path that does not resolve (not plugged in yet) stands for itself.
std::string DevicePath(const std::string& path) {
    if (path == SPI_ENTRY) {
        return path;
    }
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return path;
    }
    std::string text = resolved;
    std::free(resolved);
    return text;
}

std::string Quoted(const std::string& text) {
    return "\"" + EscapeControl(text) + "\"";
}

}  // namespace

bool ParseStationPorts(const std::vector<std::string>& values,
                       std::vector<line::StationPort>& stations, std::string& error) {
    stations.clear();
    std::vector<std::string> devices;
    for (const std::string& value : values) {
        line::StationPort station;
        const size_t equals = value.find('=');
        if (equals == std::string::npos) {
            station = {value, value};
        } else {
            station = {value.substr(0, equals), value.substr(equals + 1)};
        }
        if (station.name.empty() || station.path.empty()) {
            error = "--port " + Quoted(value) + " needs " +
                    (station.path.empty() ? "a device path" : "a station name before the =");
            return false;
        }
        const std::string device = DevicePath(station.path);
        for (size_t i = 0; i < stations.size(); ++i) {
            if (stations[i].name == station.name) {
                error = "station " + Quoted(station.name) + " is given twice";
                return false;
            }
            if (devices[i] == device) {
                error = "--port " + Quoted(stations[i].path) + " and --port " +
                        Quoted(station.path) + " are the same device " + Quoted(device);
                return false;
            }
        }
        stations.push_back(station);
        devices.push_back(device);
    }
    return true;
}

bool ParseWholeNumber(const std::string& option, const std::string& text, long long min,
                      long long max, int& value, std::string& error) {
    size_t i = text.size() > 0 && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    bool digits = i < text.size();
    for (size_t k = i; k < text.size(); ++k) {
        digits = digits && text[k] >= '0' && text[k] <= '9';
    }
    if (!digits) {
        error = option + " must be a whole number, not " + Quoted(text);
        return false;
    }
    // Beyond the range however many digits follow: no overflow to read.
    const bool negative = text[0] == '-';
    const size_t first = text.find_first_not_of('0', i);
    const std::string magnitude = first == std::string::npos ? "0" : text.substr(first);
    const bool huge = magnitude.size() > 18;
    const long long number = huge ? 0 : std::strtoll(magnitude.c_str(), nullptr, 10);
    if ((negative && (huge || -number < min)) || (!negative && !huge && number < min)) {
        error = option + " must be at least " + std::to_string(min);
        return false;
    }
    if (!negative && (huge || number > max)) {
        error = option + " must be at most " + std::to_string(max);
        return false;
    }
    value = static_cast<int>(negative ? -number : number);
    return true;
}

}  // namespace nvds::cli
