#pragma once

#include <cstdint>
#include <string>

namespace tarvello {

// A platform-neutral input event as the injector posts it.
struct InputEvent {
    enum class Kind { keyDown, keyUp, mouseMove, buttonDown, buttonUp, scroll, text, gesture };
    Kind kind = Kind::mouseMove;
    uint16_t usage = 0;   // HID usage for keys
    int button = 0;       // 0 left, 1 right, 2 other
    double x = 0, y = 0;  // location in global points for pointer events
    double dx = 0, dy = 0;
    uint8_t phase = 0;
    uint8_t action = 0;
    std::string text;
};

// Posts input events to the session display. Called on the server queue.
class InputFacility {
public:
    virtual ~InputFacility() = default;
    virtual void post(const InputEvent& event) = 0;
};

}  // namespace tarvello
