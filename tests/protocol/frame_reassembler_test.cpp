#include "protocol/frame_reassembler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace tarvello {
namespace {

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7 + (i >> 8));
    return b;
}

std::vector<Bytes> cut(uint32_t frameId, const Bytes& frame, bool keyframe = false) {
    VideoPacketHeader h;
    h.frameId = frameId;
    h.flags = keyframe ? VideoPacketHeader::keyframe : 0;
    h.codec = 2;
    h.timestampMs = 0x01020304;
    return fragmentFrame(frame, h);
}

// Feeds datagrams; returns the ids of the frames completed, in order.
std::vector<uint32_t> feed(FrameReassembler& r, const std::vector<Bytes>& datagrams,
                           std::vector<ReassembledFrame>* out = nullptr) {
    std::vector<uint32_t> ids;
    for (const auto& d : datagrams) {
        if (auto f = r.pushDatagram(d)) {
            ids.push_back(f->frameId);
            if (out) out->push_back(std::move(*f));
        }
    }
    return ids;
}

TEST(FrameReassembler, InOrderFragmentsRebuildTheFrameWithItsHeaderFields) {
    FrameReassembler r;
    const Bytes frame = pattern(3000, 1);
    auto datagrams = cut(1, frame, true);
    ASSERT_EQ(datagrams.size(), 3u);

    EXPECT_FALSE(r.pushDatagram(datagrams[0]));
    EXPECT_FALSE(r.pushDatagram(datagrams[1]));
    auto f = r.pushDatagram(datagrams[2]);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->frameId, 1u);
    EXPECT_TRUE(f->keyframe);
    EXPECT_EQ(f->codec, 2);
    EXPECT_EQ(f->timestampMs, 0x01020304u);
    EXPECT_EQ(f->data, frame);

    const auto& c = r.counters();
    EXPECT_EQ(c.datagrams, 3u);
    EXPECT_EQ(c.bytes, 3000u);
    EXPECT_EQ(c.framesCompleted, 1u);
    EXPECT_EQ(c.framesLost, 0u);
    EXPECT_EQ(r.framesInFlight(), 0u);
    EXPECT_EQ(r.bytesInFlight(), 0u);
}

TEST(FrameReassembler, ShuffledFragmentsRebuildTheSameBytes) {
    FrameReassembler r;
    const Bytes frame = pattern(20 * 1184 + 17, 9);
    auto datagrams = cut(7, frame);
    std::mt19937 rng(42);
    std::shuffle(datagrams.begin(), datagrams.end(), rng);
    std::vector<ReassembledFrame> out;
    EXPECT_EQ(feed(r, datagrams, &out), std::vector<uint32_t>{7});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data, frame);
    EXPECT_EQ(r.bytesInFlight(), 0u);
}

TEST(FrameReassembler, InterleavedFramesAreEmittedInCompletionOrder) {
    FrameReassembler r;
    auto a = cut(10, pattern(2500, 1));  // 3 fragments
    auto b = cut(11, pattern(1000, 2));  // 1 fragment
    auto c = cut(12, pattern(1500, 3));  // 2 fragments
    EXPECT_EQ(feed(r, {a[0], c[0], a[1], b[0], a[2], c[1]}), (std::vector<uint32_t>{11, 12}));
    // Frame 10 was still incomplete when 11 completed; its last fragment came too late.
    EXPECT_EQ(r.counters().framesLost, 1u);
    EXPECT_EQ(r.counters().framesCompleted, 2u);
    EXPECT_EQ(r.framesInFlight(), 0u);
}

