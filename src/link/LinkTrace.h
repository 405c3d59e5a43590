#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace nvds {

/// The link layer's one trace facility: frames out and in as hex, and notes about the port.
/// Silent until a sink is set; the sink may be called from any link thread.
using TraceSink = std::function<void(const std::string& line)>;

/// Sets (or with an empty function clears) the trace sink.
void SetTraceSink(TraceSink sink);

/// True when a sink is set, so callers can skip formatting.
bool TraceOn();

/// Traces bytes as "<tag> 71 46 04 ...".
void TraceBytes(const char* tag, const uint8_t* data, size_t size);

/// Traces a line of text.
void TraceNote(const std::string& text);

}  // namespace nvds
