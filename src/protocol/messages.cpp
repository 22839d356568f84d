#include "protocol/messages.h"

#include "protocol/control_framer.h"
#include "protocol/pontel.h"

namespace tarvello {

std::optional<MsgType> msgTypeFromRaw(uint8_t raw) {
    switch (raw) {
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x05:
        case 0x10:
        case 0x11:
        case 0x12:
        case 0x13:
        case 0x14:
        case 0x15:
        case 0x16:
        case 0x20:
        case 0x21:
        case 0x22:
        case 0x23:
        case 0x24:
        case 0x30:
        case 0x31:
        case 0x32:
        case 0x33:
        case 0x34:
        case 0x35:
        case 0x36:
        case 0x37:
        case 0x38: return static_cast<MsgType>(raw);
        default: return std::nullopt;
    }
}

std::optional<VideoCodec> videoCodecFromRaw(uint8_t raw) {
    if (raw == 1 || raw == 2) return static_cast<VideoCodec>(raw);
    return std::nullopt;
}

const char* codecName(VideoCodec c) {
    return c == VideoCodec::hevc ? "HEVC" : "H.264";
}

std::optional<GestureAction> gestureActionFromRaw(uint8_t raw) {
    if (raw >= 1 && raw <= 10) return static_cast<GestureAction>(raw);
    return std::nullopt;
}

std::optional<ScrollPhase> scrollPhaseFromRaw(uint8_t raw) {
    if (raw <= 3) return static_cast<ScrollPhase>(raw);
    return std::nullopt;
}

namespace {
Bytes frame(MsgType t, const std::function<void(ByteWriter&)>& body = {}) {
    return ControlFramer::encode(static_cast<uint8_t>(t), body);
}
}  // namespace

// ---- Handshake ----

Hello decodeHello(std::span<const uint8_t> payload) {
    ByteReader r(payload);
    Hello h;
    h.version = r.readU32();
    h.width = r.readU16();
    h.height = r.readU16();
    h.refreshRate = r.readU8();
    r.readU8();  // reserved
    h.text = r.readText();
    return h;
}

Bytes buildHello(const Hello& h) {
    return frame(MsgType::hello, [&](ByteWriter& w) {
        w.writeU32(h.version);
        w.writeU16(h.width);
        w.writeU16(h.height);
        w.writeU8(h.refreshRate);
        w.writeU8(0);
        w.writeText(h.text);
    });
}

HelloAck decodeHelloAck(std::span<const uint8_t> payload) {
    ByteReader r(payload);
    HelloAck a;
    a.accepted = r.readU8() != 0;
    a.sessionId = r.readU32();
    a.width = r.readU16();
    a.height = r.readU16();
    a.codec = r.readU8();
    a.text = r.readText();
    return a;
}

Bytes buildHelloAccepted(uint32_t sessionId, uint16_t width, uint16_t height, VideoCodec codec,
                         std::string_view hostName) {
    return frame(MsgType::helloAck, [&](ByteWriter& w) {
        w.writeU8(1);
        w.writeU32(sessionId);
        w.writeU16(width);
        w.writeU16(height);
        w.writeU8(static_cast<uint8_t>(codec));
        w.writeText(hostName);
    });
}

Bytes buildHelloRefused(std::string_view reason) {
    return frame(MsgType::helloAck, [&](ByteWriter& w) {
        w.writeU8(0);
        w.writeU32(0);
        w.writeU16(0);
        w.writeU16(0);
        w.writeU8(0);
        w.writeText(reason);
    });
}

Bytes buildRegistration(uint32_t sessionId) {
    ByteWriter w(8);
    w.writeData(Pontel::udpMagic);
    w.writeU32(sessionId);
    return std::move(w.data);
}

std::optional<uint32_t> decodeRegistration(std::span<const uint8_t> d) {
    if (d.size() < 8) return std::nullopt;
    for (size_t i = 0; i < 4; ++i) {
        if (d[i] != Pontel::udpMagic[i]) return std::nullopt;
    }
    ByteReader r(d.subspan(4, 4));
    return r.readU32();
}

// ---- Incoming ----

ResizeMsg decodeResize(std::span<const uint8_t> p) {
    ByteReader r(p);
    ResizeMsg m;
    m.width = r.readU16();
    m.height = r.readU16();
    return m;
}

KeyMsg decodeKey(std::span<const uint8_t> p) {
    ByteReader r(p);
    KeyMsg m;
    m.usage = r.readU16();
    m.down = r.readU8() != 0;
    return m;
}

MouseRelMsg decodeMouseRel(std::span<const uint8_t> p) {
    ByteReader r(p);
    MouseRelMsg m;
    m.dx = r.readF32();
    m.dy = r.readF32();
    return m;
}

MouseAbsMsg decodeMouseAbs(std::span<const uint8_t> p) {
    ByteReader r(p);
    MouseAbsMsg m;
    m.x = r.readF32();
    m.y = r.readF32();
    return m;
}

ButtonMsg decodeButton(std::span<const uint8_t> p) {
    ByteReader r(p);
    ButtonMsg m;
    m.button = r.readU8();
    m.down = r.readU8() != 0;
    return m;
}

ScrollMsg decodeScroll(std::span<const uint8_t> p) {
    ByteReader r(p);
    ScrollMsg m;
    m.dx = r.readF32();
    m.dy = r.readF32();
    m.phase = scrollPhaseFromRaw(r.readU8()).value_or(ScrollPhase::wheel);
    return m;
}

std::string decodeText(std::span<const uint8_t> p) {
    return repairUtf8(p);
}

std::optional<GestureMsg> decodeGesture(std::span<const uint8_t> p) {
    ByteReader r(p);
    auto action = gestureActionFromRaw(r.readU8());
    if (!action) return std::nullopt;
    GestureMsg m;
    m.action = *action;
    m.value = r.readF32();
    m.phase = scrollPhaseFromRaw(r.readU8()).value_or(ScrollPhase::changed);
    return m;
}

uint64_t decodePing(std::span<const uint8_t> p) {
    ByteReader r(p);
    return r.readU64();
}

StatsMsg decodeStats(std::span<const uint8_t> p) {
    ByteReader r(p);
    StatsMsg m;
    m.received = r.readU32();
    m.dropped = r.readU32();
    return m;
}

float decodeUiScale(std::span<const uint8_t> p) {
    ByteReader r(p);
    return r.readF32();
}

Bytes buildResize(uint16_t width, uint16_t height) {
    return frame(MsgType::resize, [&](ByteWriter& w) {
        w.writeU16(width);
        w.writeU16(height);
    });
}

Bytes buildKey(uint16_t usage, bool down) {
    return frame(MsgType::key, [&](ByteWriter& w) {
        w.writeU16(usage);
        w.writeU8(down ? 1 : 0);
    });
}

Bytes buildMouseRel(float dx, float dy) {
    return frame(MsgType::mouseRel, [&](ByteWriter& w) {
        w.writeF32(dx);
        w.writeF32(dy);
    });
}

Bytes buildMouseAbs(float x, float y) {
    return frame(MsgType::mouseAbs, [&](ByteWriter& w) {
        w.writeF32(x);
        w.writeF32(y);
    });
}

Bytes buildButton(uint8_t button, bool down) {
    return frame(MsgType::button, [&](ByteWriter& w) {
        w.writeU8(button);
        w.writeU8(down ? 1 : 0);
    });
}

Bytes buildScroll(float dx, float dy, ScrollPhase phase) {
    return frame(MsgType::scroll, [&](ByteWriter& w) {
        w.writeF32(dx);
        w.writeF32(dy);
        w.writeU8(static_cast<uint8_t>(phase));
    });
}

Bytes buildText(std::string_view text) {
    return frame(MsgType::text, [&](ByteWriter& w) { w.writeText(text); });
}

Bytes buildGesture(GestureAction action, float value, ScrollPhase phase) {
    return frame(MsgType::gesture, [&](ByteWriter& w) {
        w.writeU8(static_cast<uint8_t>(action));
        w.writeF32(value);
        w.writeU8(static_cast<uint8_t>(phase));
    });
}

Bytes buildRequestKeyframe() {
    return frame(MsgType::requestKeyframe);
}

Bytes buildPing(uint64_t value) {
    return frame(MsgType::ping, [&](ByteWriter& w) { w.writeU64(value); });
}

Bytes buildStats(uint32_t received, uint32_t dropped) {
    return frame(MsgType::stats, [&](ByteWriter& w) {
        w.writeU32(received);
        w.writeU32(dropped);
    });
}

Bytes buildReleaseAll() {
    return frame(MsgType::releaseAll);
}

Bytes buildUiScale(float scale) {
    return frame(MsgType::uiScale, [&](ByteWriter& w) { w.writeF32(scale); });
}

// ---- Outgoing ----

Bytes buildPong(uint64_t value) {
    return frame(MsgType::pong, [&](ByteWriter& w) { w.writeU64(value); });
}

Bytes buildCursor(float x, float y) {
    return frame(MsgType::cursor, [&](ByteWriter& w) {
        w.writeF32(x);
        w.writeF32(y);
        w.writeU8(1);
    });
}

Bytes buildServerStats(uint32_t kbps, uint8_t fps) {
    return frame(MsgType::serverStats, [&](ByteWriter& w) {
        w.writeU32(kbps);
        w.writeU8(fps);
    });
}

Bytes buildMacStatus(MacStatus status) {
    return frame(MsgType::macStatus, [&](ByteWriter& w) { w.writeU8(status.rawValue); });
}

Bytes buildTextFocus(bool focused) {
    return frame(MsgType::textFocus, [&](ByteWriter& w) { w.writeU8(focused ? 1 : 0); });
}

Bytes buildSelection(const SelectionMsg& s) {
    return frame(MsgType::selection, [&](ByteWriter& w) {
        w.writeU8(s.present ? 1 : 0);
        if (s.present) {
            w.writeF32(s.startX);
            w.writeF32(s.startY);
            w.writeF32(s.endX);
            w.writeF32(s.endY);
            w.writeF32(s.height);
        } else {
            for (int i = 0; i < 5; ++i) w.writeF32(0.0f);
        }
    });
}

Bytes buildMicRequest(bool wanted) {
    return frame(MsgType::micRequest, [&](ByteWriter& w) { w.writeU8(wanted ? 1 : 0); });
}

Bytes buildCameraRequest(bool wanted) {
    return frame(MsgType::cameraRequest, [&](ByteWriter& w) { w.writeU8(wanted ? 1 : 0); });
}

Bytes buildCursorImage(float hotX, float hotY, float width, float height, std::span<const uint8_t> png) {
    return frame(MsgType::cursorImage, [&](ByteWriter& w) {
        w.writeF32(hotX);
        w.writeF32(hotY);
        w.writeF32(width);
        w.writeF32(height);
        w.writeData(png);
    });
}

Bytes buildGestureConfig(GestureConfig config) {
    return frame(MsgType::gestureConfig, [&](ByteWriter& w) { w.writeU32(config.rawValue); });
}

CursorMsg decodeCursor(std::span<const uint8_t> p) {
    ByteReader r(p);
    CursorMsg m;
    m.x = r.readF32();
    m.y = r.readF32();
    m.shown = r.readU8() != 0;
    return m;
}

ServerStatsMsg decodeServerStats(std::span<const uint8_t> p) {
    ByteReader r(p);
    ServerStatsMsg m;
    m.kbps = r.readU32();
    m.fps = r.readU8();
    return m;
}

SelectionMsg decodeSelection(std::span<const uint8_t> p) {
    ByteReader r(p);
    SelectionMsg s;
    s.present = r.readU8() != 0;
    s.startX = r.readF32();
    s.startY = r.readF32();
    s.endX = r.readF32();
    s.endY = r.readF32();
    s.height = r.readF32();
    return s;
}

CursorImageMsg decodeCursorImage(std::span<const uint8_t> p) {
    ByteReader r(p);
    CursorImageMsg m;
    m.hotX = r.readF32();
    m.hotY = r.readF32();
    m.width = r.readF32();
    m.height = r.readF32();
    m.png = r.readRest();
    return m;
}

}  // namespace tarvello
