#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocol/byte_codec.h"
#include "protocol/messages.h"

namespace tarvello {

// Helpers for H.264 and HEVC NAL units. Every function is total: malformed input
// yields what parses, never a read outside the given bytes.

using ByteSpan = std::span<const uint8_t>;

// True when the bytes begin with a 3- or 4-byte Annex-B start code.
bool startsWithStartCode(ByteSpan data);

// The NAL units of an Annex-B stream, without start codes and without the zero
// bytes that may trail a unit. Bytes before the first start code are ignored;
// emulation prevention bytes stay untouched.
std::vector<ByteSpan> splitAnnexB(ByteSpan data);

// The NAL units of a stream of 4-byte big-endian length prefixes. Stops at the
// first length that overruns the data; zero-length units are skipped.
std::vector<ByteSpan> splitLengthPrefixed(ByteSpan data);

// Length-prefixed when the prefixes tile the data exactly, else Annex-B when it
// starts with a start code, else what the prefixes parse.
std::vector<ByteSpan> splitNalUnits(ByteSpan data);

void appendLengthPrefixed(Bytes& out, ByteSpan nal);
Bytes annexBToLengthPrefixed(ByteSpan data);

// The NAL unit type from the header byte(s); -1 for an empty unit.
int nalUnitType(VideoCodec codec, ByteSpan nal);
// VPS, SPS or PPS (HEVC); SPS or PPS (H.264).
bool isParameterSet(VideoCodec codec, ByteSpan nal);
// A slice that starts a decodable sequence: H.264 IDR; HEVC IRAP (BLA, IDR, CRA).
bool isKeyframeSlice(VideoCodec codec, ByteSpan nal);
// Units a decoder can do without: SEI, access unit delimiters, filler data.
bool isAuxiliary(VideoCodec codec, ByteSpan nal);

// The picture size an HEVC SPS unit (NAL header included) announces, read before any
// decoder sees it; nothing when the unit is not an SPS or ends too soon.
struct PictureSize {
    uint32_t width = 0, height = 0;
};
std::optional<PictureSize> hevcSpsPictureSize(ByteSpan sps);

// The parameter sets of an encoder's Annex-B extradata, in stream order.
std::vector<Bytes> parameterSetsOf(VideoCodec codec, ByteSpan extradata);

// One encoded frame as the phone expects it: length-prefixed NAL units, auxiliary
// units removed. On keyframes the parameter sets come first (VPS, SPS, PPS order),
// once: those of the packet itself, or, when it carries none, the fallback ones.
Bytes assembleFrame(VideoCodec codec, ByteSpan packet, bool keyframe, std::span<const Bytes> fallbackSets);

}  // namespace tarvello
