#include "video/latency_stats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "base/time_pattern.h"

namespace tarvello::test {
namespace {

// Within the histogram's promise: 1 % of the value.
void expectNear(double actual, double expected) {
    EXPECT_NEAR(actual, expected, expected * 0.01) << "expected about " << expected;
}

TEST(LatencyHistogram, PercentilesOfAKnownSpread) {
    LatencyHistogram h;
    for (int i = 1; i <= 1000; ++i) h.add(i * 0.1);  // 0.1 ms … 100 ms
    EXPECT_EQ(h.count(), 1000u);
    expectNear(h.percentile(50), 50.0);
    expectNear(h.percentile(95), 95.0);
    expectNear(h.percentile(99), 99.0);
    EXPECT_DOUBLE_EQ(h.min(), 0.1);
    EXPECT_DOUBLE_EQ(h.max(), 100.0);
    expectNear(h.mean(), 50.05);
    // The ends are the exact extremes, not a bin's middle.
    EXPECT_DOUBLE_EQ(h.percentile(100), 100.0);
    EXPECT_DOUBLE_EQ(h.percentile(0), 0.1);
}

TEST(LatencyHistogram, SkewedSamplesKeepTheirTail) {
    LatencyHistogram h;
    for (int i = 0; i < 990; ++i) h.add(12.0);
    for (int i = 0; i < 10; ++i) h.add(80.0);
    expectNear(h.percentile(50), 12.0);
    expectNear(h.percentile(99), 12.0);
    expectNear(h.percentile(99.5), 80.0);
}

TEST(LatencyHistogram, EmptyAndOddValues) {
    LatencyHistogram h;
    EXPECT_EQ(h.percentile(50), 0.0);
    EXPECT_EQ(h.max(), 0.0);
    h.add(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(h.count(), 0u);
    h.add(0);
    h.add(-3);
    h.add(1e12);  // beyond the last bin: counted there, the maximum stays exact
    EXPECT_EQ(h.count(), 3u);
    EXPECT_EQ(h.min(), -3.0);
    EXPECT_EQ(h.max(), 1e12);
    EXPECT_EQ(h.percentile(100), 1e12);
    EXPECT_LE(h.percentile(50), 0.001);
    h.clear();
    EXPECT_EQ(h.count(), 0u);
    EXPECT_EQ(h.percentile(99), 0.0);
}

// A luma plane showing the pattern for `ms`, as a decoded picture would.
struct Picture {
    static constexpr int width = 400, height = 320;
    std::vector<uint8_t> luma = std::vector<uint8_t>(size_t(width) * height, 16);
    explicit Picture(std::optional<uint32_t> ms) {
        if (!ms) return;
        for (const auto& c : timePatternCells(*ms, width)) {
            for (int y = 0; y < timePatternHeight(height); ++y)
                for (int x = c.x; x < c.x + c.width; ++x)
                    luma[size_t(y) * width + size_t(x)] = c.white ? 235 : 16;
        }
    }
};

using Reading = GlassToGlassMeter::Reading;

TEST(GlassToGlassMeter, MeasuresNewTimesAndSortsOutTheRest) {
    GlassToGlassMeter meter;
    auto add = [&](const Picture& p, double nowMs) {
        return meter.add(p.luma.data(), Picture::width, Picture::width, Picture::height, nowMs);
    };
    const Picture first(5000), second(5017);
    EXPECT_EQ(add(first, 5012.5), Reading::measured);
    EXPECT_EQ(add(first, 5020.0), Reading::repeated);  // nothing new on screen
    EXPECT_EQ(add(second, 5031.25), Reading::measured);
    EXPECT_EQ(add(Picture(std::nullopt), 5040.0), Reading::unreadable);
    EXPECT_EQ(add(Picture(6000), 5050.0), Reading::implausible);  // drawn "after" it was seen
    EXPECT_EQ(add(Picture(1000), 5000.0 + 60'001), Reading::implausible);

    ASSERT_EQ(meter.latencies().count(), 2u);
    EXPECT_DOUBLE_EQ(meter.latencies().min(), 12.5);
    EXPECT_DOUBLE_EQ(meter.latencies().max(), 14.25);
    EXPECT_EQ(meter.repeated(), 1u);
    EXPECT_EQ(meter.unreadable(), 1u);
    EXPECT_EQ(meter.implausible(), 2u);
}

TEST(GlassToGlassMeter, LatencySurvivesTheMillisecondWrap) {
    GlassToGlassMeter meter;
    const Picture p(0xFFFFFFF0u);  // 16 ms before the 32-bit count wraps
    EXPECT_EQ(meter.add(p.luma.data(), Picture::width, Picture::width, Picture::height, 4294967296.0 + 5.5),
              Reading::measured);
    EXPECT_DOUBLE_EQ(meter.latencies().max(), 21.5);
}

}  // namespace
}  // namespace tarvello::test
