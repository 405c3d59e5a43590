#include "catalogue/BdAddr.h"

#include <gtest/gtest.h>

namespace nvds {
namespace {

// Two chips burned within the same second must still get different addresses: the draw
// for the fourth pair is seeded with the milliseconds, the one for the fifth and sixth
// pairs with the seconds.
TEST(BdAddr, RandomLowerHalfSeedsEachDrawWithItsOwnClock) {
    for (uint32_t second : {0u, 1700000000u, 0xFFFFFFFFu}) {
        for (uint32_t ms : {0u, 123456u, 0xFFFFFFFEu}) {
            SCOPED_TRACE(std::to_string(second) + " s, " + std::to_string(ms) + " ms");
            const uint32_t drawn = RandomLowerHalf(second, ms);
            const uint32_t nextMs = RandomLowerHalf(second, ms + 1);
            const uint32_t nextSecond = RandomLowerHalf(second + 1, ms);
            EXPECT_NE(drawn >> 16, nextMs >> 16);
            EXPECT_EQ(drawn & 0xFFFF, nextMs & 0xFFFF);
            EXPECT_EQ(drawn >> 16, nextSecond >> 16);
            EXPECT_NE(drawn & 0xFFFF, nextSecond & 0xFFFF);
            for (uint32_t lower : {drawn, nextMs, nextSecond}) {
                EXPECT_LE(lower >> 16, 0x7FFFu);        // a 15-bit draw
                EXPECT_LE((lower >> 8) & 0xFF, 0x7Fu);  // the fifth pair
            }
        }
    }
}

}  // namespace
}  // namespace nvds
