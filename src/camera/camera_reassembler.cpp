#include "camera/camera_reassembler.h"

namespace tarvello {

namespace {

bool olderThan(uint32_t a, uint32_t b) {
    return int32_t(a - b) < 0;
}

}  // namespace

std::optional<Bytes> CameraReassembler::push(uint32_t frameId, uint16_t index, uint16_t count,
                                             std::span<const uint8_t> payload) {
    if (lastFrame_ && int32_t(frameId - *lastFrame_) <= 0) return std::nullopt;
    if (count == 0 || index >= count) return std::nullopt;

    auto it = fragments_.find(frameId);
    if (it == fragments_.end()) {
        const size_t slotCost = size_t(count) * (sizeof(Bytes) + 1);
        if (slotCost > limits_.maxBytes) return std::nullopt;
        if (fragments_.size() >= limits_.maxFrames || bytes_ + slotCost > limits_.maxBytes) {
            // Room for a new frame goes at the expense of the oldest ones, never of newer ones.
            while (!fragments_.empty() &&
                   (fragments_.size() >= limits_.maxFrames || bytes_ + slotCost > limits_.maxBytes)) {
                auto oldest = fragments_.begin();
                for (auto j = fragments_.begin(); j != fragments_.end(); ++j) {
                    if (olderThan(j->first, oldest->first)) oldest = j;
                }
                if (!olderThan(oldest->first, frameId)) return std::nullopt;
                erase(oldest);
            }
        }
        Partial p;
        p.total = count;
        p.slots.resize(count);
        p.filled.assign(count, false);
        p.cost = slotCost;
        bytes_ += slotCost;
        it = fragments_.emplace(frameId, std::move(p)).first;
    }
    Partial& p = it->second;
    if (index >= p.slots.size() || p.filled[index]) return std::nullopt;
    if (!makeRoom(payload.size(), frameId)) return std::nullopt;
    it = fragments_.find(frameId);  // makeRoom never evicts `frameId`, but keep the iterator honest
    Partial& q = it->second;
    q.slots[index].assign(payload.begin(), payload.end());
    q.filled[index] = true;
    q.cost += payload.size();
    bytes_ += payload.size();
    if (++q.received < q.total) return std::nullopt;

    Bytes frame;
    frame.reserve(q.cost);
    for (const Bytes& s : q.slots) frame.insert(frame.end(), s.begin(), s.end());
    erase(it);
    for (auto j = fragments_.begin(); j != fragments_.end();) {
        auto next = std::next(j);
        if (olderThan(j->first, frameId)) erase(j);
        j = next;
    }
    lastFrame_ = frameId;
    return frame;
}

bool CameraReassembler::makeRoom(size_t extra, uint32_t keep) {
    while (bytes_ + extra > limits_.maxBytes) {
        auto oldest = fragments_.end();
        for (auto j = fragments_.begin(); j != fragments_.end(); ++j) {
            if (j->first == keep) continue;
            if (oldest == fragments_.end() || olderThan(j->first, oldest->first)) oldest = j;
        }
        if (oldest == fragments_.end() || !olderThan(oldest->first, keep)) {
            // Only newer frames (or none) are left: this frame is the one that does not fit.
            erase(fragments_.find(keep));
            return false;
        }
        erase(oldest);
    }
    return true;
}

void CameraReassembler::erase(std::map<uint32_t, Partial>::iterator it) {
    bytes_ -= it->second.cost;
    fragments_.erase(it);
}

void CameraReassembler::reset() {
    fragments_.clear();
    bytes_ = 0;
    lastFrame_.reset();
}

}  // namespace tarvello
