#include "camera/camera_reassembler.h"

#include <gtest/gtest.h>

namespace tarvello {
namespace {

Bytes bytes(std::initializer_list<uint8_t> b) {
    return Bytes(b);
}

TEST(CameraReassembler, FragmentsInAnyOrderCompleteInIndexOrder) {
    CameraReassembler r;
    EXPECT_FALSE(r.push(5, 1, 2, bytes({3, 4})));
    auto frame = r.push(5, 0, 2, bytes({1, 2}));
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, bytes({1, 2, 3, 4}));
    EXPECT_EQ(r.lastFrame(), 5u);
    EXPECT_EQ(r.framesInFlight(), 0u);
}

TEST(CameraReassembler, RepeatedFragmentIsIgnored) {
    CameraReassembler r;
    EXPECT_FALSE(r.push(5, 0, 3, bytes({1})));
    EXPECT_FALSE(r.push(5, 0, 3, bytes({9})));  // would complete a 3-count frame if counted
    EXPECT_FALSE(r.push(5, 1, 3, bytes({2})));
    auto frame = r.push(5, 2, 3, bytes({3}));
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, bytes({1, 2, 3}));
}

TEST(CameraReassembler, MalformedFragmentsAreDropped) {
    CameraReassembler r;
    EXPECT_FALSE(r.push(1, 0, 0, bytes({1})));  // count 0
    EXPECT_FALSE(r.push(1, 2, 2, bytes({1})));  // index not below count
    EXPECT_EQ(r.framesInFlight(), 0u);
    // A later fragment claiming a larger count than the first one is dropped; the frame stays.
    EXPECT_FALSE(r.push(2, 0, 2, bytes({1})));
    EXPECT_FALSE(r.push(2, 3, 4, bytes({9})));
    auto frame = r.push(2, 1, 2, bytes({2}));
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, bytes({1, 2}));
}

TEST(CameraReassembler, FrameIdsWrap) {
    CameraReassembler r;
    ASSERT_TRUE(r.push(4294967295u, 0, 1, bytes({1})));
    EXPECT_FALSE(r.push(4294967290u, 0, 1, bytes({2})));  // older
    EXPECT_FALSE(r.push(4294967295u, 0, 1, bytes({3})));  // the same frame again
    auto next = r.push(0, 0, 1, bytes({4}));              // difference 1: newer
    ASSERT_TRUE(next);
    EXPECT_EQ(r.lastFrame(), 0u);
    // Frame 0 is a real frame, not "none": what came before it stays stale.
    EXPECT_FALSE(r.push(4294967290u, 0, 1, bytes({5})));
}

TEST(CameraReassembler, CompletingAFrameDropsOlderPartialFramesOnly) {
    CameraReassembler r;
    EXPECT_FALSE(r.push(8, 0, 2, bytes({8})));
    EXPECT_FALSE(r.push(12, 0, 2, bytes({12})));
    EXPECT_FALSE(r.push(10, 0, 2, bytes({10})));
    ASSERT_TRUE(r.push(10, 1, 2, bytes({10})));
    EXPECT_FALSE(r.holds(8));
    EXPECT_TRUE(r.holds(12));
    EXPECT_FALSE(r.push(8, 1, 2, bytes({8})));  // late fragment of a discarded frame
    EXPECT_TRUE(r.push(12, 1, 2, bytes({12})));
}

TEST(CameraReassembler, ResetForgetsEverything) {
    CameraReassembler r;
    ASSERT_TRUE(r.push(100, 0, 1, bytes({1})));
    EXPECT_FALSE(r.push(101, 0, 2, bytes({1})));
    r.reset();
    EXPECT_EQ(r.framesInFlight(), 0u);
    EXPECT_EQ(r.bytesInFlight(), 0u);
    EXPECT_TRUE(r.push(50, 0, 1, bytes({1})));  // no last frame any more
}

TEST(CameraReassembler, MemoryStaysBoundedUnderAFloodOfPartialFrames) {
    CameraReassembler::Limits limits;
    limits.maxFrames = 4;
    limits.maxBytes = 1 << 20;
    CameraReassembler r(limits);
    const Bytes payload(1184, 7);
    for (uint32_t id = 1; id <= 200; ++id) {
        r.push(id, 0, 600, payload);  // frames that never complete
        EXPECT_LE(r.framesInFlight(), limits.maxFrames);
        EXPECT_LE(r.bytesInFlight(), limits.maxBytes);
    }
    EXPECT_TRUE(r.holds(200));
    EXPECT_FALSE(r.holds(1));
    // A frame larger than the cap cannot overrun it, nor push out a newer frame.
    EXPECT_FALSE(r.push(500, 0, 2, bytes({5})));
    for (uint16_t i = 0; i < 2000; ++i) r.push(450, i, 2000, payload);
    EXPECT_LE(r.bytesInFlight(), limits.maxBytes);
    EXPECT_TRUE(r.holds(500));
    EXPECT_TRUE(r.push(500, 1, 2, bytes({6})));
    // Claiming more fragments than the cap could ever hold is refused outright.
    EXPECT_FALSE(r.push(600, 0, 65535, payload));
    EXPECT_FALSE(r.holds(600));
}

TEST(CameraReassembler, AFrameLimitOfZeroStillHoldsOnePartialFrame) {
    CameraReassembler r(CameraReassembler::Limits{0, 1 << 20});
    EXPECT_FALSE(r.push(1, 0, 2, bytes({1})));
    EXPECT_FALSE(r.push(2, 0, 2, bytes({2})));  // pushes frame 1 out
    EXPECT_EQ(r.framesInFlight(), 1u);
    EXPECT_FALSE(r.holds(1));
    auto frame = r.push(2, 1, 2, bytes({3}));
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, bytes({2, 3}));
}

}  // namespace
}  // namespace tarvello
