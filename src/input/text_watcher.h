#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <set>

#include "dispatch/serial_queue.h"
#include "platform/session_services.h"

namespace tarvello {

// Where the selected text lies, as fractions of the session display: x of its width, y
// and height of its height, from its top-left corner. `start` is the top-left corner of
// the first selected character, `end` the top-right corner of the last.
struct Selection {
    struct Point {
        double x = 0, y = 0;
        bool operator==(const Point&) const = default;
    };
    Point start, end;
    double height = 0;
    bool operator==(const Selection&) const = default;
};

// Tells whether a text input has focus and where the selection lies, polling the
// accessibility facility on "tarvello.ax". Reports only changes; start() forgets the last
// report so the phone hears the current state again. Public operations hop onto the queue
// and return at once; the callbacks are called there.
class TextWatcher : public std::enable_shared_from_this<TextWatcher> {
public:
    struct Options {
        double interval = 0.15;    // the poll period
        double checkDelay = 0.15;  // from a left-button release to the forced poll
    };

    static std::shared_ptr<TextWatcher> create(std::shared_ptr<AccessibilityFacility> ax);
    static std::shared_ptr<TextWatcher> create(std::shared_ptr<AccessibilityFacility> ax, Options options);
    ~TextWatcher();

    // Set before start().
    std::function<void(bool focused)> onFocus;
    std::function<void(std::optional<Selection>)> onSelection;

    void start();
    void stop();
    // A forced poll checkDelay from now (after a click), reporting the focus even when unchanged.
    void checkSoon();
    // The display selections are expressed in; any thread, read by the next poll.
    void setDisplay(uint32_t display) { displayID_.store(display); }
    // Runs one poll on the queue and waits for it.
    void pollNow(bool force);
    // Stops the queue; the watcher does nothing afterwards.
    void shutdown();

private:
    TextWatcher(std::shared_ptr<AccessibilityFacility> ax, Options options)
        : ax_(std::move(ax)), options_(options) {}
    void poll(bool force);
    AxElementRef focusedElement();
    bool isTextInput(const AxElement& element);
    std::optional<Selection> readSelection(const AxElement& element);

    SerialQueue queue_{"tarvello.ax"};
    std::shared_ptr<AccessibilityFacility> ax_;
    const Options options_;
    std::atomic<uint32_t> displayID_{0};
    TimerHandle timer_;
    bool watching_ = false;
    bool lastFocused_ = false;
    AxElementRef lastElement_;
    std::optional<Selection> lastSelection_;
    std::set<int32_t> enhancedPIDs_;
};

}  // namespace tarvello
