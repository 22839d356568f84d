#include "protocol/datagram.h"

#include <algorithm>
#include <cstring>

namespace tarvello {

void VideoPacketHeader::encode(uint8_t* o) const {
    o[0] = uint8_t(frameId >> 24);
    o[1] = uint8_t(frameId >> 16);
    o[2] = uint8_t(frameId >> 8);
    o[3] = uint8_t(frameId);
    o[4] = uint8_t(fragIndex >> 8);
    o[5] = uint8_t(fragIndex);
    o[6] = uint8_t(fragCount >> 8);
    o[7] = uint8_t(fragCount);
    o[8] = flags;
    o[9] = codec;
    o[10] = 0;
    o[11] = 0;
    o[12] = uint8_t(timestampMs >> 24);
    o[13] = uint8_t(timestampMs >> 16);
    o[14] = uint8_t(timestampMs >> 8);
    o[15] = uint8_t(timestampMs);
}

std::optional<VideoPacketHeader> VideoPacketHeader::decode(std::span<const uint8_t> d) {
    if (d.size() < size_t(Pontel::headerSize)) return std::nullopt;
    ByteReader r(d);
    VideoPacketHeader h;
    h.frameId = r.readU32();
    h.fragIndex = r.readU16();
    h.fragCount = r.readU16();
    h.flags = r.readU8();
    h.codec = r.readU8();
    r.readU16();  // reserved
    h.timestampMs = r.readU32();
    return h;
}

std::optional<MediaKind> mediaKindFromRaw(uint8_t raw) {
    if (raw >= 0x10 && raw <= 0x12) return static_cast<MediaKind>(raw);
    return std::nullopt;
}

namespace {
bool startsWithMagic(std::span<const uint8_t> d) {
    return d.size() >= 4 && std::equal(Pontel::udpMagic.begin(), Pontel::udpMagic.end(), d.begin());
}
}  // namespace

DatagramClass classifyDatagram(std::span<const uint8_t> d, bool fromRegisteredFlow) {
    const bool magic = startsWithMagic(d);
    if (d.size() >= size_t(Pontel::headerSize) + 1 && !magic && fromRegisteredFlow) {
        switch (d[9]) {
            case uint8_t(MediaKind::micAudio): return DatagramClass::micAudio;
            case uint8_t(MediaKind::cameraHEVC): return DatagramClass::cameraVideo;
            default: return DatagramClass::ignored;
        }
    }
    if (d.size() >= 8 && magic) return DatagramClass::registration;
    return DatagramClass::ignored;
}

int fragmentCount(size_t n) {
    if (n == 0 || n > Pontel::maxFrameBytes) return 0;
    return static_cast<int>((n + Pontel::maxFragmentPayload - 1) / Pontel::maxFragmentPayload);
}

std::vector<Bytes> fragmentFrame(std::span<const uint8_t> frame, VideoPacketHeader h) {
    const int count = fragmentCount(frame.size());
    std::vector<Bytes> out;
    out.reserve(size_t(count));
    h.fragCount = static_cast<uint16_t>(count);
    for (int i = 0; i < count; ++i) {
        const size_t off = size_t(i) * Pontel::maxFragmentPayload;
        const size_t len = std::min<size_t>(Pontel::maxFragmentPayload, frame.size() - off);
        Bytes dg(Pontel::headerSize + len);
        h.fragIndex = static_cast<uint16_t>(i);
        h.encode(dg.data());
        std::memcpy(dg.data() + Pontel::headerSize, frame.data() + off, len);
        out.push_back(std::move(dg));
    }
    return out;
}

Bytes buildMediaDatagram(const VideoPacketHeader& h, std::span<const uint8_t> payload) {
    Bytes dg(Pontel::headerSize + payload.size());
    h.encode(dg.data());
    if (!payload.empty()) std::memcpy(dg.data() + Pontel::headerSize, payload.data(), payload.size());
    return dg;
}

}  // namespace tarvello
