#pragma once

// Fragments that name themselves, so that a reassembled frame can be checked
// without a model of which fragments the reassembler kept: each payload starts
// with its own length, index, count and frame id.

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_check.h"
#include "protocol/byte_codec.h"

namespace tarvello::fuzz {

inline constexpr size_t kFragmentHead = 10;

inline Bytes selfNamingFragment(uint32_t frameId, uint16_t index, uint16_t count, size_t length) {
    if (length < kFragmentHead) length = kFragmentHead;
    Bytes b(length);
    b[0] = uint8_t(length >> 8), b[1] = uint8_t(length);
    b[2] = uint8_t(index >> 8), b[3] = uint8_t(index);
    b[4] = uint8_t(count >> 8), b[5] = uint8_t(count);
    b[6] = uint8_t(frameId >> 24), b[7] = uint8_t(frameId >> 16), b[8] = uint8_t(frameId >> 8),
    b[9] = uint8_t(frameId);
    for (size_t i = kFragmentHead; i < length; ++i) b[i] = uint8_t(frameId + index + i);
    return b;
}

// The frame is exactly `count` fragments of frame `frameId`, in index order, each intact,
// where `count` is the first fragment's; with `sameCount` every fragment must name it.
inline void checkSelfNamingFrame(std::span<const uint8_t> frame, uint32_t frameId, bool sameCount) {
    size_t at = 0;
    uint16_t expectIndex = 0;
    uint16_t count = 0;
    while (at < frame.size()) {
        FUZZ_CHECK(frame.size() - at >= kFragmentHead);
        const size_t length = size_t(frame[at]) << 8 | frame[at + 1];
        const uint16_t index = uint16_t(frame[at + 2] << 8 | frame[at + 3]);
        const uint16_t c = uint16_t(frame[at + 4] << 8 | frame[at + 5]);
        const uint32_t id = uint32_t(frame[at + 6]) << 24 | uint32_t(frame[at + 7]) << 16 |
                            uint32_t(frame[at + 8]) << 8 | frame[at + 9];
        FUZZ_CHECK(length >= kFragmentHead && length <= frame.size() - at);
        FUZZ_CHECK(id == frameId);
        FUZZ_CHECK(index == expectIndex);
        if (index == 0) count = c;
        if (sameCount) FUZZ_CHECK(c == count);
        for (size_t i = kFragmentHead; i < length; ++i)
            FUZZ_CHECK(frame[at + i] == uint8_t(frameId + index + i));
        at += length;
        ++expectIndex;
    }
    FUZZ_CHECK(expectIndex > 0);
    if (sameCount) FUZZ_CHECK(expectIndex == count);
}

}  // namespace tarvello::fuzz
