#include "server/control_outbox.h"

#include "protocol/messages.h"

namespace tarvello {

std::optional<uint8_t> ControlOutbox::refreshedKind(const Bytes& frame) {
    if (frame.size() < 3) return std::nullopt;  // length, then the type
    switch (static_cast<MsgType>(frame[2])) {
        case MsgType::cursor:
        case MsgType::serverStats:
        case MsgType::macStatus:
        case MsgType::cursorImage: return frame[2];
        default: return std::nullopt;
    }
}

ControlOutbox::Push ControlOutbox::push(Bytes frame) {
    if (frame.empty()) return Push::dropped;
    const auto kind = refreshedKind(frame);
    if (kind) {
        if (auto& slot = unsent_[*kind]) {
            bytes_ = bytes_ - (*slot)->size() + frame.size();
            **slot = std::move(frame);
            return Push::replaced;
        }
        if (bytes_ + frame.size() > kSoftBudget) return Push::dropped;
    } else if (bytes_ + frame.size() > kHardBudget) {
        return Push::overflow;
    }
    bytes_ += frame.size();
    frames_.push_back(std::move(frame));
    if (kind) unsent_[*kind] = std::prev(frames_.end());
    return Push::queued;
}

const Bytes* ControlOutbox::beginWrite() {
    if (writing_ || frames_.empty()) return nullptr;
    writing_ = true;
    // From now on the front is on the wire: a newer one of its kind queues behind it.
    if (const auto kind = refreshedKind(frames_.front()); kind && unsent_[*kind] == frames_.begin())
        unsent_[*kind].reset();
    return &frames_.front();
}

void ControlOutbox::finishWrite() {
    if (!writing_) return;
    writing_ = false;
    bytes_ -= frames_.front().size();
    frames_.pop_front();
}

}  // namespace tarvello
