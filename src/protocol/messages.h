#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocol/byte_codec.h"
#include "protocol/option_set.h"

namespace tarvello {

enum class MsgType : uint8_t {
    hello = 0x01,
    resize = 0x03,
    key = 0x10,
    mouseRel = 0x11,
    mouseAbs = 0x12,
    button = 0x13,
    scroll = 0x14,
    text = 0x15,
    gesture = 0x16,
    requestKeyframe = 0x20,
    ping = 0x21,
    stats = 0x23,
    releaseAll = 0x24,
    uiScale = 0x05,
    helloAck = 0x02,
    pong = 0x22,
    cursor = 0x30,
    serverStats = 0x31,
    macStatus = 0x32,
    textFocus = 0x33,
    selection = 0x34,
    micRequest = 0x35,
    cameraRequest = 0x36,
    cursorImage = 0x37,
    gestureConfig = 0x38,
};
std::optional<MsgType> msgTypeFromRaw(uint8_t raw);

enum class VideoCodec : uint8_t { h264 = 1, hevc = 2 };
std::optional<VideoCodec> videoCodecFromRaw(uint8_t raw);
const char* codecName(VideoCodec c);  // "HEVC" or "H.264"

enum class GestureAction : uint8_t {
    spaceLeft = 1,
    spaceRight,
    missionControl,
    appExpose,
    launchpad,
    showDesktop,
    lookUp,
    smartZoom,
    magnify,
    rotate,
};
std::optional<GestureAction> gestureActionFromRaw(uint8_t raw);

enum class ScrollPhase : uint8_t { wheel = 0, began = 1, changed = 2, ended = 3 };
std::optional<ScrollPhase> scrollPhaseFromRaw(uint8_t raw);

struct MacStatus : OptionSet<MacStatus, uint8_t> {
    using OptionSet::OptionSet;
    static const MacStatus locked, noScreenRecording, noAccessibility;
};
inline constexpr MacStatus MacStatus::locked{MacStatus::fromRaw(0x01)};
inline constexpr MacStatus MacStatus::noScreenRecording{MacStatus::fromRaw(0x02)};
inline constexpr MacStatus MacStatus::noAccessibility{MacStatus::fromRaw(0x04)};

struct GestureConfig : OptionSet<GestureConfig, uint32_t> {
    using OptionSet::OptionSet;
    static const GestureConfig threeFingerSwipeSpaces, fourFingerSwipeSpaces, threeFingerMissionControl,
        fourFingerMissionControl, appExpose, pinchLaunchpad, spreadDesktop, threeFingerTapLookUp, smartZoom,
        pinchZoom, rotate, twoFingerRightClick, threeFingerDrag, macDefault;
};
inline constexpr GestureConfig GestureConfig::threeFingerSwipeSpaces{GestureConfig::fromRaw(0x1)};
inline constexpr GestureConfig GestureConfig::fourFingerSwipeSpaces{GestureConfig::fromRaw(0x2)};
inline constexpr GestureConfig GestureConfig::threeFingerMissionControl{GestureConfig::fromRaw(0x4)};
inline constexpr GestureConfig GestureConfig::fourFingerMissionControl{GestureConfig::fromRaw(0x8)};
inline constexpr GestureConfig GestureConfig::appExpose{GestureConfig::fromRaw(0x10)};
inline constexpr GestureConfig GestureConfig::pinchLaunchpad{GestureConfig::fromRaw(0x20)};
inline constexpr GestureConfig GestureConfig::spreadDesktop{GestureConfig::fromRaw(0x40)};
inline constexpr GestureConfig GestureConfig::threeFingerTapLookUp{GestureConfig::fromRaw(0x80)};
inline constexpr GestureConfig GestureConfig::smartZoom{GestureConfig::fromRaw(0x100)};
inline constexpr GestureConfig GestureConfig::pinchZoom{GestureConfig::fromRaw(0x200)};
inline constexpr GestureConfig GestureConfig::rotate{GestureConfig::fromRaw(0x400)};
inline constexpr GestureConfig GestureConfig::twoFingerRightClick{GestureConfig::fromRaw(0x800)};
inline constexpr GestureConfig GestureConfig::threeFingerDrag{GestureConfig::fromRaw(0x1000)};
inline constexpr GestureConfig GestureConfig::macDefault{GestureConfig::fromRaw(0xF7F)};

struct HelloFlags : OptionSet<HelloFlags, uint8_t> {
    using OptionSet::OptionSet;
};

// ---- Handshake ----

struct Hello {
    uint32_t version = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t refreshRate = 0;
    std::string text;  // code, then optional name and text scale on their own lines
};
Hello decodeHello(std::span<const uint8_t> payload);
Bytes buildHello(const Hello& h);

struct HelloAck {
    bool accepted = false;
    uint32_t sessionId = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t codec = 0;
    std::string text;  // host name when accepted, reason when refused
};
HelloAck decodeHelloAck(std::span<const uint8_t> payload);
Bytes buildHelloAccepted(uint32_t sessionId, uint16_t width, uint16_t height, VideoCodec codec,
                         std::string_view hostName);
Bytes buildHelloRefused(std::string_view reason);

// Registration datagram: magic + big-endian session id.
Bytes buildRegistration(uint32_t sessionId);
// The session id of a registration datagram, or nothing when it is none.
std::optional<uint32_t> decodeRegistration(std::span<const uint8_t> datagram);

// ---- Incoming (phone to computer) ----

struct ResizeMsg {
    uint16_t width = 0, height = 0;
};
struct KeyMsg {
    uint16_t usage = 0;
    bool down = false;
};
struct MouseRelMsg {
    float dx = 0, dy = 0;
};
struct MouseAbsMsg {
    float x = 0, y = 0;
};
struct ButtonMsg {
    uint8_t button = 0;
    bool down = false;
};
struct ScrollMsg {
    float dx = 0, dy = 0;
    ScrollPhase phase = ScrollPhase::wheel;
};
struct GestureMsg {
    GestureAction action{};
    float value = 0;
    ScrollPhase phase = ScrollPhase::changed;
};
struct StatsMsg {
    uint32_t received = 0, dropped = 0;
};

ResizeMsg decodeResize(std::span<const uint8_t> p);
KeyMsg decodeKey(std::span<const uint8_t> p);
MouseRelMsg decodeMouseRel(std::span<const uint8_t> p);
MouseAbsMsg decodeMouseAbs(std::span<const uint8_t> p);
ButtonMsg decodeButton(std::span<const uint8_t> p);
ScrollMsg decodeScroll(std::span<const uint8_t> p);  // unknown phase reads as wheel
std::string decodeText(std::span<const uint8_t> p);
std::optional<GestureMsg> decodeGesture(std::span<const uint8_t> p);  // unknown action: nothing
uint64_t decodePing(std::span<const uint8_t> p);
StatsMsg decodeStats(std::span<const uint8_t> p);
float decodeUiScale(std::span<const uint8_t> p);

Bytes buildResize(uint16_t width, uint16_t height);
Bytes buildKey(uint16_t usage, bool down);
Bytes buildMouseRel(float dx, float dy);
Bytes buildMouseAbs(float x, float y);
Bytes buildButton(uint8_t button, bool down);
Bytes buildScroll(float dx, float dy, ScrollPhase phase);
Bytes buildText(std::string_view text);
Bytes buildGesture(GestureAction action, float value, ScrollPhase phase);
Bytes buildRequestKeyframe();
Bytes buildPing(uint64_t value);
Bytes buildStats(uint32_t received, uint32_t dropped);
Bytes buildReleaseAll();
Bytes buildUiScale(float scale);

// ---- Outgoing (computer to phone) ----

struct SelectionMsg {
    bool present = false;
    float startX = 0, startY = 0, endX = 0, endY = 0, height = 0;
};
struct CursorImageMsg {
    float hotX = 0, hotY = 0, width = 0, height = 0;
    Bytes png;
};

Bytes buildPong(uint64_t value);
Bytes buildCursor(float x, float y);
Bytes buildServerStats(uint32_t kbps, uint8_t fps);
Bytes buildMacStatus(MacStatus status);
Bytes buildTextFocus(bool focused);
Bytes buildSelection(const SelectionMsg& s);
Bytes buildMicRequest(bool wanted);
Bytes buildCameraRequest(bool wanted);
Bytes buildCursorImage(float hotX, float hotY, float width, float height, std::span<const uint8_t> png);
Bytes buildGestureConfig(GestureConfig config);

// Decoders of the outgoing messages, for the phone's side (peer tool, tests).
struct CursorMsg {
    float x = 0, y = 0;
    bool shown = false;
};
struct ServerStatsMsg {
    uint32_t kbps = 0;
    uint8_t fps = 0;
};
CursorMsg decodeCursor(std::span<const uint8_t> p);
ServerStatsMsg decodeServerStats(std::span<const uint8_t> p);
SelectionMsg decodeSelection(std::span<const uint8_t> p);
CursorImageMsg decodeCursorImage(std::span<const uint8_t> p);

}  // namespace tarvello
