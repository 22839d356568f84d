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

// A screen of `width` × `height` showing the pattern for `ms` above a mid-grey page,
// scaled to fit `pictureW` × `pictureH` between black bars, as a mirrored monitor reaches the phone.
std::vector<uint8_t> fitted(uint32_t ms, int width, int height, int pictureW, int pictureH) {
    std::vector<uint8_t> screen(size_t(width) * size_t(height), 120);
    for (const auto& c : timePatternCells(ms, width)) {
        for (int y = 0; y < timePatternHeight(height); ++y)
            std::fill_n(&screen[size_t(y) * size_t(width) + size_t(c.x)], c.width, c.white ? 235 : 16);
    }
    const double scale = std::min(double(pictureW) / width, double(pictureH) / height);
    const int w = int(width * scale) & ~1, h = int(height * scale) & ~1;
    const int left = (pictureW - w) / 2 & ~1, top = (pictureH - h) / 2 & ~1;
    std::vector<uint8_t> picture(size_t(pictureW) * size_t(pictureH), 16);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            // Bilinear, as the converter scales.
            const double sx = std::max(0.0, (x + 0.5) / scale - 0.5),
                         sy = std::max(0.0, (y + 0.5) / scale - 0.5);
            const int x0 = std::min(width - 1, int(sx)), y0 = std::min(height - 1, int(sy));
            const int x1 = std::min(width - 1, x0 + 1), y1 = std::min(height - 1, y0 + 1);
            const double fx = sx - x0, fy = sy - y0;
            auto at = [&](int px, int py) { return double(screen[size_t(py) * size_t(width) + size_t(px)]); };
            const double v = (at(x0, y0) * (1 - fx) + at(x1, y0) * fx) * (1 - fy) +
                             (at(x0, y1) * (1 - fx) + at(x1, y1) * fx) * fy;
            picture[size_t(top + y) * size_t(pictureW) + size_t(left + x)] = uint8_t(v + 0.5);
        }
    }
    return picture;
}

TEST(TimePattern, ReadsAScreenFittedBetweenBars) {
    for (uint32_t ms : {1u, 0x80000001u, 0xFFFFFFFFu, 0x12345678u}) {
        // A landscape monitor on a tall phone: bars above and below.
        const auto letterboxed = fitted(ms, 1280, 720, 1178, 2556);
        EXPECT_EQ(readTimePattern(letterboxed.data(), 1178, 1178, 2556), ms) << std::hex << ms;
        const auto fullHd = fitted(ms, 1920, 1080, 1178, 2556);
        EXPECT_EQ(readTimePattern(fullHd.data(), 1178, 1178, 2556), ms) << std::hex << ms;
        // A tall screen on a landscape picture: bars left and right.
        const auto pillarboxed = fitted(ms, 1178, 2556, 1280, 720);
        EXPECT_EQ(readTimePattern(pillarboxed.data(), 1280, 1280, 720), ms) << std::hex << ms;
    }
}

TEST(TimePattern, BarsAroundNoPatternReadNothing) {
    // A page without a band between the bars, and bars alone.
    std::vector<uint8_t> picture(size_t(1178) * 2556, 16);
    for (int y = 947; y < 2556 - 947; ++y) std::fill_n(&picture[size_t(y) * 1178], 1178, 200);
    EXPECT_FALSE(readTimePattern(picture.data(), 1178, 1178, 2556));
    std::vector<uint8_t> black(size_t(1178) * 2556, 16);
    EXPECT_FALSE(readTimePattern(black.data(), 1178, 1178, 2556));
}

TEST(TimePattern, NoGuardsNoReading) {
    std::vector<uint8_t> flat(940 * 64, 128);
    EXPECT_FALSE(readTimePattern(flat.data(), 940, 940, 64));
    EXPECT_FALSE(readTimePattern(nullptr, 940, 940, 64));
    EXPECT_FALSE(readTimePattern(flat.data(), 940, 40, 64));
}

}  // namespace
}  // namespace tarvello::test
