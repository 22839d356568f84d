#include "protocol/datagram.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>

#include "protocol/messages.h"
#include "protocol/pontel.h"

namespace tarvello {
namespace {

TEST(PontelConstants, SizesAndMagic) {
    EXPECT_EQ(Pontel::maxDatagram - Pontel::headerSize, Pontel::maxFragmentPayload);
    EXPECT_EQ(Pontel::maxFragmentPayload, 1184);
    EXPECT_EQ(Pontel::udpMagic, (std::array<uint8_t, 4>{'P', 'N', 'U', 'P'}));
    EXPECT_EQ(Pontel::controlPort, 47800);
    EXPECT_EQ(Pontel::videoPort, 47801);
    EXPECT_EQ(Pontel::protocolVersion, 3u);
}

// ---- Header ----

const Bytes kGoldenHeader{0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03,
                          0x01, 0x02, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04};

VideoPacketHeader goldenHeader() {
    VideoPacketHeader h;
    h.frameId = 1;
    h.fragIndex = 0;
    h.fragCount = 3;
    h.flags = VideoPacketHeader::keyframe;
    h.codec = static_cast<uint8_t>(VideoCodec::hevc);
    h.timestampMs = 0x01020304;
    return h;
}

void expectSameHeader(const VideoPacketHeader& a, const VideoPacketHeader& b) {
    EXPECT_EQ(a.frameId, b.frameId);
    EXPECT_EQ(a.fragIndex, b.fragIndex);
    EXPECT_EQ(a.fragCount, b.fragCount);
    EXPECT_EQ(a.flags, b.flags);
    EXPECT_EQ(a.codec, b.codec);
    EXPECT_EQ(a.timestampMs, b.timestampMs);
}

TEST(VideoPacketHeaderCodec, EncodesGoldenBytes) {
    Bytes out(16, 0xEE);
    goldenHeader().encode(out.data());
    EXPECT_EQ(out, kGoldenHeader);
}

TEST(VideoPacketHeaderCodec, DecodesGoldenBytes) {
    auto h = VideoPacketHeader::decode(kGoldenHeader);
    ASSERT_TRUE(h);
    expectSameHeader(*h, goldenHeader());
    EXPECT_TRUE(h->isKeyframe());
}

TEST(VideoPacketHeaderCodec, EncodeWritesOnlySixteenBytes) {
    Bytes out(20, 0xEE);
    goldenHeader().encode(out.data());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 16), kGoldenHeader);
    EXPECT_EQ(Bytes(out.begin() + 16, out.end()), Bytes(4, 0xEE));
}

TEST(VideoPacketHeaderCodec, DecodeIgnoresReservedBytesAndPayload) {
    Bytes d = kGoldenHeader;
    d[10] = 0xFF;
    d[11] = 0x7F;
    d.insert(d.end(), {0xAA, 0xBB});
    auto h = VideoPacketHeader::decode(d);
    ASSERT_TRUE(h);
    expectSameHeader(*h, goldenHeader());
}

TEST(VideoPacketHeaderCodec, DecodeNeedsSixteenBytes) {
    EXPECT_FALSE(VideoPacketHeader::decode(std::span(kGoldenHeader).first(15)));
    EXPECT_FALSE(VideoPacketHeader::decode(Bytes{}));
    EXPECT_TRUE(VideoPacketHeader::decode(std::span(kGoldenHeader).first(16)));
}

TEST(VideoPacketHeaderCodec, FullWidthFieldsRoundTrip) {
    VideoPacketHeader h;
    h.frameId = 0xFEDCBA98;
    h.fragIndex = 0xFFFD;
    h.fragCount = 0xFFFE;
    h.flags = 0xFE;
    h.codec = 0x12;
    h.timestampMs = 0x89ABCDEF;
    Bytes out(16);
    h.encode(out.data());
    EXPECT_EQ(out, (Bytes{0xFE, 0xDC, 0xBA, 0x98, 0xFF, 0xFD, 0xFF, 0xFE, 0xFE, 0x12, 0, 0, 0x89, 0xAB, 0xCD,
                          0xEF}));
    auto back = VideoPacketHeader::decode(out);
    ASSERT_TRUE(back);
    expectSameHeader(*back, h);
    EXPECT_FALSE(back->isKeyframe());
}

TEST(MediaKindRaw, ConvertsOnlyItsThreeValues) {
    EXPECT_EQ(mediaKindFromRaw(0x10), MediaKind::speakerAudio);
    EXPECT_EQ(mediaKindFromRaw(0x11), MediaKind::micAudio);
    EXPECT_EQ(mediaKindFromRaw(0x12), MediaKind::cameraHEVC);
    for (uint8_t raw : {0x00, 0x01, 0x02, 0x0F, 0x13, 0xFF}) EXPECT_FALSE(mediaKindFromRaw(raw)) << int(raw);
}

