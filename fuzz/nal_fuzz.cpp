// The NAL unit splitters, the SPS size reader and the frame assembly over arbitrary bytes: units lie
// inside the input, in order, never overlapping; both framings carry the same
// units; and an assembled frame is always a clean run of length-prefixed units.

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_check.h"
#include "video/nal.h"

using namespace tarvello;

namespace {

bool sameUnits(const std::vector<ByteSpan>& a, const std::vector<ByteSpan>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](ByteSpan x, ByteSpan y) {
        return std::equal(x.begin(), x.end(), y.begin(), y.end());
    });
}

bool containsStartCode(ByteSpan u) {
    for (size_t i = 0; i + 2 < u.size(); ++i)
        if (u[i] == 0 && u[i + 1] == 0 && u[i + 2] == 1) return true;
    return false;
}

// Units are non-empty, inside `data`, in order and disjoint.
void checkInside(ByteSpan data, const std::vector<ByteSpan>& units) {
    const uint8_t* cursor = data.data();
    for (ByteSpan u : units) {
        FUZZ_CHECK(!u.empty());
        FUZZ_CHECK(u.data() >= cursor && u.data() + u.size() <= data.data() + data.size());
        cursor = u.data() + u.size();
    }
}

Bytes lengthPrefixed(const std::vector<ByteSpan>& units) {
    Bytes out;
    for (ByteSpan u : units) appendLengthPrefixed(out, u);
    return out;
}

void checkAnnexB(ByteSpan data) {
    const auto units = splitAnnexB(data);
    checkInside(data, units);
    for (ByteSpan u : units) {
        FUZZ_CHECK(u.back() != 0);
        FUZZ_CHECK(!containsStartCode(u));
    }
    // Rewritten with 4-byte start codes, the stream splits into the same units.
    Bytes again;
    for (ByteSpan u : units) {
        again.insert(again.end(), {0, 0, 0, 1});
        again.insert(again.end(), u.begin(), u.end());
    }
    FUZZ_CHECK(sameUnits(splitAnnexB(again), units));
    // The length-prefixed form carries them unchanged and tiles exactly.
    const Bytes prefixed = annexBToLengthPrefixed(data);
    FUZZ_CHECK(prefixed == lengthPrefixed(units));
    FUZZ_CHECK(sameUnits(splitLengthPrefixed(prefixed), units));
}

void checkLengthPrefixed(ByteSpan data) {
    const auto units = splitLengthPrefixed(data);
    checkInside(data, units);
    const Bytes rebuilt = lengthPrefixed(units);
    FUZZ_CHECK(rebuilt.size() <= data.size());
    FUZZ_CHECK(sameUnits(splitLengthPrefixed(rebuilt), units));

    const auto either = splitNalUnits(data);
    checkInside(data, either);
    if (!sameUnits(either, units))
        FUZZ_CHECK(startsWithStartCode(data) && sameUnits(either, splitAnnexB(data)));
}

// The SPS size reader runs on untrusted parameter sets before any decoder does.
void checkSpsSize(ByteSpan data) {
    for (ByteSpan nal : splitNalUnits(data)) {
        const auto size = hevcSpsPictureSize(nal);
        if (nalUnitType(VideoCodec::hevc, nal) != 33) FUZZ_CHECK(!size);
    }
    // As a unit of its own, with an SPS header in front.
    Bytes sps{0x42, 0x01};
    sps.insert(sps.end(), data.begin(), data.end());
    (void)hevcSpsPictureSize(sps);
}

void checkAssembly(ByteSpan data) {
    for (VideoCodec codec : {VideoCodec::hevc, VideoCodec::h264}) {
        // Fallback sets: whatever parameter sets the input itself holds.
        const std::vector<Bytes> fallback = parameterSetsOf(codec, data);
        for (const Bytes& s : fallback) FUZZ_CHECK(isParameterSet(codec, s));
        for (bool keyframe : {false, true}) {
            const Bytes out = assembleFrame(codec, data, keyframe, fallback);
            const auto units = splitLengthPrefixed(out);
            FUZZ_CHECK(lengthPrefixed(units) == out);  // tiles exactly, no empty units
            bool pastSets = false;
            int lastSetType = -1;
            for (size_t i = 0; i < units.size(); ++i) {
                FUZZ_CHECK(!isAuxiliary(codec, units[i]));
                if (!keyframe) continue;
                if (isParameterSet(codec, units[i]) && !pastSets) {
                    // Sets lead, in type order, none repeated.
                    FUZZ_CHECK(nalUnitType(codec, units[i]) >= lastSetType);
                    lastSetType = nalUnitType(codec, units[i]);
                    for (size_t j = 0; j < i; ++j)
                        FUZZ_CHECK(
                            !std::equal(units[j].begin(), units[j].end(), units[i].begin(), units[i].end()));
                } else {
                    pastSets = true;
                    FUZZ_CHECK(!isParameterSet(codec, units[i]));
                }
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ByteSpan all(data, size);
    checkAnnexB(all);
    checkLengthPrefixed(all);
    checkAssembly(all);
    checkSpsSize(all);
    return 0;
}
