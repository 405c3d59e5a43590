// Feeds arbitrary received bytes to the frame parser, then asks for frames of the sizes the
// host uses. The parser must never write past its frame buffer whatever the length fields say.
#include "FuzzTargets.h"

#include <cstddef>
#include <cstdint>

#include "link/LinkConstants.h"
#include "link/ProgstarDlg.h"

int nvds::fuzz::LinkParserInput(const uint8_t* data, size_t size) {
    nvds::CProgstarDlg engine;
    // The first byte splits the input into two feeds, as the reader hands over chunks.
    size_t split = size > 0 ? data[0] % (size + 1) : 0;
    engine.OnRxBytes(data, split);
    engine.OnRxBytes(data + split, size - split);
    uint8_t page[nvds::NVDS_PAGE_SIZE];
    engine.WaitDataFrame(page, nvds::NVDS_PAGE_SIZE, 0);
    engine.WaitDataFrame(page, 4, 0);
    engine.WaitStatus(nvds::STATUS_DONE, 0);
    return 0;
}
