#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dispatch/clock.h"
#include "platform/display.h"
#include "platform/input.h"
#include "platform/linux/xtest_connection.h"

namespace tarvello {

class SerialQueue;

// The X keysym of a virtual key code: the symbol at that key's position on a US layout,
// unshifted. Nothing for codes outside the key table. Keys go by position; this is for
// servers that do not number their keys as evdev does.
std::optional<uint32_t> keysymForKeyCode(uint16_t keyCode);

// What the phone's Command keys become: Control, so its shortcuts (copy, paste, undo)
// do what the user's hands expect, or the Super keys.
enum class CommandKey : uint8_t { control, super };

// The X keysym that types one character. Nothing for control characters other than
// newline, carriage return and tab, and for values outside Unicode.
std::optional<uint32_t> keysymForCharacter(char32_t c);

// Input events posted with XTest on the session display: the X server of the display the
// display facility lists first (the main one). The connection opens on first use and is
// reopened when that display changes or its server goes away. A display left behind
// that is still running gets back the modifiers and keycodes held for it; the session
// state (held modifiers, wheel remainders, reported gestures) starts afresh.
//
// Locations are global points; the session display's bounds and pixel size convert them
// to root-window pixels. Keys and modifiers press the key at their position (evdev code
// + 8), so the display's keyboard layout applies as it does to a physical keyboard; text
// types exactly its characters, through plain keys where they type them and otherwise by
// binding spare keycodes to each character's keysym for a while; wheel deltas turn into
// wheel button steps, each once the motion is half a step past the last, the rest
// carried; magnify turns into Control + wheel steps. Other gestures have no X
// counterpart and are logged once per session.
//
// The pointer is where it was last put: moves never wait on the server. It is read from
// the server only when a connection opens or the display's geometry changes.
//
// Thread-safe: the server queue and the momentum queue post at the same time.
class LinuxInput final : public InputFacility {
public:
    // Points of wheel delta per wheel step. A step scrolls about three lines of text in
    // X toolkits, some 48 points at the session display's density, so one step per 48
    // points keeps the content roughly under the finger. The first step of a motion goes
    // out after half of that.
    static constexpr double kPointsPerWheelStep = 48;
    // Magnification per Control + wheel step: about the zoom one step gives in browsers.
    static constexpr double kMagnificationPerStep = 0.1;
    // At most this many steps per event and axis: one absurd delta must not flood the server.
    static constexpr int kMaxStepsPerEvent = 40;
    // How long a keycode stays bound to a typed character. Clients read the keymap when
    // they process a key event, possibly well after it was sent; restoring the map at
    // once would have them read the restored one.
    static constexpr double kBindingHold = 2.0;
    // Seconds between attempts to open a display that would not open.
    static constexpr double kReopenInterval = 1.0;

    using Connector =
        std::function<std::unique_ptr<XInputConnection>(const std::string& name, std::string& error)>;
    // Runs `fn` once, on some other thread, about `seconds` from now. Must not run it
    // before returning.
    using Defer = std::function<void(double seconds, std::function<void()> fn)>;
    using SessionDisplay = std::function<std::optional<DisplayInfo>()>;

    struct Options {
        Connector connect;             // empty: XTestConnection::open
        std::shared_ptr<Clock> clock;  // empty: defaultClock()
        Defer defer;                   // empty: a timer on a queue of the input's own
        // Read at each press of a Command key or a chord carrying Command; empty: the
        // commandKey setting.
        std::function<CommandKey()> commandKey;
        // For a display on a desktop in use: where its top left pixel lies on the root
        // window, read with the display. The user moves the pointer there too, so it is read
        // from the server whenever it is asked for. Empty: a private display at 0,0.
        std::function<std::pair<int, int>()> desktopOrigin;
    };

