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

namespace {

// Reads an RBSP bit by bit, emulation prevention bytes dropped on the fly.
class BitReader {
public:
    explicit BitReader(ByteSpan data) : data_(data) {}

    bool bits(int n, uint32_t& out) {
        out = 0;
        for (int i = 0; i < n; ++i) {
            if (bit_ == 0 && !nextByte()) return false;
            --bit_;
            out = (out << 1) | ((current_ >> bit_) & 1u);
        }
        return true;
    }
    bool skip(int n) {
        uint32_t ignored = 0;
        while (n > 0) {
            const int step = n > 32 ? 32 : n;
            if (!bits(step, ignored)) return false;
            n -= step;
        }
        return true;
    }
    // Exp-Golomb ue(v); values beyond 32 bits are refused.
    bool ue(uint32_t& out) {
        int zeros = 0;
        uint32_t b = 0;
        for (;;) {
            if (!bits(1, b)) return false;
            if (b) break;
            if (++zeros > 31) return false;
        }
        uint32_t rest = 0;
        if (!bits(zeros, rest)) return false;
        out = uint32_t((uint64_t(1) << zeros) - 1 + rest);
        return true;
    }

private:
    bool nextByte() {
        if (pos_ >= data_.size()) return false;
        if (zeros_ >= 2 && data_[pos_] == 3) {
            zeros_ = 0;
            if (++pos_ >= data_.size()) return false;
        }
        current_ = data_[pos_++];
        zeros_ = current_ == 0 ? zeros_ + 1 : 0;
        bit_ = 8;
        return true;
    }

    ByteSpan data_;
    size_t pos_ = 0;
    int zeros_ = 0;
    uint8_t current_ = 0;
    int bit_ = 0;
};

}  // namespace

std::optional<PictureSize> hevcSpsPictureSize(ByteSpan sps) {
    if (sps.size() < 3 || nalUnitType(VideoCodec::hevc, sps) != hevcSps) return std::nullopt;
    BitReader r(sps.subspan(2));
    uint32_t v = 0, maxSubLayersMinus1 = 0;
    if (!r.bits(4, v) || !r.bits(3, maxSubLayersMinus1) || !r.skip(1)) return std::nullopt;
    // profile_tier_level: the general profile (88 bits) and level (8 bits), then the sub-layers'.
    if (!r.skip(88 + 8)) return std::nullopt;
    bool profilePresent[8] = {}, levelPresent[8] = {};
    for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        uint32_t p = 0, l = 0;
        if (!r.bits(1, p) || !r.bits(1, l)) return std::nullopt;
        profilePresent[i] = p != 0;
        levelPresent[i] = l != 0;
    }
    if (maxSubLayersMinus1 > 0 && !r.skip(2 * int(8 - maxSubLayersMinus1))) return std::nullopt;
    for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        if (profilePresent[i] && !r.skip(88)) return std::nullopt;
        if (levelPresent[i] && !r.skip(8)) return std::nullopt;
    }
    uint32_t chromaFormat = 0;
    if (!r.ue(v) || !r.ue(chromaFormat)) return std::nullopt;
    if (chromaFormat == 3 && !r.skip(1)) return std::nullopt;
    PictureSize size;
    if (!r.ue(size.width) || !r.ue(size.height)) return std::nullopt;
    return size;
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
