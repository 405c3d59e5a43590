// libFuzzer's entry point for one harness; NVDS_FUZZ_ENTRY names its body (FuzzTargets.h).
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return NVDS_FUZZ_ENTRY(data, size);
}
