#include "video/nal.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarvello {
namespace {

std::vector<Bytes> copies(const std::vector<ByteSpan>& units) {
    std::vector<Bytes> out;
    for (ByteSpan u : units) out.emplace_back(u.begin(), u.end());
    return out;
}

// ---- Annex-B splitting ----

struct AnnexBCase {
    const char* name;
    Bytes stream;
    std::vector<Bytes> units;
};

class AnnexBSplit : public ::testing::TestWithParam<AnnexBCase> {};

TEST_P(AnnexBSplit, FindsEachUnitWithoutStartCodesOrTrailingZeros) {
    EXPECT_EQ(copies(splitAnnexB(GetParam().stream)), GetParam().units);
}

INSTANTIATE_TEST_SUITE_P(
    Nal, AnnexBSplit,
    ::testing::Values(
        AnnexBCase{"MixedStartCodes",
                   {0, 0, 0, 1, 0x67, 0xAA, 0xBB, 0, 0, 1, 0x68, 0xCC, 0, 0, 0, 1, 0x65, 0xDD, 0xEE},
                   {{0x67, 0xAA, 0xBB}, {0x68, 0xCC}, {0x65, 0xDD, 0xEE}}},
        AnnexBCase{"EmulationPreventionUntouched",
                   {0, 0, 1, 0x65, 0, 0, 3, 1, 0, 0, 3, 0, 0xFF},
                   {{0x65, 0, 0, 3, 1, 0, 0, 3, 0, 0xFF}}},
        AnnexBCase{"TrailingZeros",
                   {0, 0, 1, 0x67, 0x11, 0, 0, 0, 0, 0, 1, 0x68, 0x22, 0, 0},
                   {{0x67, 0x11}, {0x68, 0x22}}},
        AnnexBCase{"GarbageBeforeFirstStartCode", {0xAB, 0xCD, 0, 0, 1, 0x09, 0xF0}, {{0x09, 0xF0}}},
        AnnexBCase{"EmptyUnitsSkipped", {0, 0, 1, 0, 0, 1, 0, 0, 0, 1, 0x41, 0x9A}, {{0x41, 0x9A}}},
        AnnexBCase{"Empty", {}, {}}, AnnexBCase{"StartCodeOnly", {0, 0, 0, 1}, {}},
        AnnexBCase{"NoStartCode", {0x12, 0x34, 0x56, 0x78}, {}},
        AnnexBCase{"StartCodeCutShort", {0x41, 0, 0}, {}}),
    [](const auto& p) { return p.param.name; });

TEST(Nal, AnnexBBecomesFourByteLengthPrefixes) {
    const Bytes annexB{0, 0, 0, 1, 0x67, 0xAA, 0xBB, 0, 0, 1, 0x68, 0xCC, 0, 0, 0, 1, 0x65, 0, 0, 3, 0xEE};
    const Bytes expected{0,    0,    0, 3, 0x67, 0xAA, 0xBB, 0, 0, 0, 2,
                         0x68, 0xCC, 0, 0, 0,    5,    0x65, 0, 0, 3, 0xEE};
    EXPECT_EQ(annexBToLengthPrefixed(annexB), expected);
    EXPECT_TRUE(annexBToLengthPrefixed({}).empty());
}

// ---- Length-prefixed splitting, also on garbage ----

TEST(Nal, LengthPrefixedSplitStopsAtTheFirstOverrun) {
    const Bytes good{0, 0, 0, 2, 0x67, 0x01, 0, 0, 0, 0, 0, 0, 0, 1, 0x68};
    EXPECT_EQ(copies(splitLengthPrefixed(good)), (std::vector<Bytes>{{0x67, 0x01}, {0x68}}));

    Bytes overrun = good;
    overrun.insert(overrun.end(), {0, 0, 0, 9, 0x65, 0x88});
    EXPECT_EQ(copies(splitLengthPrefixed(overrun)), (std::vector<Bytes>{{0x67, 0x01}, {0x68}}));

    EXPECT_TRUE(splitLengthPrefixed(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x65}).empty());
    EXPECT_TRUE(splitLengthPrefixed(Bytes{0, 0, 0}).empty());
    EXPECT_TRUE(splitLengthPrefixed({}).empty());
}

TEST(Nal, SplitNalUnitsTellsTheTwoFormatsApart) {
    // A 300-byte unit has the prefix 00 00 01 2C, which looks like a start code.
    Bytes big(300, 0x41);
    Bytes prefixed;
    appendLengthPrefixed(prefixed, big);
    appendLengthPrefixed(prefixed, Bytes{0x68, 0xCE});
    ASSERT_TRUE(startsWithStartCode(prefixed));
    EXPECT_EQ(copies(splitNalUnits(prefixed)), (std::vector<Bytes>{big, {0x68, 0xCE}}));

    const Bytes annexB{0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE};
    EXPECT_EQ(copies(splitNalUnits(annexB)), (std::vector<Bytes>{{0x67, 0x42}, {0x68, 0xCE}}));
}

// ---- Unit types ----

struct TypeCase {
    VideoCodec codec;
    Bytes header;
    int type;
    bool parameterSet, keyframe, auxiliary;
};

class NalTypes : public ::testing::TestWithParam<TypeCase> {};

