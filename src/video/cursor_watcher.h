#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "dispatch/serial_queue.h"
#include "platform/session_services.h"
#include "protocol/byte_codec.h"

namespace tarvello {

// Polls the pointer image at 20 Hz on the main queue and reports each new image as
// PNG with its hot spot and size.
class CursorWatcher : public std::enable_shared_from_this<CursorWatcher> {
public:
    static std::shared_ptr<CursorWatcher> create(std::shared_ptr<CursorFacility> cursor);
    ~CursorWatcher();

    std::function<void(Bytes png, float hotX, float hotY, float width, float height)> onCursor;

    void start();
    void stop();
    // Forget the last image sent, so the current one goes out again.
    void resetLastSent();

private:
    explicit CursorWatcher(std::shared_ptr<CursorFacility> cursor) : cursor_(std::move(cursor)) {}
    void tick();

    std::shared_ptr<CursorFacility> cursor_;
    TimerHandle timer_;
    std::optional<uint64_t> lastSerial_;
};

}  // namespace tarvello
