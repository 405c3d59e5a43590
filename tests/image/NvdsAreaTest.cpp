#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/NvdsArea.h"

namespace nvds {
namespace {

// An image of "NVDS" followed by the given raw entry bytes and 0xFF filler.
NvdsImage ImageWith(const std::vector<uint8_t>& entries) {
    NvdsImage image = ErasedImage();
    std::memcpy(image.data(), "NVDS", 4);
    std::copy(entries.begin(), entries.end(), image.begin() + 4);
    return image;
}

TEST(NvdsArea, FindSkipsSupersededAndInvalidEntriesAndStopsInsideTheArea) {
    NvdsImage image = ImageWith({});
    NvdsArea area(image);
    uint32_t position = 0;
    EntryHeader header;
    EXPECT_EQ(area.FindTag(7, position, header), NVDS_NOT_FOUND);
    EXPECT_EQ(position, 4u);

    // Tag 7 superseded (0x02), tag 7 invalid (0x07), tag 7 current (0x04, locked).
    image = ImageWith({7, 0x02, 1, 0, 0xA1, 0xFF, 0xFF, 0xFF, 7, 0x07, 0,    0,
                       7, 0x04, 5, 0, 1,    2,    3,    4,    5, 0xFF, 0xFF, 0xFF});
    ASSERT_EQ(area.FindTag(7, position, header), NVDS_OK);
    EXPECT_EQ(position, 16u);
    EXPECT_EQ(header.length, 5u);
    EXPECT_EQ(area.FindTag(8, position, header), NVDS_NOT_FOUND);
    EXPECT_EQ(position, 28u);  // 8 + 4 + 12 bytes further

    // A wanted entry whose length leads past the area is corrupt, not found.
    image = ImageWith({9, 0x06, 0xFF, 0xFF});
    EXPECT_EQ(area.FindTag(9, position, header), NVDS_CORRUPT);
    EXPECT_EQ(position, 4u);
    image = ImageWith({9, 0x06, 0xF4, 0x0F});  // the successor lands on the last word
    EXPECT_EQ(area.FindTag(9, position, header), NVDS_OK);
    image = ImageWith({9, 0x06, 0xF5, 0x0F});
    EXPECT_EQ(area.FindTag(9, position, header), NVDS_CORRUPT);
}

TEST(NvdsArea, PutSupersedesAppendsAndRefusesLockedTags) {
    NvdsImage image = ImageWith({});
    NvdsArea area(image);
    const uint8_t first[3] = {0xA, 0xB, 0xC};
    ASSERT_EQ(area.PutTag(5, 3, first), NVDS_OK);
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + 4, image.begin() + 12),
              (std::vector<uint8_t>{5, 0x06, 3, 0, 0xA, 0xB, 0xC, 0xFF}));

    const NvdsImage before = image;
    EXPECT_EQ(area.PutTag(5, 3, first), NVDS_OK);
    EXPECT_EQ(image, before);  // an equal value writes nothing

    const uint8_t second[1] = {0x42};
    ASSERT_EQ(area.PutTag(5, 1, second), NVDS_OK);
    EXPECT_EQ(image[5], 0x02);  // old entry superseded, other bits kept
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + 12, image.begin() + 20),
              (std::vector<uint8_t>{5, 0x06, 1, 0, 0x42, 0xFF, 0xFF, 0xFF}));
    uint32_t position = 0;
    EntryHeader header;
    ASSERT_EQ(area.FindTag(5, position, header), NVDS_OK);
    EXPECT_EQ(position, 12u);

    image[13] = 0x04;  // lock the current entry
    const NvdsImage locked = image;
    EXPECT_EQ(area.PutTag(5, 3, first), NVDS_LOCKED);
    EXPECT_EQ(image, locked);
}

TEST(NvdsArea, PutCompactsWhenTheEndIsNearAndReportsNoSpace) {
    NvdsImage image = ImageWith({});
    NvdsArea area(image);
    std::vector<uint8_t> big(2040, 0x11);
    ASSERT_EQ(area.PutTag(1, 2040, big.data()), NVDS_OK);
    big.assign(2040, 0x22);
    ASSERT_EQ(area.PutTag(1, 2040, big.data()),
              NVDS_OK);  // supersedes; the second entry ends at 4092
    const uint8_t small[1] = {0};
    ASSERT_EQ(area.PutTag(3, 0, small), NVDS_OK);  // fits, but leaves no room for an end marker
    uint32_t position = 0;
    EntryHeader header;
    ASSERT_EQ(area.FindTag(1, position, header), NVDS_OK);
    EXPECT_EQ(position, 4u);
    EXPECT_EQ(image[8], 0x22);
    ASSERT_EQ(area.FindTag(3, position, header), NVDS_OK);
    EXPECT_EQ(position, 2048u);
    EXPECT_EQ(image[2048 + 4], 0xFF);  // end marker after the new entry
    EXPECT_EQ(std::memcmp(image.data(), "NVDS", 4), 0);

    const NvdsImage full = image;
    std::vector<uint8_t> huge(2100, 0x33);
    EXPECT_EQ(area.PutTag(4, 2100, huge.data()), NVDS_NO_SPACE);
    EXPECT_EQ(area.FindTag(4, position, header), NVDS_NOT_FOUND);
    EXPECT_EQ(image, full);  // compaction of an already packed area changes nothing
}

}  // namespace
}  // namespace nvds
