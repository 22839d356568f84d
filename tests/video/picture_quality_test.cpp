#include "video/picture_quality.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace tarvello {
namespace {

struct Plane {
    int width, height, stride;
    std::vector<uint8_t> bytes;
    Plane(int w, int h, int s, uint8_t fill = 0)
        : width(w), height(h), stride(s), bytes(size_t(s) * size_t(h), fill) {}
    uint8_t& at(int x, int y) { return bytes[size_t(y) * size_t(stride) + size_t(x)]; }
};

double ssim(const Plane& a, const Plane& b) {
    return planeSsim(a.bytes.data(), a.stride, b.bytes.data(), b.stride, a.width, a.height);
}

// Fine stripes: text-like detail, edges everywhere.
Plane stripes(int w, int h, int stride) {
    Plane p(w, h, stride);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) p.at(x, y) = ((x / 2 + y / 3) % 2) ? 230 : 20;
    return p;
}

TEST(PlaneSsim, EqualPlanesScoreOneWhateverTheirStrides) {
    const Plane a = stripes(64, 40, 64), b = stripes(64, 40, 96);
    EXPECT_DOUBLE_EQ(ssim(a, b), 1.0);
    EXPECT_TRUE(std::isinf(ssimDecibels(1.0)));
}

TEST(PlaneSsim, FlatPlanesScoreTheirBrightnessTermOnly) {
    // Without variance only (2·μa·μb + C1) / (μa² + μb² + C1) is left.
    const Plane a(32, 32, 32, 100), b(32, 32, 32, 110);
    const double c1 = 6.5025;
    EXPECT_NEAR(ssim(a, b), (2 * 100 * 110 + c1) / (100 * 100 + 110 * 110 + c1), 1e-12);
    EXPECT_NEAR(ssimDecibels(0.99), 20.0, 1e-9);
}

TEST(PlaneSsim, LostEdgesCostMoreThanAShiftInBrightness) {
    const Plane a = stripes(64, 64, 64);
    Plane brighter = a, blurred = a, inverted = a;
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 64; ++x) {
            brighter.at(x, y) = uint8_t(a.bytes[size_t(y * 64 + x)] + 10);
            blurred.at(x, y) = 125;  // the stripes averaged away
            inverted.at(x, y) = uint8_t(250 - a.bytes[size_t(y * 64 + x)]);
        }
    }
    const double shift = ssim(a, brighter), blur = ssim(a, blurred), inverse = ssim(a, inverted);
    EXPECT_GT(shift, 0.99);
    EXPECT_LT(shift, 1.0);
    EXPECT_LT(blur, 0.1);
    EXPECT_LT(inverse, 0.0);  // anti-correlated
    EXPECT_NEAR(ssim(brighter, a), shift, 1e-12);
}

TEST(PlaneSsim, OnlyWholeWindowsCountAndTinyPlanesScoreZero) {
    const Plane a = stripes(7, 64, 7);
    EXPECT_EQ(ssim(a, a), 0.0);
    // A change in the last columns outside any window (width 13: windows at 0 and 4) is not seen.
    Plane b = stripes(13, 16, 13), c = b;
    for (int y = 0; y < 16; ++y) c.at(12, y) = uint8_t(255 - c.at(12, y));
    EXPECT_DOUBLE_EQ(ssim(b, c), 1.0);
    c.at(11, 0) = uint8_t(255 - c.at(11, 0));
    EXPECT_LT(ssim(b, c), 1.0);
}

}  // namespace
}  // namespace tarvello
