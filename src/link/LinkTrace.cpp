#include "link/LinkTrace.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace nvds {

namespace {

std::mutex g_traceMutex;
TraceSink g_sink;
std::atomic<bool> g_traceOn{false};

}  // namespace

void SetTraceSink(TraceSink sink) {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    g_sink = std::move(sink);
    g_traceOn = static_cast<bool>(g_sink);
}

bool TraceOn() {
    return g_traceOn;
}

void TraceBytes(const char* tag, const uint8_t* data, size_t size) {
    if (!TraceOn()) {
        return;
    }
    std::string line = tag;
    char hex[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(hex, sizeof hex, " %02X", data[i]);
        line += hex;
    }
    TraceNote(line);
}

void TraceNote(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    if (g_sink) {
        g_sink(text);
    }
}

}  // namespace nvds
