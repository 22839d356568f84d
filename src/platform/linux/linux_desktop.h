#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "dispatch/clock.h"
#include "platform/desktop_actions.h"
#include "platform/display.h"

namespace tarvello {

class XConnection;

// The desktop gestures on the session display (the first display that names an X
// server), through its window manager's EWMH interface: workspaces by
// _NET_CURRENT_DESKTOP requests, the desktop by _NET_SHOWING_DESKTOP. Only what the
// running window manager announces in _NET_SUPPORTED counts, and switching workspaces
// only with more than one. There is no window overview or application grid here.
// Magnify goes through the input facility as Control + wheel; rotate, smart zoom and
// look-up have no counterpart on X.
//
// Thread-safe.
class LinuxDesktop final : public DesktopActions {
public:
    using SessionDisplay = std::function<std::optional<std::string>()>;  // the X display name

    explicit LinuxDesktop(std::shared_ptr<const DisplayFacility> displays);
    explicit LinuxDesktop(SessionDisplay sessionDisplay, std::shared_ptr<Clock> clock = {});
    ~LinuxDesktop() override;
    LinuxDesktop(const LinuxDesktop&) = delete;
    LinuxDesktop& operator=(const LinuxDesktop&) = delete;

    bool can(GestureAction action) override;
    bool perform(GestureAction action) override;
    void watch(std::function<void()> changed) override;

    // What the window manager offers, as last read.
    struct State {
        bool workspaces = false;
        bool showDesktop = false;
        bool operator==(const State&) const = default;
    };
    State state();

private:
    // Reads the window manager's state over `x`.
    static State read(XConnection& x);
    XConnection* connection();  // under mutex_
    void stopWatch();

    SessionDisplay sessionDisplay_;
    std::shared_ptr<Clock> clock_;

    std::mutex mutex_;
    std::unique_ptr<XConnection> x_;
    std::optional<State> cached_;
    double cachedAt_ = 0;

    std::mutex watchMutex_;  // watch() one at a time
    std::thread watcher_;
    int wake_ = -1;  // eventfd that ends the watcher
};

}  // namespace tarvello
