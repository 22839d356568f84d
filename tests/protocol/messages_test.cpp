#include "protocol/messages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/control_framer.h"
#include "protocol/pontel.h"

namespace tarvello {
namespace {

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes textBytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

// The payload of a single built frame, checking its length prefix on the way.
Bytes payloadOf(const Bytes& frame, MsgType expectedType) {
    ControlFramer f;
    f.append(frame);
    auto fr = f.next();
    EXPECT_TRUE(fr);
    if (!fr) return {};
    EXPECT_EQ(fr->type, static_cast<uint8_t>(expectedType));
    EXPECT_EQ(f.buffered(), 0u);
    return fr->payload;
}

// ---- Raw code conversions ----

struct MsgTypeCode {
    MsgType type;
    uint8_t code;
};

const MsgTypeCode kAllMsgTypes[] = {
    {MsgType::hello, 0x01},         {MsgType::resize, 0x03},
    {MsgType::key, 0x10},           {MsgType::mouseRel, 0x11},
    {MsgType::mouseAbs, 0x12},      {MsgType::button, 0x13},
    {MsgType::scroll, 0x14},        {MsgType::text, 0x15},
    {MsgType::gesture, 0x16},       {MsgType::requestKeyframe, 0x20},
    {MsgType::ping, 0x21},          {MsgType::stats, 0x23},
    {MsgType::releaseAll, 0x24},    {MsgType::uiScale, 0x05},
    {MsgType::helloAck, 0x02},      {MsgType::pong, 0x22},
    {MsgType::cursor, 0x30},        {MsgType::serverStats, 0x31},
    {MsgType::macStatus, 0x32},     {MsgType::textFocus, 0x33},
    {MsgType::selection, 0x34},     {MsgType::micRequest, 0x35},
    {MsgType::cameraRequest, 0x36}, {MsgType::cursorImage, 0x37},
    {MsgType::gestureConfig, 0x38},
};

TEST(MsgTypeRaw, EveryAssignedCodeRoundTrips) {
    for (const auto& c : kAllMsgTypes) {
        EXPECT_EQ(static_cast<uint8_t>(c.type), c.code);
        auto t = msgTypeFromRaw(c.code);
        ASSERT_TRUE(t) << int(c.code);
        EXPECT_EQ(*t, c.type);
    }
}

TEST(MsgTypeRaw, ExactlyTheTwentyFiveAssignedCodesConvert) {
    int converted = 0;
    for (int raw = 0; raw < 256; ++raw) {
        if (auto t = msgTypeFromRaw(uint8_t(raw))) {
            ++converted;
            EXPECT_EQ(static_cast<uint8_t>(*t), raw);
        }
    }
    EXPECT_EQ(converted, 25);
}

TEST(MsgTypeRaw, UnassignedCodesConvertToNothing) {
    for (uint8_t raw : {0x00, 0x04, 0x06, 0x0F, 0x17, 0x1F, 0x25, 0x2F, 0x39, 0x40, 0xFF}) {
        EXPECT_FALSE(msgTypeFromRaw(raw)) << int(raw);
    }
    EXPECT_EQ(msgTypeFromRaw(0x22), MsgType::pong);
    EXPECT_EQ(msgTypeFromRaw(0x05), MsgType::uiScale);
}

TEST(EnumRaw, VideoCodec) {
    EXPECT_EQ(videoCodecFromRaw(1), VideoCodec::h264);
    EXPECT_EQ(videoCodecFromRaw(2), VideoCodec::hevc);
    for (uint8_t raw : {0, 3, 0x10, 255}) EXPECT_FALSE(videoCodecFromRaw(raw)) << int(raw);
    EXPECT_STREQ(codecName(VideoCodec::hevc), "HEVC");
    EXPECT_STREQ(codecName(VideoCodec::h264), "H.264");
}

TEST(EnumRaw, GestureAction) {
    const GestureAction all[] = {GestureAction::spaceLeft,      GestureAction::spaceRight,
                                 GestureAction::missionControl, GestureAction::appExpose,
                                 GestureAction::launchpad,      GestureAction::showDesktop,
                                 GestureAction::lookUp,         GestureAction::smartZoom,
                                 GestureAction::magnify,        GestureAction::rotate};
    for (size_t i = 0; i < std::size(all); ++i) {
        EXPECT_EQ(gestureActionFromRaw(uint8_t(i + 1)), all[i]) << i;
    }
    for (uint8_t raw : {0, 11, 0x80, 255}) EXPECT_FALSE(gestureActionFromRaw(raw)) << int(raw);
}

TEST(EnumRaw, ScrollPhase) {
    EXPECT_EQ(scrollPhaseFromRaw(0), ScrollPhase::wheel);
    EXPECT_EQ(scrollPhaseFromRaw(1), ScrollPhase::began);
    EXPECT_EQ(scrollPhaseFromRaw(2), ScrollPhase::changed);
    EXPECT_EQ(scrollPhaseFromRaw(3), ScrollPhase::ended);
    for (uint8_t raw : {4, 5, 0x43, 0x80, 255}) EXPECT_FALSE(scrollPhaseFromRaw(raw)) << int(raw);
}

// ---- Option sets ----

TEST(GestureConfigSet, MacDefaultIsFirstTwelveWithoutLookUp) {
    const GestureConfig firstTwelve{GestureConfig::threeFingerSwipeSpaces,
                                    GestureConfig::fourFingerSwipeSpaces,
                                    GestureConfig::threeFingerMissionControl,
                                    GestureConfig::fourFingerMissionControl,
                                    GestureConfig::appExpose,
                                    GestureConfig::pinchLaunchpad,
                                    GestureConfig::spreadDesktop,
                                    GestureConfig::threeFingerTapLookUp,
                                    GestureConfig::smartZoom,
                                    GestureConfig::pinchZoom,
                                    GestureConfig::rotate,
                                    GestureConfig::twoFingerRightClick};
    GestureConfig expected = firstTwelve;
    expected.remove(GestureConfig::threeFingerTapLookUp);
    EXPECT_EQ(GestureConfig::macDefault, expected);
    EXPECT_EQ(GestureConfig::macDefault.rawValue, 0xF7Fu);
    EXPECT_FALSE(GestureConfig::macDefault.contains(GestureConfig::threeFingerTapLookUp));
    EXPECT_FALSE(GestureConfig::macDefault.contains(GestureConfig::threeFingerDrag));
    EXPECT_TRUE(GestureConfig::macDefault.contains(GestureConfig::twoFingerRightClick));
}

TEST(GestureConfigSet, MembersAreDistinctSingleBits) {
    const GestureConfig members[] = {GestureConfig::threeFingerSwipeSpaces,
                                     GestureConfig::fourFingerSwipeSpaces,
                                     GestureConfig::threeFingerMissionControl,
                                     GestureConfig::fourFingerMissionControl,
                                     GestureConfig::appExpose,
                                     GestureConfig::pinchLaunchpad,
                                     GestureConfig::spreadDesktop,
                                     GestureConfig::threeFingerTapLookUp,
                                     GestureConfig::smartZoom,
                                     GestureConfig::pinchZoom,
                                     GestureConfig::rotate,
                                     GestureConfig::twoFingerRightClick,
                                     GestureConfig::threeFingerDrag};
    for (size_t i = 0; i < std::size(members); ++i) EXPECT_EQ(members[i].rawValue, 1u << i) << i;
}

TEST(OptionSetAlgebra, ConstructionFromList) {
    EXPECT_EQ(GestureConfig(std::initializer_list<GestureConfig>{}).rawValue, 0u);
    EXPECT_TRUE(GestureConfig(std::initializer_list<GestureConfig>{}).empty());
    EXPECT_TRUE(GestureConfig().empty());
    const MacStatus s{MacStatus::locked, MacStatus::noAccessibility};
    EXPECT_EQ(s.rawValue, 0x05);
    const MacStatus repeated{MacStatus::locked, MacStatus::locked};
    EXPECT_EQ(repeated.rawValue, 0x01);
}

TEST(OptionSetAlgebra, UnionIntersectionSymmetricDifference) {
    const GestureConfig a{GestureConfig::rotate, GestureConfig::smartZoom};
    const GestureConfig b{GestureConfig::smartZoom, GestureConfig::pinchZoom};
    EXPECT_EQ(a.unionWith(b).rawValue, 0x700u);
    EXPECT_EQ((a | b), a.unionWith(b));
    EXPECT_EQ(a.intersection(b), GestureConfig::smartZoom);
    EXPECT_EQ((a & b), GestureConfig::smartZoom);
    EXPECT_EQ(a.symmetricDifference(b).rawValue, 0x600u);
    EXPECT_TRUE(a.symmetricDifference(a).empty());
}

TEST(OptionSetAlgebra, InsertAndRemove) {
    MacStatus s;
    s.insert(MacStatus::noScreenRecording);
    s.insert(MacStatus::noScreenRecording);
    EXPECT_EQ(s.rawValue, 0x02);
    s.insert(MacStatus::locked);
    EXPECT_EQ(s.rawValue, 0x03);
    s.remove(MacStatus::noAccessibility);  // absent member: no change
    EXPECT_EQ(s.rawValue, 0x03);
    s.remove(MacStatus::noScreenRecording);
    EXPECT_EQ(s, MacStatus::locked);
    s.remove(MacStatus::locked);
    EXPECT_TRUE(s.empty());
}

TEST(OptionSetAlgebra, SubsetAndDisjoint) {
    const MacStatus all{MacStatus::locked, MacStatus::noScreenRecording, MacStatus::noAccessibility};
    const MacStatus some{MacStatus::locked, MacStatus::noAccessibility};
    const MacStatus none;
    EXPECT_TRUE(some.isSubset(all));
    EXPECT_FALSE(all.isSubset(some));
    EXPECT_TRUE(some.isSubset(some));
    EXPECT_TRUE(none.isSubset(some));
    EXPECT_TRUE(some.isDisjoint(MacStatus::noScreenRecording));
    EXPECT_FALSE(some.isDisjoint(MacStatus::locked));
    EXPECT_TRUE(none.isDisjoint(all));
    EXPECT_TRUE(all.contains(some));
    EXPECT_FALSE(some.contains(all));
    EXPECT_FALSE(all.empty());
}

// ---- Handshake ----

TEST(HelloMessage, DecodesHandWrittenPayloadIgnoringReservedByte) {
    const Bytes payload = concat({Bytes{0x00, 0x00, 0x00, 0x03, 0x04, 0x9B, 0x09, 0xFC, 0x78, 0xEE},
                                  textBytes("123456\nAnna's phone\n1.5")});
    const Hello h = decodeHello(payload);
    EXPECT_EQ(h.version, Pontel::protocolVersion);
    EXPECT_EQ(h.width, 1179);
    EXPECT_EQ(h.height, 2556);
    EXPECT_EQ(h.refreshRate, 120);
    EXPECT_EQ(h.text, "123456\nAnna's phone\n1.5");
}

TEST(HelloMessage, BuildWritesReservedZeroAndTextToTheEnd) {
    const Bytes expected =
        concat({Bytes{0x00, 0x15, 0x01, 0x00, 0x00, 0x00, 0x03, 0x04, 0x9B, 0x09, 0xFC, 0x3C, 0x00},
                textBytes("654321\nPad")});
    EXPECT_EQ(buildHello({3, 1179, 2556, 60, "654321\nPad"}), expected);
}

TEST(HelloMessage, TruncatedPayloadReadsZerosAndInvalidTextIsRepaired) {
    const Hello shortHello = decodeHello(Bytes{0x00, 0x00, 0x00});
    EXPECT_EQ(shortHello.version, 0u);
    EXPECT_EQ(shortHello.width, 0);
    EXPECT_TRUE(shortHello.text.empty());

    const Hello bad = decodeHello(Bytes{0, 0, 0, 3, 0, 2, 0, 2, 60, 0, '1', 0xFF, '2'});
    EXPECT_EQ(bad.text,
              "1\xEF\xBF\xBD"
              "2");
}

TEST(HelloAckMessage, RefusalIsTenZerosAndTheReason) {
    const Bytes frame = buildHelloRefused("Wrong code");
    const Bytes expected =
        concat({Bytes{0x00, 0x15, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, textBytes("Wrong code")});
    EXPECT_EQ(frame, expected);

    const Bytes payload = payloadOf(frame, MsgType::helloAck);
    EXPECT_EQ(payload.size(), 20u);
    const HelloAck a = decodeHelloAck(payload);
    EXPECT_FALSE(a.accepted);
    EXPECT_EQ(a.sessionId, 0u);
    EXPECT_EQ(a.width, 0);
    EXPECT_EQ(a.height, 0);
    EXPECT_EQ(a.codec, 0);
    EXPECT_EQ(a.text, "Wrong code");
}

TEST(HelloAckMessage, AcceptedLayout) {
    const Bytes frame = buildHelloAccepted(0xDEADBEEF, 1180, 2556, VideoCodec::hevc, "studio");
    const Bytes expected =
        concat({Bytes{0x00, 0x11, 0x02, 0x01, 0xDE, 0xAD, 0xBE, 0xEF, 0x04, 0x9C, 0x09, 0xFC, 0x02},
                textBytes("studio")});
    EXPECT_EQ(frame, expected);

    const HelloAck a = decodeHelloAck(payloadOf(frame, MsgType::helloAck));
    EXPECT_TRUE(a.accepted);
    EXPECT_EQ(a.sessionId, 0xDEADBEEFu);
    EXPECT_EQ(a.width, 1180);
    EXPECT_EQ(a.height, 2556);
    EXPECT_EQ(a.codec, 2);
    EXPECT_EQ(a.text, "studio");

    EXPECT_EQ(buildHelloAccepted(1, 2, 4, VideoCodec::h264, "")[12], 0x01);
}

TEST(RegistrationDatagram, IsMagicThenBigEndianSessionId) {
    const Bytes d = buildRegistration(0x01020304);
    EXPECT_EQ(d, (Bytes{0x50, 0x4E, 0x55, 0x50, 0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(decodeRegistration(d), 0x01020304u);
}

TEST(RegistrationDatagram, DecodeCases) {
    EXPECT_FALSE(decodeRegistration(Bytes{0x50, 0x4E, 0x55, 0x50, 0x01, 0x02, 0x03}));
    EXPECT_FALSE(decodeRegistration(Bytes{}));
    EXPECT_FALSE(decodeRegistration(Bytes{0x50, 0x4E, 0x55, 0x51, 0x01, 0x02, 0x03, 0x04}));
    EXPECT_FALSE(decodeRegistration(Bytes{0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03}));
    EXPECT_EQ(decodeRegistration(Bytes{0x50, 0x4E, 0x55, 0x50, 0xFF, 0xFF, 0xFF, 0xFE, 0xAA, 0xBB}),
              0xFFFFFFFEu);
}

// ---- Golden frames of every builder ----

struct BuilderCase {
    const char* name;
    Bytes built;
    Bytes expected;
};

class BuilderGolden : public ::testing::TestWithParam<BuilderCase> {};

TEST_P(BuilderGolden, ProducesExactFrame) {
    EXPECT_EQ(GetParam().built, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, BuilderGolden,
    ::testing::Values(
        BuilderCase{"resize", buildResize(1180, 2556), {0x00, 0x05, 0x03, 0x04, 0x9C, 0x09, 0xFC}},
        BuilderCase{"keyDown", buildKey(0x00E1, true), {0x00, 0x04, 0x10, 0x00, 0xE1, 0x01}},
        BuilderCase{"keyUp", buildKey(0x0104, false), {0x00, 0x04, 0x10, 0x01, 0x04, 0x00}},
        BuilderCase{"mouseRel",
                    buildMouseRel(1.0f, -2.5f),
                    {0x00, 0x09, 0x11, 0x3F, 0x80, 0x00, 0x00, 0xC0, 0x20, 0x00, 0x00}},
        BuilderCase{"mouseAbs",
                    buildMouseAbs(0.5f, 0.25f),
                    {0x00, 0x09, 0x12, 0x3F, 0x00, 0x00, 0x00, 0x3E, 0x80, 0x00, 0x00}},
        BuilderCase{"button", buildButton(1, true), {0x00, 0x03, 0x13, 0x01, 0x01}},
        BuilderCase{"scroll",
                    buildScroll(0.0f, 2.0f, ScrollPhase::ended),
                    {0x00, 0x0A, 0x14, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x03}},
        BuilderCase{"text", buildText("h\xC3\xA9"), {0x00, 0x04, 0x15, 0x68, 0xC3, 0xA9}},
        BuilderCase{"emptyText", buildText(""), {0x00, 0x01, 0x15}},
        BuilderCase{"gesture",
                    buildGesture(GestureAction::magnify, 1.0f, ScrollPhase::began),
                    {0x00, 0x07, 0x16, 0x09, 0x3F, 0x80, 0x00, 0x00, 0x01}},
        BuilderCase{"requestKeyframe", buildRequestKeyframe(), {0x00, 0x01, 0x20}},
        BuilderCase{"ping",
                    buildPing(0x0102030405060708ull),
                    {0x00, 0x09, 0x21, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}},
        BuilderCase{"stats", buildStats(60, 2), {0x00, 0x09, 0x23, 0, 0, 0, 0x3C, 0, 0, 0, 0x02}},
        BuilderCase{"releaseAll", buildReleaseAll(), {0x00, 0x01, 0x24}},
        BuilderCase{"uiScale", buildUiScale(2.0f), {0x00, 0x05, 0x05, 0x40, 0x00, 0x00, 0x00}},
        BuilderCase{"pong",
                    buildPong(0xFFFFFFFFFFFFFFFFull),
                    {0x00, 0x09, 0x22, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        BuilderCase{"cursorMiddle",
                    buildCursor(0.5f, 0.5f),
                    {0x00, 0x0A, 0x30, 0x3F, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00, 0x01}},
        BuilderCase{"serverStats20MbitAt60",
                    buildServerStats(20000000 / 1000, 60),
                    {0x00, 0x06, 0x31, 0x00, 0x00, 0x4E, 0x20, 0x3C}},
        BuilderCase{"macStatus",
                    buildMacStatus({MacStatus::locked, MacStatus::noAccessibility}),
                    {0x00, 0x02, 0x32, 0x05}},
        BuilderCase{"textFocusOn", buildTextFocus(true), {0x00, 0x02, 0x33, 0x01}},
        BuilderCase{"textFocusOff", buildTextFocus(false), {0x00, 0x02, 0x33, 0x00}},
        BuilderCase{"selectionPresent",
                    buildSelection({true, 0.5f, 0.25f, 1.0f, 2.0f, 0.5f}),
                    {0x00, 0x16, 0x34, 0x01, 0x3F, 0x00, 0x00, 0x00, 0x3E, 0x80, 0x00, 0x00,
                     0x3F, 0x80, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00}},
        BuilderCase{"selectionAbsentWritesZeros",
                    buildSelection({false, 0.5f, 0.25f, 1.0f, 2.0f, 0.5f}),
                    {0x00, 0x16, 0x34, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        BuilderCase{"micRequest", buildMicRequest(true), {0x00, 0x02, 0x35, 0x01}},
        BuilderCase{"cameraRequest", buildCameraRequest(false), {0x00, 0x02, 0x36, 0x00}},
        BuilderCase{"cursorImage",
                    buildCursorImage(1.0f, 2.0f, 0.5f, 0.25f, Bytes{0x89, 0x50}),
                    {0x00, 0x13, 0x37, 0x3F, 0x80, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00,
                     0x3F, 0x00, 0x00, 0x00, 0x3E, 0x80, 0x00, 0x00, 0x89, 0x50}},
        BuilderCase{"gestureConfig",
                    buildGestureConfig(GestureConfig::macDefault),
                    {0x00, 0x05, 0x38, 0x00, 0x00, 0x0F, 0x7F}}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(CursorImageMessage, PictureTooLargeToFrameYieldsNoFrame) {
    const Bytes fits(65535 - 17, 0x42);
    const Bytes built = buildCursorImage(0, 0, 1, 1, fits);
    ASSERT_EQ(built.size(), 65537u);
    EXPECT_EQ(decodeCursorImage(payloadOf(built, MsgType::cursorImage)).png, fits);

    const Bytes tooLarge(65535 - 16, 0x42);
    EXPECT_TRUE(buildCursorImage(0, 0, 1, 1, tooLarge).empty());
}

// ---- Decoding: built frames read back, and the zero-fill and unknown-value rules ----

TEST(IncomingDecode, BuiltFramesReadBack) {
    const auto resize = decodeResize(payloadOf(buildResize(1180, 2556), MsgType::resize));
    EXPECT_EQ(resize.width, 1180);
    EXPECT_EQ(resize.height, 2556);

    const auto key = decodeKey(payloadOf(buildKey(0x00E1, true), MsgType::key));
    EXPECT_EQ(key.usage, 0x00E1);
    EXPECT_TRUE(key.down);

    const auto rel = decodeMouseRel(payloadOf(buildMouseRel(-3.25f, 7.5f), MsgType::mouseRel));
    EXPECT_EQ(rel.dx, -3.25f);
    EXPECT_EQ(rel.dy, 7.5f);

    const auto abs = decodeMouseAbs(payloadOf(buildMouseAbs(0.125f, 1.0f), MsgType::mouseAbs));
    EXPECT_EQ(abs.x, 0.125f);
    EXPECT_EQ(abs.y, 1.0f);

    const auto button = decodeButton(payloadOf(buildButton(2, false), MsgType::button));
    EXPECT_EQ(button.button, 2);
    EXPECT_FALSE(button.down);

    const auto scroll =
        decodeScroll(payloadOf(buildScroll(-1.5f, 300.0f, ScrollPhase::changed), MsgType::scroll));
    EXPECT_EQ(scroll.dx, -1.5f);
    EXPECT_EQ(scroll.dy, 300.0f);
    EXPECT_EQ(scroll.phase, ScrollPhase::changed);

    EXPECT_EQ(decodeText(payloadOf(buildText("Grüße ✓"), MsgType::text)), "Grüße ✓");

    const auto gesture = decodeGesture(
        payloadOf(buildGesture(GestureAction::rotate, -0.5f, ScrollPhase::ended), MsgType::gesture));
    ASSERT_TRUE(gesture);
    EXPECT_EQ(gesture->action, GestureAction::rotate);
    EXPECT_EQ(gesture->value, -0.5f);
    EXPECT_EQ(gesture->phase, ScrollPhase::ended);

    EXPECT_EQ(decodePing(payloadOf(buildPing(0x8000000000000001ull), MsgType::ping)), 0x8000000000000001ull);

    const auto stats = decodeStats(payloadOf(buildStats(0xFFFFFFFF, 17), MsgType::stats));
    EXPECT_EQ(stats.received, 0xFFFFFFFFu);
    EXPECT_EQ(stats.dropped, 17u);

    EXPECT_EQ(decodeUiScale(payloadOf(buildUiScale(1.75f), MsgType::uiScale)), 1.75f);
    EXPECT_TRUE(payloadOf(buildRequestKeyframe(), MsgType::requestKeyframe).empty());
    EXPECT_TRUE(payloadOf(buildReleaseAll(), MsgType::releaseAll).empty());
}

TEST(IncomingDecode, KeyWithTwoBytesIsARelease) {
    const KeyMsg k = decodeKey(Bytes{0x00, 0x04});
    EXPECT_EQ(k.usage, 0x0004);
    EXPECT_FALSE(k.down);
}

TEST(IncomingDecode, AnyNonZeroByteMeansDown) {
    EXPECT_TRUE(decodeKey(Bytes{0x00, 0x04, 0x80}).down);
    EXPECT_TRUE(decodeButton(Bytes{0x00, 0xFF}).down);
}

TEST(IncomingDecode, ShortPayloadsReadAsZeros) {
    const auto scroll = decodeScroll(Bytes{0x3F, 0x80, 0x00, 0x00, 0x40});
    EXPECT_EQ(scroll.dx, 1.0f);
    EXPECT_EQ(scroll.dy, 2.0f);  // 40 00 00 00
    EXPECT_EQ(scroll.phase, ScrollPhase::wheel);

    const auto stats = decodeStats(Bytes{0x00, 0x00, 0x00, 0x05, 0x01});
    EXPECT_EQ(stats.received, 5u);
    EXPECT_EQ(stats.dropped, 0x01000000u);

    EXPECT_EQ(decodePing(Bytes{0xAB}), 0xAB00000000000000ull);
    EXPECT_EQ(decodeUiScale(Bytes{}), 0.0f);
    const auto resize = decodeResize(Bytes{0x01});
    EXPECT_EQ(resize.width, 0x0100);
    EXPECT_EQ(resize.height, 0);
}

TEST(IncomingDecode, ScrollWithUnknownPhaseIsWheel) {
    for (uint8_t phase : {4, 0x83, 0xFF}) {
        EXPECT_EQ(decodeScroll(Bytes{0, 0, 0, 0, 0, 0, 0, 0, phase}).phase, ScrollPhase::wheel) << int(phase);
    }
}

TEST(IncomingDecode, GestureUnknownActionIsNothingAndUnknownPhaseIsChanged) {
    EXPECT_FALSE(decodeGesture(Bytes{0x00, 0x3F, 0x80, 0x00, 0x00, 0x01}));
    EXPECT_FALSE(decodeGesture(Bytes{0x0B, 0x3F, 0x80, 0x00, 0x00, 0x01}));
    EXPECT_FALSE(decodeGesture(Bytes{}));

    const auto g = decodeGesture(Bytes{0x03, 0x00, 0x00, 0x00, 0x00, 0x09});
    ASSERT_TRUE(g);
    EXPECT_EQ(g->action, GestureAction::missionControl);
    EXPECT_EQ(g->phase, ScrollPhase::changed);

    // Truncated after the action: zero value, zero phase (wheel).
    const auto shortG = decodeGesture(Bytes{0x09});
    ASSERT_TRUE(shortG);
    EXPECT_EQ(shortG->value, 0.0f);
    EXPECT_EQ(shortG->phase, ScrollPhase::wheel);
}

TEST(IncomingDecode, TextIsRepaired) {
    EXPECT_EQ(decodeText(Bytes{'o', 0xC0, 0x80, 'k'}), "o\xEF\xBF\xBD\xEF\xBF\xBDk");
    EXPECT_EQ(decodeText(Bytes{}), "");
}

TEST(OutgoingDecode, BuiltFramesReadBack) {
    const auto cursor = decodeCursor(payloadOf(buildCursor(0.5f, 0.5f), MsgType::cursor));
    EXPECT_EQ(cursor.x, 0.5f);
    EXPECT_EQ(cursor.y, 0.5f);
    EXPECT_TRUE(cursor.shown);

    const Bytes statsPayload = payloadOf(buildServerStats(20000, 60), MsgType::serverStats);
    EXPECT_EQ(statsPayload, (Bytes{0x00, 0x00, 0x4E, 0x20, 0x3C}));
    const auto stats = decodeServerStats(statsPayload);
    EXPECT_EQ(stats.kbps, 20000u);
    EXPECT_EQ(stats.fps, 60);

    const auto sel =
        decodeSelection(payloadOf(buildSelection({true, 0.1f, 0.2f, 0.3f, 0.4f, 0.05f}), MsgType::selection));
    EXPECT_TRUE(sel.present);
    EXPECT_EQ(sel.startX, 0.1f);
    EXPECT_EQ(sel.startY, 0.2f);
    EXPECT_EQ(sel.endX, 0.3f);
    EXPECT_EQ(sel.endY, 0.4f);
    EXPECT_EQ(sel.height, 0.05f);

    const Bytes png{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    const auto img = decodeCursorImage(payloadOf(buildCursorImage(3, 4, 24, 32, png), MsgType::cursorImage));
    EXPECT_EQ(img.hotX, 3.0f);
    EXPECT_EQ(img.hotY, 4.0f);
    EXPECT_EQ(img.width, 24.0f);
    EXPECT_EQ(img.height, 32.0f);
    EXPECT_EQ(img.png, png);

    EXPECT_EQ(
        payloadOf(buildGestureConfig(GestureConfig{GestureConfig::threeFingerDrag}), MsgType::gestureConfig),
        (Bytes{0x00, 0x00, 0x10, 0x00}));
    EXPECT_EQ(payloadOf(buildPong(42), MsgType::pong), (Bytes{0, 0, 0, 0, 0, 0, 0, 42}));
}

}  // namespace
}  // namespace tarvello
