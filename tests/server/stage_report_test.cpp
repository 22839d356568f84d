#include "server/stage_report.h"

#include <gtest/gtest.h>

namespace tarvello::test {
namespace {

// A frame that starts at `start` seconds and spends the given milliseconds per stage,
// with no wait between stages.
struct Path {
    FrameTimes times;
    double sendStart = 0, sent = 0;
};
Path frameAt(double start, double captureMs, double convertMs, double encodeMs, double sendMs) {
    Path p;
    p.times.grabStart = start;
    p.times.grabbed = start + captureMs / 1000;
    p.times.converted = p.times.grabbed + convertMs / 1000;
    p.times.encodeStart = p.times.converted;
    p.times.encoded = p.times.encodeStart + encodeMs / 1000;
    p.sendStart = p.times.encoded;
    p.sent = p.sendStart + sendMs / 1000;
    return p;
}

TEST(StageReport, SummarisesEachStageOncePerInterval) {
    StageReport report(0.99);
    std::optional<std::string> line;
    int frames = 0;
    // 60 frames a second; every tenth one slow to encode.
    for (double t = 100; !line && frames < 1000; t += 1.0 / 60, ++frames) {
        const auto p = frameAt(t, 1, 2, frames % 10 == 4 ? 30 : 8, 0.5);
        line = report.add(p.times, p.sendStart, p.sent);
    }
    ASSERT_TRUE(line);
    EXPECT_EQ(frames, 61);  // the first frame sent 0.99 s after the first one brings the line
    EXPECT_EQ(
        *line,
        "Stage times over 61 frames, ms p50/p95: capture 1.00/1.00, convert 2.00/2.00, encode 8.00/30.00, "
        "send 0.50/0.50, total 11.50/33.50");
}

TEST(StageReport, StartsAfreshAfterASummary) {
    StageReport report(0.5);
    std::optional<std::string> line;
    for (double t = 0; !line; t += 0.1) {
        const auto p = frameAt(10 + t, 5, 5, 5, 5);
        line = report.add(p.times, p.sendStart, p.sent);
    }
    const auto p = frameAt(20, 1, 1, 1, 1);
    EXPECT_FALSE(report.add(p.times, p.sendStart, p.sent));
    const auto later = frameAt(20.6, 1, 1, 1, 1);
    line = report.add(later.times, later.sendStart, later.sent);
    ASSERT_TRUE(line);
    EXPECT_NE(line->find("over 2 frames"), std::string::npos) << *line;
    EXPECT_NE(line->find("capture 1.00/1.00"), std::string::npos) << *line;
}

TEST(StageReport, LeavesOutStagesWithoutStamps) {
    // A repeated frame, or a source that does not time its reads: only encode and send.
    StageReport report(0.1);
    FrameTimes t;
    t.encodeStart = 50.0;
    t.encoded = 50.004;
    EXPECT_FALSE(report.add(t, 50.005, 50.006));
    t.encodeStart = 50.2;
    t.encoded = 50.204;
    const auto line = report.add(t, 50.205, 50.206);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "Stage times over 2 frames, ms p50/p95: encode 4.00/4.00, send 1.00/1.00");
}

}  // namespace
}  // namespace tarvello::test
