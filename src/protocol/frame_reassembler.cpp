#include "protocol/frame_reassembler.h"

#include <algorithm>
#include <cstring>

namespace tarvello {

FrameReassembler::FrameReassembler(Limits limits) : limits_(limits) {
    limits_.maxFramesInFlight = std::max<size_t>(1, limits_.maxFramesInFlight);
}

void FrameReassembler::reset() {
    frames_.clear();
    bytesInFlight_ = 0;
    haveFloor_ = false;
    floor_ = 0;
}

FrameReassembler::Pending* FrameReassembler::find(uint32_t frameId) {
    for (auto& p : frames_) {
        if (p.frameId == frameId) return &p;
    }
    return nullptr;
}

size_t FrameReassembler::oldestIndex() const {
    size_t best = 0;
    for (size_t i = 1; i < frames_.size(); ++i) {
        if (serialNewer(frames_[best].frameId, frames_[i].frameId)) best = i;
    }
    return best;
}

void FrameReassembler::erase(Pending* p) {
    bytesInFlight_ -= p->cost();
    frames_.erase(frames_.begin() + (p - frames_.data()));
}

void FrameReassembler::release(Pending& p) {
    bytesInFlight_ -= p.cost();
    std::vector<Slot>().swap(p.slots);
    Bytes().swap(p.arena);
}

void FrameReassembler::discard(Pending& p) {
    ++counters_.framesDiscarded;
    release(p);
    p.discarded = true;
}

void FrameReassembler::settleUpTo(uint32_t frameId, bool frameItselfLost) {
    uint64_t lost = frameItselfLost ? 1 : 0;
    if (haveFloor_) {
        // Every id between the floor and this one is unsettled, seen or not.
        lost += std::min(uint32_t(frameId - floor_ - 1), limits_.resyncDistance);
    } else {
        for (const auto& p : frames_) {
            if (serialNewer(frameId, p.frameId)) ++lost;
        }
    }
    for (size_t i = frames_.size(); i-- > 0;) {
        if (!serialNewer(frames_[i].frameId, frameId)) erase(&frames_[i]);
    }
    counters_.framesLost += lost;
    floor_ = frameId;
    haveFloor_ = true;
}

// Evicts the oldest frames until `extraBytes` more fit. Returns false when the
// frame `keepId` itself had to go.
bool FrameReassembler::makeRoomFor(size_t extraBytes, const Pending* keep) {
    const uint32_t keepId = keep->frameId;
    while (bytesInFlight_ + extraBytes > limits_.maxBytesInFlight) {
        const uint32_t oldest = frames_[oldestIndex()].frameId;
        settleUpTo(oldest, true);
        if (oldest == keepId) return false;
    }
    return true;
}

FrameReassembler::Pending* FrameReassembler::admit(const VideoPacketHeader& h) {
    if (frames_.size() >= limits_.maxFramesInFlight) {
        const size_t oldest = oldestIndex();
        if (serialNewer(frames_[oldest].frameId, h.frameId)) {
            // The newcomer is the oldest of all: it is the one that gives way.
            settleUpTo(h.frameId, true);
            return nullptr;
        }
        settleUpTo(frames_[oldest].frameId, true);
    }
    Pending p;
    p.frameId = h.frameId;
    p.fragCount = h.fragCount;
    p.keyframe = h.isKeyframe();
    p.codec = h.codec;
    p.timestampMs = h.timestampMs;
    frames_.push_back(std::move(p));
    Pending* added = &frames_.back();
    const size_t slotBytes = size_t(h.fragCount) * sizeof(Slot);
    if (!makeRoomFor(slotBytes, added)) return nullptr;
    added = find(h.frameId);
    added->slots.resize(h.fragCount);
    bytesInFlight_ += added->cost();
    return added;
}

std::optional<ReassembledFrame> FrameReassembler::pushDatagram(std::span<const uint8_t> datagram) {
    auto header = VideoPacketHeader::decode(datagram);
    if (!header) {
        ++counters_.datagrams;
        counters_.bytes += datagram.size();
        ++counters_.ignored;
        return std::nullopt;
    }
    return push(*header, datagram.subspan(size_t(Pontel::headerSize)));
}

std::optional<ReassembledFrame> FrameReassembler::push(const VideoPacketHeader& h,
                                                       std::span<const uint8_t> payload) {
    ++counters_.datagrams;
    counters_.bytes += payload.size();
    if (h.fragCount == 0 || h.fragIndex >= h.fragCount || payload.empty() || payload.size() > UINT32_MAX) {
        ++counters_.ignored;
        return std::nullopt;
    }

    if (haveFloor_) {
        const uint32_t ahead = h.frameId - floor_;
        const uint32_t behind = floor_ - h.frameId;
        const bool older = !serialNewer(h.frameId, floor_);
        if (older && behind <= limits_.staleWindow) {
            ++counters_.ignored;
            return std::nullopt;
        }
        if (older || ahead > limits_.resyncDistance) {
            // The sender restarted its numbering: what is in flight will never complete.
            counters_.framesLost += frames_.size();
            reset();
        }
    }

    Pending* p = find(h.frameId);
    if (!p) {
        p = admit(h);
        if (!p) return std::nullopt;
    }
    if (p->discarded) {
        ++counters_.ignored;
        return std::nullopt;
    }
    if (p->fragCount != h.fragCount) {
        discard(*p);
        return std::nullopt;
    }
    if (p->slots[h.fragIndex].present) {
        ++counters_.duplicates;
        return std::nullopt;
    }

    // Grow the arena ourselves so that what is counted is what is allocated.
    const size_t size = p->arena.size();
    const size_t need = size + payload.size();
    if (need > p->arena.capacity()) {
        // Every fragment but the last is as large as the largest seen so far.
        const size_t perFragment = std::max(payload.size(), size == 0 ? 0 : size / p->received);
        size_t target = size == 0 ? size_t(p->fragCount) * payload.size()
                                  : std::min(2 * p->arena.capacity(), size_t(p->fragCount) * perFragment);
        target = std::max(std::min(target, limits_.maxBytesInFlight), need);
        const uint32_t id = p->frameId;
        if (!makeRoomFor(target - p->arena.capacity(), p)) return std::nullopt;
        p = find(id);
        const size_t before = p->arena.capacity();
        p->arena.reserve(target);
        bytesInFlight_ += p->arena.capacity() - before;
    }
    Slot& slot = p->slots[h.fragIndex];
    slot.offset = uint32_t(size);
    slot.length = uint32_t(payload.size());
    slot.present = true;
    p->arena.insert(p->arena.end(), payload.begin(), payload.end());
    ++p->received;
    if (p->received < p->fragCount) return std::nullopt;

    // Account for the frame before assemble() may take its arena.
    bytesInFlight_ -= p->cost();
    ReassembledFrame done = assemble(*p);
    std::vector<Slot>().swap(p->slots);
    Bytes().swap(p->arena);
    ++counters_.framesCompleted;
    settleUpTo(done.frameId, false);
    return done;
}

ReassembledFrame FrameReassembler::assemble(Pending& p) {
    ReassembledFrame f;
    f.frameId = p.frameId;
    f.keyframe = p.keyframe;
    f.codec = p.codec;
    f.timestampMs = p.timestampMs;
    bool inOrder = true;
    uint32_t expected = 0;
    for (const Slot& s : p.slots) {
        if (s.offset != expected) {
            inOrder = false;
            break;
        }
        expected += s.length;
    }
    if (inOrder) {
        f.data = std::move(p.arena);
    } else {
        f.data.resize(p.arena.size());
        size_t at = 0;
        for (const Slot& s : p.slots) {
            std::memcpy(f.data.data() + at, p.arena.data() + s.offset, s.length);
            at += s.length;
        }
    }
    return f;
}

}  // namespace tarvello
