#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "protocol/byte_codec.h"

namespace tarvello {

// Rebuilds the phone's camera frames from their fragments. A fragment is dropped
// when its frame is not newer than the last completed one (32-bit serial order, so
// the numbering may wrap), when its index is not below its count or below the count
// the frame's first fragment gave, or when it repeats a fragment already held.
// Completing a frame discards every older partial frame.
//
// Memory is bounded whatever arrives: beyond `maxFrames` partial frames or
// `maxBytes` held, the oldest partial frames go first.
// Not thread-safe: the camera queue owns it.
class CameraReassembler {
public:
    struct Limits {
        size_t maxFrames = 16;
        size_t maxBytes = size_t(32) << 20;
    };

    CameraReassembler() : CameraReassembler(Limits{}) {}
    // A frame limit of zero means one: a frame being rebuilt must be held somewhere.
    explicit CameraReassembler(Limits limits) : limits_(limits) {
        limits_.maxFrames = std::max<size_t>(1, limits_.maxFrames);
    }

    // The frame's bytes, in fragment order, when this fragment completed it.
    std::optional<Bytes> push(uint32_t frameId, uint16_t index, uint16_t count,
                              std::span<const uint8_t> payload);

    // Forgets the partial frames and the last completed frame.
    void reset();

    std::optional<uint32_t> lastFrame() const { return lastFrame_; }
    size_t framesInFlight() const { return fragments_.size(); }
    size_t bytesInFlight() const { return bytes_; }
    bool holds(uint32_t frameId) const { return fragments_.count(frameId) != 0; }

private:
    struct Partial {
        uint16_t total = 0;
        uint16_t received = 0;
        std::vector<Bytes> slots;
        std::vector<bool> filled;
        size_t cost = 0;
    };

    void erase(std::map<uint32_t, Partial>::iterator it);
    // Evicts the oldest partial frames other than `keep` until `extra` more bytes fit.
    bool makeRoom(size_t extra, uint32_t keep);

    Limits limits_;
    std::map<uint32_t, Partial> fragments_;
    std::optional<uint32_t> lastFrame_;
    size_t bytes_ = 0;
};

}  // namespace tarvello