TEST_P(NalTypes, ClassifiesTheHeader) {
    const auto& c = GetParam();
    EXPECT_EQ(nalUnitType(c.codec, c.header), c.type);
    EXPECT_EQ(isParameterSet(c.codec, c.header), c.parameterSet);
    EXPECT_EQ(isKeyframeSlice(c.codec, c.header), c.keyframe);
    EXPECT_EQ(isAuxiliary(c.codec, c.header), c.auxiliary);
}

using enum VideoCodec;
INSTANTIATE_TEST_SUITE_P(
    Nal, NalTypes,
    ::testing::Values(TypeCase{h264, {0x67}, 7, true, false, false},         // SPS
                      TypeCase{h264, {0x68}, 8, true, false, false},         // PPS
                      TypeCase{h264, {0x65}, 5, false, true, false},         // IDR
                      TypeCase{h264, {0x41}, 1, false, false, false},        // P slice
                      TypeCase{h264, {0x06}, 6, false, false, true},         // SEI
                      TypeCase{h264, {0x09}, 9, false, false, true},         // AUD
                      TypeCase{hevc, {0x40, 0x01}, 32, true, false, false},  // VPS
                      TypeCase{hevc, {0x42, 0x01}, 33, true, false, false},  // SPS
                      TypeCase{hevc, {0x44, 0x01}, 34, true, false, false},  // PPS
                      TypeCase{hevc, {0x26, 0x01}, 19, false, true, false},  // IDR_W_RADL
                      TypeCase{hevc, {0x2A, 0x01}, 21, false, true, false},  // CRA
                      TypeCase{hevc, {0x02, 0x01}, 1, false, false, false},  // TRAIL_R
                      TypeCase{hevc, {0x4E, 0x01}, 39, false, false, true},  // prefix SEI
                      TypeCase{hevc, {0x46, 0x01}, 35, false, false, true},  // AUD
                      TypeCase{hevc, {}, -1, false, false, false}));

// ---- Frame assembly ----

Bytes lengthPrefixed(const std::vector<Bytes>& units) {
    Bytes out;
    for (const Bytes& u : units) appendLengthPrefixed(out, u);
    return out;
}

Bytes annexB(const std::vector<Bytes>& units) {
    Bytes out;
    for (const Bytes& u : units) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), u.begin(), u.end());
    }
    return out;
}

const Bytes sps{0x67, 0x42, 0xC0}, pps{0x68, 0xCE}, sei{0x06, 0x05, 0x10}, idr{0x65, 0x88, 0x84},
    pslice{0x41, 0x9A}, aud{0x09, 0xF0};
const Bytes vps{0x40, 0x01, 0x0C}, hsps{0x42, 0x01, 0x01}, hpps{0x44, 0x01, 0xC1}, hsei{0x4E, 0x01, 0x05},
    hidr{0x26, 0x01, 0xAF}, htrail{0x02, 0x01, 0xD0};

TEST(NalAssemble, KeyframeKeepsInBandSetsOnceInFrontAndDropsAuxiliaryUnits) {
    const std::vector<Bytes> otherSets{{0x67, 0x99}, {0x68, 0x99}};
    EXPECT_EQ(assembleFrame(h264, annexB({aud, sps, pps, sei, idr}), true, otherSets),
              lengthPrefixed({sps, pps, idr}));
    // Out of order and repeated: put in order, each once.
    EXPECT_EQ(assembleFrame(h264, annexB({pps, sps, idr, sps}), true, otherSets),
              lengthPrefixed({sps, pps, idr}));
    EXPECT_EQ(assembleFrame(hevc, annexB({hpps, vps, hsei, hsps, hidr}), true, {}),
              lengthPrefixed({vps, hsps, hpps, hidr}));
}

TEST(NalAssemble, KeyframeWithoutSetsTakesTheFallbackOnes) {
    const std::vector<Bytes> extradata{vps, hsps, hpps};
    EXPECT_EQ(assembleFrame(hevc, annexB({hsei, hidr}), true, extradata),
              lengthPrefixed({vps, hsps, hpps, hidr}));
    // Already length-prefixed input is taken as it is.
    EXPECT_EQ(assembleFrame(hevc, lengthPrefixed({hidr}), true, extradata),
              lengthPrefixed({vps, hsps, hpps, hidr}));
}

TEST(NalAssemble, OtherFramesGetNoSets) {
    EXPECT_EQ(assembleFrame(h264, annexB({aud, pslice}), false, std::vector<Bytes>{sps, pps}),
              lengthPrefixed({pslice}));
    EXPECT_EQ(assembleFrame(hevc, annexB({htrail}), false, std::vector<Bytes>{vps, hsps, hpps}),
              lengthPrefixed({htrail}));
    EXPECT_TRUE(assembleFrame(h264, annexB({aud, sei}), false, {}).empty());
}

TEST(NalAssemble, ParameterSetsOfExtradataSkipOtherUnits) {
    EXPECT_EQ(parameterSetsOf(hevc, annexB({vps, hsps, hpps, hsei})), (std::vector<Bytes>{vps, hsps, hpps}));
    EXPECT_TRUE(parameterSetsOf(h264, {}).empty());
}

}  // namespace
}  // namespace tarvello
