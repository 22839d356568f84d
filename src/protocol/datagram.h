#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocol/byte_codec.h"
#include "protocol/pontel.h"

namespace tarvello {

// The 16-byte header every media datagram starts with.
struct VideoPacketHeader {
    static constexpr uint8_t keyframe = 1;

    uint32_t frameId = 0;
    uint16_t fragIndex = 0;
    uint16_t fragCount = 0;
    uint8_t flags = 0;
    uint8_t codec = 0;  // VideoCodec raw in video datagrams, MediaKind raw in media datagrams
    uint32_t timestampMs = 0;

    bool isKeyframe() const { return (flags & keyframe) != 0; }

    // Writes the 16 header bytes at out[0..16).
    void encode(uint8_t* out) const;
    static std::optional<VideoPacketHeader> decode(std::span<const uint8_t> datagram);
};

enum class MediaKind : uint8_t { speakerAudio = 0x10, micAudio = 0x11, cameraHEVC = 0x12 };
std::optional<MediaKind> mediaKindFromRaw(uint8_t raw);

struct AudioFormat {
    static constexpr double sampleRate = 48000.0;
    static constexpr int framesPerPacket = 240;
};

// What a received datagram is, in the receiver's order of checks.
enum class DatagramClass {
    micAudio,      // media on the registered flow, byte 9 = 0x11
    cameraVideo,   // media on the registered flow, byte 9 = 0x12
    registration,  // begins with the magic, 8 bytes or more
    ignored,
};
DatagramClass classifyDatagram(std::span<const uint8_t> datagram, bool fromRegisteredFlow);

// Cuts an encoded frame into datagrams of at most 1200 bytes. Yields none for an
// empty frame or one that needs more than 65 534 fragments. The header's fragIndex
// and fragCount are filled in; the rest comes from `tmpl`.
std::vector<Bytes> fragmentFrame(std::span<const uint8_t> frame, VideoPacketHeader tmpl);
// Number of fragments a frame of n bytes needs (0 when it cannot be sent).
int fragmentCount(size_t n);

// One media datagram: header then payload, never fragmented.
Bytes buildMediaDatagram(const VideoPacketHeader& h, std::span<const uint8_t> payload);

}  // namespace tarvello
