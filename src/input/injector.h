#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <span>
#include <string_view>

#include "dispatch/clock.h"
#include "dispatch/serial_queue.h"
#include "platform/desktop_actions.h"
#include "platform/display.h"
#include "platform/dock.h"
#include "platform/input.h"
#include "platform/preference_domains.h"
#include "protocol/messages.h"

namespace tarvello {

// Drives the repeating momentum step. Called on the momentum queue only, except that
// the injector's destructor calls stop() after that queue has stopped.
class MomentumTicker {
public:
    virtual ~MomentumTicker() = default;
    // Runs `step` on `queue` at once and then every `interval` seconds until stop();
    // replaces any earlier run.
    virtual void start(Queue& queue, double interval, std::function<void()> step) = 0;
    virtual void stop() = 0;
};

// Preference domains the gesture configuration is read from.
namespace PreferenceDomain {
inline constexpr const char* trackpad = "com.apple.AppleMultitouchTrackpad";
inline constexpr const char* bluetoothTrackpad = "com.apple.driver.AppleBluetoothMultitouch.trackpad";
inline constexpr const char* dock = "com.apple.dock";
}  // namespace PreferenceDomain

// The gestures the stored trackpad and dock preferences enable. Any thread.
GestureConfig readGestureConfig(const PreferenceDomains& preferences);

struct InjectorOptions {
    std::shared_ptr<Clock> clock;                    // empty: defaultClock()
    std::shared_ptr<PreferenceDomains> preferences;  // empty: JSON domains in the default config directory
    std::shared_ptr<DockFacility> dock;              // empty: no dock; gestures take their fallbacks
    std::shared_ptr<WorkspaceFacility> workspace;    // empty: no applications can be found
    std::shared_ptr<MomentumTicker> ticker;          // empty: a 120 Hz timer on the momentum queue
    // Empty: every gesture the preferences enable is offered, and the desktop gestures
    // go to the dock or become key chords.
    std::shared_ptr<DesktopActions> desktop;
};

// Turns the phone's keyboard, pointer, scroll, text and gesture messages into input
// events. handle(), releaseAll(), setTargetDisplay() and the operations below run on
// the server queue, one at a time; onCursor and onLeftUp are called there. Momentum
// scrolling runs on the injector's own queue "tarvello.momentum".
class Injector {
public:
    Injector(std::shared_ptr<InputFacility> input, std::shared_ptr<DisplayFacility> displays,
             InjectorOptions options = {});
    ~Injector();
    Injector(const Injector&) = delete;
    Injector& operator=(const Injector&) = delete;

    // After each posted move: the new position as fractions of the target display.
    std::function<void(float x, float y)> onCursor;
    // After a left-button up event has been posted.
    std::function<void()> onLeftUp;

    // Decodes one input message (payload after the type byte) and carries it out.
    // Short payloads read as zero-filled; other message types are ignored.
    void handle(MsgType type, std::span<const uint8_t> payload);
    // Releases every held key, then modifier, then button.
    void releaseAll();
    // 0 means the main display.
    void setTargetDisplay(uint32_t display);
    uint32_t targetDisplay() const { return targetDisplay_; }
    // The gestures the preferences enable and, with a desktop, that it can carry out.
    GestureConfig currentGestureConfig() const;

    void key(uint16_t usage, bool down);
    void typeText(std::string_view utf8);
    void mouseRel(double dx, double dy);
    void mouseAbs(double x, double y);
    void button(uint8_t button, bool down);
    void scroll(ScrollPhase phase, double dx, double dy);
    void gesture(GestureAction action, ScrollPhase phase, double value);

    // Flags of the held modifiers; what every key, mouse and scroll event carries.
    // Safe from any thread.
    uint64_t currentFlags() const { return flags_.load(std::memory_order_acquire); }

    // Where momentum runs; owners and tests may order work after pending momentum changes.
    Queue& momentumQueue() { return momentumQueue_; }

private:
    struct LastClick {
        int button = -1;
        double time = 0;
        double x = 0, y = 0;
        int64_t count = 0;
    };

    Point pointer() const;
    DisplayRect targetBounds() const;
    void moveTo(double x, double y, double dx, double dy);
    void buttonUp(uint8_t b);
    void postScroll(ScrollEventPhase phase, double dx, double dy);
    void updateFlags();

    void chord(uint16_t keyCode, uint64_t flags);
    bool notifyDock(const char* name);
    void launchpad();
    void postGestureEvent(GestureSubtype subtype, GesturePhase phase, double magnification, double rotation);

    // Momentum queue only.
    void startMomentum(double vx, double vy);
    void stopMomentum();
    void momentumStep();
    void postMomentum(MomentumPhase phase, double dx, double dy);

    std::shared_ptr<InputFacility> input_;
    std::shared_ptr<DisplayFacility> displays_;
    std::shared_ptr<Clock> clock_;
    std::shared_ptr<PreferenceDomains> preferences_;
    std::shared_ptr<DockFacility> dock_;
    std::shared_ptr<WorkspaceFacility> workspace_;
    std::shared_ptr<MomentumTicker> ticker_;
    std::shared_ptr<DesktopActions> desktop_;

    // Server queue.
    std::set<uint16_t> heldModifiers_;
    std::set<uint16_t> heldKeys_;
    std::set<uint8_t> heldButtons_;
    LastClick lastClick_;
    uint32_t targetDisplay_ = 0;
    // Copy of the held modifiers' flags, for the momentum queue.
    std::atomic<uint64_t> flags_{0};

    // Momentum queue.
    bool momentumRunning_ = false;
    double momentumVelocityX_ = 0, momentumVelocityY_ = 0;
    double momentumLast_ = 0;
    double momentumRemainderX_ = 0, momentumRemainderY_ = 0;
    bool momentumStarted_ = false;

    SerialQueue momentumQueue_{"tarvello.momentum"};
};

}  // namespace tarvello
