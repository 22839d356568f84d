#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <span>

#include "platform/display.h"
#include "platform/input.h"
#include "protocol/messages.h"

namespace tarvello {

// Turns the phone's input messages into platform input events. Called on the server
// queue. This is the session-facing core: held keys and buttons, pointer position
// clamped to the target display, and the cursor report. Key tables, click counting,
// scroll momentum and gestures come with the full input work.
class Injector {
public:
    Injector(std::shared_ptr<InputFacility> input, std::shared_ptr<DisplayFacility> displays);

    // Pointer moved: position as fractions of the target display.
    std::function<void(float x, float y)> onCursor;
    std::function<void()> onLeftUp;

    void handle(MsgType type, std::span<const uint8_t> payload);
    void releaseAll();
    void setTargetDisplay(uint32_t display);
    uint32_t targetDisplay() const { return target_; }
    GestureConfig currentGestureConfig() const;

private:
    DisplayRect targetBounds() const;
    void moveTo(double x, double y);

    std::shared_ptr<InputFacility> input_;
    std::shared_ptr<DisplayFacility> displays_;
    uint32_t target_ = 0;
    double x_ = 0, y_ = 0;
    std::set<uint16_t> heldKeys_;
    std::set<int> heldButtons_;
};

}  // namespace tarvello
