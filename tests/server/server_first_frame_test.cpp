#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "support/eventually.h"
#include "support/server_fixture.h"
#include "video/nal.h"

namespace tarvello::test {
namespace {

struct ReceivedFrame {
    VideoPacketHeader header;
    Bytes bytes;
};

// The first video frame whose fragments have all arrived, put back together; media
// datagrams and frames still missing a piece are passed over.
std::optional<ReceivedFrame> firstCompleteFrame(TestPhone& p, double timeout = 5) {
    std::map<uint32_t, std::map<uint16_t, Bytes>> pieces;
    for (int i = 0; i < 100000; ++i) {
        auto d = p.recvUdp(timeout);
        if (!d) return std::nullopt;
        auto h = VideoPacketHeader::decode(*d);
        if (!h || !videoCodecFromRaw(h->codec) || h->fragCount == 0) continue;
        auto& frame = pieces[h->frameId];
        frame[h->fragIndex].assign(d->begin() + Pontel::headerSize, d->end());
        if (frame.size() < h->fragCount) continue;
        ReceivedFrame out{*h, {}};
        for (auto& [index, piece] : frame) out.bytes.insert(out.bytes.end(), piece.begin(), piece.end());
        return out;
    }
    return std::nullopt;
}

void expectDecodableStart(const ReceivedFrame& f) {
    EXPECT_TRUE(f.header.isKeyframe());
    const auto codec = videoCodecFromRaw(f.header.codec);
    ASSERT_TRUE(codec);
    const auto units = splitLengthPrefixed(f.bytes);
    ASSERT_FALSE(units.empty());
    EXPECT_TRUE(isParameterSet(*codec, units.front()));
    EXPECT_TRUE(
        std::any_of(units.begin(), units.end(), [&](ByteSpan nal) { return isKeyframeSlice(*codec, nal); }));
}

// The clock stands still in these tests, so every keyframe after the first one forced
// falls within the keyframe throttle.

TEST_F(ServerTest, TheFirstFrameAfterRegistrationIsAKeyframe) {
    auto clock = std::make_shared<ManualClock>(100.0);
    options.clock = clock;
    startServer();
    auto p = acceptedPhone();
    ASSERT_TRUE(eventually([&] { return sim.capture->samples.load() >= 3; }));
    const uint32_t registeredAt = uptimeMs32(*clock);
    registerVideo(*p, lastAck.sessionId);
    auto first = firstCompleteFrame(*p);
    ASSERT_TRUE(first) << "no frame reached the phone after it registered";
    expectDecodableStart(*first);
    EXPECT_EQ(first->header.frameId, 1u);  // nothing went out before it
    EXPECT_LE(first->header.timestampMs - registeredAt, 200u);
    // Deltas follow, numbered on.
    uint32_t last = first->header.frameId;
    for (;;) {
        auto next = firstCompleteFrame(*p);
        ASSERT_TRUE(next);
        EXPECT_EQ(next->header.frameId, last + 1);
        last = next->header.frameId;
        if (!next->header.isKeyframe()) break;
    }
}

TEST_F(ServerTest, AStillScreenSendsAKeyframeToEachNewFlowAtOnce) {
    auto clock = std::make_shared<ManualClock>(100.0);
    options.clock = clock;
    startServer();
    auto p = acceptedPhone();
    registerVideo(*p, lastAck.sessionId);
    auto key = firstCompleteFrame(*p);
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->header.isKeyframe());
    auto delta = p->waitVideo([&](const VideoPacketHeader& h) { return !h.isKeyframe(); });
    ASSERT_TRUE(delta);

    // The screen stops changing and the phone moves to another port: frames still on
    // their way are deltas it cannot use there, and nothing new is captured, so only
    // the keyframe the move asks for can show it a picture.
    sim.capture->still = true;
    ASSERT_TRUE(p->sendRaw(buildRequestKeyframe()));  // throttled: the registration's was just now
    ASSERT_TRUE(p->sendRaw(buildPing(1)));
    ASSERT_TRUE(p->waitFor(MsgType::pong));
    registerVideo(*p, lastAck.sessionId);
    ASSERT_TRUE(logs.waitFor("UDP video channel established with 127.0.0.1:", 2));
    auto moved = firstCompleteFrame(*p);
    ASSERT_TRUE(moved) << "the new port got no picture";
    expectDecodableStart(*moved);
    EXPECT_EQ(uptimeMs32(*clock) - moved->header.timestampMs, 0u);
}

}  // namespace
}  // namespace tarvello::test
