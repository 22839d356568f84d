#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "dispatch/serial_queue.h"
#include "platform/session_services.h"
#include "protocol/messages.h"

namespace tarvello {

// Reports whether a text input has focus and where the selection lies, polling the
// accessibility back-end on "tarvello.ax". Reports only changes; start() forgets the
// last report so the phone hears the current state again.
class TextWatcher : public std::enable_shared_from_this<TextWatcher> {
public:
    static std::shared_ptr<TextWatcher> create(std::shared_ptr<AccessibilityFacility> ax);
    ~TextWatcher();

    std::function<void(bool focused)> onFocus;
    std::function<void(std::optional<SelectionMsg>)> onSelection;

    void start();
    void stop();
    void checkSoon();  // after a click: look again shortly
    void setDisplay(uint32_t display) { display_.store(display); }
    void shutdown();

private:
    explicit TextWatcher(std::shared_ptr<AccessibilityFacility> ax) : ax_(std::move(ax)) {}
    void tick();

    SerialQueue queue_{"tarvello.ax"};
    std::shared_ptr<AccessibilityFacility> ax_;
    std::atomic<uint32_t> display_{0};
    TimerHandle timer_;
    std::optional<bool> lastFocus_;
    std::optional<std::optional<SelectionMsg>> lastSelection_;
};

}  // namespace tarvello
