#pragma once

#include <functional>
#include <memory>
#include <span>

#include "dispatch/serial_queue.h"
#include "platform/cursor.h"
#include "protocol/byte_codec.h"

namespace tarvello {

// Polls the pointer picture 20 times a second and hands out each new one (picture or hot
// spot changed) as PNG, with the hot spot and size in points. Everything runs on one
// queue, the main queue unless told otherwise; the operations hop there and return at once.
class CursorWatcher : public std::enable_shared_from_this<CursorWatcher> {
public:
    // Tightly packed RGBA in, PNG out; empty on failure.
    using Encoder = std::function<Bytes(int width, int height, std::span<const uint8_t> rgba)>;
    // Pictures whose PNG has this many bytes or more are not handed out: one must fit a
    // control frame with room to spare.
    static constexpr size_t kMaxPngBytes = 60000;
    static constexpr double kInterval = 0.05;

    // `encoder` empty: libpng. `queue` null: the main queue.
    static std::shared_ptr<CursorWatcher> create(std::shared_ptr<CursorFacility> cursor, Encoder encoder = {},
                                                 Queue* queue = nullptr);
    ~CursorWatcher();

    // Called on the watcher's queue; set before start().
    std::function<void(Bytes png, float hotX, float hotY, float width, float height)> onCursor;

    // Starts polling; a running watcher keeps its timer and its memory.
    void start();
    void stop();
    // Forgets the last picture, so the next poll hands the current one out again.
    void reset();

private:
    CursorWatcher(std::shared_ptr<CursorFacility> cursor, Encoder encoder, Queue& queue);
    void poll();

    std::shared_ptr<CursorFacility> cursor_;
    Encoder encoder_;
    Queue& queue_;
    TimerHandle timer_;
    bool watching_ = false;
    Bytes lastKey_;  // picture bytes, size and hot spot of the last picture handled
};

}  // namespace tarvello
