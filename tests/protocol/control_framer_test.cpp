#include "protocol/control_framer.h"

#include <gtest/gtest.h>

#include <vector>

#include "protocol/messages.h"

namespace tarvello {
namespace {

std::vector<Frame> drain(ControlFramer& f) {
    std::vector<Frame> out;
    while (auto fr = f.next()) out.push_back(std::move(*fr));
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// ---- encode ----

TEST(ControlFramerEncode, WritesLengthTypeAndBody) {
    EXPECT_EQ(ControlFramer::encode(0x21,
                                    [](ByteWriter& w) {
                                        w.writeU16(0x0A0B);
                                        w.writeU8(0x0C);
                                    }),
              (Bytes{0x00, 0x04, 0x21, 0x0A, 0x0B, 0x0C}));
}

TEST(ControlFramerEncode, WithoutBodyIsTypeOnlyFrame) {
    EXPECT_EQ(ControlFramer::encode(0x20, nullptr), (Bytes{0x00, 0x01, 0x20}));
    EXPECT_EQ(ControlFramer::encode(0x24, [](ByteWriter&) {}), (Bytes{0x00, 0x01, 0x24}));
}

TEST(ControlFramerEncode, LargestFrameableBodyAndOneByteMore) {
    const Bytes body(65534, 0x5A);
    const Bytes f = ControlFramer::encode(0x37, [&](ByteWriter& w) { w.writeData(body); });
    ASSERT_EQ(f.size(), 65537u);
    EXPECT_EQ(f[0], 0xFF);
    EXPECT_EQ(f[1], 0xFF);
    EXPECT_EQ(f[2], 0x37);
    EXPECT_EQ(Bytes(f.begin() + 3, f.end()), body);

    const Bytes tooBig(65535, 0x5A);
    EXPECT_TRUE(ControlFramer::encode(0x37, [&](ByteWriter& w) { w.writeData(tooBig); }).empty());
}

// ---- next ----

TEST(ControlFramerNext, ExtractsOneFrameOfTypeAndFourPayloadBytes) {
    ControlFramer f;
    f.append(Bytes{0x00, 0x05, 0x21, 0x00, 0x00, 0x00, 0x00});
    auto fr = f.next();
    ASSERT_TRUE(fr);
    EXPECT_EQ(fr->type, 0x21);
    EXPECT_EQ(fr->payload, (Bytes{0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(f.buffered(), 0u);
    EXPECT_FALSE(f.next());
}

TEST(ControlFramerNext, IncompleteFrameYieldsNothingAndKeepsItsBytes) {
    ControlFramer f;
    f.append(Bytes{0x00, 0x05, 0x21, 0x00});
    EXPECT_FALSE(f.next());
    EXPECT_EQ(f.buffered(), 4u);
    EXPECT_FALSE(f.next());
    EXPECT_EQ(f.buffered(), 4u);

    f.append(Bytes{0x01, 0x02, 0x03});
    auto fr = f.next();
    ASSERT_TRUE(fr);
    EXPECT_EQ(fr->type, 0x21);
    EXPECT_EQ(fr->payload, (Bytes{0x00, 0x01, 0x02, 0x03}));
    EXPECT_EQ(f.buffered(), 0u);
}

TEST(ControlFramerNext, SingleLengthByteYieldsNothing) {
    ControlFramer f;
    EXPECT_FALSE(f.next());
    f.append(Bytes{0x00});
    EXPECT_FALSE(f.next());
    EXPECT_EQ(f.buffered(), 1u);
}

TEST(ControlFramerNext, TwoFramesInOneReadComeOutInOrder) {
    ControlFramer f;
    f.append(concat({buildPing(0x1122334455667788ull), buildKey(0x0004, true)}));
    auto frames = drain(f);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].type, 0x21);
    EXPECT_EQ(frames[0].payload, (Bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
    EXPECT_EQ(frames[1].type, 0x10);
    EXPECT_EQ(frames[1].payload, (Bytes{0x00, 0x04, 0x01}));
    EXPECT_EQ(f.buffered(), 0u);
}

TEST(ControlFramerNext, FrameSplitAcrossThreeReadsIsExtractedOnceAfterTheThird) {
    const Bytes frame{0x00, 0x05, 0x21, 0xDE, 0xAD, 0xBE, 0xEF};
    ControlFramer f;
    f.append(std::span(frame).subspan(0, 1));
    EXPECT_FALSE(f.next());
    f.append(std::span(frame).subspan(1, 3));
    EXPECT_FALSE(f.next());
    EXPECT_EQ(f.buffered(), 4u);
    f.append(std::span(frame).subspan(4));
    auto frames = drain(f);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].type, 0x21);
    EXPECT_EQ(frames[0].payload, (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(f.buffered(), 0u);
}

TEST(ControlFramerNext, ZeroLengthConsumesTwoBytesAndTheFollowingFrameComesNextCall) {
    ControlFramer f;
    f.append(concat({Bytes{0x00, 0x00}, buildResize(1180, 2556)}));
    EXPECT_FALSE(f.next());
    EXPECT_EQ(f.buffered(), 7u);
    auto fr = f.next();
    ASSERT_TRUE(fr);
    EXPECT_EQ(fr->type, 0x03);
    EXPECT_EQ(fr->payload, (Bytes{0x04, 0x9C, 0x09, 0xFC}));
    EXPECT_EQ(f.buffered(), 0u);
}

TEST(ControlFramerNext, LengthOneIsTypeWithEmptyPayload) {
    ControlFramer f;
    f.append(Bytes{0x00, 0x01, 0x24, 0x00, 0x01, 0x20});
    auto frames = drain(f);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].type, 0x24);
    EXPECT_TRUE(frames[0].payload.empty());
    EXPECT_EQ(frames[1].type, 0x20);
    EXPECT_TRUE(frames[1].payload.empty());
}

TEST(ControlFramerNext, UnknownTypeCodesArePassedThrough) {
    ControlFramer f;
    f.append(Bytes{0x00, 0x02, 0xFF, 0x7E, 0x00, 0x01, 0x00});
    auto frames = drain(f);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].type, 0xFF);
    EXPECT_EQ(frames[0].payload, (Bytes{0x7E}));
    EXPECT_EQ(frames[1].type, 0x00);
}

TEST(ControlFramerNext, MaximumLengthWaitsForAllBytes) {
    const Bytes big = ControlFramer::encode(0x37, [](ByteWriter& w) { w.writeData(Bytes(65534, 0xA5)); });
    ControlFramer f;
    f.append(std::span(big).first(big.size() - 1));
    EXPECT_FALSE(f.next());
    EXPECT_EQ(f.buffered(), big.size() - 1);
    f.append(std::span(big).last(1));
    auto fr = f.next();
    ASSERT_TRUE(fr);
    EXPECT_EQ(fr->type, 0x37);
    EXPECT_EQ(fr->payload, Bytes(65534, 0xA5));
}

TEST(ControlFramerNext, ResetDropsAPartialFrame) {
    ControlFramer f;
    f.append(Bytes{0x00, 0x09, 0x21, 0x01});
    f.reset();
    EXPECT_EQ(f.buffered(), 0u);
    f.append(buildRequestKeyframe());
    auto fr = f.next();
    ASSERT_TRUE(fr);
    EXPECT_EQ(fr->type, 0x20);
}

// A stream of mixed frames cut at every pair of positions gives the same frames: catches
// bookkeeping faults in the consumed prefix and its compaction.
TEST(ControlFramerNext, EveryTwoCutStreamYieldsTheSameFrames) {
    const Bytes stream = concat({buildPing(7), Bytes{0x00, 0x00}, buildText("h\xC3\xA9llo"),
                                 buildReleaseAll(), buildMouseAbs(0.25f, 0.75f)});
    ControlFramer whole;
    whole.append(stream);
    std::vector<Frame> expected;
    for (int calls = 0; calls < 3; ++calls) {
        for (auto& fr : drain(whole)) expected.push_back(std::move(fr));
    }
    ASSERT_EQ(expected.size(), 4u);

    for (size_t a = 0; a <= stream.size(); ++a) {
        for (size_t b = a; b <= stream.size(); ++b) {
            ControlFramer f;
            std::vector<Frame> got;
            size_t appended = 0;
            for (auto [from, to] : {std::pair{size_t(0), a}, {a, b}, {b, stream.size()}}) {
                f.append(std::span(stream).subspan(from, to - from));
                appended += to - from;
                for (auto& fr : drain(f)) got.push_back(std::move(fr));
                ASSERT_LE(f.buffered(), appended);
            }
            // The zero length may leave frames buffered until more data arrives.
            for (int calls = 0; calls < 3; ++calls) {
                for (auto& fr : drain(f)) got.push_back(std::move(fr));
            }
            ASSERT_EQ(got.size(), expected.size()) << a << " " << b;
            for (size_t i = 0; i < got.size(); ++i) {
                ASSERT_EQ(got[i].type, expected[i].type) << a << " " << b << " frame " << i;
                ASSERT_EQ(got[i].payload, expected[i].payload) << a << " " << b << " frame " << i;
            }
            ASSERT_EQ(f.buffered(), 0u);
        }
    }
}

TEST(ControlFramerNext, LongByteByByteStreamKeepsOnlyTheUnconsumedTail) {
    ControlFramer f;
    size_t frames = 0;
    for (int i = 0; i < 2000; ++i) {
        const Bytes fr = buildMouseRel(float(i), -float(i));
        for (size_t k = 0; k < fr.size(); ++k) {
            f.append(std::span(fr).subspan(k, 1));
            while (auto got = f.next()) {
                ASSERT_EQ(got->type, 0x11);
                const auto m = decodeMouseRel(got->payload);
                ASSERT_EQ(m.dx, float(i));
                ASSERT_EQ(m.dy, -float(i));
                ++frames;
            }
            ASSERT_EQ(f.buffered(), k + 1 == fr.size() ? 0u : k + 1);
        }
    }
    EXPECT_EQ(frames, 2000u);
}

}  // namespace
}  // namespace tarvello