// ---- Classification ----

Bytes mediaDatagram(size_t size, uint8_t kind) {
    Bytes d(size, 0x00);
    for (size_t i = 0; i < size; ++i) d[i] = uint8_t(i * 7 + 1);  // arbitrary, no magic
    if (size > 9) d[9] = kind;
    return d;
}

Bytes magicDatagram(size_t size, uint8_t byte9 = 0x00) {
    Bytes d(size, 0x00);
    std::copy(Pontel::udpMagic.begin(), Pontel::udpMagic.end(), d.begin());
    if (size > 9) d[9] = byte9;
    return d;
}

struct ClassifyCase {
    const char* name;
    Bytes datagram;
    bool registeredFlow;
    DatagramClass expected;
};

class Classification : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(Classification, FollowsTheReceiverOrder) {
    const auto& c = GetParam();
    EXPECT_EQ(classifyDatagram(c.datagram, c.registeredFlow), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Datagram, Classification,
    ::testing::Values(
        ClassifyCase{"headerOnlyMicIgnored", mediaDatagram(16, 0x11), true, DatagramClass::ignored},
        ClassifyCase{"micOnRegisteredFlow", mediaDatagram(17, 0x11), true, DatagramClass::micAudio},
        ClassifyCase{"largeMicOnRegisteredFlow", mediaDatagram(1200, 0x11), true, DatagramClass::micAudio},
        ClassifyCase{"micFromUnregisteredFlowIgnored", mediaDatagram(17, 0x11), false,
                     DatagramClass::ignored},
        ClassifyCase{"cameraOnRegisteredFlow", mediaDatagram(17, 0x12), true, DatagramClass::cameraVideo},
        ClassifyCase{"cameraFromUnregisteredFlowIgnored", mediaDatagram(500, 0x12), false,
                     DatagramClass::ignored},
        ClassifyCase{"speakerKindIgnored", mediaDatagram(17, 0x10), true, DatagramClass::ignored},
        ClassifyCase{"h264CodecIgnored", mediaDatagram(17, 0x01), true, DatagramClass::ignored},
        ClassifyCase{"hevcCodecIgnored", mediaDatagram(17, 0x02), true, DatagramClass::ignored},
        ClassifyCase{"magic17BytesOnRegisteredFlowIsRegistration", magicDatagram(17, 0x11), true,
                     DatagramClass::registration},
        ClassifyCase{"magic17BytesOnNewFlowIsRegistration", magicDatagram(17, 0x12), false,
                     DatagramClass::registration},
        ClassifyCase{"magic8BytesIsRegistration", magicDatagram(8), false, DatagramClass::registration},
        ClassifyCase{"magic8BytesOnRegisteredFlowIsRegistration", magicDatagram(8), true,
                     DatagramClass::registration},
        ClassifyCase{"magic7BytesIgnored", magicDatagram(7), false, DatagramClass::ignored},
        ClassifyCase{"magic16BytesIsRegistration", magicDatagram(16, 0x11), true,
                     DatagramClass::registration},
        ClassifyCase{"eightBytesWithoutMagicIgnored", mediaDatagram(8, 0x00), false, DatagramClass::ignored},
        ClassifyCase{"nearMagicIgnored", Bytes{'P', 'N', 'U', 'Q', 0, 0, 0, 1}, false,
                     DatagramClass::ignored},
        ClassifyCase{"emptyIgnored", Bytes{}, true, DatagramClass::ignored},
        ClassifyCase{"magicOnlyIgnored", magicDatagram(4), true, DatagramClass::ignored}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(Classification, BuiltMediaDatagramsClassifyByKind) {
    VideoPacketHeader h;
    h.frameId = 9;
    h.fragCount = 1;
    h.codec = static_cast<uint8_t>(MediaKind::micAudio);
    EXPECT_EQ(classifyDatagram(buildMediaDatagram(h, Bytes{1, 2}), true), DatagramClass::micAudio);
    h.codec = static_cast<uint8_t>(MediaKind::cameraHEVC);
    EXPECT_EQ(classifyDatagram(buildMediaDatagram(h, Bytes{1}), true), DatagramClass::cameraVideo);
    EXPECT_EQ(classifyDatagram(buildRegistration(77), false), DatagramClass::registration);
}

// ---- Media datagrams ----

TEST(MediaDatagram, IsHeaderThenPayload) {
    VideoPacketHeader h;
    h.frameId = 0x01020304;
    h.fragCount = 1;
    h.codec = static_cast<uint8_t>(MediaKind::speakerAudio);
    h.timestampMs = 0x0A0B0C0D;
    Bytes payload(960);
    std::iota(payload.begin(), payload.end(), uint8_t(0));
    const Bytes d = buildMediaDatagram(h, payload);
    ASSERT_EQ(d.size(), 976u);
    EXPECT_EQ(Bytes(d.begin(), d.begin() + 16),
              (Bytes{0x01, 0x02, 0x03, 0x04, 0, 0, 0, 1, 0, 0x10, 0, 0, 0x0A, 0x0B, 0x0C, 0x0D}));
    EXPECT_EQ(Bytes(d.begin() + 16, d.end()), payload);

    EXPECT_EQ(buildMediaDatagram(h, Bytes{}).size(), 16u);
}

// ---- Fragment cutter ----

Bytes patternFrame(size_t n) {
    Bytes f(n);
    for (size_t i = 0; i < n; ++i) f[i] = uint8_t((i * 31) ^ (i >> 8));
    return f;
}

struct CutCase {
    size_t frameBytes;
    int datagrams;
    size_t lastDatagramBytes;
};

class FragmentCutter : public ::testing::TestWithParam<CutCase> {};

TEST_P(FragmentCutter, CutsIntoHeaderedFragmentsThatReassemble) {
    const auto& c = GetParam();
    const Bytes frame = patternFrame(c.frameBytes);
    VideoPacketHeader tmpl;
    tmpl.frameId = 0xCAFEF00D;
    tmpl.fragIndex = 0x7777;  // overwritten per fragment
    tmpl.fragCount = 0x8888;  // overwritten
    tmpl.flags = VideoPacketHeader::keyframe;
    tmpl.codec = static_cast<uint8_t>(VideoCodec::h264);
    tmpl.timestampMs = 0x11223344;

    const auto dgs = fragmentFrame(frame, tmpl);
    EXPECT_EQ(fragmentCount(c.frameBytes), c.datagrams);
    ASSERT_EQ(dgs.size(), size_t(c.datagrams));
    if (dgs.empty()) return;
    EXPECT_EQ(dgs.back().size(), c.lastDatagramBytes);

    Bytes reassembled;
    for (size_t i = 0; i < dgs.size(); ++i) {
        const auto& d = dgs[i];
        ASSERT_LE(d.size(), size_t(Pontel::maxDatagram));
        if (i + 1 < dgs.size()) {
            ASSERT_EQ(d.size(), size_t(Pontel::maxDatagram));
        }
        auto h = VideoPacketHeader::decode(d);
        ASSERT_TRUE(h);
        EXPECT_EQ(h->frameId, tmpl.frameId);
        EXPECT_EQ(h->fragIndex, i);
        EXPECT_EQ(h->fragCount, c.datagrams);
        EXPECT_EQ(h->flags, tmpl.flags);
        EXPECT_EQ(h->codec, tmpl.codec);
        EXPECT_EQ(h->timestampMs, tmpl.timestampMs);
        EXPECT_EQ(d[10], 0);
        EXPECT_EQ(d[11], 0);
        reassembled.insert(reassembled.end(), d.begin() + Pontel::headerSize, d.end());
    }
    EXPECT_EQ(reassembled, frame);
}

INSTANTIATE_TEST_SUITE_P(Datagram, FragmentCutter,
                         ::testing::Values(CutCase{0, 0, 0}, CutCase{1, 1, 17}, CutCase{1183, 1, 1199},
                                           CutCase{1184, 1, 1200}, CutCase{1185, 2, 17},
                                           CutCase{2368, 2, 1200}, CutCase{2369, 3, 17},
                                           CutCase{5 * 1184, 5, 1200}, CutCase{40 * 1184, 40, 1200},
                                           CutCase{40 * 1184 - 1, 40, 1199}),
                         [](const auto& tp) { return "bytes" + std::to_string(tp.param.frameBytes); });

TEST(FragmentCutterLimits, FragmentCountAtAndBeyondTheLimit) {
    EXPECT_EQ(fragmentCount(0), 0);
    EXPECT_EQ(fragmentCount(Pontel::maxFrameBytes), 65534);
    EXPECT_EQ(fragmentCount(Pontel::maxFrameBytes - 1183), 65534);
    EXPECT_EQ(fragmentCount(Pontel::maxFrameBytes - 1184), 65533);
    EXPECT_EQ(fragmentCount(Pontel::maxFrameBytes + 1), 0);
    EXPECT_EQ(fragmentCount(size_t(65535) * 1184), 0);
    EXPECT_EQ(fragmentCount(SIZE_MAX), 0);
}

TEST(FragmentCutterLimits, FrameJustOverTheLimitYieldsNoDatagram) {
    const Bytes huge(Pontel::maxFrameBytes + 1);
    EXPECT_TRUE(fragmentFrame(huge, VideoPacketHeader{}).empty());
}

}  // namespace
}  // namespace tarvello