TEST(FrameReassembler, DuplicatesAreIgnoredBeforeAndAfterCompletion) {
    FrameReassembler r;
    const Bytes frame = pattern(2000, 4);
    auto d = cut(3, frame);
    std::vector<ReassembledFrame> out;
    EXPECT_EQ(feed(r, {d[0], d[0], d[1], d[1], d[0]}, &out), std::vector<uint32_t>{3});
    EXPECT_EQ(out[0].data, frame);
    EXPECT_EQ(r.counters().duplicates, 1u);
    EXPECT_EQ(r.counters().ignored, 2u);  // copies of a finished frame
    EXPECT_EQ(r.framesInFlight(), 0u);    // did not open a new one
    EXPECT_EQ(r.counters().framesCompleted, 1u);
}

TEST(FrameReassembler, LossesAreCountedWhenANewerFrameCompletes) {
    FrameReassembler r;
    auto one = cut(1, pattern(2400, 1));
    auto two = cut(2, pattern(100, 2));
    feed(r, {one[0], one[2]});
    EXPECT_EQ(r.counters().framesLost, 0u);  // still in flight, nothing newer yet
    EXPECT_EQ(feed(r, two), std::vector<uint32_t>{2});
    EXPECT_EQ(r.counters().framesLost, 1u);
    EXPECT_TRUE(feed(r, {one[1]}).empty());  // too late
    EXPECT_EQ(r.framesInFlight(), 0u);

    // Frames 3 and 4 never show up at all: they are lost too.
    EXPECT_EQ(feed(r, cut(5, pattern(10, 5))), std::vector<uint32_t>{5});
    EXPECT_EQ(r.counters().framesLost, 3u);
}

TEST(FrameReassembler, FrameIdsWrapAtTwoToTheThirtySecond) {
    FrameReassembler r;
    EXPECT_EQ(feed(r, cut(0xFFFFFFFEu, pattern(10, 1))), std::vector<uint32_t>{0xFFFFFFFEu});
    auto beforeWrap = cut(0xFFFFFFFFu, pattern(2000, 2));
    feed(r, {beforeWrap[0]});
    EXPECT_EQ(feed(r, cut(0, pattern(10, 3))), std::vector<uint32_t>{0});
    EXPECT_EQ(r.counters().framesLost, 1u);  // 0xFFFFFFFF is older than 0
    EXPECT_TRUE(feed(r, {beforeWrap[1]}).empty());
    EXPECT_EQ(feed(r, cut(1, pattern(10, 4))), std::vector<uint32_t>{1});
    EXPECT_EQ(r.counters().framesLost, 1u);
    EXPECT_EQ(r.counters().framesCompleted, 3u);
}

TEST(FrameReassembler, InvalidFragmentsAreIgnored) {
    FrameReassembler r;
    const Bytes payload = pattern(100, 1);
    VideoPacketHeader h;
    h.frameId = 1;
    h.fragCount = 2;
    h.fragIndex = 2;  // index past the count
    EXPECT_FALSE(r.push(h, payload));
    h.fragIndex = 0xFFFF;
    EXPECT_FALSE(r.push(h, payload));
    h.fragIndex = 0;
    h.fragCount = 0;
    EXPECT_FALSE(r.push(h, payload));
    h.fragCount = 1;
    EXPECT_FALSE(r.push(h, {}));                 // no payload
    EXPECT_FALSE(r.pushDatagram(Bytes(15, 0)));  // shorter than a header
    EXPECT_EQ(r.counters().ignored, 5u);
    EXPECT_EQ(r.counters().datagrams, 5u);
    EXPECT_EQ(r.framesInFlight(), 0u);

    EXPECT_TRUE(r.push(h, payload));  // a valid one still goes through
}

