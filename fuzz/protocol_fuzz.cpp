// Drives everything that reads network bytes: the control framer with arbitrary read
// boundaries, every message decoder, the datagram header, the classifier and the UTF-8
// repair, and checks the encode/decode round trips that must hold for any input.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "protocol/byte_codec.h"
#include "protocol/control_framer.h"
#include "protocol/datagram.h"
#include "protocol/messages.h"
#include "protocol/pontel.h"
#include "support/utf8_reference.h"

using namespace tarvello;

namespace {

using Span = std::span<const uint8_t>;

// The first n bytes of p, zero-filled: what a reader sees for a fixed-width layout.
Bytes padded(Span p, size_t n) {
    Bytes out(n, 0);
    for (size_t i = 0; i < n && i < p.size(); ++i) out[i] = p[i];
    return out;
}

uint8_t at(Span p, size_t i) {
    return i < p.size() ? p[i] : 0;
}

// Payload of a frame this library built; aborts if the framer cannot read it back.
Bytes payloadOf(const Bytes& frame, MsgType type) {
    ControlFramer f;
    f.append(frame);
    auto fr = f.next();
    FUZZ_CHECK(fr.has_value());
    FUZZ_CHECK(fr->type == static_cast<uint8_t>(type));
    FUZZ_CHECK(f.buffered() == 0);
    return fr->payload;
}

// Float fields are compared bit for bit, except NaNs, whose quiet bit the platform may set.
bool sameFloatBytes(Span a, Span b) {
    FUZZ_CHECK(a.size() == 4 && b.size() == 4);
    const uint32_t x = (uint32_t(a[0]) << 24) | (uint32_t(a[1]) << 16) | (uint32_t(a[2]) << 8) | a[3];
    const uint32_t y = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
    if (std::isnan(std::bit_cast<float>(x))) return std::isnan(std::bit_cast<float>(y));
    return x == y;
}

// Checks that rebuilt equals expected, treating the 4-byte groups at floatOffsets as floats.
bool sameLayout(const Bytes& rebuilt, const Bytes& expected, std::initializer_list<size_t> floatOffsets) {
    if (rebuilt.size() != expected.size()) return false;
    std::vector<bool> isFloat(rebuilt.size(), false);
    for (size_t off : floatOffsets) {
        if (!sameFloatBytes(Span(rebuilt).subspan(off, 4), Span(expected).subspan(off, 4))) return false;
        for (size_t k = 0; k < 4; ++k) isFloat[off + k] = true;
    }
    for (size_t i = 0; i < rebuilt.size(); ++i) {
        if (!isFloat[i] && rebuilt[i] != expected[i]) return false;
    }
    return true;
}

using test::isValidUtf8;

void checkRepair(Span p) {
    const std::string out = repairUtf8(p);
    FUZZ_CHECK(isValidUtf8(out));
    FUZZ_CHECK(out.size() <= 3 * p.size());
    const std::string raw(p.begin(), p.end());
    if (isValidUtf8(raw)) FUZZ_CHECK(out == raw);
    FUZZ_CHECK(repairUtf8(Span(reinterpret_cast<const uint8_t*>(out.data()), out.size())) == out);
}

// Largest payload a frame can carry.
constexpr size_t kMaxPayload = 65534;

void checkIncomingDecoders(Span p) {
    if (const Hello h = decodeHello(p); 10 + h.text.size() <= kMaxPayload) {
        const Bytes rebuilt = payloadOf(buildHello(h), MsgType::hello);
        Bytes expected = padded(p, 10);
        expected[9] = 0;  // reserved is read and ignored, written as zero
        FUZZ_CHECK(Bytes(rebuilt.begin(), rebuilt.begin() + 10) == expected);
    }
    FUZZ_CHECK(decodeHello(p).text == repairUtf8(p.size() > 10 ? p.subspan(10) : Span{}));
    {
        const ResizeMsg m = decodeResize(p);
        FUZZ_CHECK(payloadOf(buildResize(m.width, m.height), MsgType::resize) == padded(p, 4));
    }
    {
        const KeyMsg m = decodeKey(p);
        FUZZ_CHECK(m.down == (at(p, 2) != 0));
        const Bytes expected{at(p, 0), at(p, 1), uint8_t(m.down ? 1 : 0)};
        FUZZ_CHECK(payloadOf(buildKey(m.usage, m.down), MsgType::key) == expected);
    }
    {
        const MouseRelMsg m = decodeMouseRel(p);
        FUZZ_CHECK(sameLayout(payloadOf(buildMouseRel(m.dx, m.dy), MsgType::mouseRel), padded(p, 8), {0, 4}));
    }
    {
        const MouseAbsMsg m = decodeMouseAbs(p);
        FUZZ_CHECK(sameLayout(payloadOf(buildMouseAbs(m.x, m.y), MsgType::mouseAbs), padded(p, 8), {0, 4}));
    }
    {
        const ButtonMsg m = decodeButton(p);
        const Bytes expected{at(p, 0), uint8_t(at(p, 1) != 0 ? 1 : 0)};
        FUZZ_CHECK(payloadOf(buildButton(m.button, m.down), MsgType::button) == expected);
    }
    {
        const ScrollMsg m = decodeScroll(p);
        Bytes expected = padded(p, 9);
        if (!scrollPhaseFromRaw(expected[8])) expected[8] = static_cast<uint8_t>(ScrollPhase::wheel);
        FUZZ_CHECK(
            sameLayout(payloadOf(buildScroll(m.dx, m.dy, m.phase), MsgType::scroll), expected, {0, 4}));
    }
    if (const std::string text = decodeText(p); text.size() <= kMaxPayload) {
        FUZZ_CHECK(payloadOf(buildText(text), MsgType::text) == Bytes(text.begin(), text.end()));
    } else {
        FUZZ_CHECK(buildText(text).empty());
    }
    {
        const auto g = decodeGesture(p);
        FUZZ_CHECK(g.has_value() == gestureActionFromRaw(at(p, 0)).has_value());
        if (g) {
            Bytes expected = padded(p, 6);
            if (!scrollPhaseFromRaw(expected[5])) expected[5] = static_cast<uint8_t>(ScrollPhase::changed);
            FUZZ_CHECK(sameLayout(payloadOf(buildGesture(g->action, g->value, g->phase), MsgType::gesture),
                                  expected, {1}));
        }
    }
    FUZZ_CHECK(payloadOf(buildPing(decodePing(p)), MsgType::ping) == padded(p, 8));
    {
        const StatsMsg m = decodeStats(p);
        FUZZ_CHECK(payloadOf(buildStats(m.received, m.dropped), MsgType::stats) == padded(p, 8));
    }
    FUZZ_CHECK(sameLayout(payloadOf(buildUiScale(decodeUiScale(p)), MsgType::uiScale), padded(p, 4), {0}));
}

void checkOutgoingDecoders(Span p) {
    {
        const HelloAck a = decodeHelloAck(p);
        FUZZ_CHECK(a.accepted == (at(p, 0) != 0));
        FUZZ_CHECK(a.text == repairUtf8(p.size() > 10 ? p.subspan(10) : Span{}));
        const bool fits = 10 + a.text.size() <= kMaxPayload;
        if (!a.accepted && fits) {
            Bytes expected(10, 0);
            expected.insert(expected.end(), a.text.begin(), a.text.end());
            FUZZ_CHECK(payloadOf(buildHelloRefused(a.text), MsgType::helloAck) == expected);
        }
        if (auto codec = videoCodecFromRaw(a.codec); a.accepted && codec && fits) {
            Bytes expected = padded(p, 10);
            expected[0] = 1;
            const Bytes built = payloadOf(buildHelloAccepted(a.sessionId, a.width, a.height, *codec, a.text),
                                          MsgType::helloAck);
            FUZZ_CHECK(Bytes(built.begin(), built.begin() + 10) == expected);
        }
    }
    {
        const CursorMsg c = decodeCursor(p);
        FUZZ_CHECK(c.shown == (at(p, 8) != 0));
    }
    {
        const ServerStatsMsg s = decodeServerStats(p);
        FUZZ_CHECK(payloadOf(buildServerStats(s.kbps, s.fps), MsgType::serverStats) == padded(p, 5));
    }
    {
        const SelectionMsg s = decodeSelection(p);
        if (s.present) {
            Bytes expected = padded(p, 21);
            expected[0] = 1;
            FUZZ_CHECK(
                sameLayout(payloadOf(buildSelection(s), MsgType::selection), expected, {1, 5, 9, 13, 17}));
        }
    }
    {
        const CursorImageMsg c = decodeCursorImage(p);
        const Bytes rebuilt =
            payloadOf(buildCursorImage(c.hotX, c.hotY, c.width, c.height, c.png), MsgType::cursorImage);
        Bytes expected = padded(p, 16);
        expected.insert(expected.end(), c.png.begin(), c.png.end());
        FUZZ_CHECK(sameLayout(rebuilt, expected, {0, 4, 8, 12}));
        FUZZ_CHECK(c.png.size() == (p.size() > 16 ? p.size() - 16 : 0));
    }
}

void checkDatagram(Span d) {
    const bool magic =
        d.size() >= 4 && std::equal(Pontel::udpMagic.begin(), Pontel::udpMagic.end(), d.begin());

    const auto reg = decodeRegistration(d);
    FUZZ_CHECK(reg.has_value() == (magic && d.size() >= 8));
    if (reg) FUZZ_CHECK(buildRegistration(*reg) == Bytes(d.begin(), d.begin() + 8));

    const auto h = VideoPacketHeader::decode(d);
    FUZZ_CHECK(h.has_value() == (d.size() >= size_t(Pontel::headerSize)));
    if (h) {
        Bytes rebuilt(Pontel::headerSize);
        h->encode(rebuilt.data());
        Bytes expected(d.begin(), d.begin() + Pontel::headerSize);
        expected[10] = expected[11] = 0;
        FUZZ_CHECK(rebuilt == expected);
        FUZZ_CHECK(buildMediaDatagram(*h, d.subspan(Pontel::headerSize)).size() == d.size());
    }

    for (bool registered : {false, true}) {
        const DatagramClass c = classifyDatagram(d, registered);
        switch (c) {
            case DatagramClass::micAudio:
            case DatagramClass::cameraVideo:
                FUZZ_CHECK(registered && !magic && d.size() > size_t(Pontel::headerSize));
                FUZZ_CHECK(mediaKindFromRaw(d[9]) ==
                           (c == DatagramClass::micAudio ? MediaKind::micAudio : MediaKind::cameraHEVC));
                break;
            case DatagramClass::registration: FUZZ_CHECK(reg.has_value()); break;
            case DatagramClass::ignored:
                FUZZ_CHECK(!reg.has_value());
                if (registered && !magic && d.size() > size_t(Pontel::headerSize)) {
                    FUZZ_CHECK(d[9] != 0x11 && d[9] != 0x12);
                }
                break;
        }
    }

    // The input as an encoded frame: the fragments reassemble to it.
    VideoPacketHeader tmpl;
    if (h) tmpl = *h;
    const auto dgs = fragmentFrame(d, tmpl);
    FUZZ_CHECK(dgs.size() == size_t(fragmentCount(d.size())));
    Bytes joined;
    for (size_t i = 0; i < dgs.size(); ++i) {
        FUZZ_CHECK(dgs[i].size() <= size_t(Pontel::maxDatagram) &&
                   dgs[i].size() > size_t(Pontel::headerSize));
        const auto fh = VideoPacketHeader::decode(dgs[i]);
        FUZZ_CHECK(fh && fh->fragIndex == i && fh->fragCount == dgs.size() && fh->frameId == tmpl.frameId);
        joined.insert(joined.end(), dgs[i].begin() + Pontel::headerSize, dgs[i].end());
    }
    FUZZ_CHECK(joined == Bytes(d.begin(), d.end()));
}

void checkFrame(uint8_t type, Span payload) {
    if (auto t = msgTypeFromRaw(type)) FUZZ_CHECK(static_cast<uint8_t>(*t) == type);
    checkIncomingDecoders(payload);
    checkOutgoingDecoders(payload);
    checkRepair(payload);
    // Any type and payload that fits re-frames to itself.
    const Bytes again = ControlFramer::encode(type, [&](ByteWriter& w) { w.writeData(payload); });
    FUZZ_CHECK(again.size() == payload.size() + 3);
    ControlFramer f;
    f.append(again);
    auto fr = f.next();
    FUZZ_CHECK(fr && fr->type == type && fr->payload == Bytes(payload.begin(), payload.end()));
}

// Appends the input in chunks of fuzzer-chosen sizes and extracts frames after each
// read as the server's receive loop does, checking the framer's byte accounting.
void checkFramer(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    ControlFramer framer;
    size_t appended = 0;
    while (fdp.remaining_bytes() > 0) {
        const auto chunk = fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange<size_t>(0, 512));
        framer.append(chunk);
        appended += chunk.size();
        FUZZ_CHECK(framer.buffered() <= appended);
        // Drain until next() neither yields nor consumes, so zero lengths cannot pile up.
        for (;;) {
            const size_t before = framer.buffered();
            auto fr = framer.next();
            const size_t after = framer.buffered();
            if (!fr) {
                // Nothing: either an incomplete frame (no change) or a zero length (two bytes).
                FUZZ_CHECK(after == before || after + 2 == before);
                if (after == before) break;
                continue;
            }
            FUZZ_CHECK(after + fr->payload.size() + 3 == before);
            FUZZ_CHECK(fr->payload.size() <= kMaxPayload);
            checkFrame(fr->type, fr->payload);
        }
        // What is left is at most one incomplete frame.
        FUZZ_CHECK(framer.buffered() < 65537);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Span all(data, size);
    checkRepair(all);
    checkDatagram(all);
    if (size > 0) checkFrame(data[0], all.subspan(1));
    checkFramer(data, size);
    return 0;
}
