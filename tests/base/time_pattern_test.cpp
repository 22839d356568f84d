#include "base/time_pattern.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tarvello::test {
namespace {

// A luma plane of `width` × 64 with the pattern for `ms` painted as the probe paints it.
std::vector<uint8_t> paint(uint32_t ms, int width) {
    std::vector<uint8_t> luma(size_t(width) * 64, 16);
    for (const auto& c : timePatternCells(ms, width)) {
        for (int y = 0; y < timePatternHeight(64); ++y) {
            for (int x = c.x; x < c.x + c.width; ++x)
                luma[size_t(y) * size_t(width) + size_t(x)] = c.white ? 235 : 16;
        }
    }
    return luma;
}

// Linear resampling across the width, as a scaler would.
std::vector<uint8_t> resample(const std::vector<uint8_t>& src, int from, int to) {
    std::vector<uint8_t> out(size_t(to) * 64);
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < to; ++x) {
            const double s = (x + 0.5) * from / to - 0.5;
            const int a = std::max(0, int(s)), b = std::min(from - 1, a + 1);
            const double f = std::clamp(s - a, 0.0, 1.0);
            out[size_t(y) * size_t(to) + size_t(x)] =
                uint8_t(src[size_t(y) * size_t(from) + size_t(a)] * (1 - f) +
                        src[size_t(y) * size_t(from) + size_t(b)] * f + 0.5);
        }
    }
    return out;
}

TEST(TimePattern, SurvivesScalingForEveryBit) {
    for (uint32_t ms : {0u, 1u, 0x80000000u, 0xFFFFFFFFu, 0x12345678u, 123456789u}) {
        const auto painted = paint(ms, 940);
        EXPECT_EQ(readTimePattern(painted.data(), 940, 940, 64), ms);
        const auto up = resample(painted, 940, 1178);
        EXPECT_EQ(readTimePattern(up.data(), 1178, 1178, 64), ms) << std::hex << ms;
        const auto down = resample(painted, 940, 720);
        EXPECT_EQ(readTimePattern(down.data(), 720, 720, 64), ms) << std::hex << ms;
    }
}

TEST(TimePattern, NoGuardsNoReading) {
    std::vector<uint8_t> flat(940 * 64, 128);
    EXPECT_FALSE(readTimePattern(flat.data(), 940, 940, 64));
    EXPECT_FALSE(readTimePattern(nullptr, 940, 940, 64));
    EXPECT_FALSE(readTimePattern(flat.data(), 940, 40, 64));
}

}  // namespace
}  // namespace tarvello::test