    // The session display is the first display of `displays` that names an X server.
    explicit LinuxInput(std::shared_ptr<const DisplayFacility> displays, Options options = {});
    LinuxInput(SessionDisplay sessionDisplay, Options options);
    ~LinuxInput() override;
    LinuxInput(const LinuxInput&) = delete;
    LinuxInput& operator=(const LinuxInput&) = delete;

    // Wheel motion on one axis not yet sent as steps, and the way it last went.
    struct WheelAxis {
        double remainder = 0;
        int direction = 0;
    };

    bool post(const InputEvent& event) override;
    std::optional<Point> pointerLocation() override;

    // Restores the keycodes that no character has used for kBindingHold seconds. Runs by
    // itself after typing; public for tests that drive the deferral by hand.
    void restoreIdleBindings();

private:
    struct Geometry {
        DisplayRect bounds;
        int pixelWidth = 0, pixelHeight = 0;
        double scaleX = 1, scaleY = 1;
        int originX = 0, originY = 0;  // of the display's pixels on the root window
        bool operator==(const Geometry& o) const {
            return bounds.x == o.bounds.x && bounds.y == o.bounds.y && bounds.width == o.bounds.width &&
                   bounds.height == o.bounds.height && pixelWidth == o.pixelWidth &&
                   pixelHeight == o.pixelHeight && originX == o.originX && originY == o.originY;
        }
    };
    struct Binding {
        uint8_t keycode = 0;
        uint32_t keysym = 0;
        double lastUse = 0;
    };
    struct Motion {
        Point point;
        Geometry geometry;  // of the display when the pointer went there
    };
    struct HeldModifier {
        uint8_t keycode = 0;
        uint64_t flag = 0;  // as the display sees it: Command may be Control
    };

    std::optional<Geometry> geometry(std::string& name) const;
    XInputConnection* connection(const std::string& name);
    void closeConnection();
    void resetSession();

    uint8_t keycodeAt(XInputConnection& c, uint16_t keyCode);
    bool commandIsControl() const;
    bool postKey(XInputConnection& c, const InputEvent& e);
    bool postModifier(XInputConnection& c, const InputEvent& e);
    bool typeText(XInputConnection& c, const std::u16string& text);
    bool typeCharacter(XInputConnection& c, char32_t ch, bool plainKeys);
    uint8_t bindingFor(XInputConnection& c, uint32_t keysym);
    void scheduleRestore(double seconds);
    void restoreBindings(XInputConnection& c, double idleFor);
    bool postMotion(XInputConnection& c, const Geometry& g, Point p);
    bool postButton(XInputConnection& c, const InputEvent& e);
    bool postScroll(XInputConnection& c, const InputEvent& e);
    bool postGesture(XInputConnection& c, const InputEvent& e);
    void clickWheel(XInputConnection& c, int steps, unsigned positive, unsigned negative);
    uint64_t heldFlags() const;

    SessionDisplay sessionDisplay_;
    Connector connect_;
    std::shared_ptr<Clock> clock_;
    Defer defer_;
    std::function<CommandKey()> commandKey_;
    std::function<std::pair<int, int>()> desktopOrigin_;

    mutable std::mutex mutex_;
    std::unique_ptr<SerialQueue> timerQueue_;  // made on first use of the default deferral
    std::unique_ptr<XInputConnection> connection_;
    std::string connectionName_;
    std::string failedName_;
    double failedAt_ = 0;
    bool restoreScheduled_ = false;

    // Per session: cleared whenever a connection opens.
    std::map<uint16_t, HeldModifier> heldModifiers_;          // key code -> what flags events hold
    std::map<uint8_t, std::vector<uint8_t>> chordModifiers_;  // key -> modifiers pressed for it
    std::vector<Binding> bindings_;
    std::optional<Motion> lastMotion_;
    WheelAxis wheelX_, wheelY_;
    double magnifyRemainder_ = 0;
    std::set<GestureSubtype> reportedGestures_;
    bool noSpareReported_ = false;
    bool numLockPressed_ = false;  // the phone has used Num Lock: its state is the user's
};

}  // namespace tarvello
