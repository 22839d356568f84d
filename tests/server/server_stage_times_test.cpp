#include <gtest/gtest.h>

#include "support/server_fixture.h"

namespace tarvello::test {
namespace {

// Waits for `count` more video frames (first fragments) on the phone's flow.
bool receiveFrames(TestPhone& p, int count) {
    uint32_t last = 0;
    for (int i = 0; i < count; ++i) {
        auto h =
            p.waitVideo([&](const VideoPacketHeader& v) { return v.fragIndex == 0 && v.frameId > last; });
        if (!h) return false;
        last = h->frameId;
    }
    return true;
}

TEST_F(ServerTest, StageTimesAreSummarisedWhenAskedFor) {
    options.stageReportInterval = 0.2;
    startServer();
    auto p = acceptedPhone();
    registerVideo(*p, lastAck.sessionId);
    ASSERT_TRUE(logs.waitFor("Stage times over "));
    for (const auto& line : logs.lines()) {
        if (line.find("Stage times over ") == std::string::npos) continue;
        // The stamps travelled with each frame from the encoder to the send; the
        // in-memory source reads no screen, so it has no capture or convert to time.
        EXPECT_NE(line.find(" encode "), std::string::npos) << line;
        EXPECT_NE(line.find(" send "), std::string::npos) << line;
        EXPECT_EQ(line.find(" capture "), std::string::npos) << line;
    }
}

TEST_F(ServerTest, StageTimesStayQuietByDefault) {
    startServer();
    auto p = acceptedPhone();
    registerVideo(*p, lastAck.sessionId);
    ASSERT_TRUE(receiveFrames(*p, 30));  // half a second of frames, more than the interval above
    EXPECT_FALSE(logs.contains("Stage times"));
}

}  // namespace
}  // namespace tarvello::test
