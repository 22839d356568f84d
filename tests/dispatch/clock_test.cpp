#include "dispatch/clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tarvello {
namespace {

TEST(ManualClock, MovesOnlyWhenTold) {
    ManualClock c;
    EXPECT_EQ(c.uptime(), 1000.0);
    c.advance(0.25);
    EXPECT_EQ(c.uptime(), 1000.25);
    c.set(5.0);
    EXPECT_EQ(c.uptime(), 5.0);
    EXPECT_EQ(ManualClock(42.5).uptime(), 42.5);
}

struct Ms32Case {
    double uptime;
    uint32_t expected;
};

class UptimeMs32 : public ::testing::TestWithParam<Ms32Case> {};

TEST_P(UptimeMs32, TruncatesMillisecondsToTheLow32Bits) {
    ManualClock c(GetParam().uptime);
    EXPECT_EQ(uptimeMs32(c), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Clock, UptimeMs32,
                         ::testing::Values(Ms32Case{0.0, 0}, Ms32Case{1.5, 1500}, Ms32Case{0.0015, 1},
                                           Ms32Case{4294967.295, 4294967295u}, Ms32Case{4294967.296, 0},
                                           Ms32Case{4294967.297, 1}, Ms32Case{8589934.593, 1},
                                           Ms32Case{-1.0, 0}, Ms32Case{std::ldexp(1.0, 60), 0},
                                           Ms32Case{std::numeric_limits<double>::quiet_NaN(), 0},
                                           Ms32Case{std::numeric_limits<double>::infinity(), 0}));

TEST(DefaultClock, CanBeReplacedAndRestored) {
    auto manual = std::make_shared<ManualClock>(77.0);
    setDefaultClock(manual);
    EXPECT_EQ(defaultClock(), manual);
    EXPECT_EQ(defaultClock()->uptime(), 77.0);
    setDefaultClock(nullptr);
    EXPECT_NE(defaultClock(), manual);
    EXPECT_NE(dynamic_cast<SystemClock*>(defaultClock().get()), nullptr);
}

TEST(SystemClock, IsMonotonic) {
    SystemClock c;
    double last = c.uptime();
    EXPECT_GT(last, 0.0);
    for (int i = 0; i < 1000; ++i) {
        const double now = c.uptime();
        ASSERT_GE(now, last);
        last = now;
    }
}

}  // namespace
}  // namespace tarvello
