#include "video/nal.h"

#include <algorithm>

namespace tarvello {

namespace {

// Position of the next 00 00 01 at or after `from`, or data.size().
size_t findStartCode(ByteSpan data, size_t from) {
    const size_t n = data.size();
    for (size_t i = from; i + 2 < n; ++i) {
        // Skip ahead quickly: a start code needs a 1 two bytes after two zeros.
        if (data[i + 2] > 1) {
            i += 2;
            continue;
        }
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
    }
    return n;
}

constexpr int h264Sei = 6, h264Sps = 7, h264Pps = 8, h264Aud = 9, h264Filler = 12, h264Idr = 5;
constexpr int hevcVps = 32, hevcSps = 33, hevcPps = 34, hevcAud = 35, hevcFiller = 38, hevcPrefixSei = 39,
              hevcSuffixSei = 40, hevcFirstIrap = 16, hevcLastIrap = 21;

}  // namespace

bool startsWithStartCode(ByteSpan data) {
    if (data.size() >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) return true;
    return data.size() >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1;
}

std::vector<ByteSpan> splitAnnexB(ByteSpan data) {
    std::vector<ByteSpan> units;
    size_t start = findStartCode(data, 0);
    while (start < data.size()) {
        const size_t begin = start + 3;
        const size_t next = findStartCode(data, begin);
        // A unit never ends in a zero byte, so zeros before the next start code are
        // trailing_zero_8bits or the first byte of a 4-byte start code.
        size_t end = next;
        while (end > begin && data[end - 1] == 0) --end;
        if (end > begin) units.push_back(data.subspan(begin, end - begin));
        start = next;
    }
    return units;
}

namespace {

// Returns whether the prefixes cover the data exactly.
bool parseLengthPrefixed(ByteSpan data, std::vector<ByteSpan>& units) {
    size_t pos = 0;
    while (data.size() - pos >= 4) {
        const uint64_t length = (uint64_t(data[pos]) << 24) | (uint64_t(data[pos + 1]) << 16) |
                                (uint64_t(data[pos + 2]) << 8) | uint64_t(data[pos + 3]);
        pos += 4;
        if (length > data.size() - pos) return false;
        if (length > 0) units.push_back(data.subspan(pos, size_t(length)));
        pos += size_t(length);
    }
    return pos == data.size();
}

}  // namespace

std::vector<ByteSpan> splitLengthPrefixed(ByteSpan data) {
    std::vector<ByteSpan> units;
    parseLengthPrefixed(data, units);
    return units;
}

std::vector<ByteSpan> splitNalUnits(ByteSpan data) {
    // A 4-byte prefix of 1 or 256..511 looks like a start code, so the data counts as
    // length-prefixed only when its prefixes tile it exactly, which an Annex-B stream
    // practically never does.
    std::vector<ByteSpan> units;
    const bool tiles = parseLengthPrefixed(data, units);
    if (tiles || !startsWithStartCode(data)) return units;
    return splitAnnexB(data);
}

void appendLengthPrefixed(Bytes& out, ByteSpan nal) {
    const auto n = uint32_t(nal.size());
    out.push_back(uint8_t(n >> 24));
    out.push_back(uint8_t(n >> 16));
    out.push_back(uint8_t(n >> 8));
    out.push_back(uint8_t(n));
    out.insert(out.end(), nal.begin(), nal.end());
}

Bytes annexBToLengthPrefixed(ByteSpan data) {
    Bytes out;
    out.reserve(data.size() + 16);
    for (ByteSpan nal : splitAnnexB(data)) appendLengthPrefixed(out, nal);
    return out;
}

int nalUnitType(VideoCodec codec, ByteSpan nal) {
    if (nal.empty()) return -1;
    return codec == VideoCodec::hevc ? (nal[0] >> 1) & 0x3f : nal[0] & 0x1f;
}

bool isParameterSet(VideoCodec codec, ByteSpan nal) {
    const int t = nalUnitType(codec, nal);
    if (codec == VideoCodec::hevc) return t == hevcVps || t == hevcSps || t == hevcPps;
    return t == h264Sps || t == h264Pps;
}

bool isKeyframeSlice(VideoCodec codec, ByteSpan nal) {
    const int t = nalUnitType(codec, nal);
    if (codec == VideoCodec::hevc) return t >= hevcFirstIrap && t <= hevcLastIrap;
    return t == h264Idr;
}

bool isAuxiliary(VideoCodec codec, ByteSpan nal) {
    const int t = nalUnitType(codec, nal);
    if (codec == VideoCodec::hevc)
        return t == hevcAud || t == hevcFiller || t == hevcPrefixSei || t == hevcSuffixSei;
    return t == h264Sei || t == h264Aud || t == h264Filler;
}

std::vector<Bytes> parameterSetsOf(VideoCodec codec, ByteSpan extradata) {
    std::vector<Bytes> sets;
    for (ByteSpan nal : splitAnnexB(extradata))
        if (isParameterSet(codec, nal)) sets.emplace_back(nal.begin(), nal.end());
    return sets;
}

Bytes assembleFrame(VideoCodec codec, ByteSpan packet, bool keyframe, std::span<const Bytes> fallbackSets) {
    const std::vector<ByteSpan> units = splitNalUnits(packet);
    Bytes out;
    out.reserve(packet.size() + 16);
    if (keyframe) {
        std::vector<ByteSpan> sets;
        for (ByteSpan nal : units)
            if (isParameterSet(codec, nal)) sets.push_back(nal);
        if (sets.empty())
            for (const Bytes& s : fallbackSets) sets.emplace_back(s);
        // Type order is VPS < SPS < PPS in both codecs' numbering.
        std::stable_sort(sets.begin(), sets.end(), [codec](ByteSpan a, ByteSpan b) {
            return nalUnitType(codec, a) < nalUnitType(codec, b);
        });
        for (size_t i = 0; i < sets.size(); ++i) {
            const bool repeated = std::any_of(sets.begin(), sets.begin() + ptrdiff_t(i), [&](ByteSpan s) {
                return std::equal(s.begin(), s.end(), sets[i].begin(), sets[i].end());
            });
            if (!repeated) appendLengthPrefixed(out, sets[i]);
        }
    }
    for (ByteSpan nal : units) {
        if (isAuxiliary(codec, nal)) continue;
        if (keyframe && isParameterSet(codec, nal)) continue;
        appendLengthPrefixed(out, nal);
    }
    return out;
}

}  // namespace tarvello
