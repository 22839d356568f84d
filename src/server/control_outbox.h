#pragma once

#include <array>
#include <cstddef>
#include <list>
#include <optional>

#include "protocol/byte_codec.h"

namespace tarvello {

// The frames waiting for one control connection, with the policy a slow reader needs.
// A refreshed message (cursor position, stats, status, cursor image) only matters in its
// newest form: it replaces an unsent one of its kind, and past the soft budget it is
// dropped. Every other message is one the phone acts on once (helloAck, gestureConfig,
// micRequest, textFocus, …) and is never dropped; a reader that lets those pile up past
// the hard budget has stopped reading, and the caller closes it. Not thread-safe: one
// queue owns it.
class ControlOutbox {
public:
    static constexpr size_t kSoftBudget = 4 << 20;
    static constexpr size_t kHardBudget = 16 << 20;

    enum class Push { queued, replaced, dropped, overflow };
    Push push(Bytes frame);

    // The frame to write next; it stays queued and unreplaced until finishWrite().
    // Null when there is none or a write is already under way.
    const Bytes* beginWrite();
    void finishWrite();

    bool empty() const { return frames_.empty(); }
    bool writing() const { return writing_; }
    size_t bytes() const { return bytes_; }
    size_t size() const { return frames_.size(); }

private:
    using List = std::list<Bytes>;
    static std::optional<uint8_t> refreshedKind(const Bytes& frame);

    List frames_;
    size_t bytes_ = 0;
    bool writing_ = false;
    // The unsent frame of each refreshed kind, by message type.
    std::array<std::optional<List::iterator>, 256> unsent_{};
};

}  // namespace tarvello