TEST(FrameReassembler, InconsistentFragmentCountDiscardsTheFrame) {
    FrameReassembler r;
    const Bytes payload = pattern(1184, 1);
    VideoPacketHeader h;
    h.frameId = 4;
    h.fragCount = 2;
    h.fragIndex = 0;
    EXPECT_FALSE(r.push(h, payload));
    h.fragCount = 3;
    h.fragIndex = 1;
    EXPECT_FALSE(r.push(h, payload));
    EXPECT_EQ(r.counters().framesDiscarded, 1u);
    // Neither count completes it now.
    h.fragCount = 2;
    EXPECT_FALSE(r.push(h, payload));
    h.fragCount = 3;
    h.fragIndex = 2;
    EXPECT_FALSE(r.push(h, payload));
    h.fragIndex = 0;
    EXPECT_FALSE(r.push(h, payload));
    EXPECT_EQ(r.counters().framesCompleted, 0u);

    EXPECT_EQ(feed(r, cut(5, pattern(10, 2))), std::vector<uint32_t>{5});
    EXPECT_EQ(r.counters().framesLost, 1u);
    EXPECT_EQ(r.bytesInFlight(), 0u);
}

TEST(FrameReassembler, MemoryStaysBoundedUnderAFloodOfFramesThatNeverComplete) {
    FrameReassembler::Limits limits;
    limits.maxFramesInFlight = 8;
    limits.maxBytesInFlight = 4 << 20;
    FrameReassembler r(limits);
    const Bytes payload = pattern(1184, 3);
    VideoPacketHeader h;
    h.fragCount = 65534;  // the largest legal frame
    size_t peakBytes = 0, peakFrames = 0;
    for (uint32_t id = 1; id <= 300; ++id) {
        h.frameId = id;
        for (uint16_t i = 0; i < 3; ++i) {
            h.fragIndex = uint16_t(i * 1000 + id % 7);
            EXPECT_FALSE(r.push(h, payload));
            peakBytes = std::max(peakBytes, r.bytesInFlight());
            peakFrames = std::max(peakFrames, r.framesInFlight());
        }
    }
    EXPECT_LE(peakFrames, 8u);
    EXPECT_LE(peakBytes, limits.maxBytesInFlight);
    EXPECT_EQ(r.counters().framesLost + r.framesInFlight(), 300u);

    // A frame too large for the cap on its own is dropped instead of growing memory.
    const Bytes big = pattern(5 << 20, 1);
    EXPECT_TRUE(feed(r, cut(500, big)).empty());
    EXPECT_LE(r.bytesInFlight(), limits.maxBytesInFlight);

    // Normal traffic resumes.
    const Bytes frame = pattern(50000, 4);
    std::vector<ReassembledFrame> out;
    EXPECT_EQ(feed(r, cut(501, frame), &out), std::vector<uint32_t>{501});
    EXPECT_EQ(out[0].data, frame);
    EXPECT_EQ(r.bytesInFlight(), 0u);
}

TEST(FrameReassembler, AFrameOlderThanEverythingInFlightGivesWayWhenFull) {
    FrameReassembler::Limits limits;
    limits.maxFramesInFlight = 2;
    FrameReassembler r(limits);
    auto f10 = cut(10, pattern(2000, 1));
    auto f11 = cut(11, pattern(2000, 2));
    auto f9 = cut(9, pattern(2000, 3));
    feed(r, {f10[0], f11[0], f9[0]});
    EXPECT_EQ(r.framesInFlight(), 2u);
    EXPECT_EQ(r.counters().framesLost, 1u);
    EXPECT_EQ(feed(r, {f10[1], f11[1], f9[1]}), (std::vector<uint32_t>{10, 11}));
}

TEST(FrameReassembler, FollowsASenderThatRestartsItsNumbering) {
    FrameReassembler r;
    EXPECT_EQ(feed(r, cut(5000, pattern(10, 1))), std::vector<uint32_t>{5000});
    EXPECT_TRUE(feed(r, cut(4990, pattern(10, 2))).empty());  // merely late
    EXPECT_EQ(feed(r, cut(1, pattern(10, 3))), std::vector<uint32_t>{1});
    EXPECT_EQ(feed(r, cut(2, pattern(10, 4))), std::vector<uint32_t>{2});
    EXPECT_EQ(r.counters().framesLost, 0u);
}

}  // namespace
}  // namespace tarvello
