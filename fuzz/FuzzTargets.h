#pragma once

// The bodies of the fuzz harnesses as plain functions: FuzzMain.cpp hands each one to libFuzzer,
// and the fuzz regression test replays the kept inputs through the same functions with any
// compiler. Each returns 0 and aborts (or trips a sanitizer) on a fault.

#include <cstddef>
#include <cstdint>

namespace nvds::fuzz {

/// The tag database reader on arbitrary file bytes, and the writer's round trip of what loads.
int TagDbInput(const uint8_t* data, size_t size);

/// CheckImage on arbitrary images, or put/compact sequences on the storage layer (first byte).
int ImageInput(const uint8_t* data, size_t size);

/// The frame parser on arbitrary received bytes in two chunks, then the host's waits.
int LinkParserInput(const uint8_t* data, size_t size);

/// The bridge's descriptor reading on whatever a driver returns.
int UsbDescriptorInput(const uint8_t* data, size_t size);

}  // namespace nvds::fuzz
