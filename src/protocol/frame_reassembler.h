#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocol/byte_codec.h"
#include "protocol/datagram.h"

namespace tarvello {

// A frame whose fragments have all arrived, bytes in fragment order.
struct ReassembledFrame {
    uint32_t frameId = 0;
    bool keyframe = false;
    uint8_t codec = 0;  // VideoCodec or MediaKind raw value of the first fragment
    uint32_t timestampMs = 0;
    Bytes data;
};

// Rebuilds frames from datagrams keyed by (frameId, fragIndex) with fragCount
// fragments. Frame ids are compared with serial-number arithmetic, so the stream
// survives the wrap at 2^32.
//
// Loss: once a frame completes, every older frame not yet completed (seen or not)
// is settled as lost and its late fragments are ignored. Frames evicted to respect
// the limits are lost too. Memory stays within the limits whatever arrives.
//
// Not thread-safe: one owner feeds it.
class FrameReassembler {
public:
    struct Limits {
        size_t maxFramesInFlight = 8;
        size_t maxBytesInFlight = size_t(64) << 20;  // payload and bookkeeping
        // Fragments of frames this far behind the newest settled frame are stale;
        // further behind (or further ahead than resyncDistance) means the sender
        // restarted its numbering, and counting starts afresh.
        uint32_t staleWindow = 256;
        uint32_t resyncDistance = 1u << 16;
    };

    struct Counters {
        uint64_t datagrams = 0;  // every datagram fed
        uint64_t bytes = 0;      // their payload bytes
        uint64_t framesCompleted = 0;
        uint64_t framesLost = 0;
        uint64_t framesDiscarded = 0;  // inconsistent fragCount or over the byte cap
        uint64_t duplicates = 0;
        uint64_t ignored = 0;  // invalid, stale or late fragments
    };

    FrameReassembler() : FrameReassembler(Limits{}) {}
    explicit FrameReassembler(Limits limits);

    // Feeds one fragment; returns the frame it completed, if any.
    std::optional<ReassembledFrame> push(const VideoPacketHeader& header, std::span<const uint8_t> payload);
    // Same, from a whole datagram (header included); shorter than a header is ignored.
    std::optional<ReassembledFrame> pushDatagram(std::span<const uint8_t> datagram);

    // Forgets every frame in flight and the loss reference; counters are kept.
    void reset();

    const Counters& counters() const { return counters_; }
    size_t framesInFlight() const { return frames_.size(); }
    size_t bytesInFlight() const { return bytesInFlight_; }

private:
    struct Slot {
        uint32_t offset = 0;
        uint32_t length = 0;
        bool present = false;
    };
    struct Pending {
        uint32_t frameId = 0;
        uint16_t fragCount = 0;
        uint16_t received = 0;
        bool keyframe = false;
        bool discarded = false;  // kept only so its later fragments are ignored
        uint8_t codec = 0;
        uint32_t timestampMs = 0;
        std::vector<Slot> slots;
        Bytes arena;  // fragments in arrival order
        size_t cost() const { return slots.capacity() * sizeof(Slot) + arena.capacity(); }
    };

    Pending* find(uint32_t frameId);
    Pending* admit(const VideoPacketHeader& header);
    void discard(Pending& p);
    void release(Pending& p);
    void erase(Pending* p);
    size_t oldestIndex() const;
    // Settles `frameId` and every unsettled frame before it; counts the losses.
    void settleUpTo(uint32_t frameId, bool frameItselfLost);
    bool makeRoomFor(size_t extraBytes, const Pending* keep);
    ReassembledFrame assemble(Pending& p);

    Limits limits_;
    Counters counters_;
    std::vector<Pending> frames_;
    size_t bytesInFlight_ = 0;
    bool haveFloor_ = false;
    uint32_t floor_ = 0;  // newest settled frame id
};

// Serial-number order on 32-bit ids: true when a is newer than b.
inline bool serialNewer(uint32_t a, uint32_t b) {
    return int32_t(a - b) > 0;
}

}  // namespace tarvello
