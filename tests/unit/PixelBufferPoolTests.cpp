#include "QuelmHostKit/platform/PixelBuffer.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace quelm {
namespace {

TEST(PixelBufferPool, LimitsTheBuffersOutAndReusesTheReturnedOnes) {
    auto pool = PixelBufferPool::make(64, 32, 3, 3);
    std::vector<PixelBufferRef> out;
    for (int i = 0; i < 3; ++i) {
        out.push_back(pool->acquire());
        ASSERT_TRUE(out.back());
    }
    EXPECT_EQ(pool->acquire(), nullptr);
    EXPECT_EQ(pool->outstanding(), 3u);

    const std::uint8_t* returned = out.front()->luma();
    out.erase(out.begin());
    auto again = pool->acquire();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->luma(), returned) << "a spare buffer is reused, not a new one made";
    EXPECT_EQ(again->width(), 64);
    EXPECT_EQ(pool->acquire(), nullptr);
}

TEST(PixelBufferPool, WithoutALimitHandsOutAnyNumberAndBuffersMayOutliveIt) {
    auto pool = PixelBufferPool::make(8, 8);
    std::vector<PixelBufferRef> out;
    for (int i = 0; i < 10; ++i) {
        out.push_back(pool->acquire());
        ASSERT_TRUE(out.back());
    }
    EXPECT_EQ(pool->outstanding(), 10u);
    pool.reset();
    out.clear();  // freed, not recycled into a pool that is gone (ASan checks)
}

}  // namespace
}  // namespace quelm
