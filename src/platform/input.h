#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarvello {

// Event types. The raw values follow the event model the key and flag tables are
// written for, so back-ends and logs can name them by number.
enum class InputEventType : uint8_t {
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    leftMouseDragged = 6,
    rightMouseDragged = 7,
    keyDown = 10,
    keyUp = 11,
    flagsChanged = 12,
    scrollWheel = 22,
    otherMouseDown = 25,
    otherMouseUp = 26,
    otherMouseDragged = 27,
    gesture = 29,
};

enum class MouseButton : uint8_t { left = 0, right = 1, center = 2 };

// Where an event joins the event stream: device-level input goes in at the hid tap;
// gesture events at the session tap.
enum class EventTap : uint8_t { hid = 0, session = 1 };

// Modifier flag masks carried in InputEvent::flags.
namespace EventFlags {
inline constexpr uint64_t shift = 0x20000;
inline constexpr uint64_t control = 0x40000;
inline constexpr uint64_t alternate = 0x80000;
inline constexpr uint64_t command = 0x100000;
inline constexpr uint64_t numericPad = 0x200000;
inline constexpr uint64_t secondaryFn = 0x800000;
}  // namespace EventFlags

enum class ScrollEventPhase : uint8_t { none = 0, began = 1, changed = 2, ended = 4 };
enum class MomentumPhase : uint8_t { none = 0, begin = 1, continuing = 2, end = 3 };
enum class GestureSubtype : uint8_t { none = 0, rotate = 5, magnify = 8, smartMagnify = 22 };
enum class GesturePhase : uint8_t { none = 0, began = 1, changed = 2, ended = 4 };

// Global display coordinates in points: origin at the main display's top left, y down.
struct Point {
    double x = 0, y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

// One platform-neutral input event. Only the fields of the event's kind are meaningful;
// the others keep their defaults.
struct InputEvent {
    InputEventType type = InputEventType::mouseMoved;
    EventTap tap = EventTap::hid;
    uint64_t flags = 0;  // EventFlags masks

    // keyDown, keyUp, flagsChanged.
    uint16_t keyCode = 0;  // virtual key code (the numbering of hidKeyCodes)
    // Whether the key went down. flagsChanged needs it: left and right modifiers share
    // a flag, so the flags alone do not tell which key moved.
    bool down = false;
    // Text insertion: a keyDown and keyUp pair with key code 0 carrying the text to type,
    // as UTF-16 code units (at most 16; a surrogate pair is never split).
    std::u16string text;

    // Mouse events.
    Point location;
    MouseButton mouseButton = MouseButton::left;
    int64_t deltaX = 0, deltaY = 0;  // motion in points
    int64_t clickState = 0;          // 1 single, 2 double, 3 triple click, ...

    // scrollWheel, in pixels.
    int32_t wheel1 = 0;  // vertical
    int32_t wheel2 = 0;  // horizontal
    bool continuous = false;
    ScrollEventPhase scrollPhase = ScrollEventPhase::none;
    MomentumPhase momentumPhase = MomentumPhase::none;

    // gesture.
    GestureSubtype gestureSubtype = GestureSubtype::none;
    GesturePhase gesturePhase = GesturePhase::none;
    double magnification = 0;  // magnify: change of this step, as received
    double rotation = 0;       // rotate: change of this step, as received

    friend bool operator==(const InputEvent&, const InputEvent&) = default;
};

// Posts synthetic input to the session's display and reads the pointer.
// Called from the server queue and, for momentum scrolling, from the momentum queue,
// possibly at the same time: implementations are thread-safe.
class InputFacility {
public:
    virtual ~InputFacility() = default;
    // Posts one event. False when the event could not be made or posted; the caller
    // then skips what depends on it.
    virtual bool post(const InputEvent& event) = 0;
    // The pointer's current location, or nothing when it cannot be read.
    virtual std::optional<Point> pointerLocation() = 0;
};

}  // namespace tarvello
